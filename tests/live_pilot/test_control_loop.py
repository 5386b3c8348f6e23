import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from corvane.facts import (AGENT_ARCHIVE, CONFIDENCE_THRESHOLD, ELECTRODES, FEATURE_ROW_LENGTH, FILTERS_FILE, LIVE_STEP,
                         LIVE_WINDOW, SCALER_FILE)
from tests.live_pilot.helpers import STOP_LINES, Program


class LoopProbe:
    """Records the windows main() takes and the commands it hands to the simulator; interrupts
    main (as Ctrl-C would) once `windows` windows have been commanded, or calls `on_window`."""

    def __init__(self, live_pilot, windows, on_window=None):
        self.module = live_pilot
        self.windows, self.commands = [], []
        self.limit, self.on_window = windows, on_window
        buffer, simulation = live_pilot.eeg_buffer, live_pilot.simulation
        take_window, send = buffer.get_window, simulation.send_command

        def get_window():
            window = take_window()
            self.windows.append(np.array(window))
            return window

        def send_command(command):
            self.commands.append(command)
            result = send(command)
            if len(self.commands) == len(self.windows) == self.limit:
                if self.on_window:
                    self.on_window()
                else:
                    raise KeyboardInterrupt
            return result

        buffer.get_window, simulation.send_command = get_window, send_command

    def remove(self):
        del self.module.eeg_buffer.get_window, self.module.simulation.send_command


def expected_command(live_pilot, window):
    """The decision for one window, computed step by step with the libraries."""
    import torch

    batch = window.reshape(1, len(ELECTRODES), -1)
    projected = np.concatenate([csp.transform(batch) for csp in live_pilot.csp_filters.values()], axis=1)
    features = live_pilot.dqnutils.featuresarray_load(data_array=projected)
    scaled = live_pilot.scaler.transform(features.reshape(-1, features.shape[-1])).reshape(features.shape)
    predictions, confidences = [], []
    for i in range(0, 20, 4):
        state = scaled[:, i : i + 4, :]
        with torch.no_grad():
            q = live_pilot.model.q_net(live_pilot.model.q_net.obs_to_tensor(state)[0])[0].numpy()
        assert int(np.argmax(q)) == int(live_pilot.model.predict(state, deterministic=True)[0][0])
        q = (q - q.min()) / (q.max() - q.min() + 1e-6)
        others = q[q != q.max()]
        confidence = float(q.max() - np.mean(others)) if len(others) else 0
        if confidence > CONFIDENCE_THRESHOLD:
            predictions.append(int(np.argmax(q)))
            confidences.append(confidence)
    action, _ = live_pilot.get_conservative_prediction(predictions, confidences)
    return "S" if action is None else live_pilot.map_action_to_command(action)


class CountingScaler:
    def __init__(self, scaler):
        self.scaler, self.calls = scaler, 0

    def transform(self, rows):
        self.calls += 1
        return self.scaler.transform(rows)


def test_main_decodes_each_step_once_and_stops_on_interrupt(live_pilot, streaming_board, servers, quick_arduino, capsys):
    simulator, controller = servers
    probe = LoopProbe(live_pilot, windows=4)
    scaler = live_pilot.scaler
    live_pilot.scaler = counting = CountingScaler(scaler)
    try:
        assert live_pilot.main() is None
    finally:
        probe.remove()
        live_pilot.scaler = scaler
    assert counting.calls == 4  # once per window
    out = capsys.readouterr().out

    # Each window holds the previous one moved on by exactly one step (no sample twice, none
    # lost), or by whole steps when the loop fell behind and said how many windows it skipped.
    skipped = [0]
    for line in out.splitlines():
        if line.startswith("Loop fell behind: skipped "):
            skipped[-1] = int(line.split()[4])
        elif line.startswith("Processing window of shape: "):
            skipped.append(0)
    for earlier, later, skips in zip(probe.windows, probe.windows[1:], skipped[1:]):
        shift = (1 + skips) * LIVE_STEP
        if shift < LIVE_WINDOW:
            np.testing.assert_array_equal(later[:, : LIVE_WINDOW - shift], earlier[:, shift:])
    assert out.count(f"Processing window of shape: (1, {len(ELECTRODES)}, {LIVE_WINDOW})") == 4
    assert out.count(f"CSP Features Shape: (1, 20, {LIVE_WINDOW})\n"
                     f"Extracted Features Shape: (1, 20, {FEATURE_ROW_LENGTH})") == 4

    # Commands come from the signal: the same decision as the straightforward computation.
    *decided, final = probe.commands
    assert decided == [expected_command(live_pilot, w) for w in probe.windows] and final == "S"
    assert simulator.requests == [f"/command/{c}" for c in probe.commands]
    assert "\nStopped by user.\n" in out
    assert not live_pilot.board.is_prepared()
    assert live_pilot.arduino.current_command == "S"
    if any(c != "S" for c in probe.commands):
        assert controller.requests[-1] == "/S"


@pytest.mark.slow
def test_board_going_silent_ends_main_with_every_output_stopped(live_pilot, streaming_board, emulator, servers, quick_arduino):
    simulator, controller = servers

    def go_silent():
        live_pilot.arduino.current_command = "F"  # the device is moving
        emulator.responsive = False

    def stuck():
        raise RuntimeError("stream stuck")

    probe = LoopProbe(live_pilot, windows=1, on_window=go_silent)
    live_pilot.board.stop_stream = stuck
    try:
        with pytest.raises(TimeoutError, match="Board stopped streaming"):
            live_pilot.main()
    finally:
        probe.remove()
        del live_pilot.board.stop_stream
        emulator.responsive = True
    # The first failure reaches the caller; the board is still released and both outputs stopped.
    assert not live_pilot.board.is_prepared()
    assert simulator.requests[-1] == "/command/S"
    assert controller.requests[-2:] == ["/S", "/S"] and live_pilot.arduino.current_command == "S"


def test_cleanup_stops_the_actuator_even_when_the_board_fails(live_pilot, streaming_board, servers, capsys):
    _, controller = servers

    def stuck():
        raise RuntimeError("stream stuck")

    live_pilot.board.stop_stream = stuck
    try:
        live_pilot.cleanup_resources()
    finally:
        del live_pilot.board.stop_stream
    assert capsys.readouterr().out == "Error during cleanup: stream stuck\n"
    assert controller.requests == ["/S"] and not live_pilot.board.is_prepared()

    live_pilot.cleanup_resources()  # nothing left to release
    assert capsys.readouterr().out == "Resources cleaned up successfully\n"
    assert controller.requests == ["/S", "/S"]


@pytest.mark.slow
def test_run_as_program_until_stopped_by_a_signal(live_pilot, subprocess_env, tmp_path):
    programs = {number: Program(subprocess_env, tmp_path) for number in STOP_LINES}
    try:
        for number, program in programs.items():
            program.wait_for_windows(3)
            program.child.send_signal(number)
        for number, program in programs.items():
            assert program.child.wait(timeout=30) == 0
            program.reader.join(timeout=5)
            check_program_output(number, program)
    finally:
        for program in programs.values():
            program.close()


def check_program_output(number, program):
    out = "".join(program.lines)
    setup = ["DQN model loaded.", "CSP filters loaded for real-time use.", "Scaler loaded for real-time use.",
             "Initialized circular buffer:", "BrainFlow session prepared.", "Started data stream from board."]
    positions = [out.index(line) for line in setup]
    assert positions == sorted(positions)
    assert STOP_LINES[number] in out and out.endswith("Resources cleaned up successfully\n")

    commands = []
    for block in out.split("Processing window of shape: ")[1:]:
        mapped = [line for line in block.splitlines() if line.startswith("Mapped Command: ")]
        commands.append(mapped[0].split()[2] if mapped else "S")
    # Every decoded window's command went to the simulator (the stop may cut the last one
    # short), then the stop of the clean-up; the controller's last word is the stop as well.
    sent = program.sent()[:-1]
    assert len(sent) >= 3 and sent == [f"/command/{c}" for c in commands[: len(sent)]]
    assert program.sent()[-1] == "/command/S" and program.controller.acked()[-1] == "S"


IMPORT_FAILURES = """
import importlib, os, sys
cases = sys.argv[1:]
for case in cases:
    directory, port = case.split("|")
    os.environ["CORVANE_ARTEFACT_DIR"], os.environ["CORVANE_SERIAL_PORT"] = directory, port
    try:
        importlib.import_module("live_pilot")
        print("RESULT imported")
    except Exception as error:
        print("RESULT", type(error).__name__)
"""


@pytest.mark.slow
def test_import_fails_with_the_library_error(subprocess_env, artefacts, tmp_path):
    corrupt = tmp_path / "corrupt"
    corrupt.mkdir()
    for name in (FILTERS_FILE, Path(AGENT_ARCHIVE).parts[0]):
        (corrupt / name).symlink_to(artefacts / name)
    (corrupt / SCALER_FILE).write_bytes((artefacts / SCALER_FILE).read_bytes()[:200])
    cases = [f"{tmp_path / 'empty'}|/dev/null", f"{corrupt}|/dev/null", f"{artefacts}|{tmp_path / 'no-board'}"]
    result = subprocess.run([sys.executable, "-c", IMPORT_FAILURES, *cases], env=subprocess_env,
                            capture_output=True, text=True, timeout=180)
    outcomes = [line.split()[1] for line in result.stdout.splitlines() if line.startswith("RESULT ")]
    assert outcomes == ["FileNotFoundError", "EOFError", "BrainFlowError"], result.stderr[-3000:]
