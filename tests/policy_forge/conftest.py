"""Shared fixtures: labelled FIF recordings written by MNE, and a trainer that has processed one."""
import contextlib
import io

import pytest

from tools.testbed import environment, write_recording


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
    with environment(CORVANE_PATH=base):
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
