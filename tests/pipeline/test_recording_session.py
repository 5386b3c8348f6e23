"""A cued session recorded by the pipeline through capture_hub on the emulator: the hooks decide what
is cued, skipped and stopped, and a board that falls silent ends the session with its saved trials."""
import glob
import os
import threading

import pytest

from corvane import pipeline
from corvane.standins.cyton_emulator import CytonEmulator
from corvane.standins.simulated_subject import SimulatedSubject

pytestmark = pytest.mark.slow
SPEED = 25.0


def saved_trials(session):
    return len(glob.glob(os.path.join(session.raw_dir, f"session{session.session}_*_raw.fif")))


def test_hooks_skip_and_stop_trials_and_a_silent_board_ends_the_session(tmp_path):
    subject, stop, seen, events = SimulatedSubject(seed=1), threading.Event(), [], []

    def cue(trial):
        seen.append((trial.n, trial.label))
        subject.cue = trial.label
        return trial.n != 2   # the second trial is skipped

    def rest(trial):
        subject.cue = None
        if trial.n == 3:
            stop.set()

    options = dict(trial_seconds=1.0, rest_seconds=0.1, speed=SPEED, trials_per_class=3,
                   actions={"Left_Hand": "left hand", "Relax": "relax"})
    with CytonEmulator(signal=subject, speed=SPEED) as emulator:
        hub = pipeline.open_hub(emulator.port, tmp_path)
        try:
            first = pipeline.record_session(hub, cue=cue, rest=rest, stop=stop, progress=events.append, **options)
            assert (first.total, first.recorded, first.skipped, first.stopped) == (6, 2, 1, True)
            assert saved_trials(first) == 2 and {label for _, label in seen} <= {"left", "relax"}
            assert [e.done for e in events] == [0, 1, 2, 6] and events[-1].final and events[-1].stage == "record"

            def fall_silent(trial):
                emulator.responsive = trial.n < 2
            with pytest.raises(pipeline.BoardSilent, match="The board stopped sending data") as failed:
                pipeline.record_session(hub, cue=fall_silent, **options)
            assert failed.value.trial == 2
            # The silent session was closed (what its trials recorded stays); the next gets a new number.
            assert hub.next_session_number == first.session + 2
            emulator.responsive = True
            assert saved_trials(pipeline.record_session(hub, **options)) == 6
        finally:
            emulator.responsive = True
            hub.stop_stream()
    with pytest.raises(pipeline.PipelineError, match="The board did not open on"):
        pipeline.open_hub(str(tmp_path / "no-board"), tmp_path)
