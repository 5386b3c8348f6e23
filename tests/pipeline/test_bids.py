"""Sessions recorded through capture_hub on the emulator, exported as a BIDS dataset, read back with
mne-bids against capture_hub's own combination of each session, and played through the emulator."""
import contextlib
import csv
import json
import os
import shutil
import subprocess
import sys
import time

import mne_bids
import numpy as np
import pytest
from brainflow.board_shim import BoardShim

from corvane import pipeline
from corvane.facts import BOARD_ID, ELECTRODES, SAMPLING_RATE as FS
from corvane.pipeline.bids import DATASET_NAME, export_bids
from corvane.standins.cyton_emulator import MICROVOLTS_PER_COUNT, CytonEmulator
from corvane.standins.bids_recording import recording_source
from corvane.standins.recording_playback import RecordingPlayback
from corvane.standins.simulated_subject import SimulatedSubject
from corvane.demo.errors import DemoError
from corvane.demo.playback import open_recording
from tests.capture_hub.helpers import command_line_tool
from tests.demo.test_recording_playback import host_for
from tests.support.testbed import file_size_limit, open_board

pytestmark = pytest.mark.slow
SPEED = 25.0
# BrainVision stores each sample as a 32-bit float (µV over the header's resolution): within one
# float32 rounding of the value, as the trial files (32-bit floats too) hold it.
FLOAT32 = float(np.finfo(np.float32).eps)


@pytest.fixture(scope="module")
def recorded(tmp_path_factory):
    """A base with two recorded sessions, and capture_hub's combined recording of each."""
    import mne

    base, subject = tmp_path_factory.mktemp("recorded"), SimulatedSubject(seed=2)
    combined = {}
    with CytonEmulator(signal=subject, speed=SPEED) as emulator:
        hub = pipeline.open_hub(emulator.port, base)
        try:
            for _ in range(2):
                session = pipeline.record_session(
                    hub, trial_seconds=2.0, rest_seconds=0.1, speed=SPEED, trials_per_class=2,
                    cue=lambda trial: setattr(subject, "cue", trial.label), rest=lambda trial: setattr(subject, "cue", None))
                raw = mne.io.read_raw_fif(pipeline.combine(hub).file, preload=True, verbose="error")
                combined[session.session] = (raw.get_data(), raw.annotations)
        finally:
            hub.stop_stream()
    return base, combined


def bids_recording(root, subject, session, run=None):
    return mne_bids.BIDSPath(subject=subject, session=session, task="motorimagery", run=run, datatype="eeg", root=root)


def test_sessions_export_read_back_and_play_through_the_emulator(recorded, tmp_path):
    base, combined = recorded
    root, events = tmp_path / "dataset", []
    exported = export_bids(base, root, progress=events.append)
    assert [s.session for s in exported.sessions] == sorted(combined) and events[-1].final
    for number, (microvolts, marks) in combined.items():
        raw = mne_bids.read_raw_bids(bids_recording(root, "01", str(number)), verbose="error")
        assert raw.ch_names == list(ELECTRODES) and raw.info["sfreq"] == FS
        np.testing.assert_allclose(raw.get_data() * 1e6, microvolts, rtol=FLOAT32, atol=0)
        assert list(raw.annotations.description) == list(marks.description)
        np.testing.assert_allclose(raw.annotations.onset, marks.onset, atol=0.5 / FS)
        np.testing.assert_allclose(raw.annotations.duration, marks.duration, atol=0.5 / FS)
        channels = read_tsv(bids_recording(root, "01", str(number)).update(suffix="channels", extension=".tsv").fpath)
        assert {(c["type"], c["units"]) for c in channels} == {("EEG", "µV")}
    assert json.loads((root / "dataset_description.json").read_text())["Name"] == DATASET_NAME
    for entities, refusal in [({}, r"2 EEG recordings in \S+ match no entities; pick one"),
                              ({"subject": "09"}, r"no EEG recording in \S+ matches subject 09; its recordings: sub-01")]:
        with pytest.raises(ValueError, match=refusal):
            RecordingPlayback(recording_source(root, **entities))

    # The command line adds a subject, both sessions as runs of one BIDS session; sub-01 stays.
    done = subprocess.run([sys.executable, "-m", "corvane", "export-bids", str(base), str(root), "--subject", "02",
                           "--bids-session", "A", "--run", "3"], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert "[2/4] writing session 1" in done.stdout and "[4/4] wrote 2 session(s)" in done.stdout
    assert [p["participant_id"] for p in read_tsv(root / "participants.tsv")] == ["sub-01", "sub-02"]
    last = max(combined)
    again = mne_bids.read_raw_bids(bids_recording(root, "02", "A", run=3 + 1), verbose="error")
    np.testing.assert_allclose(again.get_data() * 1e6, combined[last][0], rtol=FLOAT32, atol=0)
    assert (root / "sub-01" / f"ses-{last}").is_dir()

    # A file inside the dataset plays with the events as its cues.
    player = RecordingPlayback(bids_recording(root, "01", str(last)).update(suffix="eeg", extension=".vhdr").fpath)
    assert [c.name for c in player.annotations] == list(combined[last][1].description)
    # The demo reads it by its entities too (two trials per class are too few to train on).
    with pytest.raises(DemoError, match=r"sub-01_ses-2_task-motorimagery_eeg.vhdr has too few trials for 5 per class"):
        open_recording(host_for(tmp_path, "--recording", str(root), "--bids-subject", "01", "--bids-session", str(last)))
    # The emulator streams a recording picked in the dataset by its entities.
    with command_line_tool("corvane.standins.cyton_emulator", "--recording", str(root), "--bids-subject", "01",
                           "--bids-session", str(last), "--speed", "4") as (port, _):
        board = open_board(port)
        try:
            board.start_stream()
            while board.get_board_data_count() < 2 * FS:
                time.sleep(0.05)
            streamed = board.get_board_data()[BoardShim.get_eeg_channels(BOARD_ID)[:len(ELECTRODES)]]
        finally:
            board.release_session()
            del board
    np.testing.assert_allclose(streamed, combined[last][0][:, :streamed.shape[1]], atol=MICROVOLTS_PER_COUNT)


def trial(base, session, k):
    return sorted((base / "data" / "raw").glob(f"session{session}_*_raw.fif"))[k]


REFUSALS = [   # (case, change to the base, export options, what the dataset folder holds before, error)
    ("missing trial", lambda base: trial(base, 1, 1).unlink(), {}, "dataset",
     r"Session 1 cannot be exported: 1 of its 10 labelled trials are missing"),
    ("unlabelled trial", lambda base: shutil.copy(trial(base, 2, 0), trial(base, 2, 0).with_name(
        "session2_9999999999_raw.fif")), {"subject": "03"}, "dataset",
     r"Session 2 cannot be exported: its 11 trial files do not match the 10 labels"),
    ("unreadable trial", lambda base: os.truncate(trial(base, 2, 0), 300), {}, "nothing",
     r"Session 2 cannot be exported: trial file session2_\d+_raw.fif cannot be read"),
    ("already exported", None, {"sessions": [1]}, "dataset", r"Session 1: sub-01/ses-1/eeg/\S+ is already in"),
    ("unknown session", None, {"sessions": [7]}, "dataset", r"Session 7 was not recorded under .* \(recorded: 1, 2\)"),
    ("not a dataset", None, {}, "foreign", r"\S+/out/dataset is not a BIDS dataset"),
    ("disk full", None, {"sessions": [2], "subject": "04"}, "nothing",
     r"Session 2 could not be written to \S+/out/dataset: "),
]


@pytest.mark.parametrize("case, change, options, there, error", REFUSALS, ids=[case[0] for case in REFUSALS])
def test_a_session_that_cannot_be_exported_is_named_and_nothing_is_left(recorded, tmp_path, case, change, options,
                                                                        there, error):
    base = tmp_path / "base"
    shutil.copytree(recorded[0], base)
    root = tmp_path / "out" / "dataset"
    root.parent.mkdir()
    if there == "dataset":
        export_bids(base, root, sessions=[1])
    elif there == "foreign":
        root.mkdir()
        (root / "notes.txt").write_text("not a dataset")
    if change is not None:
        change(base)
    before = snapshot(root.parent)
    limit = file_size_limit(64 * 1024) if case == "disk full" else contextlib.nullcontext()
    with pytest.raises(pipeline.PipelineError, match=error), limit:
        export_bids(base, root, **options)
    assert snapshot(root.parent) == before


def snapshot(folder):
    """Every file and folder under `folder` (hidden ones too), with each file's bytes."""
    return {str(p.relative_to(folder)): p.is_file() and p.read_bytes() for p in folder.rglob("*")}


def read_tsv(path):
    with open(path, newline="", encoding="utf-8") as f:
        return list(csv.DictReader(f, delimiter="\t"))
