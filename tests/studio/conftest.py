"""A recorded base directory and a training run on it, shared by the training and live tests."""
import pytest

from corvane.studio.training_run import TrainingRun
from tests.support.studio_session import record_cued_session

STEPS = 300


@pytest.fixture(scope="session")
def recorded(tmp_path_factory):
    base = tmp_path_factory.mktemp("studio")
    record_cued_session(base, trials_per_class=5)
    return base


@pytest.fixture(scope="session")
def trained(recorded):
    """(result, events, artefact folder) of a short training on the recorded session."""
    events = []
    artefacts = recorded / "artefacts"
    result = TrainingRun(recorded, artefacts, steps=STEPS, seed=1, on_event=events.append).run()
    return result, events, artefacts
