import os
import shutil

import numpy as np
import pytest

from tests.capture_hub.helpers import SEPARATOR, write_annotations

EPOCH = 1300  # samples per trial: a 0-5 s epoch at 250 Hz fits inside



def record_trials(hub, session, tasks):
    """One recording per task, each with independent noise on its six channels."""
    hub.current_session_num = session
    for k, _ in enumerate(tasks):
        rng = np.random.default_rng(100 * session + k)
        hub.save_to_fif(rng.normal(0.0, 1e-5, (6, EPOCH)))
    body = "".join(task + "\n" for task in tasks)
    with open(hub.annotation_file, "a") as f:
        f.write(f"\nsession{session}\n{body}{SEPARATOR}\n")


def test_a_class_missing_from_the_recordings_does_not_shift_the_others(hub, capsys):
    # The last trial (the only Alpha) was never saved: Beta and Gamma keep their own classes.
    record_trials(hub, 3, ["Beta", "Gamma"] * 3)
    with open(hub.annotation_file, "a") as f:
        f.write(f"\nsession3\nBeta\nGamma\nBeta\nGamma\nBeta\nGamma\nAlpha\n{SEPARATOR}\n")
    patterns, class_names = hub.analyze_session(3)
    assert class_names == ["Alpha", "Beta", "Gamma"]
    out = capsys.readouterr().out
    assert "Skipping Alpha - insufficient data\n" in out
    assert np.array_equal(patterns[0], np.zeros((6, 6)))
    assert all(pattern.shape == (6, 6) and np.any(pattern != 0) for pattern in patterns[1:])


def test_one_epoch_classes_are_skipped_and_session_10_stays_apart(hub, capsys):
    record_trials(hub, 1, ["Relax", "Relax", "Blinking", "Relax"])
    record_trials(hub, 10, ["Blinking"] * 3)
    patterns, class_names = hub.analyze_session(1)
    assert class_names == ["Blinking", "Relax"]
    assert "Skipping Blinking - insufficient data\n" in capsys.readouterr().out
    assert np.array_equal(patterns[0], np.zeros((6, 6))) and np.any(patterns[1] != 0)
    assert hub.raw_data.n_times == 4 * EPOCH


def test_the_sample_session(hub, capsys):
    record_trials(hub, 2, ["Left_Hand", "Right_Hand", "Jaw_Clenching", "Blinking", "Relax"] * 2)
    hub.current_session_num = 2
    combined = hub.combine_fif_files()
    os.makedirs(os.path.join(hub.sample_dir, "formatted"))
    shutil.copy(combined, os.path.join(hub.sample_dir, "formatted", "S03.fif"))
    with open(os.path.join(hub.sample_dir, "annotations.txt"), "w") as f:
        f.write("header\nsession1\n" + "Left_Hand\nRight_Hand\nJaw_Clenching\n\nBlinking\nRelax\n" * 2 + SEPARATOR + "\n")
    capsys.readouterr()
    patterns, class_names = hub.analyze_session(0)
    assert class_names == ["blinking", "jaw", "left", "relax", "right"]
    assert len(patterns) == 5 and all(p.shape == (6, 6) and np.any(p != 0) for p in patterns)
    assert "Tasks from annotations file for session 0:\n['left', 'right', 'jaw', 'blinking', 'relax'," in (
        capsys.readouterr().out
    )
    assert hub.get_sample_files() == [os.path.join(hub.sample_dir, "formatted", "S03.fif")]


@pytest.mark.parametrize(
    "session, setup, message",
    [
        (0, None, "Sample annotations file not found"),
        (0, "separator first", "No tasks found for this session"),
        (0, "annotations only", "Sample data file (S03.fif) not found"),
        (5, None, "No tasks found for this session"),
        ("0", None, "No tasks found for this session"),
        (6, "log only", "No recording files found for this session"),
    ],
)
def test_failures_are_reported_then_raised(hub, capsys, session, setup, message):
    if setup == "separator first":
        os.makedirs(hub.sample_dir)
        with open(os.path.join(hub.sample_dir, "annotations.txt"), "w") as f:
            f.write(f"{SEPARATOR}\nsession1\nRelax\n")
    elif setup == "annotations only":
        os.makedirs(hub.sample_dir)
        with open(os.path.join(hub.sample_dir, "annotations.txt"), "w") as f:
            f.write("session1\nRelax\n")
    elif setup == "log only":
        write_annotations(hub, f"\nsession6\nRelax\n{SEPARATOR}\n")
    capsys.readouterr()
    with pytest.raises(ValueError) as caught:
        hub.analyze_session(session)
    assert str(caught.value) == message
    assert capsys.readouterr().out.splitlines()[-1] == f"Analysis error details: {message}"


def test_a_combined_session_file_is_used_first(hub):
    record_trials(hub, 4, ["Relax", "Blinking"] * 2)
    hub.current_session_num = 4
    os.replace(hub.combine_fif_files(), os.path.join(hub.formatted_dir, "session4_combined.fif"))
    for name in os.listdir(hub.raw_dir):
        os.remove(os.path.join(hub.raw_dir, name))
    patterns, class_names = hub.analyze_session(4)
    # The combined file carries the short labels of the tasks.
    assert class_names == ["Blinking", "Relax"]
    assert all(np.any(pattern != 0) for pattern in patterns)
    assert str(hub.raw_data.filenames[0]).endswith("session4_combined.fif")
