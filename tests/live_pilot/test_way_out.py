"""The way out holds whatever else happens: repeated stop signals, a reader that stops reading,
a loop stuck anywhere, a controller name that stops resolving. Each ends with "S" acknowledged."""
import fcntl
import os
import re
import shutil
import signal
import subprocess
import sys
import threading
import time
import uuid

import pytest

from tests.live_pilot.helpers import STOP_LINES, Program, run_main

GAVE_UP = "Actuator did not acknowledge the stop command"
F_SETPIPE_SZ = 1031
PIPE_BYTES = 4096


def fill_pipe(write_end):
    """Fills the pipe through a descriptor of its own (non-blocking without touching the writer's)."""
    own = os.open(f"/proc/self/fd/{write_end}", os.O_WRONLY | os.O_NONBLOCK)
    try:
        while True:
            os.write(own, b"#\n")
    except BlockingIOError:
        pass
    finally:
        os.close(own)


def stop_acks_after(controller, moment, count, timeout):
    """Waits until `count` "S" were acknowledged after `moment`; returns how many were."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if len([t for t in controller.ack_times("S") if t >= moment]) >= count:
            break
        time.sleep(0.05)
    return len([t for t in controller.ack_times("S") if t >= moment])


# Signals sent 0.3 s apart while the controller answers 500 for 0.7 s: only the third stop try
# can be acknowledged, and no later signal may cut the tries short.
SIGNAL_RUNS = [(signal.SIGINT,) * 3, (signal.SIGTERM, signal.SIGINT, signal.SIGHUP)]


@pytest.mark.slow
def test_stop_signals_during_the_stop_wait_for_it(subprocess_env, tmp_path):
    programs = [Program(subprocess_env, tmp_path) for _ in SIGNAL_RUNS]
    try:
        for program in programs:
            program.wait_for_windows(3)
        for signals, program in zip(SIGNAL_RUNS, programs):
            program.controller.fail("500")
            threading.Timer(0.7, program.controller.heal).start()
            for number in signals:
                program.child.send_signal(number)
                time.sleep(0.3)
        for signals, program in zip(SIGNAL_RUNS, programs):
            assert program.child.wait(timeout=60) == 0
            program.reader.join(timeout=5)
            out = "".join(program.lines)
            assert program.controller.acked()[-1] == "S"
            assert STOP_LINES[signals[0]] in out and GAVE_UP not in out
            assert out.endswith("Resources cleaned up successfully\n")
    finally:
        for program in programs:
            program.close()


@pytest.mark.slow
def test_a_frozen_reader_holds_up_neither_the_loop_nor_the_stop(subprocess_env, tmp_path):
    read_end, write_end = os.pipe()
    fcntl.fcntl(write_end, F_SETPIPE_SZ, PIPE_BYTES)
    output = tmp_path / "output.txt"
    with open(output, "wb") as sink:
        reader = subprocess.Popen(["cat"], stdin=read_end, stdout=sink)
    os.close(read_end)
    program = Program(subprocess_env, tmp_path, stdout=write_end)
    try:
        program.wait_for_windows(2)
        reader.send_signal(signal.SIGSTOP)
        try:
            fill_pipe(write_end)
            program.wait_for_windows(30)  # decoding goes on with the pipe full, past the writer's queue (64 lines)
            silenced = time.monotonic()
            program.board.responsive = False
            # The stop after one silent step, and the way out's when the board is given up on.
            assert stop_acks_after(program.controller, silenced, 2, timeout=30) >= 2
        finally:
            reader.send_signal(signal.SIGCONT)
        assert program.child.wait(timeout=60) == 1  # TimeoutError: the board stopped streaming
        assert program.controller.acked()[-1] == "S"
    finally:
        os.close(write_end)
        reader.wait(timeout=30)
        program.close()
    text = output.read_text()
    assert re.search(r"\nOutput stalled: \d+ lines? dropped while standard output was not read\n", text)
    assert "Started data stream from board." in text and "Processing window of shape: " in text


def test_the_watchdog_stops_a_stuck_loop(live_pilot, streaming_board, outputs):
    """The host's own stdout is a pipe nobody reads: the loop blocks in print, the watchdog stops
    the actuator; once the pipe is read again the loop runs on and says so."""
    read_end, write_end = os.pipe()
    fcntl.fcntl(write_end, F_SETPIPE_SZ, PIPE_BYTES)
    stuck_out = open(write_end, "w", buffering=1)
    saved, drained, acks_while_stuck = sys.stdout, [], []

    def drain():
        with open(read_end, "rb") as pipe:
            drained.append(pipe.read().decode())

    drainer = threading.Thread(target=drain, daemon=True)

    def block_output():
        stalled = time.monotonic()
        fill_pipe(write_end)
        sys.stdout = stuck_out

        def release():
            acks_while_stuck.append(stop_acks_after(outputs.controller, stalled, 1, timeout=15))
            drainer.start()

        threading.Thread(target=release, daemon=True).start()

    def interrupt():
        raise KeyboardInterrupt

    try:
        error, _ = run_main(live_pilot, [block_output, lambda: None, interrupt])
    finally:
        sys.stdout = saved
        stuck_out.close()
    drainer.join(timeout=10)
    assert error is None and acks_while_stuck[0] >= 1
    assert outputs.controller.acked()[-1] == "S"
    assert re.search(r"\nLoop stalled for [\d.]+ s: the watchdog stopped the actuator\n", drained[0])


def hosts_file_namespace(hosts):
    """The command prefix that runs a program with `hosts` in place of /etc/hosts (a mount
    namespace of its own), or None where mount namespaces are not available."""
    prefix = ["unshare", "--mount", "--propagation", "private", "sh", "-c",
              'mount --bind "$0" /etc/hosts && exec "$@"', str(hosts)]
    if shutil.which("unshare") is None:
        return None
    probe = subprocess.run([*prefix, "true"], capture_output=True)
    return prefix if probe.returncode == 0 else None


@pytest.mark.slow
def test_a_controller_name_that_stops_resolving(subprocess_env, tmp_path):
    name = f"controller-{uuid.uuid4().hex[:12]}.test"
    hosts = tmp_path / "hosts"
    hosts.write_text(f"127.0.0.1 localhost\n127.0.0.1 {name}\n")
    prefix = hosts_file_namespace(hosts)
    if prefix is None:
        pytest.skip("needs mount namespaces (unshare as root) to give the program a hosts file of its own")
    program = Program(subprocess_env, tmp_path, prefix=prefix, host=name)
    try:
        program.wait_for_windows(3)
        with open(hosts, "r+") as file:  # in place: the program's /etc/hosts is this very file
            file.truncate(0)
            file.write("127.0.0.1 localhost\n")
        # Connections are dropped for a moment, so the stop needs a new one.
        program.controller.fail("refuse", seconds=0.5)
        program.child.send_signal(signal.SIGTERM)
        assert program.child.wait(timeout=60) == 0
        program.reader.join(timeout=5)
        out = "".join(program.lines)
        assert program.controller.acked()[-1] == "S" and GAVE_UP not in out
        assert "\nStopped by SIGTERM.\n" in out
    finally:
        program.close()
