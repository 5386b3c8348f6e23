import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

import pytest

from corvane.facts import SCALER_FILE
from corvane.standins.actuator_controller import ActuatorController
from corvane.standins.movement_simulator import MovementSimulator
from corvane.pipeline.live import LiveError, LiveRun, controller_address, send_stop
from corvane.pipeline.live_events import LiveEvents
from tests.support.testbed import FaultyServer, controlled_emulator_process

REPO = Path(__file__).resolve().parents[2]


def window(index, command="S", decision=None, confidence=None):
    return {"kind": "window", "index": index, "command": command, "decision": decision, "confidence": confidence}


def test_output_lines_become_window_and_gate_events():
    shape = "Processing window of shape: (1, 6, 1250)"
    features = "Extracted Features Shape: (1, 24, 522)"
    fault = "Signal check: C3 is railed (at full scale); windows are not decoded (command S) until it is clean"
    silent = "No samples from the board for one step: outputs stopped while waiting"
    script = [
        (shape, []), (features, []),
        ("Mapped Command: R [1, 1, 0][0.7, 0.9, 0.65]", [window(0, "R", "right", 0.9)]),
        ("Stopping for 1 second...", []), ("Changed to new command: R", [{"kind": "command", "command": "R"}]),
        (shape, []), (features, []), ("Stopping for 1 second...", [window(1)]),   # no confident block: "S"
        (shape, []), (fault, [window(2), {"kind": "gate", "ok": False, "text": fault}]),
        (shape, []), (silent, [window(3), {"kind": "gate", "ok": False, "text": silent}]),
        (shape, []), (features, [{"kind": "gate", "ok": True, "text": "Signal clean: windows are decoded"}]),
        ("Mapped Command: S [4][0.8]", [window(4, "S", "relax", 0.8)]),
        ("Loop fell behind: skipped 2 windows, decoding the newest", [{"kind": "notice", "text":
                                                                       "Loop fell behind: skipped 2 windows, decoding the newest"}]),
        (shape, []),
    ]
    parser = LiveEvents()
    for line, events in script:
        assert parser.feed(line) == events, line
    assert parser.flush() == [window(5)] and parser.flush() == []


@pytest.mark.parametrize("text, address", [
    ("127.0.0.1", ("127.0.0.1", 80)), ("127.0.0.1:8080", ("127.0.0.1", 8080)), ("robot.local", ("robot.local", 80)),
    ("[::1]:9000", ("::1", 9000)), ("::1", ("::1", 80)), ("host:0", None), ("host:http", None), (":80", None),
])
def test_controller_address_is_read_as_live_pilot_reads_it(text, address):
    if address is None:
        with pytest.raises(ValueError, match="actuator address"):
            controller_address(text)
    else:
        assert controller_address(text) == address


@pytest.mark.parametrize("fault", ["hang", "trickle", "302", "500", "refuse"])
def test_own_stop_is_no_acknowledgement_unless_answered_whole_within_a_second(fault):
    server = FaultyServer()
    try:
        assert send_stop("127.0.0.1", server.port)
        server.fail(fault)
        began = time.monotonic()
        assert not send_stop("127.0.0.1", server.port)
        assert time.monotonic() - began < 1.2
        assert all(path == "/S" for _, path, _ in server.log)   # a redirect was not followed
    finally:
        server.close()


@pytest.fixture
def stand_ins():
    with ActuatorController(port=0) as controller, MovementSimulator(port=0) as simulator, \
            controlled_emulator_process(speed=4) as board:
        yield controller, simulator, board


def live(artefacts, board, controller, simulator, events, port=None):
    return LiveRun(artefact_dir=artefacts, serial_port=port or board.port, actuator_host=f"127.0.0.1:{controller.port}",
                   simulator_url=simulator.url, on_event=events.append)


def wait_for(events, check, seconds=60):
    deadline = time.monotonic() + seconds
    while not check(list(events)) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert check(list(events)), events


@pytest.mark.slow
def test_live_run_decodes_follows_the_signal_gate_and_stop_gets_s_acknowledged_at_once(trained, stand_ins):
    controller, simulator, board = stand_ins
    events = []
    run = live(trained[2], board, controller, simulator, events)
    assert run.controller_url == f"http://127.0.0.1:{controller.port}"
    run.start()
    try:
        wait_for(events, lambda seen: sum(e["kind"] == "window" for e in seen) >= 2)
        board.electrode("railed", 1)
        wait_for(events, lambda seen: any(e["kind"] == "gate" and not e["ok"] for e in seen))
        board.clean()
        wait_for(events, lambda seen: any(e["kind"] == "gate" and e["ok"] for e in seen))
    finally:
        before = len(controller.requests)
        outcome = run.stop()
    windows = [e for e in events if e["kind"] == "window"]
    assert [w["index"] for w in windows] == list(range(len(windows)))
    assert all(w["command"] in "SLRFB" for w in windows)
    gate = [e for e in events if e["kind"] == "gate"]
    assert [g["ok"] for g in gate] == [False, True] and "C3 is railed" in gate[0]["text"]
    assert outcome["acknowledged"] and outcome["seconds"] < 1.0
    assert list(controller.requests)[before] == "/S"   # the studio's own stop came first
    assert not run.running and events[-1]["kind"] == "exit"
    assert not [e for e in events if e["kind"] == "error"]


@pytest.mark.slow
def test_live_run_that_cannot_start_says_why(trained, stand_ins, tmp_path):
    controller, simulator, board = stand_ins
    partial = shutil.copytree(trained[2], tmp_path / "partial")
    (partial / SCALER_FILE).unlink()
    # Plain words in the message; the child's own (file names, its exception) on the details line.
    for artefacts, port, wanted, details in (
            (partial, None, "a trained file is missing", f"live_pilot: FileNotFoundError.*{SCALER_FILE}"),
            (trained[2], str(tmp_path / "no-such-port"), "could not open the board on .*no-such-port", "brainflow")):
        run = live(artefacts, board, controller, simulator, [], port)
        with pytest.raises(LiveError, match=wanted) as raised:
            run.start()
        assert re.search(details, raised.value.details) and "live_pilot" not in str(raised.value)
        assert not run.running


@pytest.mark.slow
def test_a_board_unplugged_while_live_ends_the_run_with_a_plain_error(trained, stand_ins):
    controller, simulator, board = stand_ins
    events = []
    run = live(trained[2], board, controller, simulator, events)
    run.start()
    try:
        wait_for(events, lambda seen: any(e["kind"] == "window" for e in seen))
        board.vanish()
        wait_for(events, lambda seen: bool(seen) and seen[-1]["kind"] == "exit", seconds=30)
    finally:
        run.stop()
    gate = [e for e in events if e["kind"] == "gate"]
    errors = [e["details"] for e in events if e["kind"] == "error"]
    assert gate and not gate[-1]["ok"] and "No samples" in gate[-1]["text"]
    assert errors == ["live_pilot stopped: TimeoutError: Board stopped streaming: no samples for 5 seconds"]
    assert events[-1]["code"] != 0 and list(controller.requests)[-1] == "/S"


STUDIO = """
import sys, time
from corvane.pipeline.live import LiveRun
run = LiveRun(artefact_dir=sys.argv[1], serial_port=sys.argv[2], actuator_host=sys.argv[3], simulator_url=sys.argv[4],
              on_event=lambda event: None)
run.start()
print(run._child.pid, flush=True)
time.sleep(300)
"""


def gone(pid):
    try:
        return Path(f"/proc/{pid}/stat").read_text().split(")")[1].split()[0] in "ZX"
    except FileNotFoundError:
        return True


@pytest.mark.slow
def test_a_studio_killed_outright_still_gets_the_actuator_stopped(trained, stand_ins):
    controller, simulator, board = stand_ins
    studio = subprocess.Popen([sys.executable, "-c", STUDIO, str(trained[2]), board.port, f"127.0.0.1:{controller.port}",
                               simulator.url], stdout=subprocess.PIPE, text=True, cwd=REPO)
    pilot = int(studio.stdout.readline())
    # Every window's command reaches the simulator; the controller hears only changes, which a
    # decoder that keeps deciding "S" never makes.
    assert simulator.wait_for(1, 60), "live_pilot never decoded a window"
    studio.kill()
    studio.wait()
    deadline = time.monotonic() + 15
    while not gone(pilot) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert gone(pilot) and list(controller.requests)[-1:] == ["/S"]
