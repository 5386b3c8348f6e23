import os
import subprocess
import sys

import mne
import numpy as np
import pytest

from corvane.facts import ELECTRODES, SAMPLING_RATE
from corvane.standins.make_sample_recording import ACTIONS, make_sample_recording


def read_block(path):
    """Task lines of the session1 block, read the way the analysis of session 0 reads them."""
    tasks, inside = [], False
    for line in open(path):
        line = line.strip()
        if line == "session1":
            inside = True
        elif line.startswith("_"):
            break
        elif inside and line:
            tasks.append(line)
    return tasks


def test_sample_files_match_each_other_and_the_recorded_format(tmp_path):
    annotations, fif, written = make_sample_recording(str(tmp_path), seed=1, trials_per_class=3)
    assert written
    assert annotations == str(tmp_path / "sample_data" / "annotations.txt")
    assert fif == str(tmp_path / "sample_data" / "formatted" / "S03.fif")
    assert sorted(os.listdir(tmp_path / "sample_data" / "formatted")) == ["S03.fif"]

    tasks = read_block(annotations)
    assert sorted(tasks) == sorted(list(ACTIONS) * 3) and tasks != list(ACTIONS) * 3  # shuffled

    raw = mne.io.read_raw_fif(fif, preload=True, verbose="error")
    assert raw.ch_names == list(ELECTRODES)
    assert raw.info["sfreq"] == SAMPLING_RATE and raw.get_montage() is not None
    assert raw.n_times == 15 * 6 * SAMPLING_RATE
    # One annotation per trial, in the log's order, starting where the trial's samples start.
    assert list(raw.annotations.description) == [ACTIONS[t] for t in tasks]
    np.testing.assert_allclose(raw.annotations.onset, np.arange(15) * 6.0)
    np.testing.assert_allclose(raw.annotations.duration, 6.0)
    # Values are the board's microvolt numbers, as the recorder stores them.
    rms = raw.get_data().std(axis=1)
    assert np.all((rms > 5) & (rms < 100))

    events, ids = mne.events_from_annotations(raw, verbose="error")
    epochs = mne.Epochs(raw, events, event_id=ids, tmin=0.0, tmax=5.0, baseline=None,
                        preload=True, verbose="error")
    assert len(epochs) == 15 and sorted(ids) == ["blinking", "jaw", "left", "relax", "right"]
    # The pattern of a cue sits in its own trials: blinking trials carry the big FCz swings.
    fcz = epochs.get_data()[:, 0, :]
    swing = np.ptp(fcz, axis=1)
    blink = epochs.events[:, 2] == ids["blinking"]
    assert swing[blink].mean() > 1.5 * swing[~blink].mean()


@pytest.mark.slow
def test_command_keeps_existing_samples_unless_forced(tmp_path):
    def run(*extra):
        return subprocess.run([sys.executable, "-m", "corvane.standins.make_sample_recording", str(tmp_path),
                               "--trials-per-class", "2", *extra],
                              capture_output=True, text=True, check=True).stdout

    assert run().startswith("Wrote ")
    fif = tmp_path / "sample_data" / "formatted" / "S03.fif"
    first = fif.stat().st_mtime_ns
    assert run().startswith("Kept existing ") and fif.stat().st_mtime_ns == first
    assert run("--force", "--seed", "9").startswith("Wrote ")
    assert not any(name.endswith(".partial.fif") for name in os.listdir(fif.parent))
    with pytest.raises(ValueError, match="at least 2"):
        make_sample_recording(str(tmp_path / "other"), trials_per_class=1)


def test_sample_is_analysable_as_session_zero(tmp_path, monkeypatch):
    capture_hub = pytest.importorskip("capture_hub")
    make_sample_recording(str(tmp_path), seed=2, trials_per_class=3)
    monkeypatch.setenv("CORVANE_PATH", str(tmp_path))
    monkeypatch.setenv("CORVANE_SERIAL_PORT", str(tmp_path / "no-board"))
    hub = capture_hub.CaptureHub()
    assert hub.get_sample_files() == [os.path.join(str(tmp_path), "sample_data", "formatted",
                                                   "S03.fif")]
    patterns, classes = hub.analyze_session(0)
    assert classes == ["blinking", "jaw", "left", "relax", "right"]
    assert len(patterns) == 5 and all(p.shape == (6, 6) and np.any(p) for p in patterns)
