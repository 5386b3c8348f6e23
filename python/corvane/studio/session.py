"""The cued session: settings kept as a run_profile.RunProfile, and a worker thread that records it
with the pipeline's record_session (through CaptureHub's start_recording / stop_recording, so its
locks, atomic saves and label log all hold) while the subject and operator screens follow its
events."""
import threading

from corvane import pipeline
from corvane.facts import ACTION_LABELS
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
            # A profile built or loaded keeps its files under CORVANE_PATH as it is at that moment.
            with self.studio.output.captured(), pipeline.module_environment(base=self.studio.base):
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
        with self.studio.output.captured(), pipeline.module_environment(base=self.studio.base):
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
        counts = {"recorded": 0, "skipped": 0}
        # The page's events follow the pipeline's trials: a fixation cross, the cue, the break.
        status = {}

        def cue(trial):
            info = dict(n=trial.n, total=trial.total, action=trial.action, label=trial.label,
                        instruction=trial.instruction, speed=speed)
            status.update(n=trial.n, total=trial.total)
            self._say("running", n=trial.n, total=trial.total, session=number, recorded=counts["recorded"],
                      skipped=counts["skipped"], action=trial.action, label=trial.label)
            self.studio.bus.publish("trial", phase="fixation", seconds=FIXATION_S, **info)
            self._sleep(FIXATION_S / speed)
            if self._skip.is_set() or self._stop.is_set():
                self._skip.clear()
                counts["skipped"] += not self._stop.is_set()
                return False
            if subject is not None:
                subject.cue = trial.label
            self.studio.bus.publish("trial", phase="cue", seconds=float(profile.record_duration), **info)
            return True

        def rest(trial):
            if subject is not None:
                subject.cue = None
            counts["recorded"] += 1
            self.studio.bus.publish("trial", phase="break", seconds=float(profile.break_duration), n=trial.n,
                                    total=trial.total, action=trial.action, label=trial.label,
                                    instruction=trial.instruction, speed=speed)

        try:
            with board.lock:
                number = self._next_session()
            with out.captured():
                profile.save(number)
            with out.captured():
                recorded = pipeline.record_session(
                    hub, trial_seconds=float(profile.record_duration), rest_seconds=float(profile.break_duration),
                    speed=speed, actions=dict(profile.actions), trials_per_class=int(profile.repetitions),
                    cue=cue, rest=rest, stop=self._stop, pause=self._paused, lock=board.lock, output=out,
                    lsl=getattr(self.studio, "lsl", None))
            with board.lock, out.captured():
                combined = pipeline.combine(hub, output=out).file if recorded.recorded else None
            self.studio.bus.publish("trial", phase="done", n=status.get("n", 0), total=recorded.total)
            self._say("done", session=recorded.session, recorded=recorded.recorded, skipped=recorded.skipped,
                      total=recorded.total, combined=str(combined) if combined else None,
                      message=f"Recorded {recorded.recorded} of {recorded.total} trials"
                      + (f", skipped {recorded.skipped}" if recorded.skipped else "")
                      + (f"; combined into {combined}" if combined else ""))
        except pipeline.BoardSilent as exc:
            self._fail(subject, f"Trial {exc.trial}: {exc} Check that the board is on and plugged in, then "
                       "connect it again on the Board page", counts["recorded"])
        # RuntimeError: capture_hub's own plain refusals.
        except (StudioError, pipeline.PipelineError, RuntimeError) as exc:
            self._fail(subject, str(exc), counts["recorded"])
        except Exception as exc:
            self._fail(subject, f"{type(exc).__name__}: {exc}", counts["recorded"])

    def _fail(self, subject, reason, recorded):
        # The pipeline has closed the session; the trials saved so far stay on disk.
        if subject is not None:
            subject.cue = None
        self.studio.bus.publish("trial", phase="done")
        reason = reason if reason.endswith(".") else reason + "."
        self._say("failed", recorded=recorded,
                  message=f"{reason} The {recorded} trial(s) recorded before stay saved.")

    def _sleep(self, seconds):
        self._stop.wait(seconds)


def board_speed(studio):
    """How much faster than real time the board streams (the emulator's speed; 1 for a real board)."""
    return studio.speed if studio.board.emulator is not None else 1.0
