"""Labels stay true through what happens outside the hub: a stepped clock, a second recorder, a full
disk, descriptors running out, a recorder killed while saving or deleting, a file that cannot be
read. Every label is checked against the cue played during the samples it spans."""
import os
import random
import threading
import time

import mne
import pytest

from capture_hub import CaptureHub
from tests.capture_hub.helpers import SEPARATOR, annotation_text, make_recordings, write_annotations
from tests.support.crash_points import DELETE_STEPS, SAVE_STEPS
from tests.support.recorder_crashes import delete_then_die, record_then_die, settle_saved
from tests.support.recording_faults import FaultySession, check_session, label_errors, stored_trials

ACTIONS = {"Left_Hand": ["left", 3], "Right_Hand": ["right", 3], "Relax": ["relax", 3]}
CLEAN = {"mislabelled": 0, "unlabelled saved trials": 0, "out of order": 0, "lost": 0, "mixed files": 0,
         "stray files": 0}


def clean(report):
    return {key: report[key] for key in CLEAN}


@pytest.fixture
def recording(hub):
    """A FaultySession on a new emulator; no thread of it outlives the test."""
    hub.update_action_names(ACTIONS)
    threads = set(threading.enumerate())
    session = FaultySession(hub, speed=25, trial_samples=1300, rest_seconds=1.0)
    yield session
    session.close()
    deadline = time.monotonic() + 10
    while set(threading.enumerate()) - threads and time.monotonic() < deadline:
        time.sleep(0.05)
    assert not set(threading.enumerate()) - threads


@pytest.mark.slow
def test_clock_steps_a_second_recorder_and_a_full_disk_keep_every_label_true(hub, recording):
    faults = {2: "clock_back", 4: "second_recorder", 5: "full_disk", 7: "clock_forward", 8: "clock_back"}
    first, trials = recording.record(faults)
    # The same hub records a second session under a number of its own.
    second, more = recording.record({1: "clock_back"})
    assert (first, second, hub.next_session_number) == (1, 2, 3)
    base = os.path.dirname(hub.data_dir)
    assert recording.refusals == [f"refused: Another recorder (process {os.getpid()}) is using {base}: only one "
                                  "recorder at a time may open a session or record there"]
    # File names sort in recording order although the clock went back twice.
    assert stored_trials(hub, first)[1] == [trial.number for trial in trials if trial.saved]
    hub.current_session_num = first
    recording.resave_kept(trials)
    for number, played, saved in ((first, trials, 8), (second, more, 9)):
        report = check_session(hub, number, played)
        assert clean(report) == CLEAN and report["saved"] == saved


@pytest.mark.slow
def test_a_label_that_cannot_be_removed_stops_the_session(hub, recording):
    random.seed(2)  # a shuffle whose first two trials differ in class, which the analysis needs
    number, trials = recording.record({3: "no_files"})
    assert trials[0].action != trials[1].action
    error = trials[2].error
    assert len(trials) == 3 and error.startswith(f"Task label {trials[2].action} could not be removed after the "
                                                 "recording could not be saved ([Errno 24] Too many open files")
    assert error.endswith("): the session was stopped so that no later trial is mislabelled")
    assert (hub.is_recording, hub.task_sequence, hub.next_session_number) == (False, [], 2)
    # The session is over and the directory free: another recorder opens the next session.
    other = CaptureHub()
    assert other.initialize_session(other.next_session_number) and other.current_session_num == 2
    other.stop_session()
    report = check_session(hub, number, trials)
    assert clean(report) == CLEAN and (report["saved"], report["kept"]) == (2, 1)


@pytest.mark.slow
@pytest.mark.parametrize("step", SAVE_STEPS)
def test_a_recorder_killed_while_saving_is_resumed_with_every_label_true(hub, base, step):
    trials = settle_saved(hub, 1, record_then_die(base, count=3, step=step))
    assert [trial.saved for trial in trials] == [True, True, step == "after the link"]
    hub.update_action_names(ACTIONS)
    # The dead recorder's lock went with it: session 1 opens again here and goes on.
    session = FaultySession(hub, speed=25, trial_samples=1300, rest_seconds=1.0)
    try:
        _, more = session.record({}, number=1, first=4, count=3)
    finally:
        session.close()
    report = check_session(hub, 1, trials + more)
    assert clean(report) == CLEAN and report["saved"] == 5 + (step == "after the link")


@pytest.mark.slow
@pytest.mark.parametrize("step", DELETE_STEPS)
def test_a_deletion_killed_at_any_step_leaves_the_session_whole_or_gone(hub, base, recording, step, capsys):
    # Four and six of the nine trials hold two classes at least, as the analysis needs.
    kept_number, kept = recording.record({}, count=4)
    number, doomed = recording.record({}, count=6, first=5)
    assert delete_then_die(base, number, step)
    if step == "before the log":
        assert clean(check_session(hub, number, doomed)) == CLEAN
    else:
        assert hub._read_annotations_file(number) == []
        capsys.readouterr()
        combined = mne.io.read_raw_fif(hub.combine_all_fif_files(), preload=True, verbose="error")
        left = {"after the log": 6, "after one file": 5, "after three files": 3}[step]
        assert f"Ignoring {left} recordings whose session has no block" in capsys.readouterr().out
        assert label_errors(combined, kept + doomed) == (0, [1, 2, 3, 4])
        hub.delete_session(number)
        assert not [name for name in os.listdir(hub.raw_dir) if name.startswith(f"session{number}_")]
    assert clean(check_session(hub, kept_number, kept)) == CLEAN


@pytest.mark.slow
def test_an_unreadable_trial_file_drops_only_its_own_label(hub, recording, capsys):
    number, trials = recording.record({}, count=5)
    names, _ = stored_trials(hub, number)
    empty = os.path.join(hub.raw_dir, names[2])
    open(empty, "w").close()
    capsys.readouterr()
    combined = mne.io.read_raw_fif(hub.combine_fif_files(), preload=True, verbose="error")
    assert f"Skipping unreadable recording {empty}: " in capsys.readouterr().out
    assert label_errors(combined, trials) == (0, [1, 2, 4, 5])
    hub.analyze_session(number)
    assert label_errors(hub.raw_data, trials, short=False) == (0, [1, 2, 4, 5])


@pytest.mark.parametrize(
    "log, files, outcome",
    [
        # What an interrupted deletion leaves: recordings without a block.
        ("", 2, "Session 1 has 2 recordings but 0 task labels"),
        # Recordings saved outside a trial.
        (f"\nsession1\nRelax\n{SEPARATOR}\n", 2, "Session 1 has 2 recordings but 1 task labels"),
        # A recorder killed before its last trial's file was linked: its block is closed and the
        # label without a file taken out.
        ("\nsession1\nRelax\nLeft_Hand\n", 1, f"\nsession1\nRelax\n{SEPARATOR}\n\nsession1\n"),
    ],
)
def test_a_session_resumes_only_when_its_labels_match_its_recordings(hub, log, files, outcome):
    write_annotations(hub, log)
    make_recordings(hub, 1, [20] * files)
    if outcome.startswith("Session"):
        with pytest.raises(ValueError, match=f"^{outcome}, so new trials would be paired with the wrong"):
            hub.initialize_session(1)
        assert annotation_text(hub) == log
    else:
        hub.initialize_session(1)
        assert annotation_text(hub) == outcome
