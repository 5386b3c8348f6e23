"""How the pipeline tells its caller what happens: a Progress event to an optional callback, and
what the modules print sent where the caller says (nothing reaches the terminal by itself)."""
import contextlib
import io
import sys
import time
from dataclasses import dataclass


class PipelineError(Exception):
    """A failure explained in one message (a missing input, a silent board, too few trials);
    `details` (file names, a module's own words) is for a front end to show apart."""

    def __init__(self, message, details=None):
        super().__init__(message)
        self.details = details


class BoardSilent(PipelineError):
    """The board stopped sending data; `trial` is the trial it happened in (when recording)."""
    trial = None


@dataclass(frozen=True)
class Progress:
    """One step of a stage: `done` of `total` (in the stage's own unit: trials, steps, splits),
    `text` saying it in a line, `seconds` since the stage began."""
    stage: str
    done: int
    total: int
    text: str = ""
    seconds: float = 0.0

    @property
    def final(self):
        return self.done >= self.total


class Reporter:
    """Sends a stage's Progress events to `callback` (if any), timing them from its creation."""

    def __init__(self, callback, stage):
        self.callback, self.stage, self.began = callback, stage, time.monotonic()

    @property
    def seconds(self):
        return time.monotonic() - self.began

    def __call__(self, done, total, text=""):
        if self.callback is not None:
            self.callback(Progress(self.stage, done, total, text, self.seconds))


class _Tee(io.TextIOBase):
    """What the modules print, kept line by line and passed on to `target` (None: dropped)."""

    def __init__(self, target):
        self.target, self.lines, self._partial = target, [], ""

    def write(self, text):
        if self.target is not None:
            self.target.write(text)
        *lines, self._partial = (self._partial + text).split("\n")
        self.lines += [line.rstrip("\r") for line in lines]
        return len(text)

    def flush(self):
        if self.target is not None and hasattr(self.target, "flush"):
            self.target.flush()

    def isatty(self):
        return False

    def said(self):
        return [line.strip() for line in self.lines + [self._partial] if line.strip()]


@contextlib.contextmanager
def module_output(output=None):
    """Routes sys.stdout and sys.stderr (the modules print through them) to `output`, a writable
    text stream (None: discarded), for the block; yields the tee, whose said() lists the lines.
    What native libraries write to file descriptor 2 directly is left to the caller to route."""
    tee = _Tee(output)
    saved = sys.stdout, sys.stderr
    sys.stdout = sys.stderr = tee
    try:
        yield tee
    finally:
        sys.stdout, sys.stderr = saved


def error_lines(lines):
    """The lines that report a failure, or all of them when none looks like one."""
    errors = [line for line in lines if any(word in line.lower() for word in ("error", "fail", "cannot", "could not"))]
    return errors or list(lines)


def first_line(exc):
    """An exception in one line: its message's first line, or its type's name."""
    text = str(exc).strip()
    return text.splitlines()[0] if text else type(exc).__name__
