"""Shared fixtures: labelled FIF recordings written by MNE, and a trainer that has processed one."""
import contextlib
import io
import os
import sys

import mne
import numpy as np
import pytest

# The tests import the library reference of the feature rows from this folder.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

SFREQ = 250
CHANNELS = ["FCz", "C3", "Cz", "CPz", "C2", "C4"]
CLASSES = ["right", "left", "blinking", "jaw", "relax"]


def write_recording(path, channels=CHANNELS, classes=CLASSES, trials_per_class=6, seed=0):
    """A recording where each class drives its own channel with a 10 Hz and a 20 Hz rhythm over
    background noise, one annotated 6 s trial every 7 s."""
    rng = np.random.default_rng(seed)
    sequence = [name for name in classes for _ in range(trials_per_class)]
    rng.shuffle(sequence)
    trial, start = 7.0, 1.0
    n = int((start + trial * len(sequence) + 2) * SFREQ)
    t = np.arange(n) / SFREQ
    data = rng.standard_normal((len(channels), n)) * 2.0
    for k, name in enumerate(sequence):
        onset = start + k * trial
        inside = (t >= onset) & (t < onset + 6)
        row = classes.index(name) % len(channels)
        data[row, inside] += 12 * np.sin(2 * np.pi * 10 * t[inside]) + 8 * np.sin(2 * np.pi * 20 * t[inside])
    raw = mne.io.RawArray(data * 1e-6, mne.create_info(channels, SFREQ, "eeg"), verbose=False)
    onsets = [start + k * trial for k in range(len(sequence))]
    raw.set_annotations(mne.Annotations(onsets, [6.0] * len(sequence), sequence))
    raw.save(path, overwrite=True, verbose=False)
    return sequence


@contextlib.contextmanager
def base_directory(path):
    with pytest.MonkeyPatch.context() as patch:
        patch.setenv("CORVANE_PATH", str(path))
        yield


@pytest.fixture(scope="session")
def policy_forge():
    import policy_forge

    return policy_forge


@pytest.fixture(scope="session")
def five_class_recording(tmp_path_factory):
    path = tmp_path_factory.mktemp("recording") / "S03.fif"
    sequence = write_recording(str(path))
    return path, sequence


@pytest.fixture(scope="session")
def processed(policy_forge, five_class_recording, tmp_path_factory):
    """A trainer after setup_eeg and process_epochs on the five-class recording, with its output."""
    base = tmp_path_factory.mktemp("base")
    with base_directory(base):
        forge = policy_forge.PolicyForge()
    forge.setup_eeg(str(five_class_recording[0]))
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        result = forge.process_epochs()
    return forge, result, out.getvalue(), base


@pytest.fixture(scope="session")
def single_torch_thread():
    """TensorFlow's and PyTorch's thread pools fight over the few cores; one torch thread keeps
    the small DQN updates fast."""
    import torch

    threads = torch.get_num_threads()
    torch.set_num_threads(1)
    yield
    torch.set_num_threads(threads)
