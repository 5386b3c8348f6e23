"""Faults timed against `python -m live_pilot` run as a program (for bench.live_pilot_faults):

- frozen reader, then silent board: the program's output goes through a 4 KiB pipe to a reader
  (`cat`) that is stopped (SIGSTOP) and the pipe filled; 2 s later the board goes silent. Timed
  from the silence to "S"; the reader stays frozen until then.
- controller name stops resolving: the controller is given by a name that resolves through a
  hosts file of the program's own (a private mount namespace); the name is taken out, the
  controller refuses connections for 0.5 s (so the stop needs a new one) and SIGTERM is sent.
  Timed from the SIGTERM. Skipped (None) where mount namespaces are not available.
"""
import contextlib
import fcntl
import os
import shutil
import signal
import subprocess
import sys
import time
import uuid

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


@contextlib.contextmanager
def program(env, stdout=subprocess.DEVNULL, prefix=()):
    child = subprocess.Popen([*prefix, sys.executable, "-m", "live_pilot"], env=env, stdout=stdout,
                             stderr=subprocess.DEVNULL)
    try:
        yield child
    finally:
        if child.poll() is None:
            child.kill()
        child.wait()


def wait_for_commands(simulator, child, count, timeout=120):
    """Waits until the simulator has heard `count` more commands (decoded windows)."""
    target, deadline = len(simulator.log) + count, time.monotonic() + timeout
    while len(simulator.log) < target:
        if child.poll() is not None or time.monotonic() > deadline:
            raise RuntimeError("live_pilot decoded no window")
        time.sleep(0.1)


def frozen_reader(env, outputs, folder):
    read_end, write_end = os.pipe()
    fcntl.fcntl(write_end, F_SETPIPE_SZ, PIPE_BYTES)
    with open(os.path.join(folder, "program_output.txt"), "wb") as sink:
        reader = subprocess.Popen(["cat"], stdin=read_end, stdout=sink)
    os.close(read_end)
    try:
        with program(env, stdout=write_end) as child:
            wait_for_commands(outputs.simulator, child, 1)
            reader.send_signal(signal.SIGSTOP)
            try:
                fill_pipe(write_end)
                time.sleep(2.0)
                moment = time.monotonic()
                outputs.board.go_silent()
                acknowledged = outputs.controller.wait_for_ack("S", moment, timeout=10)
            finally:
                reader.send_signal(signal.SIGCONT)
            child.wait(timeout=60)
            outputs.board.answer_again()
    finally:
        os.close(write_end)
        reader.wait(timeout=30)
    return None if acknowledged is None else acknowledged - moment


def hosts_file_namespace(hosts):
    """The command prefix that runs a program with `hosts` as its /etc/hosts, or None."""
    prefix = ["unshare", "--mount", "--propagation", "private", "sh", "-c",
              'mount --bind "$0" /etc/hosts && exec "$@"', hosts]
    if shutil.which("unshare") is None or subprocess.run([*prefix, "true"], capture_output=True).returncode:
        return None
    return prefix


def unresolvable_name(env, outputs, folder):
    name = f"controller-{uuid.uuid4().hex[:12]}.test"
    hosts = os.path.join(folder, "hosts")
    with open(hosts, "w") as file:
        file.write(f"127.0.0.1 localhost\n127.0.0.1 {name}\n")
    prefix = hosts_file_namespace(hosts)
    if prefix is None:
        return None
    env = dict(env, CORVANE_ACTUATOR_HOST=f"{name}:{outputs.controller.port}")
    with program(env, prefix=prefix) as child:
        wait_for_commands(outputs.simulator, child, 1)
        with open(hosts, "r+") as file:  # in place: the program's /etc/hosts is this very file
            file.truncate(0)
            file.write("127.0.0.1 localhost\n")
        outputs.controller.fail("refuse", seconds=0.5)
        moment = time.monotonic()
        child.send_signal(signal.SIGTERM)
        acknowledged = outputs.controller.wait_for_ack("S", moment, timeout=10)
        child.wait(timeout=60)
    return None if acknowledged is None else acknowledged - moment
