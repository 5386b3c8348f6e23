import json
import os

import capture_hub
from capture_hub import CaptureHub
from tests.capture_hub.helpers import DEFAULT_ACTIONS, ELECTRODES

ATTRIBUTES = [
    "board", "is_recording", "is_streaming", "current_session_num", "data_dir", "raw_dir",
    "processed_dir", "formatted_dir", "annotation_file", "sample_dir", "formatted_sample_dir",
    "channel_states", "channel_names", "task_names", "task_sequence", "current_task_index",
    "break_duration", "task_duration", "next_session_number", "raw_data", "api_url",
]

MEMBERS = [
    "__init__", "_get_next_session_number", "initialize_board", "stop_stream", "initialize_session",
    "get_next_task", "start_recording", "stop_recording", "save_to_fif", "_read_annotations_file",
    "analyze_session", "set_channel_state", "get_enabled_channels", "get_channel_positions",
    "VALID_CHANNELS", "validate_channel_name", "get_current_data", "stop_session", "combine_fif_files",
    "update_action_names", "delete_session", "delete_all_sessions", "combine_all_fif_files",
    "save_session_data", "load_session_data", "get_sample_files", "update_channels",
]


def test_class_is_a_plain_python_class_with_its_members_and_docstrings():
    assert capture_hub.__file__.endswith(".so")
    assert CaptureHub.__module__ == "capture_hub" and CaptureHub.__bases__ == (object,)
    members = [name for name in vars(CaptureHub) if not name.startswith("__") or name == "__init__"]
    assert members == MEMBERS
    assert CaptureHub.initialize_board.__doc__ == "Initialize OpenBCI board"
    assert CaptureHub._read_annotations_file.__doc__ == "Read tasks from annotations file for a specific session"
    assert CaptureHub.validate_channel_name.__doc__ == (
        "Validate if a channel name follows 10-20 system naming convention\n"
        "Returns: (bool, str) - (is_valid, error_message)"
    )
    assert CaptureHub.combine_fif_files.__doc__ == "Combine all FIF files into one in formatted_data"
    assert CaptureHub.get_sample_files.__doc__ == "Get list of available sample data files"
    assert CaptureHub.__init__.__doc__ is None
    valid = CaptureHub.VALID_CHANNELS
    assert isinstance(valid, set) and len(valid) == 84
    assert {"Fp1", "FCz", "CPz", "PO10", "Nz", "M2", "T3"} <= valid and "fcz" not in valid


def test_fresh_construction_sets_state_in_order_and_creates_the_layout(base, capsys):
    hub = CaptureHub()
    out = capsys.readouterr().out.splitlines()
    assert out[0] == os.path.dirname(capture_hub.__file__)
    assert out[1].startswith("Error initializing board: ")
    assert list(vars(hub)) == ATTRIBUTES
    data = os.path.join(base, "data")
    assert (hub.data_dir, hub.raw_dir, hub.processed_dir, hub.formatted_dir, hub.annotation_file) == (
        data, os.path.join(data, "raw"), os.path.join(data, "processed"), os.path.join(data, "formatted"),
        os.path.join(data, "annotations.txt"),
    )
    assert hub.sample_dir == os.path.join(base, "sample_data")
    assert hub.formatted_sample_dir == os.path.join(base, "sample_data", "formatted")
    assert sorted(os.listdir(data)) == ["annotations.txt", "formatted", "processed", "raw"]
    assert not os.path.exists(hub.sample_dir)
    assert os.path.getsize(hub.annotation_file) == 0
    assert hub.channel_states == dict.fromkeys(ELECTRODES, True) and list(hub.channel_states) == ELECTRODES
    assert hub.channel_names == ELECTRODES
    assert list(hub.task_names) == DEFAULT_ACTIONS
    assert hub.task_names["Jaw_Clenching"] == ["Clench your jaw with moderate force", 21]
    assert (hub.task_sequence, hub.current_task_index, hub.break_duration, hub.task_duration) == ([], 0, 3, 5)
    assert hub.next_session_number == 1 and hub.raw_data is None and hub.current_session_num is None
    # No board on the port: construction still returns, with the unprepared BoardShim kept.
    assert hub.is_streaming is False and hub.is_recording is False
    assert hub.board is not None and not hub.board.is_prepared()
    # Every instance has its own tables.
    other = CaptureHub()
    other.task_names["Relax"][1] = 3
    other.channel_states["C3"] = False
    assert hub.task_names["Relax"][1] == 21 and hub.channel_states["C3"] is True


def test_a_second_instance_keeps_the_log_and_follows_its_sessions(hub):
    hub.initialize_session(hub.next_session_number)
    hub.stop_session()
    text = open(hub.annotation_file).read()
    again = CaptureHub()
    assert open(again.annotation_file).read() == text
    assert again.next_session_number == 2


def test_default_base_directory_is_relative_to_nothing_but_the_literal(tmp_path, monkeypatch):
    monkeypatch.delenv("CORVANE_PATH", raising=False)
    monkeypatch.setenv("CORVANE_SERIAL_PORT", str(tmp_path / "no-port"))
    monkeypatch.chdir(tmp_path)
    hub = CaptureHub()
    assert hub.data_dir == os.path.join("C:\\Corvane", "data")
    assert os.path.isdir(os.path.join("C:\\Corvane", "data", "raw"))


def test_unset_serial_port_keeps_the_default_port(base, monkeypatch, capsys):
    monkeypatch.delenv("CORVANE_SERIAL_PORT")
    hub = CaptureHub()
    assert json.loads(hub.board.input_json)["serial_port"] == "COM9"
    assert "Error initializing board: " in capsys.readouterr().out
