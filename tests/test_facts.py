"""corvane.facts: the modules' own facts (corvane._facts, which imports nothing), the class command
table, and the reading of live_pilot's lines."""
import ast
import subprocess
import sys

import pytest

from corvane import _facts, facts
from corvane.facts import LiveLine, class_commands, command_for_class, parse_actuator_address, parse_live_line


def test_facts_restate_nothing_and_importing_them_loads_no_library():
    for name in dir(_facts):
        if not name.startswith("_"):
            assert getattr(facts, name) is getattr(_facts, name), name
    from brainflow.board_shim import BoardShim
    assert facts.SAMPLING_RATE == BoardShim.get_sampling_rate(facts.BOARD_ID)
    assert len(facts.WIRED_EEG_ROWS) == len(facts.ELECTRODES) <= facts.BOARD_EEG_CHANNELS
    loaded = subprocess.run([sys.executable, "-c", "import sys, corvane._facts; print(sorted(sys.modules))"],
                            capture_output=True, text=True, check=True).stdout
    assert not {"numpy", "brainflow", "mne", "torch", "live_pilot", "socket"} & set(ast.literal_eval(loaded))


# (class names, their commands): known names in any case and either form, others by position.
CLASS_TABLES = [
    (("left", "relax", "right"), ("L", "S", "R")),
    (("Blinking", "Jaw_Clenching", "Left_Hand", "Relax", "Right_Hand"), ("F", "B", "L", "S", "R")),
    (("RIGHT_HAND", " rest ", "jaw", "LEFT", "blinking"), ("R", "S", "B", "L", "F")),
    (("a", "b", "c", "d", "e"), ("L", "R", "F", "B", "S")),
    (("relax", "x", "left_foot", "Relaxing"), ("S", "R", "F", "B")),
    ((), ()),
]


@pytest.mark.parametrize("names, commands", CLASS_TABLES)
def test_class_commands_go_by_name_then_position(names, commands):
    assert class_commands(names) == commands
    assert tuple(command_for_class(name, k) for k, name in enumerate(names)) == commands


def test_positions_are_looked_up_as_map_action_to_command_does():
    assert [command_for_class(None, p) for p in (0, 2.0, True, 3, 4, -1, "0", None)] == list("LFRBSSSS")


LIVE_LINES = [
    ("Started data stream from board.\n", LiveLine("ready")),
    ("Processing window of shape: (1, 6, 1250)", LiveLine("window")),
    ("Mapped Command: R [1, 1, 0][0.7, 0.9, 0.65]", LiveLine("decision", "R", (1, 1, 0), (0.7, 0.9, 0.65))),
    ("Mapped Command: S [3][0.8] \n", LiveLine("decision", "S", (3,), (0.8,))),
    ("Mapped Command: S [3] [0.8]", None),
    ("Mapped Command: S [__import__('os')][1]", None),
    ("Mapped Command: [1][2]", None),
    ("CSP Features Shape: (1, 20, 1250)", None),
    ("", None),
]


@pytest.mark.parametrize("line, parsed", LIVE_LINES)
def test_live_lines_are_read(line, parsed):
    assert parse_live_line(line) == parsed


@pytest.mark.parametrize("text, address", [
    ("127.0.0.1", ("127.0.0.1", 80)), ("127.0.0.1:8080", ("127.0.0.1", 8080)), ("robot.local", ("robot.local", 80)),
    ("[::1]:9000", ("[::1]", 9000)), ("::1", ("[::1]", 80)),
    ("host:0", None), ("host:http", None), (":80", None), ("a b", None), ("", None),
])
def test_actuator_addresses_are_read_as_live_pilot_reads_them(text, address):
    if address is None:
        with pytest.raises(ValueError, match=r"^CORVANE_ACTUATOR_HOST must be a host name or IP address"):
            parse_actuator_address(text)
    else:
        assert parse_actuator_address(text) == address
