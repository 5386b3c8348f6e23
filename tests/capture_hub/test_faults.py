import os

import numpy as np

from tools.recording_faults import FaultySession, check_session, trial_numbers

FAULTS = {2: "skip", 3: "restart", 4: "fail_save", 5: "short", 6: "pull_port", 8: "silent"}


def test_a_session_with_faults_keeps_every_label_true(hub, capsys):
    hub.update_action_names({"Left_Hand": ["left", 3], "Right_Hand": ["right", 3], "Relax": ["relax", 3]})
    session = FaultySession(hub, speed=25, trial_samples=1300, rest_seconds=1.0)
    try:
        number, trials = session.record(FAULTS)
        out = capsys.readouterr().out
        saved = [trial for trial in trials if trial.saved]
        assert [trial.number for trial in trials if not trial.saved] == [2, 4, 8]
        # One task line per stored recording, in order; nothing of the failed write is left.
        assert hub._read_annotations_file(number) == [trial.action for trial in saved]
        assert all(not name.startswith(".") for name in os.listdir(hub.raw_dir))
        # The failed save's samples stay with the host, each of them from that trial.
        kept = trials[3].kept
        assert kept.shape[0] == 6 and kept.shape[1] >= 1300 and set(trial_numbers(kept[0])) == {4}
        for line in [
            "No channels enabled, skipping save",
            f"Task label {trials[1].action} removed: no channels were enabled",
            f"Task label {trials[2].action} removed: the recording was started again",
            "Recording not saved, its samples are kept in current_eeg_data: [Errno 27] File too large",
            f"Task label {trials[3].action} removed: the recording could not be saved",
            "Error stopping board: BOARD_WRITE_ERROR:4 unable to stop streaming session",
            "No samples recorded, skipping save",
            f"Task label {trials[7].action} removed: the board delivered no samples",
        ]:
            assert line in out, line
        assert sum("samples recorded, less than one second; saving them anyway" in line for line in out.splitlines()) == 1

        session.resave_kept(trials)
        report = check_session(hub, number, trials)
    finally:
        session.close()
    assert report == {
        "trials": 9, "saved": 6, "kept": 1, "mislabelled": 0, "unlabelled saved trials": 0, "out of order": 0,
        "lost": 0, "mixed files": 0, "stray files": 0, "unlabelled files": 1,
    }
    assert "Warning: 1 recordings had no task label and were joined unlabelled\n" in capsys.readouterr().out
    assert session.reopened == 1 and hub.next_session_number == number
