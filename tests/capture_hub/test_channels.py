import pytest

from capture_hub import CaptureHub


@pytest.mark.parametrize(
    "name",
    ["C3", " c3 ", "Cz", "Fp1", "O2", "T7", "FCz", "fcz", " cpz ", "CPZ", "AF3", "po10", "Nz", "A1"],
)
def test_standard_names_are_valid_in_any_case(name):
    assert CaptureHub.validate_channel_name(name) == (True, "")


@pytest.mark.parametrize(
    "name, message",
    [
        ("", "Channel name cannot be empty"),
        ("   ", "Channel name cannot be empty"),
        ("Xy12", "Channel name 'Xy12' is not a standard 10-20 system position"),
        (" FCzz ", "Channel name 'FCzz' is not a standard 10-20 system position"),
        ("C-3", "Invalid channel name format"),
        ("3C", "Invalid channel name format"),
        ("C3a", "Invalid channel name format"),
    ],
)
def test_invalid_names_and_their_messages(hub, name, message):
    assert hub.validate_channel_name(name) == (False, message)


def test_default_electrodes_all_validate_and_non_strings_raise(hub):
    assert all(CaptureHub.validate_channel_name(name)[0] for name in hub.channel_names)
    with pytest.raises(AttributeError):
        CaptureHub.validate_channel_name(3)


def test_channel_states_and_enabled_rows(hub):
    rows = hub.get_enabled_channels()
    assert len(rows) == 6 and rows == sorted(rows)
    hub.set_channel_state("FCz", False)
    hub.set_channel_state("O1", False)
    assert hub.get_enabled_channels() == rows[1:]
    assert list(hub.channel_states)[-1] == "O1"
    # The host's own edits of the live attribute count as well.
    hub.channel_states["C4"] = 0
    assert hub.get_enabled_channels() == rows[1:5]


def test_update_channels_replaces_the_configuration(hub, capsys):
    names = ["C3", "C4"]
    assert hub.update_channels(names) is True
    assert hub.channel_names is names and hub.channel_states == {"C3": True, "C4": True}
    with pytest.raises(KeyError):
        hub.get_enabled_channels()
    capsys.readouterr()
    assert hub.update_channels(5) is False
    assert capsys.readouterr().out == "Error updating channels: 'int' object is not iterable\n"
    assert hub.channel_names == 5


def test_positions_and_action_table(hub):
    positions = hub.get_channel_positions()
    assert positions == {
        "FCz": [0, 0.25], "C3": [-0.5, 0], "Cz": [0, 0], "CPz": [0, -0.25], "C2": [0.25, 0], "C4": [0.5, 0],
    }
    assert type(positions["Cz"][0]) is int and type(positions["C3"][0]) is float
    positions["Cz"].append(1)
    assert hub.get_channel_positions()["Cz"] == [0, 0]
    table = {"Left": ["Move left", 3]}
    assert hub.update_action_names(table) is None and hub.task_names is table
