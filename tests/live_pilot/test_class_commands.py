"""Each class drives the command its name stands for: `python -m live_pilot` runs with agents that
always decide one class, for the class sets setup_eeg numbers (in sorted order) and for an archive
that names no classes."""
import shutil
import signal
import time

import pytest

from tests.live_pilot.test_control_loop import Program
from corvane.facts import AGENT_ARCHIVE, FILTERS_FILE, READY_LINE, SCALER_FILE, parse_live_line
from tests.support.testbed import train_filters

THREE = ("left", "relax", "right")
FIVE = ("Blinking", "Jaw_Clenching", "Left_Hand", "Relax", "Right_Hand")
FIVE_TABLE = "Class commands: Blinking -> F, Jaw_Clenching -> B, Left_Hand -> L, Relax -> S, Right_Hand -> R"
# classes, the class the agent always decides, whether its archive names the classes, the command
# expected, the table line printed at import
CASES = {
    "3 classes, relax": (THREE, "relax", True, "S", "Class commands: left -> L, relax -> S, right -> R"),
    "5 sorted classes, Relax": (FIVE, "Relax", True, "S", FIVE_TABLE),
    "5 sorted classes, Left_Hand": (FIVE, "Left_Hand", True, "L", FIVE_TABLE),
    "no names: by position": (THREE, "relax", False, "R",
                              "Class commands by position (the agent names no classes): 0 -> L, 1 -> R, 2 -> F"),
}


def artefacts_deciding(folder, trained, classes, decided, named):
    """An artefact folder: the trainer's filters and scaler, and its agent set up on `classes` with
    a Q-network whose output is `decided`'s one-hot vector, whatever it observes."""
    import torch

    base, forge = trained
    (folder / AGENT_ARCHIVE).parent.mkdir(parents=True)
    for name in (FILTERS_FILE, SCALER_FILE):
        shutil.copy(base / name, folder / name)
    model, _ = forge.setup_training(list(classes))
    last = model.q_net.q_net[-1]
    with torch.no_grad():
        last.weight.zero_()
        last.bias.zero_()
        last.bias[classes.index(decided)] = 1.0
    if not named:
        del model.class_names
    model.save(str(folder / AGENT_ARCHIVE))
    return folder


@pytest.mark.slow
def test_each_class_drives_the_command_of_its_name(subprocess_env, tmp_path):
    trained = {}
    for classes in (THREE, FIVE):
        base = tmp_path / f"trained{len(classes)}"
        trained[classes] = base, train_filters(base, classes=classes)
    programs = {}
    try:
        for k, (case, (classes, decided, named, _, _)) in enumerate(CASES.items()):
            folder = artefacts_deciding(tmp_path / f"case{k}", trained[classes], classes, decided, named)
            programs[case] = Program(dict(subprocess_env, CORVANE_ARTEFACT_DIR=str(folder)), tmp_path)
        deadline = time.monotonic() + 240
        for program in programs.values():
            while len(program.sent()) < 3 and program.child.poll() is None:
                assert time.monotonic() < deadline, "no windows decoded"
                time.sleep(0.1)
            program.child.send_signal(signal.SIGINT)
        for case, program in programs.items():
            assert program.child.wait(timeout=30) == 0, case
            program.reader.join(timeout=5)
            _, _, _, command, table = CASES[case]
            lines = [line.rstrip("\n") for line in program.lines]
            assert table in lines and lines.index(table) < lines.index(READY_LINE), (case, lines[:12])
            parsed = [parse_live_line(line) for line in lines]
            mapped = [line.command for line in parsed if line and line.kind == "decision"]
            assert mapped and set(mapped) == {command}, (case, mapped)
            sent = program.sent()
            assert f"/command/{command}" in sent and set(sent) <= {f"/command/{command}", "/command/S"}
            # The controller hears the class's command (none at all for a stop) and "S" at the end.
            heard = [path for _, path, _ in program.controller.log]
            assert set(heard) == {"/S", f"/{command}"} and heard[-1] == "/S", (case, heard)
    finally:
        for program in programs.values():
            program.close()
