import time

import numpy as np
import pytest
from brainflow.board_shim import BoardShim

from corvane.standins.cyton_emulator import (
    COUNT_MAX,
    COUNT_MIN,
    MICROVOLTS_PER_COUNT,
    CytonEmulator,
    encode_packets,
)
from tests.capture_hub.helpers import command_line_tool
from corvane.facts import BOARD_ID as CYTON
from tests.support.testbed import open_board

EEG_ROWS = BoardShim.get_eeg_channels(CYTON)


def ramp(first_sample, count):
    """Channel c of sample k carries k / 4 - 100 c microvolts: every sample tells its own number."""
    index = np.arange(first_sample, first_sample + count, dtype=np.float64)[:, None]
    return index / 4.0 - 100.0 * np.arange(8)[None, :]



def wait_until(condition, timeout=60.0):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, f"still waiting after {timeout} s"
        time.sleep(0.05)


def wait_for_samples(board, count):
    wait_until(lambda: board.get_board_data_count() >= count)


def test_packets_follow_the_cyton_layout_and_scale():
    values = np.array([[0.0, MICROVOLTS_PER_COUNT, -MICROVOLTS_PER_COUNT, 1e9, -1e9, 1000.0, -0.5, 2.0]])
    packet = encode_packets(258, values)
    assert len(packet) == 33
    assert packet[0] == 0xA0 and packet[1] == 258 % 256 and packet[-1] == 0xC0
    assert packet[26:32] == bytes(6)
    counts = [int.from_bytes(packet[2 + 3 * c : 5 + 3 * c], "big", signed=True) for c in range(8)]
    assert counts[:5] == [0, 1, -1, COUNT_MAX, COUNT_MIN]
    assert counts[5] == round(1000.0 / MICROVOLTS_PER_COUNT)
    assert abs(MICROVOLTS_PER_COUNT - 0.02235) < 1e-5
    with pytest.raises(ValueError):
        encode_packets(0, np.zeros((2, 6)))


def test_brainflow_reads_what_was_sent_and_a_second_session_starts_over():
    with CytonEmulator(signal=ramp, speed=8) as emulator:
        for _ in range(2):
            board = open_board(emulator.port)
            try:
                board.start_stream()
                wait_for_samples(board, 300)
                board.stop_stream()
                data = board.get_board_data()
            finally:
                board.release_session()
                # A dropped BoardShim releases whatever session has its board id and port, so the
                # old object must go before the next one is prepared.
                del board
            wait_until(lambda: not emulator.streaming)
            assert emulator.commands[-1] == "s" and "v" in emulator.commands
            eeg = data[EEG_ROWS[:8], :]
            index = eeg[0] * 4.0
            # The stream starts at sample 0 after each "b" and no sample is lost or repeated.
            np.testing.assert_allclose(index, np.arange(index.size), atol=4 * MICROVOLTS_PER_COUNT)
            np.testing.assert_allclose(eeg.T, ramp(0, index.size), atol=MICROVOLTS_PER_COUNT / 2 + 1e-9)
            assert np.array_equal(data[BoardShim.get_package_num_channel(CYTON)], np.arange(index.size) % 256)
            assert index.size <= emulator.samples_sent


def test_speed_streams_faster_than_real_time():
    with CytonEmulator(speed=25) as emulator:
        board = open_board(emulator.port)
        try:
            board.start_stream()
            started = time.monotonic()
            wait_for_samples(board, 2500)
            # 2500 samples take ten seconds at 250 Hz; at 25 times the speed far less.
            assert time.monotonic() - started < 8.0
        finally:
            board.stop_stream()
            board.release_session()


def test_a_board_that_falls_silent_sends_nothing_and_opens_again_afterwards():
    emulator = CytonEmulator(speed=8)
    emulator.stop()
    emulator.start()
    board = open_board(emulator.port)
    try:
        board.start_stream()
        wait_for_samples(board, 50)
        emulator.responsive = False
        time.sleep(0.2)
        board.get_board_data()
        sent = emulator.samples_sent
        time.sleep(0.5)
        assert board.get_board_data_count() == 0 and emulator.samples_sent == sent
        emulator.responsive = True
        wait_for_samples(board, 20)
    finally:
        board.stop_stream()
        board.release_session()
        del board
    board = open_board(emulator.port)
    board.release_session()
    emulator.stop()
    emulator.stop()


def test_command_line_prints_its_port_and_stops_on_interrupt():
    with command_line_tool("corvane.standins.cyton_emulator", "--speed", "2") as (port, _):
        assert port.startswith("/dev/")
        board = open_board(port)
        board.release_session()
