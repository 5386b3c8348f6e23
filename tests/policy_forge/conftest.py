"""Shared fixtures: labelled FIF recordings written by MNE, and a trainer that has processed one."""
import contextlib
import io

import pytest

from tests.support.testbed import environment, write_recording


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
