"""Driving main() step by step from the windows it commands, and running it as a program."""
import importlib.util
import os
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

from corvane.standins.cyton_emulator import CytonEmulator
from tests.support.testbed import FaultyServer, simulator_answer


def run_main(live_pilot, steps):
    """Runs main(); steps[k]() runs as the (k+1)-th window's command goes to the simulator.
    Returns the exception main raised (or None) and the time the last step ran."""
    send, sent, last_step = live_pilot.simulation.send_command, [], [None]

    def send_command(command):
        result = send(command)
        sent.append(command)
        if len(sent) <= len(steps):
            last_step[0] = time.monotonic()
            steps[len(sent) - 1]()
        return result

    live_pilot.simulation.send_command = send_command
    try:
        live_pilot.main()
        return None, last_step[0]
    except Exception as error:
        return error, last_step[0]
    finally:
        del live_pilot.simulation.send_command


def interrupt():
    raise KeyboardInterrupt


def nothing():
    pass


def program_path(tmp_path):
    """A folder where the built module is the package live_pilot, as `python -m` needs."""
    built = Path(importlib.util.find_spec("live_pilot").origin)
    if built.name.startswith("__init__"):
        return built.parent.parent
    package = tmp_path / "program" / "live_pilot"
    package.mkdir(parents=True, exist_ok=True)
    if not (package / built.name.replace("live_pilot", "__init__", 1)).exists():
        (package / built.name.replace("live_pilot", "__init__", 1)).symlink_to(built)
    return package.parent


STOP_LINES = {signal.SIGINT: "\nStopped by user.\n", signal.SIGTERM: "\nStopped by SIGTERM.\n",
              signal.SIGHUP: "\nStopped by SIGHUP.\n"}


class Program:
    """`python -m live_pilot` on its own emulator and stand-ins, with its output collected (or
    written to the descriptor `stdout`). `prefix` runs it through another command; `host` names
    the controller (it listens on 127.0.0.1)."""

    def __init__(self, env, tmp_path, stdout=None, prefix=(), host="127.0.0.1"):
        self.board = CytonEmulator(speed=10).start()
        self.controller, self.simulator = FaultyServer(), FaultyServer(simulator_answer)
        env = dict(env, CORVANE_SERIAL_PORT=self.board.port, CORVANE_SIMULATOR_URL=self.simulator.url,
                   CORVANE_ACTUATOR_HOST=f"{host}:{self.controller.port}")
        env["PYTHONPATH"] = os.pathsep.join([str(program_path(tmp_path)), env["PYTHONPATH"]])
        self.child = subprocess.Popen([*prefix, sys.executable, "-m", "live_pilot"], env=env,
                                      stdout=subprocess.PIPE if stdout is None else stdout,
                                      stderr=subprocess.DEVNULL, text=True)
        self.lines = []
        if stdout is None:
            self.reader = threading.Thread(target=lambda: self.lines.extend(self.child.stdout), daemon=True)
            self.reader.start()

    def sent(self):
        return [path for _, path, _ in self.simulator.log]

    def wait_for_windows(self, count, timeout=120):
        """Waits until `count` more windows' commands reached the simulator."""
        target, deadline = len(self.sent()) + count, time.monotonic() + timeout
        while len(self.sent()) < target:
            assert self.child.poll() is None and time.monotonic() < deadline, "no windows decoded"
            time.sleep(0.1)

    def close(self):
        if self.child.poll() is None:
            self.child.kill()
        self.child.wait()
        self.board.stop()
        self.controller.close()
        self.simulator.close()
