import os

import pytest

from tests.capture_hub.helpers import SEPARATOR, write_annotations

TWO_SESSIONS = f"\nsession1\nLeft_Hand\nRelax\n{SEPARATOR}\n\nsession2\nJaw_Clenching\n  \n\nBlinking\n{SEPARATOR}\n"


@pytest.mark.parametrize(
    "text, expected",
    [
        ("", 1),
        ("\n\n   \n", 1),
        ("\nsession1\n_\n\nsession2\n_\n\nsession5\n_\n", 6),
        ("\nsession10\nRelax\n_\n\nsession9\n_\n", 11),
        ("  session 4 \r\n_\r\n", 5),
    ],
)
def test_next_session_number_follows_the_largest_header(hub, capsys, text, expected):
    write_annotations(hub, text)
    capsys.readouterr()
    assert hub._get_next_session_number() == expected
    assert capsys.readouterr().out == ""


def test_a_header_that_is_not_an_integer_is_reported_and_skipped(hub, capsys):
    write_annotations(hub, "\nsession2\n_\n\nsession3.0\n_\n\nsessionX\n_\n")
    capsys.readouterr()
    # Numbering goes on after the largest valid header instead of restarting at 1.
    assert hub._get_next_session_number() == 3
    assert capsys.readouterr().out.splitlines() == [
        "Error reading session number: invalid literal for int() with base 10: '3.0'",
        "Error reading session number: invalid literal for int() with base 10: 'X'",
    ]
    write_annotations(hub, "\nsession3.0\n_\n")
    assert hub._get_next_session_number() == 1


def test_missing_or_unreadable_log(hub, capsys):
    os.remove(hub.annotation_file)
    assert hub._get_next_session_number() == 1 and hub._read_annotations_file(1) == []
    os.mkdir(hub.annotation_file)
    capsys.readouterr()
    assert hub._get_next_session_number() == 1
    assert hub._read_annotations_file(1) == []
    out = capsys.readouterr().out.splitlines()
    assert out[0].startswith("Error reading session number: ") and "Is a directory" in out[0]
    assert out[1].startswith("Error reading annotations: ")


@pytest.mark.parametrize("newline", ["\n", "\r\n"])
def test_reading_a_session_block(hub, newline):
    write_annotations(hub, TWO_SESSIONS, newline=newline)
    before = open(hub.annotation_file, "rb").read()
    assert hub._read_annotations_file(1) == ["Left_Hand", "Relax"]
    assert hub._read_annotations_file(2) == ["Jaw_Clenching", "Blinking"]
    assert hub._read_annotations_file("2") == ["Jaw_Clenching", "Blinking"]
    assert hub._read_annotations_file(2.0) == []
    assert hub._read_annotations_file(7) == []
    # Reading never changes the file.
    assert open(hub.annotation_file, "rb").read() == before


def test_blocks_without_separator_repeated_or_empty(hub):
    write_annotations(
        hub,
        f"\nsession3\nRelax\n\nsession30\nBlinking\n{SEPARATOR}\nstray text\n"
        f"\nsession4\n{SEPARATOR}\n\nsession3\nLeft_Hand\n{SEPARATOR}",
    )
    # An unclosed block runs on into the next one until a separator; session30 is not session3.
    assert hub._read_annotations_file(3) == ["Relax", "session30", "Blinking", "Left_Hand"]
    assert hub._read_annotations_file(30) == ["Blinking"]
    assert hub._read_annotations_file(4) == []
    assert hub._get_next_session_number() == 31


@pytest.mark.parametrize(
    "log, recorded, expected, errors",
    [
        # One undecodable byte spoils only its own line.
        (b"\nsession2\nLeft\xff_Hand\n_\n\nsession4\n_\n", [], 5, 0),
        (b"\nsession2\n_\n\nsession\xff9\n_\n", [], 3, 1),
        # Recordings whose session is missing from the log keep their number.
        (b"\nsession2\n_\n", ["session9_1700000000_raw.fif", "session3_1700000001_raw.fif"], 10, 0),
        (b"", ["session12_1_raw.fif", "sessionX_1_raw.fif", "session20_notes.txt", "other_raw.fif"], 13, 0),
    ],
)
def test_next_session_number_counts_every_number_in_use(hub, capsys, log, recorded, expected, errors):
    with open(hub.annotation_file, "wb") as f:
        f.write(log)
    for name in recorded + ["session30_1_raw.fif.tmp"]:
        open(os.path.join(hub.raw_dir, name), "w").close()
    capsys.readouterr()
    assert hub._get_next_session_number() == expected
    out = capsys.readouterr().out.splitlines()
    assert len(out) == errors and all(line.startswith("Error reading session number: ") for line in out)
