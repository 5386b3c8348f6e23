"""The cued session: settings kept as a run_profile.RunProfile, and a worker thread that records
each trial through CaptureHub (start_recording / stop_recording, so its locks, atomic saves and
label log all hold) while the subject and operator screens follow its events."""
import glob
import os
import threading
import time

from corvane.demo.errors import DemoError
from corvane.demo.recording import wait_for_samples
from corvane.facts import ACTION_LABELS, SAMPLING_RATE
from corvane.studio.errors import StudioError
from corvane.studio.output import error_lines

FIXATION_S = 1.0
DEFAULT_ACTIONS = {
    "Right_Hand": "Imagine or perform right hand movement",
    "Left_Hand": "Imagine or perform left hand movement",
    "Blinking": "Blink your eyes at a comfortable pace",
    "Jaw_Clenching": "Clench your jaw with moderate force",
    "Relax": "Relax your body and mind, do nothing",
}


def default_profile():
    import run_profile
    profile = run_profile.RunProfile()
    profile.actions = dict(DEFAULT_ACTIONS)
    return profile


def apply_settings(profile, body):
    """Checks and copies the page's settings into `profile`; a plain error for a bad value."""
    def number(key, low, high, kind=float):
        value = body.get(key, getattr(profile, key))
        try:
            value = kind(value)
        except (TypeError, ValueError):
            raise StudioError(f"{key.replace('_', ' ')} must be a number") from None
        if not low <= value <= high:
            raise StudioError(f"{key.replace('_', ' ')} must be between {low} and {high}")
        return value

    profile.repetitions = number("repetitions", 1, 200, int)
    profile.record_duration = number("record_duration", 1, 60)
    profile.break_duration = number("break_duration", 0, 60)
    actions = body.get("actions", profile.actions)
    if not isinstance(actions, dict) or not actions:
        raise StudioError("choose at least one action")
    unknown = sorted(set(actions) - set(ACTION_LABELS))
    if unknown:
        raise StudioError(f"unknown action {unknown[0]!r}; the actions are {', '.join(ACTION_LABELS)}")
    profile.actions = {str(name): str(text) for name, text in actions.items()}
    return profile


class SessionRunner:
    def __init__(self, studio):
        self.studio = studio
        self.profile = None
        self._thread = None
        self._paused = threading.Event()
        self._skip = threading.Event()
        self._stop = threading.Event()

    @property
    def running(self):
        return self._thread is not None and self._thread.is_alive()

    def settings(self):
        if self.profile is None:
            import run_profile
            with self.studio.output.captured():
                self.profile = run_profile.RunProfile.load_last_config(str(self.studio.base)) or default_profile()
            if not self.profile.actions:
                self.profile.actions = dict(DEFAULT_ACTIONS)
        return self.profile

    def save(self, body):
        profile = apply_settings(self.settings(), body)
        number = self._next_session()
        with self.studio.output.captured() as lines:
            profile.save(number)
        return {"saved_as": number, "profile": profile.to_dict(), "said": error_lines(lines)}

    def load(self, number):
        import run_profile
        with self.studio.output.captured():
            loaded = run_profile.RunProfile.load(int(number), str(self.studio.base))
        if loaded is None:
            raise StudioError(f"No saved settings for session {number}.")
        self.profile = loaded
        return loaded.to_dict()

    def _next_session(self):
        hub = self.studio.board.hub
        return int(hub.next_session_number) if hub is not None else 1

    def start(self, body):
        if self.running:
            raise StudioError("A session is already being recorded.")
        board = self.studio.board
        if not board.connected:
            raise StudioError("Connect the board on the Board page first.")
        profile = apply_settings(self.settings(), body)
        for flag in (self._paused, self._skip, self._stop):
            flag.clear()
        self._thread = threading.Thread(target=self._run, args=(profile,), name="session", daemon=True)
        self._thread.start()

    def pause(self, paused):
        (self._paused.set if paused else self._paused.clear)()
        self.studio.bus.publish("session", **{**self.studio.bus.latest.get("session", {}), "paused": paused})

    def skip(self):
        self._skip.set()

    def stop(self):
        self._stop.set()
        self._paused.clear()

    def _say(self, state, **extra):
        self.studio.bus.publish("session", state=state, paused=self._paused.is_set(), **extra)

    def _run(self, profile):
        board, out = self.studio.board, self.studio.output
        hub, speed = board.hub, board_speed(self.studio)
        subject = board.subject
        recorded, skipped = 0, 0
        try:
            with board.lock, out.captured() as lines:
                hub.update_action_names({name: [text, int(profile.repetitions)] for name, text in profile.actions.items()})
                number = int(hub.next_session_number)
                hub.initialize_session(number)
                profile.save(number)
            total = len(hub.task_sequence)
            if total == 0:
                raise StudioError("The session could not start: " + " ".join(error_lines(lines)))
            n = 0
            while not self._stop.is_set():
                with board.lock:
                    task = hub.get_next_task()
                if task is None:
                    break
                n += 1
                action, instruction = task
                label = ACTION_LABELS.get(action, action)
                base = dict(n=n, total=total, session=number, recorded=recorded, skipped=skipped)
                self._say("running", **base, action=action, label=label)
                self._wait_while_paused()
                trial = dict(n=n, total=total, action=action, label=label, instruction=instruction, speed=speed)
                self.studio.bus.publish("trial", phase="fixation", seconds=FIXATION_S, **trial)
                self._sleep(FIXATION_S / speed)
                if self._skip.is_set() or self._stop.is_set():
                    self._skip.clear()
                    skipped += not self._stop.is_set()
                    continue
                self._record(hub, board, subject, profile, speed, trial)
                recorded += 1
                self.studio.bus.publish("trial", phase="break", seconds=float(profile.break_duration), **trial)
                self._sleep(float(profile.break_duration) / speed)
            with board.lock, out.captured() as lines:
                hub.stop_session()
                combined = hub.combine_fif_files() if recorded else None
            self.studio.bus.publish("trial", phase="done", n=n, total=total)
            self._say("done", session=number, recorded=recorded, skipped=skipped, total=total,
                      combined=str(combined) if combined else None,
                      message=f"Recorded {recorded} of {total} trials" + (f", skipped {skipped}" if skipped else "")
                      + (f"; combined into {combined}" if combined else ""))
        except (StudioError, DemoError, RuntimeError) as exc:   # RuntimeError: capture_hub's own plain refusals
            self._fail(hub, str(exc), recorded)
        except Exception as exc:
            self._fail(hub, f"{type(exc).__name__}: {exc}", recorded)

    def _record(self, hub, board, subject, profile, speed, trial):
        out = self.studio.output
        raw_files = os.path.join(hub.raw_dir, f"session{hub.current_session_num}_*_raw.fif")
        before = len(glob.glob(raw_files))
        if subject is not None:
            subject.cue = ACTION_LABELS.get(trial["action"])
        self.studio.bus.publish("trial", phase="cue", seconds=float(profile.record_duration), **trial)
        try:
            with board.lock, out.captured() as lines:
                started = hub.start_recording()
            if not started:
                raise StudioError(f"Trial {trial['n']} could not start recording: " + " ".join(error_lines(lines)))
            try:
                wait_for_samples(hub.board, int(round(float(profile.record_duration) * SAMPLING_RATE)), speed)
            except DemoError as exc:
                raise StudioError(f"Trial {trial['n']}: {exc} Check that the board is on and plugged in, then "
                                  "connect it again on the Board page.") from None
        finally:
            if subject is not None:
                subject.cue = None
            with board.lock, out.captured() as lines:
                hub.stop_recording()
        if len(glob.glob(raw_files)) <= before:
            raise StudioError(f"Trial {trial['n']} was not saved: " + " ".join(error_lines(lines)))

    def _fail(self, hub, reason, recorded):
        with self.studio.board.lock, self.studio.output.captured():
            try:
                hub.stop_session()   # closes the session; the trials saved so far stay on disk
            except Exception:
                pass
        self.studio.bus.publish("trial", phase="done")
        reason = reason if reason.endswith(".") else reason + "."
        self._say("failed", recorded=recorded,
                  message=f"{reason} The {recorded} trial(s) recorded before stay saved.")

    def _wait_while_paused(self):
        while self._paused.is_set() and not self._stop.is_set():
            time.sleep(0.05)

    def _sleep(self, seconds):
        self._stop.wait(seconds)


def board_speed(studio):
    """How much faster than real time the board streams (the emulator's speed; 1 for a real board)."""
    return studio.speed if studio.board.emulator is not None else 1.0
