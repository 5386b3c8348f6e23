"""PolicyForge construction, loading a recording, and epochs -> filters, scaler and split features."""
import contextlib
import io
import os
import re

import joblib
import numpy as np
import pytest

from sklearn.model_selection import train_test_split

from corvane.facts import (ELECTRODES, FEATURE_ROW_LENGTH as ROW, FILTERS_FILE, LIVE_WINDOW, SAMPLING_RATE,
                         SCALER_FILE)
from tests.support.testbed import environment, window_blocks, write_recording


def own_lines(printed):
    """The trainer's own lines among MNE's log lines, which also go to standard output."""
    own = re.compile(r"^(Using \d+ components|Skipping event_id|CSP filters saved|Scaler saved|Training samples"
                     r"|Testing samples)")
    return [line for line in printed.splitlines() if own.match(line)]


def test_module_globals_and_classes_in_order(policy_forge):
    names = [name for name in vars(policy_forge) if not name.startswith("__")]
    expected = ["os", "joblib", "np", "mne", "gym", "pywt", "scipy", "stats", "Sequential", "Dense", "PReLU",
                "Conv1D", "Dropout", "SpatialDropout1D", "MaxPooling1D", "GlobalMaxPooling1D", "Layer",
                "AveragePooling1D", "LSTM", "Reshape", "BatchNormalization", "l1_l2", "train_test_split",
                "StandardScaler", "CSP", "DQNPolicy", "DQN", "BaseCallback", "CheckpointCallback", "EvalCallback",
                "random"]
    assert names[: len(expected)] == expected
    assert policy_forge.scipy.signal.welch is not None
    assert policy_forge.PolicyForge.__module__ == "policy_forge"


def test_new_trainer_state(policy_forge, tmp_path, monkeypatch):
    monkeypatch.setenv("CORVANE_PATH", str(tmp_path))
    forge = policy_forge.PolicyForge()
    assert list(vars(forge)) == [
        "ncomp", "GLOBAL_SHAPE_LENGTH", "raw", "events", "csp_filter_objects", "csp_transformed_data", "X_train",
        "X_test", "y_train", "y_test", "scaler", "task_names", "base_path", "csp_filters_path", "scaler_path"]
    assert forge.ncomp == 4 and forge.GLOBAL_SHAPE_LENGTH is None and forge.raw is None
    assert forge.csp_filter_objects == {} and forge.csp_transformed_data == {} and forge.task_names == []
    assert type(forge.scaler).__name__ == "StandardScaler" and not hasattr(forge.scaler, "mean_")
    assert forge.csp_filters_path == os.path.join(str(tmp_path), FILTERS_FILE)
    assert forge.scaler_path == os.path.join(str(tmp_path), SCALER_FILE)
    # The variable is read once, at construction; nothing is created on disk.
    monkeypatch.setenv("CORVANE_PATH", "/elsewhere")
    assert forge.base_path == str(tmp_path) and os.listdir(tmp_path) == []
    monkeypatch.delenv("CORVANE_PATH")
    assert policy_forge.PolicyForge().csp_filters_path == os.path.join("C:\\Corvane", FILTERS_FILE)


def test_setup_eeg_returns_the_raw_and_the_annotation_events(processed, five_class_recording):
    forge = processed[0]
    raw, events = forge.raw, forge.events
    assert raw.ch_names == list(ELECTRODES)
    assert raw.get_montage() is not None
    event_array, event_ids = events
    assert sorted(event_ids) == sorted(set(five_class_recording[1]))
    assert len(event_array) == len(five_class_recording[1])


def test_setup_eeg_default_path_and_missing_file(policy_forge, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    forge = policy_forge.PolicyForge()
    with pytest.raises(FileNotFoundError, match=os.path.join("formatted_data", "S03.fif")):
        forge.setup_eeg()
    assert forge.raw is None


def test_process_epochs_rows_are_live_windows_through_every_filter(processed):
    forge, (X_train, X_test, y_train, y_test), printed, base = processed
    # 30 epochs, each through all five filters; split by epoch, 24 for training and 6 held out.
    assert X_train.shape == (120, 4, ROW) and X_test.shape == (30, 4, ROW)
    assert forge.GLOBAL_SHAPE_LENGTH == ROW and forge.ncomp == 4
    test_classes = y_test.reshape(6, 5)
    assert (test_classes == test_classes[:, :1]).all() and (y_train.reshape(24, 5) == y_train[::5, None]).all()
    epoch_classes = forge.events[0][:, 2] - 1   # ids 1..5 are classes 0..4
    train, test = train_test_split(np.arange(30), test_size=0.2, random_state=42, stratify=epoch_classes)
    assert (test_classes[:, 0] == epoch_classes[test]).all()
    assert sorted(set(y_train.tolist())) == [0, 1, 2, 3, 4]
    assert (np.bincount(y_train) == 5 * np.bincount(epoch_classes[train])).all()
    # The scaler was fitted on component rows of the training items.
    np.testing.assert_allclose(X_train.reshape(-1, ROW).mean(axis=0), 0, atol=1e-9)
    assert own_lines(printed) == [
        "Using 4 components based on available channels",
        "CSP filters saved successfully.",
        "Scaler saved successfully.",
        f"Training samples per class: {np.bincount(epoch_classes[train])} epochs, {np.bincount(y_train)} items",
        f"Testing samples per class: {np.bincount(epoch_classes[test])} epochs, {np.bincount(y_test)} items",
    ]
    assert sorted(os.listdir(base)) == sorted([FILTERS_FILE, SCALER_FILE])
    filters = joblib.load(os.path.join(base, FILTERS_FILE))
    scaler = joblib.load(os.path.join(base, SCALER_FILE))
    assert list(filters) == [1, 2, 3, 4, 5] and scaler.n_features_in_ == ROW
    # A held-out epoch's items are what the live loop makes of the 5-s window from 0.5 s after the
    # cue, read from the recording and passed through the saved filters and scaler.
    data = forge.raw.get_data()
    for k in (0, 5):
        start = forge.events[0][test[k], 0] - forge.raw.first_samp + SAMPLING_RATE // 2
        live = window_blocks(data[None, :, start:start + LIVE_WINDOW], filters, scaler, forge)
        np.testing.assert_allclose(X_test[5 * k:5 * k + 5], live, rtol=1e-6, atol=1e-6)


def test_process_epochs_without_event_id_one(policy_forge, tmp_path):
    # Three channels, ids 1..3; a list without id 1 used to fail after the filters were saved.
    path = tmp_path / "three.fif"
    write_recording(str(path), channels=["C3", "Cz", "C4"], classes=["left", "relax", "right"], trials_per_class=5)
    with environment(CORVANE_PATH=tmp_path):
        forge = policy_forge.PolicyForge()
    forge.setup_eeg(str(path))
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        X_train, X_test, y_train, y_test = forge.process_epochs([2, 3])
    assert own_lines(out.getvalue())[0] == "Using 3 components based on available channels"
    assert forge.ncomp == 3 and X_train.shape[1:] == (3, ROW)
    assert len(X_train) + len(X_test) == 10 * 2 and set(y_train.tolist()) == {0, 1}   # two filters per epoch
    assert list(forge.csp_filter_objects) == [2, 3]


def test_process_epochs_needs_event_ids_and_a_filter(policy_forge, tmp_path):
    with environment(CORVANE_PATH=tmp_path):
        forge = policy_forge.PolicyForge()
    for empty in ([], (), None):
        with pytest.raises(ValueError, match="^No event IDs provided$"):
            forge.process_epochs(empty)
    assert os.listdir(tmp_path) == []
    # One class only: its id is skipped, and there is no filter to build rows with.
    path = tmp_path / "one.fif"
    write_recording(str(path), classes=["relax"], trials_per_class=4)
    forge.setup_eeg(str(path))
    with contextlib.redirect_stdout(io.StringIO()) as out, pytest.raises(ValueError, match="^No CSP filter"):
        forge.process_epochs([1])
    assert "Skipping event_id 1." in out.getvalue()
    assert joblib.load(forge.csp_filters_path) == {} and forge.X_train is None
