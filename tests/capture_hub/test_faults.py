import os
import signal
import subprocess
import sys
import textwrap

import pytest

from tests.capture_hub.helpers import make_recordings, write_annotations
from tests.support.recording_faults import FaultySession, check_session, trial_numbers

FAULTS = {2: "skip", 3: "restart", 4: "fail_save", 5: "short", 6: "pull_port", 8: "silent"}


@pytest.mark.slow
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
    assert session.reopened == 1


def test_a_crash_while_a_trial_is_written_leaves_nothing_that_is_combined(hub, capsys):
    # The writer is killed by the file-size signal part-way through its trial file.
    script = textwrap.dedent(
        """
        import resource, signal
        import numpy as np
        from capture_hub import CaptureHub
        hub = CaptureHub()
        hub.current_session_num = 1
        signal.signal(signal.SIGXFSZ, signal.SIG_DFL)
        resource.setrlimit(resource.RLIMIT_FSIZE, (16384, resource.RLIM_INFINITY))
        hub.save_to_fif(np.zeros((6, 5000)))
        """
    )
    env = dict(os.environ, CORVANE_SERIAL_PORT=os.path.join(hub.data_dir, "no-port"))
    result = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, timeout=120)
    assert result.returncode == -signal.SIGXFSZ, result.stderr.decode()[-2000:]
    [left] = os.listdir(hub.raw_dir)
    assert left.startswith(".session1_") and os.path.getsize(os.path.join(hub.raw_dir, left)) == 16384
    make_recordings(hub, 1, [40])
    write_annotations(hub, "\nsession1\n")
    hub.current_session_num = 1
    capsys.readouterr()
    hub.combine_fif_files()
    hub.combine_all_fif_files()
    out = capsys.readouterr().out
    assert "Found 1 raw files:" in out and "Found 1 total raw files:" in out and left not in out
    assert hub._get_next_session_number() == 2
