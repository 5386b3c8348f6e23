import os
import shutil
import signal
import tempfile
from pathlib import Path

import pytest

# A shell that starts a job in the background makes it ignore interrupts, and the children of such
# a job inherit that. Several tests stop tools and modules the way a user does, with an interrupt,
# so the suite restores the normal handler; children started from here then hear SIGINT again.
signal.signal(signal.SIGINT, signal.default_int_handler)

# Where the modules write when nothing is configured: their default base directory, a relative
# path on this system, so a run without CORVANE_PATH would create it in the working folder.
DEFAULT_BASE = "C:\\Corvane"
PLACES = ("CORVANE_PATH", "CORVANE_ARTEFACT_DIR", "CORVANE_SERIAL_PORT")

# Until a test's own folders are set below, imports at collection time and fixtures wider than one
# test see a folder of the session's (run_profile reads CORVANE_PATH into its defaults on import).
_SESSION = tempfile.mkdtemp(prefix="corvane-tests-")
for _name in PLACES:
    os.environ[_name] = os.path.join(_SESSION, _name.lower())


def pytest_sessionfinish(session):
    shutil.rmtree(_SESSION, ignore_errors=True)


@pytest.fixture(autouse=True)
def own_folders(tmp_path_factory, monkeypatch):
    """Every test runs with the base directory, the artefact directory and the serial port in a
    temporary folder of its own, and fails if anything creates the default base directory in the
    folder the suite runs from."""
    stray = Path.cwd() / DEFAULT_BASE
    existed = stray.exists()
    own = tmp_path_factory.mktemp("corvane")
    for name in PLACES:
        monkeypatch.setenv(name, str(own / name.lower()))
    yield
    if not existed and stray.exists():
        shutil.rmtree(stray, ignore_errors=True)
        pytest.fail(f"the test created {stray}: it ran without CORVANE_PATH in the folder the suite runs from")
