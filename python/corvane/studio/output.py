"""The modules print their progress and their errors through Python's print. While the studio runs,
sys.stdout is a router: everything goes to the studio's log file, and a thread that asked for it
also keeps its own lines, so a page can be told what a module said when a step failed."""
import contextlib
import sys
import threading

from corvane.pipeline.events import error_lines as failure_lines


class OutputRouter:
    def __init__(self, log_path):
        self._log = open(log_path, "a", buffering=1, encoding="utf-8", errors="replace")
        self._local = threading.local()
        self._lock = threading.Lock()
        self.console = sys.stdout
        self.encoding = "utf-8"

    def write(self, text):
        with self._lock:
            self._log.write(text)
        lines = getattr(self._local, "lines", None)
        if lines is not None:
            lines.append(text)
        return len(text)

    def flush(self):
        with self._lock:
            self._log.flush()

    def isatty(self):
        return False

    @contextlib.contextmanager
    def captured(self):
        """Collects this thread's output in the list it yields (joined and split into lines when
        read through `said(lines)`)."""
        previous = getattr(self._local, "lines", None)
        self._local.lines = lines = []
        if sys.stdout is not self:   # someone (a test runner) swapped it meanwhile
            sys.stdout = self
        try:
            yield lines
        finally:
            self._local.lines = previous
            if previous is not None:
                previous.extend(lines)

    def install(self):
        sys.stdout = self
        return self

    def remove(self):
        if sys.stdout is self:
            sys.stdout = self.console
        with self._lock:
            self._log.close()


def said(lines):
    """The non-empty lines of captured output."""
    return [line.strip() for line in "".join(lines).splitlines() if line.strip()]


def error_lines(lines):
    """The lines that report a failure, or all of them when none looks like one."""
    return failure_lines(said(lines))
