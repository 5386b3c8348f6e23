"""The cued session: settings kept as a run_profile.RunProfile, and a worker thread that records it
with the pipeline's record_session (through CaptureHub's start_recording / stop_recording, so its
locks, atomic saves and label log all hold) while the subject and operator screens follow its
events. Each session is combined into a file of its own (session<N>_combined.fif, the subject's
name in its his_id); S03.fif, the file training reads, is written only by training."""
import threading

from corvane import pipeline
from corvane.pipeline.combining import combine_session
from corvane.studio.errors import StudioError
from corvane.studio.output import error_lines
from corvane.studio.session_settings import (DEFAULT_ACTIONS, FIXATION_S, apply_settings, default_profile,
                                             subject_name)

POLL_S = 0.02   # how often a waiting fixation looks at the pause and stop flags


class SessionRunner:
    def __init__(self, studio):
        self.studio = studio
        self.profile = None
        self.subject_name = None
        self._thread = None
        self._paused = threading.Event()
        self._skip = threading.Event()
        self._stop = threading.Event()
        # The trial's phase ("fixation", "cue" while it records, "break") and the page's state,
        # changed together with what the screens are told under this lock.
        self._lock = threading.Lock()
        self._phase = None
        self._status = {}

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

    def view(self):
        """The settings as the page shows them, with the subject's name and the fixation's length."""
        return {**self.settings().to_dict(), "subject": self.subject_name or "", "fixation": FIXATION_S}

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
        subject = subject_name(body.get("subject"))
        profile = apply_settings(self.settings(), body)
        self.subject_name = subject
        for flag in (self._paused, self._skip, self._stop):
            flag.clear()
        total = int(profile.repetitions) * len(profile.actions)
        with self._lock:
            self._phase, self._status = None, {"subject": subject, "total": total, "n": 0, "recorded": 0,
                                               "skipped": 0}
            self._say("starting")
            # Screens opened earlier leave whatever the last session left them showing.
            self.studio.bus.publish("trial", phase="waiting", total=total)
        self._thread = threading.Thread(target=self._run, args=(profile, subject), name="session", daemon=True)
        self._thread.start()

    def pause(self, paused):
        """Pauses at once, except that a trial being recorded finishes first (cutting it short would
        leave a trial shorter than the rest); the subject screen then shows "Paused"."""
        with self._lock:
            (self._paused.set if paused else self._paused.clear)()
            if not self.running:
                self._paused.clear()
                return {"paused": False}
            recording = self._phase == "cue"
            if paused and not recording:
                self.studio.bus.publish("trial", phase="paused", **self._trial_fields())
            elif not paused and self._phase != "cue":
                self.studio.bus.publish("trial", phase="resumed", **self._trial_fields())
            self._say(self._status.get("state", "running"), pausing=paused and recording)
        return {"paused": paused, "after_trial": paused and recording}

    def skip(self):
        self._skip.set()

    def stop(self):
        self._stop.set()
        self._paused.clear()

    def _say(self, state, **extra):
        """The page's session event (called holding self._lock)."""
        self._status["state"] = state
        self.studio.bus.publish("session", **self._status, paused=self._paused.is_set(), **extra)

    def _trial_fields(self):
        return {k: self._status.get(k) for k in ("n", "total", "session", "action", "label")}

    def _run(self, profile, subject_name_):
        board, out = self.studio.board, self.studio.output
        hub, speed = board.hub, board_speed(self.studio)
        subject = board.subject
        counts = {"recorded": 0, "skipped": 0}

        def info(trial, phase, seconds):
            return dict(phase=phase, seconds=seconds, n=trial.n, total=trial.total, action=trial.action,
                        label=trial.label, instruction=trial.instruction, speed=speed, session=number)

        def cue(trial):
            with self._lock:
                self._status.update(n=trial.n, total=trial.total, session=number, action=trial.action,
                                    label=trial.label, **counts)
                self._say("running")
            # The cross; a pause during it (or between it and the cue) holds the session, and the
            # cross is shown again on resume.
            while True:
                with self._lock:
                    self._phase = "fixation"
                    self.studio.bus.publish("trial", **info(trial, "fixation", FIXATION_S))
                if self._hold_fixation(FIXATION_S / speed) or self._stop.is_set() or self._skip.is_set():
                    with self._lock:
                        if self._stop.is_set() or self._skip.is_set():
                            break
                        if not self._paused.is_set():
                            if subject is not None:
                                subject.cue = trial.label
                            self._phase = "cue"
                            self.studio.bus.publish("trial", **info(trial, "cue", float(profile.record_duration)))
                            return True
                while self._paused.is_set() and not self._stop.is_set():
                    self._stop.wait(POLL_S)
            self._skip.clear()
            counts["skipped"] += not self._stop.is_set()
            return False

        def rest(trial):
            if subject is not None:
                subject.cue = None
            counts["recorded"] += 1
            with self._lock:
                self._phase = "break"
                self._status.update(counts)
                if self._paused.is_set():
                    self.studio.bus.publish("trial", **info(trial, "paused", 0.0))
                    self._say("running")
                else:
                    self.studio.bus.publish("trial", **info(trial, "break", float(profile.break_duration)))

        number = None
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
                combined = combine_session(hub, subject=subject_name_, output=out).file if recorded.recorded else None
            self._finish(recorded, combined, subject_name_)
        except pipeline.BoardSilent as exc:
            self._fail(subject, f"Trial {exc.trial}: {exc} Check that the board is on and plugged in, then "
                       "connect it again on the Board page", counts["recorded"])
        # RuntimeError: capture_hub's own plain refusals.
        except (StudioError, pipeline.PipelineError, RuntimeError) as exc:
            self._fail(subject, str(exc), counts["recorded"], getattr(exc, "details", None))
        except Exception as exc:
            self._fail(subject, "The session ended on an unexpected error", counts["recorded"],
                       f"{type(exc).__name__}: {exc}")

    def _hold_fixation(self, seconds):
        """Waits out the cross; False when a pause or stop came first."""
        waited = 0.0
        while waited < seconds:
            if self._paused.is_set() or self._stop.is_set():
                return False
            self._stop.wait(min(POLL_S, seconds - waited))
            waited += POLL_S
        return not self._paused.is_set() and not self._stop.is_set()

    def _finish(self, recorded, combined, subject):
        who = f" (subject {subject})" if subject else ""
        message = (f"Session {recorded.session}{who}: recorded {recorded.recorded} of {recorded.total} trials"
                   + (f", skipped {recorded.skipped}" if recorded.skipped else "")
                   + ("; kept as this session's own combined recording" if combined else "") + ".")
        with self._lock:
            self._phase = None
            self._paused.clear()
            self.studio.bus.publish("trial", phase="done", n=self._status.get("n", 0), total=recorded.total,
                                    session=recorded.session)
            self._status.update(session=recorded.session, recorded=recorded.recorded, skipped=recorded.skipped,
                                total=recorded.total, combined=str(combined) if combined else None)
            self._say("done", message=message, details=f"Combined recording: {combined}" if combined else None)

    def _fail(self, subject, reason, recorded, details=None):
        # The pipeline has closed the session; the trials saved so far stay on disk.
        if subject is not None:
            subject.cue = None
        reason = reason if reason.endswith(".") else reason + "."
        with self._lock:
            self._phase = None
            self._paused.clear()
            self.studio.bus.publish("trial", phase="done", session=self._status.get("session"))
            self._status.update(recorded=recorded)
            self._say("failed", message=f"{reason} The {recorded} trial(s) recorded before stay saved.",
                      details=details)


def board_speed(studio):
    """How much faster than real time the board streams (the emulator's speed; 1 for a real board)."""
    return studio.speed if studio.board.emulator is not None else 1.0
