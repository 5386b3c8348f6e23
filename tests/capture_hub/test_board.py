import time

import numpy as np

from capture_hub import CaptureHub
from tests.capture_hub.helpers import ELECTRODES, sent_sample_numbers
from corvane.facts import SAMPLING_RATE, WIRED_EEG_ROWS as EEG_ROWS


def wait_for(condition, timeout=60.0):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.02)


def test_no_device_on_the_port(hub, tmp_path, capsys):
    capsys.readouterr()
    assert hub.initialize_board(port=str(tmp_path / "nothing")) is False
    out = capsys.readouterr().out.splitlines()
    assert len(out) == 1 and out[0].startswith("Error initializing board: ")
    assert hub.is_streaming is False and hub.board is not None
    # Nothing to stop: no output, the unprepared board stays.
    board = hub.board
    assert hub.stop_stream() is True and hub.board is board
    assert capsys.readouterr().out == ""
    assert hub.get_current_data() is None
    assert hub.start_recording() is False and hub.is_recording is False
    hub.board = None
    assert hub.stop_stream() is True and hub.get_current_data() is None


def test_streaming_board_live_view_and_release(streaming_hub, emulator, capsys):
    hub = streaming_hub
    board = hub.board
    assert hub.initialize_board(port="elsewhere") is True and hub.board is board
    assert capsys.readouterr().out == ""
    wait_for(lambda: board.get_board_data_count() > 300)
    view = hub.get_current_data()
    assert view.shape == (len(ELECTRODES), SAMPLING_RATE) and view.dtype == np.float64
    # The live view is the board's values times one million; the board buffer is not drained.
    sent_sample_numbers(view / 1e6, ELECTRODES)
    assert board.get_board_data_count() > 300
    hub.set_channel_state("FCz", False)
    assert hub.get_enabled_channels() == EEG_ROWS[1:]
    assert hub.get_current_data().shape == (len(ELECTRODES) - 1, SAMPLING_RATE)
    for name in ELECTRODES:
        hub.set_channel_state(name, False)
    assert hub.get_current_data() is None
    assert hub.stop_stream() is True
    assert capsys.readouterr().out == "Board streaming stopped\n"
    assert hub.board is None and hub.is_streaming is False and hub.get_current_data() is None
    wait_for(lambda: not emulator.streaming)


def test_serial_port_setting_opens_the_constructor_board_only(base, emulator, monkeypatch):
    monkeypatch.setenv("CORVANE_SERIAL_PORT", emulator.port)
    hub = CaptureHub()
    try:
        assert hub.is_streaming
    finally:
        hub.stop_stream()
    # A hub opened on the default port reaches the emulator once initialize_board is given its port.
    monkeypatch.delenv("CORVANE_SERIAL_PORT")
    other = CaptureHub()
    assert other.is_streaming is False
    try:
        assert other.initialize_board(port=emulator.port) is True
    finally:
        other.stop_stream()
