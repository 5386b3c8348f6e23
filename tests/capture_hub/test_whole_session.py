import time

from capture_hub import CaptureHub
from tests.capture_hub.helpers import ELECTRODES, SEPARATOR, read_recording, recordings, sent_sample_numbers
from corvane.facts import SAMPLING_RATE


def test_a_cued_session_of_105_trials(streaming_hub, capsys):
    hub = streaming_hub
    session = hub.next_session_number
    hub.initialize_session(session)
    handed = []
    while (trial := hub.get_next_task()) is not None:
        handed.append(trial[0])
        assert hub.start_recording()
        deadline = time.monotonic() + 60
        while hub.board.get_board_data_count() < 5:
            assert time.monotonic() < deadline
            time.sleep(0.005)
        hub.stop_recording()
    hub.stop_session()
    capsys.readouterr()

    assert len(handed) == 105
    assert hub._read_annotations_file(session) == handed
    with open(hub.annotation_file) as f:
        assert f.read().endswith(f"{handed[-1]}\n{SEPARATOR}\n")
    names = recordings(hub)
    assert len(names) == 105 and all(name.startswith(f"session{session}_") for name in names)
    # Files sort in recording order and hold consecutive, non-overlapping stretches of the stream.
    last = -1
    for name in names:
        raw = read_recording(hub, name)
        assert raw.ch_names == ELECTRODES and raw.info["sfreq"] == SAMPLING_RATE
        numbers = sent_sample_numbers(raw.get_data(), ELECTRODES)
        assert numbers[0] > last
        last = numbers[-1]
    assert CaptureHub().next_session_number == session + 1
