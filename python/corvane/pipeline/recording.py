"""Recording a cued session through capture_hub: the board opened on a port, then one trial per
task the recorder hands out (start_recording / stop_recording, so its locks, atomic saves and label
log all hold), with hooks for whoever shows the cue (a simulated subject, a played file, a screen)."""
import contextlib
import glob
import os
import threading
import time
from dataclasses import dataclass
from typing import Callable

from corvane.facts import ACTION_LABELS
from corvane.pipeline.constants import FS
from corvane.pipeline.environment import module_environment
from corvane.pipeline.events import BoardSilent, PipelineError, Reporter, error_lines, module_output
from corvane.pipeline.lsl import session_marker


@dataclass(frozen=True)
class Trial:
    """One cued trial: its number (from 1) of `total`, capture_hub's action name, the class label it
    carries in a combined recording, and the instruction shown to the subject."""
    n: int
    total: int
    action: str
    label: str
    instruction: str


@dataclass
class RecordedSession:
    session: int
    total: int             # trials the recorder cued
    recorded: int          # trials saved
    skipped: int           # trials the cue hook skipped
    stopped: bool          # ended by `stop` before the last trial
    raw_dir: str
    annotations_file: str
    seconds: float


def open_hub(port, base, *, output=None):
    """A CaptureHub keeping its files under `base`, streaming from the board on `port` (a serial
    port, or an emulator's pseudo-terminal); raises PipelineError when the board does not open."""
    with module_environment(base=base, serial_port=port), module_output(output):
        import capture_hub
        hub = capture_hub.CaptureHub()
    if not hub.is_streaming:
        with module_output(output):
            hub.stop_stream()
        hub = None   # its board is finalised now, not at interpreter exit (the error keeps this frame)
        raise PipelineError(f"The board did not open on {port}")
    return hub


def record_session(hub, *, trial_seconds, rest_seconds=1.0, speed=1.0, actions=None, trials_per_class=None,
                   cue: Callable[[Trial], bool | None] = None, rest: Callable[[Trial], None] = None,
                   stop: threading.Event = None, pause: threading.Event = None, lock=None,
                   progress=None, output=None, lsl=None) -> RecordedSession:
    """Records one session on `hub` (see open_hub) and closes it; combining is left to combine().

    actions: {action name: instruction} to cue (default: the hub's own); trials_per_class: how
    many of each (default: the hub's own). The board streams at `speed` times real time (an
    emulator's speed; 1 for a real board), which shortens the rests alike.
    cue(trial) runs just before each trial records (point the subject at trial.label); returning
    False skips the trial. rest(trial) runs once the trial is saved. `stop` (an Event) ends the
    session after the current trial; while `pause` is set no new trial starts. `lock` (for
    example the lock a board monitor shares) is held around every call on the hub.
    Progress: stage "record", trials done of the total. A module's refusal or a silent board
    raises PipelineError (BoardSilent); the session is closed and the saved trials stay.
    lsl (an LslStreams, see lsl.py; None: off) streams the board's EEG from the session's start to
    its stop, and a marker at the start, at each cue (its label, once the cue hook has cued it)
    and at the stop."""
    lock = lock or contextlib.nullcontext()
    stop = stop or threading.Event()
    report = Reporter(progress, "record")
    samples = int(round(trial_seconds * FS))
    with lock, module_output(output) as said:
        names = dict(hub.task_names)
        wanted = {name: [text, trials_per_class or names.get(name, (None, 0))[1]]
                  for name, text in (actions or {k: v[0] for k, v in names.items()}).items()}
        if wanted != {name: list(value) for name, value in names.items()}:
            hub.update_action_names(wanted)
        session = int(hub.next_session_number)
        hub.initialize_session(session)
        total = len(hub.task_sequence)
    if total == 0:
        with contextlib.suppress(Exception), lock, module_output(output):
            hub.stop_session()
        raise PipelineError("The session could not start: " + " ".join(error_lines(said.said())))
    n = recorded = skipped = 0
    feed = streaming(hub, lsl, session, lock)
    try:
        while not stop.is_set():
            with lock, module_output(output):
                task = hub.get_next_task()
            if task is None:
                break
            n += 1
            action, instruction = task
            trial = Trial(n, total, action, ACTION_LABELS.get(action, action), instruction)
            report(n - 1, total, f"trial {n:3d}/{total}  {action:<13}  {instruction}")
            while pause is not None and pause.is_set() and not stop.is_set():
                stop.wait(0.05)
            if stop.is_set():
                break
            if cue is not None and cue(trial) is False:
                skipped += not stop.is_set()
                continue
            if lsl is not None:
                lsl.marker(trial.label)
            record_trial(hub, trial, samples, speed, lock, output)
            recorded += 1
            if rest is not None:
                rest(trial)
            stop.wait(rest_seconds / speed)
    except Exception:
        with contextlib.suppress(Exception), lock, module_output(output):
            hub.stop_session()   # closes the session; the trials saved so far stay on disk
        raise
    finally:
        stop_streaming(hub, lsl, feed, session, lock)
    with lock, module_output(output):
        hub.stop_session()
    report(total, total, f"recorded {recorded} trials of session {session} in {report.seconds:.0f} s")
    stopped = stop.is_set() and recorded + skipped < total
    return RecordedSession(session, total, recorded, skipped, stopped, str(hub.raw_dir),
                           str(hub.annotation_file), round(report.seconds, 1))


def streaming(hub, lsl, session, lock):
    """The session's EEG feed started and its start marked, when `lsl` is on."""
    if lsl is None:
        return None
    with lock:
        feed = lsl.eeg(hub, lock)
    lsl.marker(session_marker(session, "start"))
    return feed


def stop_streaming(hub, lsl, feed, session, lock):
    if lsl is None:
        return
    lsl.marker(session_marker(session, "stop"))
    if feed is not None:
        with lock:
            feed.stop()


def record_trial(hub, trial, samples, speed, lock, output):
    """One trial: recording started, `samples` samples waited for, stopped; checks it was saved."""
    raw_files = os.path.join(str(hub.raw_dir), f"session{hub.current_session_num}_*_raw.fif")
    before = len(glob.glob(raw_files))
    with lock, module_output(output) as said:
        started = hub.start_recording()
    if not started:
        raise PipelineError(f"Trial {trial.n} could not start recording: "
                            + (" ".join(error_lines(said.said())) or "the board is not streaming."))
    try:
        wait_for_samples(hub.board, samples, speed)
    except BoardSilent as exc:
        exc.trial = trial.n
        raise
    finally:
        with lock, module_output(output) as said:
            hub.stop_recording()
    if len(glob.glob(raw_files)) <= before:
        raise PipelineError(f"Trial {trial.n} was not saved: " + " ".join(error_lines(said.said())))


def wait_for_samples(board, wanted, speed):
    """Waits until the board has buffered `wanted` samples since the recording started; raises
    BoardSilent when the count stops growing for about 5 s."""
    patience = 5.0 + 2.0 / speed
    last, last_change = -1, time.monotonic()
    while True:
        have = board.get_board_data_count()
        if have >= wanted:
            return
        now = time.monotonic()
        if have != last:
            last, last_change = have, now
        elif now - last_change > patience:
            raise BoardSilent(f"The board stopped sending data ({have} of {wanted} samples "
                              "of the trial arrived).")
        time.sleep(0.002)
