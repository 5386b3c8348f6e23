"""Soak of recording under faults: one cued session of the default 105 trials through the Cyton
emulator at 10x. The first trials are recorded by recorders killed while saving (child processes,
each resumed by the next); the rest in this process with faults at random trials (a skipped save,
a failed save, a silent board, a board falling silent early, a pulled port, a restarted recording,
the clock stepped back or forward, a second recorder starting up, a full disk). The samples of
failed saves are saved again after the session; the session is then combined and analysed, and
every label is checked against the cue that was played during the samples it spans. A second,
short session is then deleted by a recorder killed at a random step of the deletion: it must be
whole or gone. Last, the store client's peak memory on an answer over its cap against its idle one.

    .venv/bin/python -m bench.capture_hub_soak [--speed 10] [--faults 20] [--kills 3] [--seed 1]

Exits with status 1 unless it finds zero mislabelled and zero lost trials.
"""

import argparse
import collections
import contextlib
import io
import os
import random
import resource
import subprocess
import sys
import tempfile
import time

TRIALS = 105


def store_memory(declared):
    """Child: the peak RSS (MiB) idle after a normal load, then after an answer of 300 MiB."""
    from capture_hub import CaptureHub
    from corvane.standins.session_store import SessionStore
    from tests.support.testbed import MisbehavingStore

    with contextlib.redirect_stdout(io.StringIO()):
        hub = CaptureHub()
        with SessionStore() as store:
            hub.api_url = store.url
            hub.save_session_data(1, b"x" * 1000)
            hub.load_session_data(1)
        idle = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
        with MisbehavingStore(huge=300 << 20, declared=declared) as huge:
            hub.api_url = huge.url
            assert hub.load_session_data(1) is None
    print(f"{idle:.0f} {resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024:.0f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--speed", type=float, default=10.0)
    parser.add_argument("--faults", type=int, default=20, help="trials with a fault injected in this process")
    parser.add_argument("--kills", type=int, default=3, help="recorders killed while saving")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--store-memory", choices=["declared", "streamed"], help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.store_memory:
        return store_memory(args.store_memory == "declared")

    import mne
    from brainflow.board_shim import BoardShim

    from tests.support.crash_points import DELETE_STEPS, SAVE_STEPS
    from tests.support.recorder_crashes import delete_then_die, record_then_die, settle_saved
    from tests.support.recording_faults import FAULTS, FaultySession, check_session, label_errors

    mne.set_log_level("ERROR")
    BoardShim.disable_board_logger()
    rng = random.Random(args.seed)
    lives = [(rng.randint(2, 5), rng.choice(list(SAVE_STEPS))) for _ in range(args.kills)]
    first = 1 + sum(count for count, _ in lives)
    # Every kind once (when there are enough faults), the rest drawn at random.
    kinds = list(FAULTS)[: args.faults] + [rng.choice(FAULTS) for _ in range(args.faults - len(FAULTS))]
    rng.shuffle(kinds)
    faults = dict(zip(rng.sample(range(first, TRIALS + 1), args.faults), kinds))
    delete_step = rng.choice(list(DELETE_STEPS))

    with tempfile.TemporaryDirectory(prefix="capture_hub_soak_") as base:
        os.environ["CORVANE_PATH"] = base
        os.environ["CORVANE_SERIAL_PORT"] = os.path.join(base, "no-port")
        output = io.StringIO()
        began = time.monotonic()
        trials = []
        for count, step in lives:
            trials += record_then_die(base, count, step, session=None if not trials else 1, first=len(trials) + 1,
                                      speed=args.speed)
        with contextlib.redirect_stdout(output):
            from capture_hub import CaptureHub

            hub = CaptureHub()
            settle_saved(hub, 1, trials)
            session = FaultySession(hub, speed=args.speed)
            try:
                number, more = session.record(faults, number=1, first=first, count=TRIALS - first + 1)
                trials += more
                recorded = time.monotonic() - began
                session.resave_kept(trials)
                report = check_session(hub, number, trials)
                # A short session, deleted by a recorder killed part-way.
                doomed_number, doomed = session.record({}, count=6, first=1001)
            finally:
                session.close()
            delete_then_die(base, doomed_number, delete_step)
            whole = bool(hub._read_annotations_file(doomed_number))
            combined = mne.io.read_raw_fif(hub.combine_all_fif_files(), preload=True)
            all_mislabelled, _ = label_errors(combined, trials + doomed)
            doomed_report = check_session(hub, doomed_number, doomed) if whole else None
            hub.delete_session(doomed_number)
            leftovers = [n for n in os.listdir(hub.raw_dir) if n.startswith(f"session{doomed_number}_")]
        elapsed = time.monotonic() - began

    lines = output.getvalue().splitlines()
    counts = collections.Counter(faults.values())
    print(f"session of {report['trials']} trials at {args.speed:g}x recorded in {recorded:.1f} s "
          f"({elapsed:.1f} s with combining, analysis and the deletion)")
    print("recorders killed while saving: " + ", ".join(f"after {count} trials {step}" for count, step in lives))
    print("faults injected: " + ", ".join(f"{name} {counts[name]}" for name in FAULTS)
          + f" (port re-opened {session.reopened} times, second recorders refused "
          f"{sum(r.startswith('refused: Another recorder') for r in session.refusals)}/{counts['second_recorder']})")
    print(f"trials saved {report['saved']}, failed saves kept and saved again {report['kept']}, "
          f"task labels removed {sum(line.startswith('Task label ') for line in lines)}, "
          f"short-trial warnings {sum(line.startswith('Warning: only ') for line in lines)}")
    print(f"files without a label {report['unlabelled files']}, files mixing trials {report['mixed files']}, "
          f"stray files {report['stray files']}, saved trials without a label {report['unlabelled saved trials']}")
    doomed_bad = 0 if doomed_report is None else doomed_report["mislabelled"] + doomed_report["lost"]
    print(f"deletion killed {delete_step}: session {'whole' if whole else 'gone'}, mislabelled {doomed_bad}, "
          f"labels wrong in the all-sessions file {all_mislabelled}, files left after deleting again {len(leftovers)}")
    print(f"mislabelled {report['mislabelled'] + doomed_bad + all_mislabelled}, lost {report['lost']}")
    for kind in ("declared", "streamed"):
        figures = subprocess.run([sys.executable, "-m", "bench.capture_hub_soak", "--store-memory", kind],
                                 capture_output=True, text=True, check=True).stdout.split()
        print(f"store client, 300 MiB answer {kind} {'by its Content-Length' if kind == 'declared' else 'unsized'}: "
              f"peak RSS {figures[-1]} MiB against {figures[-2]} MiB idle")
    bad = report["mislabelled"] + report["lost"] + report["unlabelled saved trials"] + report["mixed files"]
    bad += report["stray files"] + report["out of order"] + (report["unlabelled files"] != report["kept"])
    bad += doomed_bad + all_mislabelled + len(leftovers)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
