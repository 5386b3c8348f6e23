import os
import time

import numpy as np
import pytest

from tests.capture_hub.helpers import (
    ELECTRODES,
    SEPARATOR,
    annotation_text,
    read_recording,
    recordings,
    sent_sample_numbers,
)
from corvane.facts import SAMPLING_RATE


def record(hub, seconds=0.1):
    assert hub.start_recording() is True
    time.sleep(seconds)
    # A trial without samples is not saved: on a busy machine wait for the first one.
    deadline = time.monotonic() + 30
    while hub.board.get_board_data_count() == 0:
        assert time.monotonic() < deadline
        time.sleep(0.005)
    hub.stop_recording()


def test_a_trial_is_stored_with_the_values_sent(streaming_hub, capsys):
    hub = streaming_hub
    hub.initialize_session(3)
    record(hub)
    action, _ = hub.get_next_task()
    record(hub, 0.2)
    out = capsys.readouterr().out
    assert f"Saved data with channels: {ELECTRODES}\n" in out
    # A recording before any handed-out trial writes no task line but is still stored.
    assert annotation_text(hub) == f"\nsession3\n{action}\n"
    names = recordings(hub)
    assert len(names) == 2 and all(name.startswith("session3_") and name.endswith("_raw.fif") for name in names)
    first, second = (read_recording(hub, name) for name in names)
    assert second.ch_names == ELECTRODES and second.info["sfreq"] == SAMPLING_RATE
    assert set(second.get_channel_types()) == {"eeg"}
    assert second.get_montage() is not None
    # MNE keeps the board's values as they came from BrainFlow; the second trial starts after the
    # first one ended, since starting drains the board buffer.
    before = sent_sample_numbers(first.get_data(), ELECTRODES)
    after = sent_sample_numbers(second.get_data(), ELECTRODES)
    assert after[0] > before[-1]
    assert hub.is_recording is False and hub.current_eeg_data == []


def test_disabled_electrodes_are_left_out(streaming_hub, capsys):
    hub = streaming_hub
    hub.set_channel_state("FCz", False)
    hub.set_channel_state("C2", False)
    record(hub)
    [name] = recordings(hub)
    assert name.startswith("sessionNone_")
    raw = read_recording(hub, name)
    kept = [name for name in ELECTRODES if name not in ("FCz", "C2")]
    assert raw.ch_names == kept
    sent_sample_numbers(raw.get_data(), kept)
    for electrode in ELECTRODES:
        hub.set_channel_state(electrode, False)
    capsys.readouterr()
    record(hub)
    assert capsys.readouterr().out == "No channels enabled, skipping save\n"
    assert len(recordings(hub)) == 1


def test_recordings_never_overwrite_each_other(streaming_hub):
    hub = streaming_hub
    hub.current_session_num = 5
    data = np.arange(6 * 40, dtype=float).reshape(6, 40)
    for copy in range(3):
        hub.save_to_fif(data + copy)
    names = recordings(hub)
    assert len(names) == 3
    seconds = [int(name.split("_")[1]) for name in names]
    assert seconds == sorted(set(seconds)) and seconds[-1] - seconds[0] >= 2
    for copy, name in enumerate(names):
        np.testing.assert_array_equal(read_recording(hub, name).get_data(), data + copy)


def test_save_to_fif_checks_its_rows(hub):
    with pytest.raises(ValueError) as caught:
        hub.save_to_fif(np.zeros((5, 10)))
    assert str(caught.value) == "Channel count mismatch: 6 names but 5 channels in data"
    hub.update_channels(["C3"])
    with pytest.raises(KeyError):
        hub.save_to_fif(np.zeros((6, 10)))
    assert recordings(hub) == []


def test_labels_of_host_actions_and_stop_session_while_recording(streaming_hub):
    hub = streaming_hub
    hub.update_action_names({"Left_Foot": ["Move your left foot", 1], "Eyes_Closed": ["Close your eyes", 1]})
    hub.initialize_session(2)
    labels = []
    for _ in range(2):
        action, _ = hub.get_next_task()
        labels.append({"Left_Foot": "Left_Hand", "Eyes_Closed": "Eyes"}[action])
        record(hub, 0.02)
    # Starting again logs the same trial again; stopping the session stores the running recording.
    hub.start_recording()
    time.sleep(0.05)
    hub.stop_session()
    assert annotation_text(hub) == f"\nsession2\n{labels[0]}\n{labels[1]}\n{labels[1]}\n{SEPARATOR}\n"
    assert len(recordings(hub)) == 3 and hub.is_recording is False
    assert hub._read_annotations_file(2) == labels + labels[1:]


def test_a_board_that_stops_answering_does_not_hang_a_trial(streaming_hub, emulator):
    hub = streaming_hub
    assert hub.start_recording()
    time.sleep(0.1)
    emulator.responsive = False
    time.sleep(0.2)
    hub.stop_recording()
    [name] = recordings(hub)
    assert read_recording(hub, name).n_times > 0
    # Nothing arrives any more: the empty trial is not saved.
    hub.start_recording()
    time.sleep(0.1)
    hub.stop_recording()
    assert hub.is_recording is False and len(recordings(hub)) == 1
    # A stopped recording with the board released in the meantime raises as well.
    emulator.responsive = True
    hub.start_recording()
    assert hub.stop_stream() is True
    with pytest.raises(AttributeError):
        hub.stop_recording()
    assert os.listdir(hub.raw_dir) == [name]
