"""Fault to stop: for each kind of fault, the time from the fault to "S" acknowledged by the
actuator controller.

main() runs in this process against a Cyton emulator streaming in real time and a controller and
a simulator stand-in in processes of their own; the controller stand-in stamps each answer with
the machine's monotonic clock, the same clock the fault is stamped with here.

- SIGTERM, SIGHUP: the signal sent to this process.
- controller answers 500 / drops the connection / hangs past the limit, once, or refuses
  connections for half a second: the fault meets the stop sent on the way out (a SIGTERM at the
  fault's moment).
- controller answers after 4 s: the stop's answer completes 4 s after the request (each byte in
  time for a per-read limit), once.
- simulator hangs / trickles (one byte every 0.7 s): every simulator request meets it; timed from
  the SIGTERM that stops the program.
- Ctrl-C three times: the controller answers 500 for 0.7 s, and SIGINT is sent three times 0.3 s
  apart; timed from the first.
- board goes silent, board's port vanishes: the emulator stops sending, or its pty is closed.
- railed electrode, flat electrode: C3 pinned to full scale, or held at one value, while the device
  is taken to be moving ("F"); timed to the stop the signal check sends (the program is stopped
  4 s after the fault).

- frozen reader, then silent board; controller name stops resolving: see
  bench.live_pilot_program_faults (the program run as `python -m live_pilot`).

Targets: at most 2 s for link faults and signals, at most one step (1.752 s) plus 1 s for the board
and the electrodes.

    .venv/bin/python -m bench.live_pilot_faults [--repeats 3]
"""

import argparse
import contextlib
import io
import os
import random
import signal
import threading
import time

from bench.live_pilot_common import import_live_pilot, temporary_folder
from bench.live_pilot_program_faults import frozen_reader, unresolvable_name
from corvane.facts import LIVE_STEP, SAMPLING_RATE
from tests.support.testbed import build_artefacts, controlled_emulator_process, restart_stream, standin_process

STEP_SECONDS = LIVE_STEP / SAMPLING_RATE
LINK_TARGET, BOARD_TARGET = 2.0, STEP_SECONDS + 1.0


def stop_signal(number):
    def inject(outputs):
        os.kill(os.getpid(), number)
    return inject


def link_fault(server, kind, times=None, seconds=None):
    def inject(outputs):
        getattr(outputs, server).fail(kind, times, seconds)
        os.kill(os.getpid(), signal.SIGTERM)
    return inject


def repeated_interrupts(outputs):
    """Ctrl-C three times, 0.3 s apart, while the controller answers 500 for 0.7 s."""
    outputs.controller.fail("500")
    threading.Timer(0.7, outputs.controller.heal).start()
    moment = time.monotonic()
    for press in range(3):
        os.kill(os.getpid(), signal.SIGINT)
        if press < 2:
            time.sleep(0.3)
    return moment


def simulator_fault(kind):
    """The program is stopped while the loop waits a second on every simulator request."""
    def inject(outputs):
        outputs.simulator.fail(kind)
        time.sleep(1.5)
        stopped = time.monotonic()
        os.kill(os.getpid(), signal.SIGTERM)
        outputs.simulator.heal()
        return stopped
    return inject


def electrode(kind):
    """C3 fails while the device moves; the program is stopped 4 s later."""
    def inject(outputs):
        outputs.module.arduino.current_command = "F"
        outputs.board.electrode(kind, 1)
        moment = time.monotonic()
        threading.Timer(4.0, os.kill, (os.getpid(), signal.SIGTERM)).start()
        return moment
    return inject


# kind -> (inject(outputs), target in seconds)
CASES = {
    "SIGTERM": (stop_signal(signal.SIGTERM), LINK_TARGET),
    "SIGHUP": (stop_signal(signal.SIGHUP), LINK_TARGET),
    "controller answers 500": (link_fault("controller", "500", 1), LINK_TARGET),
    "controller drops the connection": (link_fault("controller", "drop", 1), LINK_TARGET),
    "controller hangs past the limit": (link_fault("controller", "hang", 1), LINK_TARGET),
    "controller refuses for 0.5 s": (link_fault("controller", "refuse", seconds=0.5), LINK_TARGET),
    "controller answers after 4 s": (link_fault("controller", "slow", 1), LINK_TARGET),
    "Ctrl-C x3, controller 500 for 0.7 s": (repeated_interrupts, LINK_TARGET),
    "simulator hangs": (simulator_fault("hang"), LINK_TARGET),
    "simulator trickles": (simulator_fault("trickle"), LINK_TARGET),
    "railed electrode": (electrode("railed"), BOARD_TARGET),
    "flat electrode": (electrode("flat"), BOARD_TARGET),
    "board goes silent": (lambda outputs: outputs.board.go_silent(), BOARD_TARGET),
    "board's port vanishes": (lambda outputs: outputs.board.vanish(), BOARD_TARGET),
}
# A run decodes nothing before it holds a whole window (5 s): electrodes fail after its first window.
FAULT_AFTER = {"railed electrode": (6.0, 7.5), "flat electrode": (6.0, 7.5)}
# Timed against the program run on its own: measure(env, outputs, folder) -> seconds or None.
PROGRAM_CASES = {
    "frozen reader, then silent board": (frozen_reader, BOARD_TARGET),
    "controller name stops resolving": (unresolvable_name, LINK_TARGET),
}


def measure(lp, outputs, inject, rng, after=(2.0, 3.5)):
    """Runs main(), injects the fault 2-3.5 s in (or `after`), and returns the seconds from it (or
    from the moment `inject` returns) to the next acknowledged "S" (None when none came within 10 s)."""
    restart_stream(lp.board)
    stamped = []

    def fault():
        time.sleep(rng.uniform(*after))
        moment = time.monotonic()
        stamped.append(inject(outputs) or moment)

    injector = threading.Thread(target=fault)
    injector.start()
    with contextlib.redirect_stdout(io.StringIO()):
        try:
            lp.main()
        except Exception:
            pass  # a board fault ends main with its error, after the stop
    injector.join()
    acknowledged = outputs.controller.wait_for_ack("S", stamped[0], timeout=10)
    return None if acknowledged is None else acknowledged - stamped[0]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    rng = random.Random(12)
    results = {}
    with contextlib.ExitStack() as stack:
        folder = stack.enter_context(temporary_folder())
        board = stack.enter_context(controlled_emulator_process(1.0))
        controller = stack.enter_context(standin_process())
        simulator = stack.enter_context(standin_process(simulator=True))
        artefacts = build_artefacts(folder)
        lp, _, _ = import_live_pilot(artefacts, board.port, simulator, controller)
        outputs = type("Outputs", (), {"board": board, "controller": controller, "simulator": simulator, "module": lp})
        # The program cases first, while the board's port is there: the module lets go of the board.
        lp.board.release_session()
        env = dict(os.environ, PYTHONUNBUFFERED="1")
        program_results = {kind: [run(env, outputs, folder) for _ in range(args.repeats)]
                           for kind, (run, _) in PROGRAM_CASES.items()}
        for kind, (inject, target) in CASES.items():
            repeats = 1 if kind == "board's port vanishes" else args.repeats  # the port is gone for good
            results[kind] = []
            for _ in range(repeats):
                results[kind].append(measure(lp, outputs, inject, rng, FAULT_AFTER.get(kind, (2.0, 3.5))))
                if kind == "board goes silent":
                    board.answer_again()
                if kind in FAULT_AFTER:
                    board.clean()
        results.update(program_results)
        with contextlib.redirect_stdout(io.StringIO()):
            lp.cleanup_resources()

    print(f"fault to \"S\" acknowledged at the controller stand-in ({args.repeats} runs each, ms):")
    for kind, times in results.items():
        target = (CASES.get(kind) or PROGRAM_CASES[kind])[1]
        shown = ", ".join("none" if t is None else f"{t * 1e3:.0f}" for t in times)
        met = all(t is not None and t <= target for t in times)
        print(f"  {kind:36s} {shown:24s} target <= {target * 1e3:.0f}: {'met' if met else 'MISSED'}")


if __name__ == "__main__":
    main()
