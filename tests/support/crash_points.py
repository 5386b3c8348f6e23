"""Crashes at chosen steps, for a process that is meant to die: SIGKILL on the n-th call of an `os`
function (before or after it runs), or the file-size signal part-way through a write.

    with crash_on_call("link", after=False):     # killed just before the file is linked into place
        hub.stop_recording()

The modules look their `os` functions up on every call, so the wrapper sees every call they make.
"""
import contextlib
import os
import resource
import signal

# A trial's FIF file is larger than this, the annotations file smaller.
MID_WRITE_SIZE = 16 * 1024


def _die():
    os.kill(os.getpid(), signal.SIGKILL)


@contextlib.contextmanager
def crash_on_call(name, nth=1, after=False):
    """SIGKILL at the `nth` call of os.<name> within the block, before it runs or after it returned."""
    real = getattr(os, name)
    calls = 0

    def wrapper(*args, **kwargs):
        nonlocal calls
        calls += 1
        if calls == nth and not after:
            _die()
        result = real(*args, **kwargs)
        if calls == nth:
            _die()
        return result

    setattr(os, name, wrapper)
    try:
        yield
    finally:
        setattr(os, name, real)


@contextlib.contextmanager
def crash_mid_write(size=MID_WRITE_SIZE):
    """The file-size signal, at its default action, ends the process at the first write past `size`."""
    signal.signal(signal.SIGXFSZ, signal.SIG_DFL)
    resource.setrlimit(resource.RLIMIT_FSIZE, (size, resource.getrlimit(resource.RLIMIT_FSIZE)[1]))
    yield


# Steps of a trial's save and of a deletion, as crash points.
SAVE_STEPS = {
    "before the save": lambda: crash_on_call("listdir"),
    "mid-write": crash_mid_write,
    "before the link": lambda: crash_on_call("link"),
    "after the link": lambda: crash_on_call("link", after=True),
}
DELETE_STEPS = {
    "before the log": lambda: crash_on_call("replace"),
    "after the log": lambda: crash_on_call("replace", after=True),
    "after one file": lambda: crash_on_call("remove", after=True),
    "after three files": lambda: crash_on_call("remove", nth=3, after=True),
}


@contextlib.contextmanager
def no_new_files():
    """No file can be opened within the block (EMFILE), as when descriptors run out: the lowest
    free descriptor becomes the limit."""
    free = os.open(os.devnull, os.O_RDONLY)
    os.close(free)
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (free, hard))
    try:
        yield
    finally:
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
