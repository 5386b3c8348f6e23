"""Recorders that die: a child process records trials through its own Cyton emulator, or deletes a
session, and is killed with SIGKILL at a chosen step (tests.support.crash_points).

    trials = record_then_die(base, count=4, step="before the link")   # dies saving trial 4
    died = delete_then_die(base, 2, "after one file")

The child's trials come back as Trial records (their `saved` is settled afterwards from raw_dir, by
the marked samples); the killed trial has fault "killed".
"""
import argparse
import contextlib
import io
import json
import os
import signal
import subprocess
import sys
from pathlib import Path

from tests.support.crash_points import DELETE_STEPS, SAVE_STEPS
from tests.support.recording_faults import Trial, stored_trials

ROOT = Path(__file__).resolve().parents[2]


def _child(base, *args):
    env = dict(os.environ, CORVANE_PATH=str(base), CORVANE_SERIAL_PORT=os.path.join(str(base), "no-port"))
    return subprocess.run([sys.executable, "-m", "tests.support.recorder_crashes", *args], env=env, cwd=ROOT,
                          capture_output=True, text=True, timeout=300)


def record_then_die(base, count, step, session=None, first=1, speed=25.0):
    """A child records `count` trials into `session` (the next one when None), numbered from
    `first`, and is killed at `step` of the last trial's save. Returns the trials played."""
    job = {"count": count, "step": step, "session": session, "first": first, "speed": speed}
    result = _child(base, "record", json.dumps(job))
    if result.returncode not in (-signal.SIGKILL, -signal.SIGXFSZ):
        raise AssertionError(f"the recorder was not killed ({result.returncode}): {result.stderr[-2000:]}")
    trials = [Trial(**json.loads(line[len("trial "):])) for line in result.stdout.splitlines()
              if line.startswith("trial ")]
    trials[-1].fault = "killed"
    return trials


def settle_saved(hub, session, trials):
    """Marks each trial saved when a recording of the session holds its samples."""
    _, stored = stored_trials(hub, session)
    for trial in trials:
        trial.saved = trial.number in stored
    return trials


def delete_then_die(base, session, step):
    """A child deletes `session` and is killed at `step`; returns True when it died there (a
    step the deletion never reached lets it finish)."""
    result = _child(base, "delete", json.dumps({"session": session, "step": step}))
    if result.returncode not in (0, -signal.SIGKILL):
        raise AssertionError(f"the deletion failed ({result.returncode}): {result.stderr[-2000:]}")
    return result.returncode == -signal.SIGKILL


def _record(job):
    from capture_hub import CaptureHub
    from tests.support.recording_faults import FaultySession

    with contextlib.redirect_stdout(io.StringIO()):
        hub = CaptureHub()
        session = FaultySession(hub, speed=job["speed"], trial_samples=1300, rest_seconds=1.0)
    number = hub.next_session_number if job["session"] is None else job["session"]
    hub.initialize_session(number)
    for k in range(job["count"]):
        task = hub.get_next_task()
        trial = Trial(job["first"] + k, task[0])
        print("trial " + json.dumps({"number": trial.number, "action": trial.action}), flush=True)
        if k == job["count"] - 1:
            # The last trial's save is cut short by the crash point.
            session.crash_point = SAVE_STEPS[job["step"]]
        with contextlib.redirect_stdout(io.StringIO()):
            session._trial(trial)
    raise AssertionError("the crash point was never reached")


def _delete(job):
    from capture_hub import CaptureHub

    hub = CaptureHub()
    with DELETE_STEPS[job["step"]]():
        hub.delete_session(job["session"])


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description="A recorder that dies at a chosen step.")
    parser.add_argument("action", choices=["record", "delete"])
    parser.add_argument("job")
    args = parser.parse_args()
    (_record if args.action == "record" else _delete)(json.loads(args.job))
