"""The pipeline's small parts: cue labelling, class order, counting, the environment boundary and
where the modules' output goes."""
import os
import sys
import tempfile

from corvane.facts import CLASS_COMMANDS, STOP_CLASS, STOP_COMMAND
from corvane.pipeline import CuePlayer, class_order, confusion, module_environment, module_output, module_variables
from tests.support.testbed import conservative_choice


def test_live_windows_are_labelled_by_the_cue_they_lie_in():
    player = CuePlayer(["left", "jaw", "relax"], segment=1000, clock=lambda: 0, apply=None)
    player.changes += [(1000, "jaw"), (2000, "relax")]
    assert player.cue_over(0, 1000) == ("left", True)
    assert player.cue_over(600, 1850) == ("jaw", False)     # most of it, not all
    assert player.cue_over(2500, 3750) == ("relax", True)   # the last cue lasts
    # The live rule: of near-equal candidates the least confident wins.
    assert conservative_choice([1, 3], [0.9, 0.7]) == 3
    assert conservative_choice([1, 3], [0.95, 0.3]) == 1
    assert conservative_choice([], []) is None


def test_classes_are_ordered_for_the_drive_commands_and_counted_with_none():
    # live_pilot drives class i with the i-th command, any class past them with the stop command.
    letters = [letter for _, letter in CLASS_COMMANDS] + [STOP_COMMAND]
    commands = dict(zip(class_order(["right", "jaw", "relax", "left", "blinking"]), letters))
    assert commands == {**dict(CLASS_COMMANDS), STOP_CLASS: STOP_COMMAND}
    assert class_order(["relax", "rest", "left"]) == ["left", "rest", "relax"]
    counts, columns = confusion([("left", "left"), (None, "relax"), ("relax", "left")], ["left", "relax"])
    assert columns == ["left", "relax", "none"] and counts.tolist() == [[1, 1, 0], [0, 0, 1]]


def test_the_environment_is_set_for_the_block_and_restored_after(tmp_path, monkeypatch):
    monkeypatch.setenv("CORVANE_SERIAL_PORT", "/dev/before")
    monkeypatch.delenv("CORVANE_SIMULATOR_URL", raising=False)
    monkeypatch.delenv("TF_CPP_MIN_LOG_LEVEL", raising=False)
    before, tempdir = dict(os.environ), tempfile.tempdir
    with module_environment(base=tmp_path, serial_port="/dev/pts/9", simulator_url="http://127.0.0.1:1"):
        with module_environment(library_home=tmp_path / "libs"):   # nested: restored in order
            assert os.environ["MPLCONFIGDIR"] == str(tmp_path / "libs" / ".matplotlib")
            assert tempfile.gettempdir() == str(tmp_path / "libs" / "tmp") == os.environ["TMPDIR"]
            assert os.environ["TF_CPP_MIN_LOG_LEVEL"] == "2"
        assert (os.environ["CORVANE_PATH"], os.environ["CORVANE_SERIAL_PORT"]) == (str(tmp_path), "/dev/pts/9")
        assert "MPLCONFIGDIR" not in os.environ or os.environ["MPLCONFIGDIR"] == before.get("MPLCONFIGDIR")
    assert dict(os.environ) == before and tempfile.tempdir == tempdir
    # A child process gets the same names as a dict; what is not given is not set.
    assert module_variables(artefact_dir=tmp_path, actuator_host="127.0.0.1:8080") == {
        "CORVANE_ARTEFACT_DIR": str(tmp_path), "CORVANE_ACTUATOR_HOST": "127.0.0.1:8080"}


def test_module_output_goes_where_the_caller_says_and_is_kept_by_line(capsys):
    target = open(os.devnull, "w")
    saved = sys.stdout, sys.stderr
    for output in (None, target):
        with module_output(output) as said:
            print("Board initialized")
            print("Error: no", end="", file=sys.stderr)
        assert said.said() == ["Board initialized", "Error: no"]
    target.close()
    assert (sys.stdout, sys.stderr) == saved and capsys.readouterr() == ("", "")
