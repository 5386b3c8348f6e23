"""What the loop is given is checked before it drives anything: a railed or flat electrode is not
decoded, and only windows of samples received during this run of main() are."""
import threading
import time

import capture_hub
import numpy as np
import pytest

from tests.live_pilot.helpers import interrupt, nothing, run_main
from corvane.standins.cyton_emulator import MICROVOLTS_PER_COUNT
from corvane.standins.quiet_signal import quiet_signal
from corvane.facts import ELECTRODES, LIVE_STEP as STEP, LIVE_WINDOW as WINDOW, SAMPLING_RATE
from corvane.standins.simulated_subject import CUES, SimulatedSubject
from tests.support.testbed import FULL_SCALE_MICROVOLTS as FULL_SCALE, counter_signal, electrode_fault, restart_stream

WIRED = len(ELECTRODES)


def changed(change):
    def window(rng):
        values = rng.standard_normal((WIRED, WINDOW)) * 10
        change(values)
        return values
    return window


def put(rows, columns, value):
    return changed(lambda w: w.__setitem__((rows, columns), value))


# name -> (window from a random generator, expected verdict)
WINDOWS = {
    "ordinary EEG": (changed(lambda w: None), None),
    "a large steady offset that still varies": (changed(lambda w: w.__iadd__(120000.0)), None),
    "one sample at full scale in the newest step": (put(1, -1, FULL_SCALE), (1, "railed (at full scale)")),
    "a channel at negative full scale": (put(3, slice(None), -FULL_SCALE), (3, "railed (at full scale)")),
    "railed only before the newest step": (put(2, slice(None, 800), FULL_SCALE), None),
    "every channel railed": (put(slice(None), slice(None), FULL_SCALE), (0, "railed (at full scale)")),
    "the newest 60 samples constant": (put(4, slice(-60, None), 7.25), (4, "flat (no variation)")),
    "only the newest 30 samples constant": (put(4, slice(-30, None), 7.25), None),
    "a faint but real variation": (put(0, slice(-200, None), 5 + 0.2 * np.sin(np.arange(200))), None),
    "NaN beside a railed channel (left to the decoder)": (
        changed(lambda w: (w.__setitem__((1, -1), FULL_SCALE), w.__setitem__((5, -3), np.nan))), None),
}


@pytest.mark.parametrize("case", WINDOWS)
def test_signal_fault_verdicts(live_pilot, case):
    make, expected = WINDOWS[case]
    window = make(np.random.default_rng(3))
    assert live_pilot.signal_fault(window, STEP) == expected
    # The same verdict through a ring buffer's strides (a slice of a wider array).
    wide = np.zeros((WIRED, 3 * WINDOW))
    wide[:, WINDOW:2 * WINDOW] = window
    assert live_pilot.signal_fault(wide[:, WINDOW:2 * WINDOW], STEP) == expected
    # capture_hub offers the same check (for a host showing the board) from the same code.
    assert capture_hub.signal_fault(window, STEP) == expected


def test_channel_quality_uses_the_gates_thresholds():
    window = np.random.default_rng(4).standard_normal((WIRED, WINDOW)) * 10
    window[1, :WINDOW // 4] = FULL_SCALE          # a quarter of the window on the rail
    window[3, -1] = -0.99 * FULL_SCALE           # one sample just at the rail
    window[4, -60:] = 7.25                        # flat over the newest samples
    window[5, -1] = np.nan
    quality = capture_hub.channel_quality(window)
    assert quality[0] == (0.0, False) and quality[2] == (0.0, False)
    assert quality[1] == (WINDOW // 4 / WINDOW, False) and quality[3] == (1 / WINDOW, False) and quality[4] == (0.0, True)
    assert np.isnan(quality[5][0]) and quality[5][1] is False


def test_the_simulated_subject_never_trips_the_check(live_pilot):
    subject, rate = SimulatedSubject(seed=5), SAMPLING_RATE
    chunks = []
    for second in range(0, 300, 10):  # five minutes, every cue and rest in turn
        subject.cue = (CUES + (None,))[(second // 10) % (len(CUES) + 1)]
        chunks.append(subject(second * rate, 10 * rate)[:, :WIRED].T)
    signal = np.concatenate(chunks, axis=1)
    verdicts = {live_pilot.signal_fault(signal[:, end - WINDOW:end], STEP) for end in range(WINDOW, signal.shape[1], STEP)}
    assert verdicts == {None}


# The unwired inputs (emulator rows 6 and 7) are flat throughout: they are never looked at.
UNWIRED_FLAT = electrode_fault(electrode_fault(quiet_signal, 6, "flat"), 7, "flat")


@pytest.mark.parametrize("kind, trickling", [("railed", True), ("flat", False)], ids=["railed", "flat"])
def test_a_failing_electrode_stops_the_device_within_a_step(live_pilot, own_board, outputs, kind, trickling, capsys):
    own_board.signal = UNWIRED_FLAT
    failed = []

    def electrode_fails():
        live_pilot.arduino.current_command = "F"  # the device is moving
        own_board.signal = electrode_fault(UNWIRED_FLAT, 1, kind, own_board.samples_sent)
        if trickling:  # the simulator trickles as the decision turns to stop: the actuator hears it first
            outputs.simulator.fail("trickle")
        failed.append(time.monotonic())

    def electrode_back():
        own_board.signal = UNWIRED_FLAT

    steps = [electrode_fails, outputs.simulator.heal, nothing, electrode_back] + [nothing] * 4 + [interrupt]
    error, _ = run_main(live_pilot, steps)
    out = capsys.readouterr().out
    assert error is None
    line = f"Signal check: C3 is {'railed (at full scale)' if kind == 'railed' else 'flat (no variation)'}; " \
           "windows are not decoded (command S) until it is clean"
    assert out.count("Signal check: ") == 1 and line in out  # once for the whole run of bad windows
    before, after = out.split(line)
    assert "CSP Features Shape" in before.split("Processing window of shape")[1]  # the unwired inputs pass
    assert "CSP Features Shape" in after  # decoding resumed once the electrode was back
    stops = [t - failed[0] for t in outputs.controller.ack_times("S") if t > failed[0]]
    assert stops and stops[0] < STEP / SAMPLING_RATE + 1.0
    assert outputs.controller.acked()[-1] == "S"


def test_the_actuator_hears_a_window_s_command_before_the_simulator(live_pilot, own_board, outputs):
    own_board.signal = electrode_fault(quiet_signal, 2, "railed")  # every window's command is "S"
    live_pilot.arduino.current_command = "F"  # the device is moving
    outputs.simulator.fail("trickle")
    error, _ = run_main(live_pilot, [interrupt])
    assert error is None
    first_stop = outputs.controller.ack_times("S")[0]
    assert first_stop < outputs.simulator.log[0][0]


def sample_numbers(window):
    return np.rint(window[0] / MICROVOLTS_PER_COUNT).astype(np.int64)


def recorded_windows(ring):
    """The windows main() takes from `ring`, as copies (until `del ring.get_window`)."""
    windows, take = [], ring.get_window

    def get_window():
        window = take()
        windows.append(np.array(window))
        return window

    ring.get_window = get_window
    return windows


def test_main_decodes_only_samples_of_its_own_run(live_pilot, own_board, outputs):
    own_board.signal = counter_signal
    for run in range(2):  # a second main() on the same import
        if run:
            restart_stream(live_pilot.board)
        time.sleep(0.8)  # two windows' worth wait on the board before main() starts
        waiting = own_board.samples_sent
        windows = recorded_windows(live_pilot.eeg_buffer)
        try:
            run_main(live_pilot, [nothing, nothing, interrupt])
        finally:
            del live_pilot.eeg_buffer.get_window
        for window in windows:
            numbers = sample_numbers(window)
            assert np.all(np.diff(numbers) == 1) and numbers[0] >= waiting - 100, (run, numbers[:3], waiting)


@pytest.mark.slow
def test_after_a_silent_board_a_whole_new_window_comes_first(live_pilot, own_board, outputs, capsys):
    own_board.signal = counter_signal
    silenced = []

    def go_silent():
        silenced.append(own_board.samples_sent)
        own_board.responsive = False
        threading.Timer(2.5, lambda: setattr(own_board, "responsive", True)).start()

    windows = recorded_windows(live_pilot.eeg_buffer)
    try:
        error, _ = run_main(live_pilot, [go_silent, nothing, interrupt])
    finally:
        del live_pilot.eeg_buffer.get_window
    assert error is None and "No samples from the board for one step" in capsys.readouterr().out
    assert sample_numbers(windows[1])[0] >= silenced[0]
