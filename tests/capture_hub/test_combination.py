import os
import time

import mne
import numpy as np
import pytest

from corvane.standins.cyton_emulator import CytonEmulator

from capture_hub import CaptureHub
from tests.capture_hub.helpers import (
    SEPARATOR,
    make_recordings,
    noise,
    read_recording,
    recordings,
    write_annotations,
)

LENGTHS = [1300, 1620, 1410, 1900, 1333, 1500]


@pytest.fixture(scope="module")
def recorded(tmp_path_factory):
    """Session 1 recorded through the emulated board: 2 trials each of three actions, every
    trial of a different length."""
    base = tmp_path_factory.mktemp("recorded")
    with pytest.MonkeyPatch.context() as patch, CytonEmulator(signal=noise, speed=20) as board:
        patch.setenv("CORVANE_PATH", str(base))
        patch.setenv("CORVANE_SERIAL_PORT", board.port)
        hub = CaptureHub()
        hub.update_action_names({"Left_Hand": ["left", 2], "Right_Hand": ["right", 2], "Jaw_Clenching": ["jaw", 2]})
        hub.initialize_session(1)
        for length in LENGTHS:
            hub.get_next_task()
            hub.start_recording()
            deadline = time.monotonic() + 60
            while hub.board.get_board_data_count() < length:
                assert time.monotonic() < deadline
                time.sleep(0.01)
            hub.stop_recording()
        hub.stop_session()
        hub.stop_stream()
    return hub


def annotated(raw):
    sfreq = raw.info["sfreq"]
    return [(int(round(onset * sfreq)), int(round(duration * sfreq)), label)
            for onset, duration, label in zip(raw.annotations.onset, raw.annotations.duration,
                                              raw.annotations.description)]


def test_labels_start_at_each_trial_first_sample(recorded, capsys):
    hub = recorded
    names = recordings(hub)
    assert len(names) == 6
    path = hub.combine_fif_files()
    assert path == os.path.join(hub.formatted_dir, "S03.fif")
    out = capsys.readouterr().out
    assert "\n=== Starting File Combination Process ===\nFound 6 raw files:\n" in out
    assert f"  - {names[0]}\n" in out and f"Loading {os.path.join(hub.raw_dir, names[0])}\n" in out
    assert out.endswith(f"Saved combined file to {path}\n")
    assert os.listdir(hub.formatted_dir) == ["S03.fif"]

    combined = mne.io.read_raw_fif(path, preload=True, verbose="error")
    parts = [read_recording(hub, name) for name in names]
    tasks = hub._read_annotations_file(1)
    short = {"Left_Hand": "left", "Right_Hand": "right", "Jaw_Clenching": "jaw"}
    start = 0
    expected = []
    for part, task in zip(parts, tasks):
        expected.append((start, part.n_times, short[task]))
        start += part.n_times
    assert annotated(combined) == expected
    data = combined.get_data()
    for (first, length, _), part in zip(expected, parts):
        np.testing.assert_array_equal(data[:, first : first + length], part.get_data())
    events, ids = mne.events_from_annotations(combined, verbose="error")
    assert list(events[:, 0]) == [first for first, _, _ in expected]
    assert {ids[label] for label in ("left", "right", "jaw")} == set(events[:, 2])


def test_analysis_gives_one_pattern_per_class(recorded, capsys):
    hub = recorded
    patterns, class_names = hub.analyze_session(1)
    assert class_names == ["Jaw_Clenching", "Left_Hand", "Right_Hand"]
    assert len(patterns) == 3
    for pattern in patterns:
        assert pattern.shape == (6, 6) and np.all(np.isfinite(pattern)) and np.any(pattern != 0)
    out = capsys.readouterr().out
    assert "\nTasks from annotations file for session 1:\n" in out
    assert "Event mapping: {'Jaw_Clenching': 0, 'Left_Hand': 1, 'Right_Hand': 2}\n" in out
    assert "Event IDs: {'Jaw_Clenching': 1, 'Left_Hand': 2, 'Right_Hand': 3}\n" in out
    assert "Skipping" not in out
    # The per-task recordings were joined and labelled like a combined file.
    assert hub.raw_data.n_times >= sum(LENGTHS)
    assert sorted(set(hub.raw_data.annotations.description)) == class_names


def test_all_sessions_join_in_timeline_order(hub, capsys):
    # Session 10's files sort before session 2's as text; the timeline runs 2 then 10.
    ten = make_recordings(hub, 10, [30, 50])
    two = make_recordings(hub, 2, [40, 20, 60])
    write_annotations(hub, f"\nsession2\nLeft_Hand\nRelax\nBlinking\n{SEPARATOR}\n"
                           f"\nsession10\nJaw_Clenching\nRight_Hand\n{SEPARATOR}\n")
    path = hub.combine_all_fif_files()
    out = capsys.readouterr().out
    assert "\n=== Starting All Sessions File Combination Process ===\nFound 5 total raw files:\n" in out
    loading = [line.rsplit(os.sep, 1)[1] for line in out.splitlines() if line.startswith("Loading ")]
    assert loading == two + ten
    combined = mne.io.read_raw_fif(path, preload=True, verbose="error")
    assert annotated(combined) == [
        (0, 40, "left"), (40, 20, "relax"), (60, 60, "blinking"), (120, 30, "jaw"), (150, 50, "right"),
    ]
    data = combined.get_data()[0]
    for first, value in [(0, 2000), (40, 2001), (60, 2002), (120, 10000), (150, 10001)]:
        assert abs(data[first] - value) < 0.01
    assert hub.task_duration == 5


def test_labels_without_recordings_and_files_without_labels(hub, capsys):
    hub.current_session_num = 4
    make_recordings(hub, 4, [25, 35])
    write_annotations(hub, f"\nsession4\nRelax\nLeft_Hand\nBlinking\nRelax\n{SEPARATOR}\n")
    combined = mne.io.read_raw_fif(hub.combine_fif_files(), verbose="error")
    assert annotated(combined) == [(0, 25, "relax"), (25, 35, "left")]
    assert "Warning: 2 task labels had no recording and were not used\n" in capsys.readouterr().out
    # A session whose block has no task lines is joined unlabelled; one without a block (what an
    # interrupted deletion leaves) is left out.
    make_recordings(hub, 5, [10])
    make_recordings(hub, 6, [15])
    with open(hub.annotation_file, "a") as log:
        log.write(f"\nsession5\n{SEPARATOR}\n")
    capsys.readouterr()
    combined = mne.io.read_raw_fif(hub.combine_all_fif_files(), verbose="error")
    assert annotated(combined) == [(0, 25, "relax"), (25, 35, "left")] and combined.n_times == 70
    assert "Ignoring 1 recordings whose session has no block" in capsys.readouterr().out


def test_empty_foreign_and_corrupt_selections(hub, capsys):
    hub.current_session_num = 1
    with pytest.raises(ValueError, match=r"^No FIF files found for current session\.$"):
        hub.combine_fif_files()
    with pytest.raises(ValueError, match=r"^No FIF files found\.$"):
        hub.combine_all_fif_files()
    assert "Found 0 raw files:\n" in capsys.readouterr().out
    make_recordings(hub, 1, [20])
    make_recordings(hub, 10, [20])
    write_annotations(hub, f"\nsession1\nRelax\n{SEPARATOR}\n\nsession10\n{SEPARATOR}\n")
    os.mkdir(os.path.join(hub.raw_dir, "session1_folder"))
    open(os.path.join(hub.raw_dir, "notes.txt"), "w").close()
    combined = mne.io.read_raw_fif(hub.combine_fif_files(), verbose="error")
    assert combined.n_times == 20
    # A file that cannot be read is left out with its label (the first of the session); the
    # others keep theirs. With no readable file left nothing is written.
    corrupt = os.path.join(hub.raw_dir, "session1_1_raw.fif")
    with open(corrupt, "wb") as f:
        f.write(b"not a FIF file" * 100)
    capsys.readouterr()
    combined = mne.io.read_raw_fif(hub.combine_fif_files(), verbose="error")
    assert combined.n_times == 20 and list(combined.annotations.description) == []
    assert f"Skipping unreadable recording {corrupt}: " in capsys.readouterr().out
    open(corrupt, "w").close()
    hub.current_session_num = 2
    make_recordings(hub, 2, [20])
    with open(hub.annotation_file, "a") as log:
        log.write(f"\nsession2\n{SEPARATOR}\n")
    for name in os.listdir(hub.raw_dir):
        if name.startswith("session2_"):
            open(os.path.join(hub.raw_dir, name), "w").close()
    before = open(os.path.join(hub.formatted_dir, "S03.fif"), "rb").read()
    with pytest.raises(ValueError, match=r"^No readable FIF files found\.$"):
        hub.combine_fif_files()
    # The earlier result is kept whole and no temporary file is left behind.
    assert os.listdir(hub.formatted_dir) == ["S03.fif"]
    assert open(os.path.join(hub.formatted_dir, "S03.fif"), "rb").read() == before
    os.remove(corrupt)
    open(os.path.join(hub.raw_dir, "other_raw.fif"), "w").close()
    with pytest.raises(ValueError, match="invalid literal for int"):
        hub.combine_all_fif_files()
