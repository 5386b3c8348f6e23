"""The demo's terminal and log: the host's own lines go to the terminal and to demo.log; what
the modules print (and what native libraries write to standard error) goes to demo.log, with a
few lines worth seeing echoed on the terminal as they happen."""
import contextlib
import os
import re
import sys
import time

# Module lines worth showing on the terminal as they happen (everything goes to the log).
ECHO = re.compile(r"^(Board initialized|Board streaming stopped|Error |Saved combined|"
                  r"Using \d+ components|CSP filters saved|Scaler saved|Training samples|"
                  r"Testing samples|DQN model loaded|CSP filters loaded|Scaler loaded|Class commands|"
                  r"BrainFlow session prepared|Started data stream|Stopped by user|"
                  r"Resources cleaned up|Connection error|Sample file not found)")


class Console:
    """The host's own lines go to the terminal and to demo.log; the modules' output is captured
    into demo.log, with a few lines echoed indented."""

    def __init__(self, log_path):
        self.terminal = sys.stdout
        self.log = open(log_path, "a", buffering=1, encoding="utf-8")
        self.tty = self.terminal.isatty()
        self._progress_open = False

    def say(self, text=""):
        self._end_progress()
        self.terminal.write(text + "\n")
        self.terminal.flush()
        self.log.write(text + "\n")

    def progress(self, text, final=False):
        """One updating line on a terminal; on a pipe only the final state of each bar."""
        if self.tty:
            self.terminal.write("\r" + text.ljust(78)[:120])
            self.terminal.flush()
            self._progress_open = True
            if final:
                self._end_progress()
        elif final:
            self.terminal.write(text + "\n")
            self.terminal.flush()
        if final:
            self.log.write(text + "\n")

    def _end_progress(self):
        if self._progress_open:
            self.terminal.write("\n")
            self._progress_open = False

    def echo(self, line):
        self._end_progress()
        self.terminal.write("    | " + line + "\n")
        self.terminal.flush()

    @contextlib.contextmanager
    def capture(self, listener=None):
        """Routes sys.stdout/sys.stderr (the modules print through them) into the log."""
        stream = _CapturedStream(self, listener)
        saved = sys.stdout, sys.stderr
        sys.stdout = sys.stderr = stream
        # Native libraries (TensorFlow, the board driver) write to file descriptor 2 directly.
        self.log.flush()
        saved_fd = os.dup(2)
        os.dup2(self.log.fileno(), 2)
        try:
            yield stream
        finally:
            stream.flush_partial()
            sys.stdout, sys.stderr = saved
            os.dup2(saved_fd, 2)
            os.close(saved_fd)

    def close(self):
        self._end_progress()
        self.log.close()


class _CapturedStream:
    def __init__(self, console, listener):
        self.console, self.listener = console, listener
        self._partial = ""
        self.encoding = "utf-8"

    def write(self, text):
        now = time.monotonic()
        self._partial += text
        *lines, self._partial = self._partial.split("\n")
        for line in lines:
            self._line(line, now)
        return len(text)

    def _line(self, line, when):
        line = line.rstrip("\r")
        if self.console.log.closed:   # written after the run, by a handler that kept this stream
            return
        self.console.log.write(line + "\n")
        if self.listener is not None:
            self.listener(line, when)
        if ECHO.match(line.strip()):
            self.console.echo(line.strip())

    def flush_partial(self):
        if self._partial:
            self._line(self._partial, time.monotonic())
            self._partial = ""

    def flush(self):
        pass

    def close(self):  # a logging handler that kept this stream may close it at exit
        pass

    def isatty(self):
        return False
