import pytest

from corvane.standins.cyton_emulator import CytonEmulator

from capture_hub import CaptureHub
from tests.capture_hub.helpers import ramp


@pytest.fixture
def base(tmp_path, monkeypatch):
    """A fresh base directory; the board port points nowhere, so construction stays fast."""
    path = tmp_path / "corvane"
    monkeypatch.setenv("CORVANE_PATH", str(path))
    monkeypatch.setenv("CORVANE_SERIAL_PORT", str(tmp_path / "no-such-port"))
    monkeypatch.delenv("CORVANE_API_URL", raising=False)
    return str(path)


@pytest.fixture
def hub(base):
    return CaptureHub()


@pytest.fixture(scope="session")
def emulator():
    with CytonEmulator(signal=ramp, speed=20) as board:
        yield board


@pytest.fixture
def streaming_hub(base, emulator, monkeypatch):
    """A CaptureHub whose constructor opened the emulated board."""
    emulator.responsive = True
    monkeypatch.setenv("CORVANE_SERIAL_PORT", emulator.port)
    manager = CaptureHub()
    assert manager.is_streaming
    yield manager
    emulator.responsive = True
    manager.stop_stream()
