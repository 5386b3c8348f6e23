"""Stand-ins that fail on demand, for fault-injection tests and benchmarks (re-exported by
tools.testing.testbed).

- FaultyServer: an HTTP/1.1 stand-in (connections kept alive) for the actuator controller or the
  simulator on 127.0.0.1 that refuses connections (dropping the open ones, as a restarting device does), hangs past the links' one-second limit, answers 500 or drops the connection
  when told to, and logs every request with its arrival time (time.monotonic, which is one clock
  for every process on the machine).
- standin_process: the same server in its own interpreter, driven over its stdin; its log comes
  back over its stdout.
- controlled_emulator_process: a Cyton emulator in its own interpreter that can be made to go
  silent, answer again, or have its port vanish.
"""
import argparse
import contextlib
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

from tools.standins.local_http import LOOPBACK, LocalHandler, LocalServer

FAULTS = ("refuse", "hang", "500", "drop")
# Long enough that a client with the one-second limit has given up.
HANG_SECONDS = 2.0
ROOT = Path(__file__).resolve().parents[2]


def write_answer(handler, status, body, content_type=None):
    """Sends one HTTP answer from a request handler; a client that gave up waiting is ignored."""
    data = body.encode()
    try:
        handler.send_response(status)
        if content_type:
            handler.send_header("Content-Type", content_type)
        handler.send_header("Content-Length", str(len(data)))
        handler.end_headers()
        handler.wfile.write(data)
    except OSError:
        pass


def controller_answer(path):
    return 200, "OK"


def simulator_answer(path):
    return 200, '{"status": "ok"}'


class _RequestLog:
    """log: (arrival time, path, outcome) per request, outcome "ack" for a 2xx answer, else the fault."""

    def acked(self):
        """The commands (last path segment) answered with a 2xx, in order."""
        with self._lock:
            return [path.rsplit("/", 1)[-1] for _, path, outcome in self.log if outcome == "ack"]

    def ack_times(self, command):
        with self._lock:
            return [t for t, path, outcome in self.log if outcome == "ack" and path.rsplit("/", 1)[-1] == command]


class FaultyServer(_RequestLog):
    """HTTP stand-in on 127.0.0.1; `answer(path)` -> (status, body) is its healthy reply.
    `on_event(line)` is called with each log entry as text (the out-of-process form prints it)."""

    def __init__(self, answer=controller_answer, port=0, on_event=None):
        self.answer, self.on_event = answer, on_event
        self.log = []
        self._fault, self._remaining = None, None
        self._lock = threading.Lock()
        self._server = None
        self._connections = set()
        self.connections_opened = 0
        self.port = port
        self._listen()
        self.url = f"http://{LOOPBACK}:{self.port}"

    def _listen(self):
        server = self

        class Handler(LocalHandler):
            protocol_version = "HTTP/1.1"
            # Headers and body go out as two writes; without this the body waits for the
            # client's delayed acknowledgement (40 ms) on a kept-alive connection.
            disable_nagle_algorithm = True

            def setup(self):
                super().setup()
                with server._lock:
                    server._connections.add(self.connection)
                    server.connections_opened += 1

            def finish(self):
                with server._lock:
                    server._connections.discard(self.connection)
                super().finish()

            def do_GET(self):
                arrived = time.monotonic()
                fault = server._take_fault()
                if fault == "hang":
                    time.sleep(HANG_SECONDS)
                status, body = (500, "fault") if fault == "500" else server.answer(self.path)
                outcome = fault or ("ack" if 200 <= status < 300 else str(status))
                server._record(arrived, self.path, outcome)
                if fault == "drop":
                    self.close_connection = True
                    return
                write_answer(self, status, body)

        self._server = LocalServer(self.port, Handler, owner=self)
        self.port = self._server.port
        threading.Thread(target=self._server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True).start()

    def _take_fault(self):
        with self._lock:
            fault = self._fault
            if fault and self._remaining is not None:
                self._remaining -= 1
                if self._remaining <= 0:
                    self._fault = None
            return fault

    def _record(self, arrived, path, outcome):
        with self._lock:
            self.log.append((arrived, path, outcome))
        if self.on_event:
            self.on_event(f"{outcome} {arrived:.6f} {path}")

    def fail(self, fault, times=None, seconds=None):
        """The next `times` requests (all, when None) meet `fault`; "refuse" stops listening,
        for `seconds` when given, else until heal(). Returns when the fault is in place."""
        if fault not in FAULTS:
            raise ValueError(f"unknown fault {fault!r}")
        if fault == "refuse":
            self._stop_listening()
            if seconds is not None:
                threading.Timer(seconds, self.heal).start()
            return
        with self._lock:
            self._fault, self._remaining = fault, times

    def heal(self):
        with self._lock:
            self._fault = self._remaining = None
            if self._server is None:
                self._listen()

    def _stop_listening(self):
        with self._lock:
            if self._server is not None:
                self._server.shutdown()
                self._server.server_close()
                self._server = None
            for connection in self._connections:
                with contextlib.suppress(OSError):
                    connection.shutdown(socket.SHUT_RDWR)

    def clear(self):
        with self._lock:
            self.log.clear()

    def close(self):
        self._stop_listening()


class StandinProcess(_RequestLog):
    """A FaultyServer in a child interpreter: the same fail/heal/acked/ack_times, over pipes."""

    def __init__(self, child):
        self._child = child
        self.port = int(child.stdout.readline())
        self.url = f"http://{LOOPBACK}:{self.port}"
        self.log = []
        self._lock = self._changed = threading.Condition()
        self._ready = False
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self._child.stdout:
            parts = line.split()
            with self._changed:
                if parts[0] == "ready":
                    self._ready = True
                else:
                    self.log.append((float(parts[1]), parts[2], parts[0]))
                self._changed.notify_all()

    def _command(self, text):
        with self._changed:
            self._ready = False
            self._child.stdin.write(text + "\n")
            self._child.stdin.flush()
            self._changed.wait_for(lambda: self._ready, timeout=5)

    def fail(self, fault, times=None, seconds=None):
        self._command(f"fail {fault} {times if times is not None else '-'} {seconds if seconds is not None else '-'}")

    def heal(self):
        self._command("heal")

    def wait_for_ack(self, command, after, timeout):
        """The first time after `after` that `command` was acknowledged, or None after `timeout`."""
        def found():
            return next((t for t in self.ack_times(command) if t >= after), None)

        with self._changed:
            self._changed.wait_for(lambda: found() is not None, timeout=timeout)
        return found()


@contextlib.contextmanager
def _driven_child(arguments, wrapper):
    """`python -m tools.testing.fault_standins <arguments>`, driven over its stdin through `wrapper`."""
    command = [sys.executable, "-m", "tools.testing.fault_standins", *arguments]
    child = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, cwd=ROOT)
    try:
        yield wrapper(child)
    finally:
        child.stdin.close()
        child.wait(timeout=10)


def standin_process(simulator=False):
    """A FaultyServer (controller answers, or the simulator's with `simulator`) in its own interpreter."""
    return _driven_child(["server"] + (["--simulator"] if simulator else []), StandinProcess)


class EmulatorProcess:
    def __init__(self, child):
        self._child = child
        self.port = child.stdout.readline().strip()

    def _command(self, text):
        self._child.stdin.write(text + "\n")
        self._child.stdin.flush()
        assert self._child.stdout.readline().strip() == "ready"

    def go_silent(self):
        self._command("silent")

    def answer_again(self):
        self._command("answer")

    def vanish(self):
        """Closes the emulator's pty: the board's port is gone."""
        self._command("vanish")


def controlled_emulator_process(speed):
    """A Cyton emulator in its own interpreter that goes silent, answers again or vanishes on request."""
    return _driven_child(["emulator", "--speed", str(speed)], EmulatorProcess)


def _serve(argv=None):
    parser = argparse.ArgumentParser(description="A fault stand-in driven over stdin.")
    parser.add_argument("what", choices=["server", "emulator"])
    parser.add_argument("--simulator", action="store_true")
    parser.add_argument("--speed", type=float, default=1.0)
    args = parser.parse_args(argv)
    lock = threading.Lock()

    def say(text):
        with lock:
            print(text, flush=True)

    if args.what == "server":
        server = FaultyServer(simulator_answer if args.simulator else controller_answer, on_event=say)
        say(str(server.port))
        for line in sys.stdin:
            words = line.split()
            if words[0] == "fail":
                times, seconds = (None if w == "-" else float(w) for w in words[2:4])
                server.fail(words[1], None if times is None else int(times), seconds)
            elif words[0] == "heal":
                server.heal()
            say("ready")
        server.close()
        return
    from tools.standins.cyton_emulator import CytonEmulator

    board = CytonEmulator(speed=args.speed).start()
    say(board.port)
    for line in sys.stdin:
        command = line.strip()
        if command in ("silent", "answer"):
            board.responsive = command == "answer"
        elif command == "vanish":
            board.stop()
        say("ready")
    board.stop()


if __name__ == "__main__":
    _serve()
