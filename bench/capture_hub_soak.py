"""Soak of recording under faults: one cued session of the default 105 trials through the Cyton
emulator at 10x, with faults injected at random trials (a skipped save, a failed save, a silent
board, a board falling silent early, a pulled port, a restarted recording). The samples of failed
saves are saved again after the session; the session is then combined and analysed, and every
label is checked against the cue that was played during the samples it spans.

    .venv/bin/python -m bench.capture_hub_soak [--speed 10] [--faults 20] [--seed 1]

Exits with status 1 unless it finds zero mislabelled and zero lost trials.
"""

import argparse
import collections
import contextlib
import io
import os
import random
import sys
import tempfile
import time


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--speed", type=float, default=10.0)
    parser.add_argument("--faults", type=int, default=20, help="trials with a fault injected")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()

    import mne
    from brainflow.board_shim import BoardShim

    from tools.testing.recording_faults import FAULTS, FaultySession, check_session

    mne.set_log_level("ERROR")
    BoardShim.disable_board_logger()
    rng = random.Random(args.seed)
    faults = {number: rng.choice(FAULTS) for number in rng.sample(range(1, 106), args.faults)}

    with tempfile.TemporaryDirectory(prefix="capture_hub_soak_") as base:
        os.environ["CORVANE_PATH"] = base
        os.environ["CORVANE_SERIAL_PORT"] = os.path.join(base, "no-port")
        output = io.StringIO()
        began = time.monotonic()
        with contextlib.redirect_stdout(output):
            from capture_hub import CaptureHub

            hub = CaptureHub()
            session = FaultySession(hub, speed=args.speed)
            try:
                number, trials = session.record(faults)
                recorded = time.monotonic() - began
                session.resave_kept(trials)
                report = check_session(hub, number, trials)
            finally:
                session.close()
        elapsed = time.monotonic() - began

    lines = output.getvalue().splitlines()
    counts = collections.Counter(faults.values())
    print(f"session of {report['trials']} trials at {args.speed:g}x recorded in {recorded:.1f} s "
          f"({elapsed:.1f} s with combining and analysis)")
    print("faults injected: " + ", ".join(f"{name} {counts[name]}" for name in FAULTS)
          + f" (port re-opened {session.reopened} times)")
    print(f"trials saved {report['saved']}, failed saves kept and saved again {report['kept']}, "
          f"task labels removed {sum(line.startswith('Task label ') for line in lines)}, "
          f"short-trial warnings {sum(line.startswith('Warning: only ') for line in lines)}")
    print(f"files without a label {report['unlabelled files']}, files mixing trials {report['mixed files']}, "
          f"stray files {report['stray files']}, saved trials without a label {report['unlabelled saved trials']}")
    print(f"mislabelled {report['mislabelled']}, lost {report['lost']}")
    bad = report["mislabelled"] + report["lost"] + report["unlabelled saved trials"] + report["mixed files"]
    bad += report["stray files"] + report["out of order"] + (report["unlabelled files"] != report["kept"])
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
