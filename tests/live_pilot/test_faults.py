"""Fault injection into the running loop: whatever breaks, main() ends with the actuator on "S"."""
import os
import signal
import time

import pytest

from tests.live_pilot.helpers import interrupt, nothing, run_main

GAVE_UP = "Actuator did not acknowledge the stop command after 3 tries: it may still be moving"


def fault(server, kind, times=None, seconds=None):
    return lambda outputs: getattr(outputs, server).fail(kind, times, seconds)


# (fault, applied just before the interrupt at the second window, or from the first window on
# with the interrupt at the third)
LINK_FAULTS = {
    "controller answers 500 to the stop": (fault("controller", "500", 1), "at stop"),
    "controller drops the stop": (fault("controller", "drop", 1), "at stop"),
    "controller hangs on the stop": (fault("controller", "hang", 1), "at stop"),
    "controller refuses for a moment": (fault("controller", "refuse", seconds=0.5), "at stop"),
    "controller answers the stop after 4 s": (fault("controller", "slow", 1), "at stop"),
    "controller redirects the stop": (fault("controller", "302", 1), "at stop"),
    "simulator answers 500": (fault("simulator", "500"), "from the first window"),
    "simulator drops": (fault("simulator", "drop"), "from the first window"),
    "simulator hangs": (fault("simulator", "hang"), "from the first window"),
    "simulator refuses": (fault("simulator", "refuse"), "from the first window"),
    "simulator trickles": (fault("simulator", "trickle"), "from the first window"),
}


@pytest.mark.parametrize("case", LINK_FAULTS)
def test_link_faults_end_with_the_actuator_stopped(live_pilot, streaming_board, outputs, case, capsys):
    inject, moment = LINK_FAULTS[case]
    if moment == "at stop":
        steps = [nothing, lambda: (inject(outputs), interrupt())]
    else:
        steps = [lambda: inject(outputs), nothing, interrupt]
    error, interrupted = run_main(live_pilot, steps)
    ended = time.monotonic()
    out = capsys.readouterr().out

    assert error is None and "\nStopped by user.\n" in out and GAVE_UP not in out
    assert outputs.controller.acked()[-1] == "S"
    assert ended - interrupted < 5  # nothing hangs: the stop retries and each request have limits
    assert not live_pilot.board.is_prepared()
    if case.startswith("controller"):
        assert "HTTP request error: " in out
    if case == "simulator hangs":  # a one-second pass at ten times real time: two steps came at once
        assert "Loop fell behind: skipped " in out


def test_a_controller_that_never_answers_is_reported(live_pilot, streaming_board, outputs, capsys):
    error, _ = run_main(live_pilot, [lambda: (outputs.controller.fail("500"), interrupt())])
    out = capsys.readouterr().out
    assert error is None and out.count("HTTP request error: ") >= 3 and GAVE_UP in out
    assert outputs.simulator.acked()[-1] == "S" and not live_pilot.board.is_prepared()


def test_a_failing_window_still_stops_everything(live_pilot, streaming_board, outputs):
    def broken():
        raise RuntimeError("decoder failed")

    error, _ = run_main(live_pilot, [broken])
    assert isinstance(error, RuntimeError) and str(error) == "decoder failed"
    assert outputs.controller.acked()[-1] == "S" and outputs.simulator.acked()[-1] == "S"
    assert not live_pilot.board.is_prepared()


def test_stop_signals_end_main_and_are_handed_back(live_pilot, streaming_board, outputs, capsys):
    heard = []
    host_handler = lambda signum, frame: heard.append(signum)  # noqa: E731
    previous = signal.signal(signal.SIGHUP, host_handler)
    try:
        # The host's own SIGHUP handler stays in charge; SIGTERM, left at its default, ends main.
        steps = [lambda: os.kill(os.getpid(), signal.SIGHUP), lambda: os.kill(os.getpid(), signal.SIGTERM)]
        error, _ = run_main(live_pilot, steps)
        assert error is None and heard == [signal.SIGHUP]
        assert signal.getsignal(signal.SIGTERM) == signal.SIG_DFL
        assert signal.getsignal(signal.SIGHUP) is host_handler
    finally:
        signal.signal(signal.SIGHUP, previous)
    out = capsys.readouterr().out
    assert "\nStopped by SIGTERM.\n" in out and outputs.controller.acked()[-1] == "S"


@pytest.mark.slow
@pytest.mark.parametrize("fault", ["goes silent", "port vanishes"])
def test_board_faults_stop_both_outputs_within_a_step(live_pilot, own_board, outputs, fault, capsys):
    def break_board():
        if fault == "goes silent":
            own_board.responsive = False
        else:
            own_board.stop()

    error, broken = run_main(live_pilot, [break_board])
    out = capsys.readouterr().out
    assert isinstance(error, TimeoutError) and "Board stopped streaming" in str(error)
    assert "No samples from the board for one step: outputs stopped while waiting" in out
    stops = [t - broken for t in outputs.controller.ack_times("S")]
    assert any(1.7 < t < 4 for t in stops)  # after one step of silence, long before the 5 s limit
    # And again on the way out, 5 s after the last samples, which the loop may have read a pass
    # (tens of milliseconds) before the fault.
    assert stops[-1] > 4.9 and outputs.controller.acked()[-1] == "S"
    assert outputs.simulator.acked()[-1] == "S"
