"""Training from the Train page: the recorded sessions combined, the agent trained with progress,
its artefacts placed where live_pilot loads them, and both decoders scored on the same held-out
epochs. The work runs in corvane.studio.training_child, a process of its own; this side relays its
events and turns its outcome into a result or a StudioError."""
import json
import queue
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import Callable

from corvane.pipeline.constants import DEFAULT_STEPS
from corvane.studio.errors import StudioError

STALL_SECONDS = 900.0     # no event from the training for this long: it is stopped
CANCEL_SECONDS = 30.0     # a cancelled training that has not ended by then is killed


class TrainingRun:
    def __init__(self, base: Path, artefact_dir: Path, *, steps: int | None = None, seed: int = 0,
                 sessions: list | None = None, on_event: Callable[[dict], None]):
        # Resolved here: the child runs in the repository folder.
        self.base, self.artefact_dir = Path(base).resolve(), Path(artefact_dir).resolve()
        self.steps = DEFAULT_STEPS if steps is None else int(steps)
        self.seed, self.on_event = int(seed), on_event
        self.sessions = None if sessions is None else [int(n) for n in sessions]   # None: every session
        self._child = None
        self._cancelled = threading.Event()
        self._lock = threading.Lock()

    def run(self) -> dict:
        """Blocks until the training ended; returns the scores, or raises StudioError."""
        if self.steps < 1:
            raise StudioError("Training needs at least one step.")
        if not self.base.is_dir():
            raise StudioError("No recorded trials: the studio's folder does not exist.", details=str(self.base))
        self.artefact_dir.mkdir(parents=True, exist_ok=True)
        command = [sys.executable, "-u", "-m", "corvane.studio.training_child", "--base", str(self.base),
                   "--artefacts", str(self.artefact_dir), "--steps", str(self.steps), "--seed", str(self.seed)]
        if self.sessions:
            command += ["--sessions", ",".join(map(str, self.sessions))]
        with self._lock:
            if self._child is not None:
                raise StudioError("This training has already run.")
            if self._cancelled.is_set():
                raise StudioError("Training cancelled")
            self._child = subprocess.Popen(command, cwd=self.base, stdin=subprocess.PIPE,
                                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        try:
            return self._follow()
        finally:
            self._end_child()

    def cancel(self) -> None:
        """Stops the training at once (unless its artefacts are being placed); run() then raises
        StudioError("Training cancelled")."""
        with self._lock:
            self._cancelled.set()
            child = self._child
        if child is not None and child.poll() is None:
            try:
                child.stdin.write("cancel\n")
                child.stdin.flush()
            except (BrokenPipeError, ValueError, OSError):
                pass

    def _follow(self):
        lines = queue.Queue()

        def read():
            for line in self._child.stdout:
                lines.put(line)
            lines.put(None)

        threading.Thread(target=read, name="training-events", daemon=True).start()
        outcome, other = None, []
        last_line, cancel_deadline = time.monotonic(), None
        while True:
            now = time.monotonic()
            if self._cancelled.is_set() and cancel_deadline is None:
                cancel_deadline = now + CANCEL_SECONDS
            if cancel_deadline is not None and now > cancel_deadline:
                self._child.kill()
                raise StudioError("Training cancelled")
            if now - last_line > STALL_SECONDS:
                self._child.kill()
                raise self._fail("Training stopped responding and was ended.")
            try:
                line = lines.get(timeout=0.2)
            except queue.Empty:
                continue
            last_line = time.monotonic()
            if line is None:
                break
            event = parse_event(line)
            if event is None:
                other.append(line.strip())   # the interpreter's own words before the log took over
                continue
            if event["kind"] in ("result", "failed", "cancelled"):
                outcome = event
            else:
                self._emit(event)
        try:
            code = self._child.wait(timeout=CANCEL_SECONDS)
        except subprocess.TimeoutExpired:   # its output closed, yet it runs on
            self._child.kill()
            code = self._child.wait()
        if outcome and outcome["kind"] == "result" and code == 0:
            return {k: v for k, v in outcome.items() if k != "kind"}
        if (outcome and outcome["kind"] == "cancelled") or self._cancelled.is_set():
            raise StudioError("Training cancelled")
        if outcome and outcome["kind"] == "failed":
            raise self._fail(outcome["text"], outcome.get("details"))
        said = next((line for line in reversed(other) if line), f"exit status {code}")
        raise self._fail("Training ended unexpectedly.", said)

    def _fail(self, text, details=None):
        self._emit({"kind": "error", "text": text, "details": details})
        return StudioError(text, details=details)

    def _emit(self, event):
        try:
            self.on_event(event)
        except Exception:
            pass   # a page that went away does not stop the training

    def _end_child(self):
        child = self._child
        if child.poll() is None:
            child.kill()
        child.wait()
        for stream in (child.stdin, child.stdout):
            try:
                stream.close()
            except OSError:
                pass


def parse_event(line):
    try:
        event = json.loads(line)
    except ValueError:
        return None
    return event if isinstance(event, dict) and "kind" in event else None
