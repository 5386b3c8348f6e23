"""Board stand-ins that fail on demand, for fault-injection tests and benchmarks (re-exported by
tests.support.testbed).

- electrode_fault: an emulator signal with one channel railed (pinned to full scale, as a detached
  electrode gives) or flat (held at one value, as an unplugged input gives) from a chosen sample.
- controlled_emulator_process: a Cyton emulator in its own interpreter that can be made to go
  silent, answer again, have its port vanish, or have an electrode fail and recover.
"""
import argparse
import sys

import numpy as np

from corvane.standins.cyton_emulator import COUNT_MAX, MICROVOLTS_PER_COUNT, CytonEmulator
from tests.support.fault_standins import driven_child

FULL_SCALE_MICROVOLTS = COUNT_MAX * MICROVOLTS_PER_COUNT
FLAT_MICROVOLTS = -3.5


def electrode_fault(signal, channel, kind, start=0):
    """`signal` (first_sample, count) -> (count, 8) microvolts, with `channel` "railed" or "flat" from `start` on."""
    if kind not in ("railed", "flat"):
        raise ValueError(f"unknown electrode fault {kind!r}")

    def faulty(first_sample, count):
        values = np.array(signal(first_sample, count), dtype=np.float64)
        failed = np.arange(first_sample, first_sample + count) >= start
        values[failed, channel] = FULL_SCALE_MICROVOLTS if kind == "railed" else FLAT_MICROVOLTS
        return values

    return faulty


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

    def electrode(self, kind, channel):
        """From the next sample on, `channel` is "railed" or "flat"."""
        self._command(f"{kind} {channel}")

    def clean(self):
        """Every electrode back in place."""
        self._command("clean")


def controlled_emulator_process(speed):
    """A Cyton emulator in its own interpreter that goes silent, answers again, vanishes, or has an
    electrode fail, on request."""
    return driven_child(__name__, ["--speed", str(speed)], EmulatorProcess)


def _serve(argv=None):
    parser = argparse.ArgumentParser(description="A Cyton emulator driven over stdin.")
    parser.add_argument("--speed", type=float, default=1.0)
    args = parser.parse_args(argv)
    board = CytonEmulator(speed=args.speed).start()
    healthy = board.signal
    print(board.port, flush=True)
    for line in sys.stdin:
        command, *rest = line.split()
        if command in ("silent", "answer"):
            board.responsive = command == "answer"
        elif command == "vanish":
            board.stop()
        elif command in ("railed", "flat"):
            board.signal = electrode_fault(board.signal, int(rest[0]), command, board.samples_sent)
        elif command == "clean":
            board.signal = healthy
        print("ready", flush=True)
    board.stop()


if __name__ == "__main__":
    _serve()
