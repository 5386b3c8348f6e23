"""Training from the page: a TrainingRun in a worker thread on the sessions chosen (default all),
its stages and progress pushed as events, and its result (agent beside CSP + LDA, confusion
matrices, the sessions used and how rough the scores are) kept for the page."""
import math
import threading

from corvane.pipeline.combining import recorded_sessions
from corvane.studio.errors import StudioError

Z95 = 1.96


class TrainingPage:
    def __init__(self, studio):
        self.studio = studio
        self.run = None
        self._thread = None

    @property
    def running(self):
        return self._thread is not None and self._thread.is_alive()

    def sessions(self):
        """The recorded sessions the page offers: number, trials and subject of each."""
        return {"sessions": recorded_sessions(self.studio.base)}

    def start(self, body):
        if self.running:
            raise StudioError("Training is already running.")
        if self.studio.session.running:
            raise StudioError("A session is being recorded; train once it has finished.")
        steps = body.get("steps") or self.studio.steps
        if steps is not None:
            try:
                steps = int(steps)
            except (TypeError, ValueError):
                raise StudioError("steps must be a whole number") from None
            if steps < 1:
                raise StudioError("steps must be at least 1")
        sessions = chosen_sessions(body.get("sessions"))
        from corvane.studio.training_run import TrainingRun
        self.run = TrainingRun(self.studio.base, self.studio.artefact_dir, steps=steps, seed=self.studio.seed,
                               sessions=sessions, on_event=self._event)
        self.studio.bus.publish("train", state="running", stage="Starting", steps=steps)
        self.studio.bus.publish("train_stage", stage="starting", name="Starting", index=0, stages=0, overall=0.0,
                                detail="")
        self._thread = threading.Thread(target=self._train, name="training", daemon=True)
        self._thread.start()

    def cancel(self):
        if self.running and self.run is not None:
            self.run.cancel()

    def _event(self, event):
        kind = event.get("kind")
        fields = {k: v for k, v in event.items() if k != "kind"}
        if kind == "progress":
            self.studio.bus.publish("train_progress", **fields)
        elif kind == "overall":
            self.studio.bus.publish("train_stage", **fields)
        elif kind == "stage":
            self.studio.bus.publish("train", state="running", stage=event.get("text", ""))

    def _train(self):
        try:
            with self.studio.output.captured():
                result = self.run.run()
        except StudioError as exc:
            self.studio.bus.publish("train", state="failed", error=str(exc), details=exc.details)
            return
        except Exception as exc:
            self.studio.bus.publish("train", state="failed", error="Training failed on an unexpected error.",
                                    details=f"{type(exc).__name__}: {exc}")
            return
        result["used"] = sessions_used(result)
        result["spread_note"] = spread_note(result["agent"], result["agent_sd"], result["held_out"], result["splits"])
        self.studio.bus.publish("train", state="done", stage="Training finished", result=_plain(result))


def chosen_sessions(value):
    """None (every session) or the session numbers the page chose, or a plain error."""
    if value is None:
        return None
    if not isinstance(value, list) or not all(isinstance(n, int) and not isinstance(n, bool) and n > 0 for n in value):
        raise StudioError("Choose the sessions by their numbers.")
    if not value:
        raise StudioError("Choose at least one session to train on.")
    return sorted(set(value))


def sessions_used(result):
    """"Sessions 1 (15 trials), 2 (10 trials, subject P07): 25 trials, 25 epochs." """
    parts = [f"{s['session']} ({s['trials']} trials" + (f", subject {s['subject']})" if s.get("subject") else ")")
             for s in result.get("sessions", [])]
    word = "Session" if len(parts) == 1 else "Sessions"
    return f"{word} {', '.join(parts)}: {result.get('trials', 0)} trials, {result.get('epochs', 0)} epochs."


def spread_note(mean, sd, held_out, splits):
    """How rough `mean` ± `sd` is when each of `splits` splits scores held_out / splits epochs."""
    n = max(1, round(held_out / max(1, splits)))
    p = min(max(float(mean), 0.0), 1.0)
    half = Z95 * math.sqrt(p * (1 - p) / n) if 0 < p < 1 else Z95 * math.sqrt(0.25 / n)
    low, high = max(0.0, p - half), min(1.0, p + half)
    return (f"± {sd * 100:.0f} from {n} held-out epochs is a rough figure: one epoch more or less right moves a score "
            f"by {100 / n:.0f} points, and with {n} epochs a decoder whose true accuracy is {p * 100:.0f} % scores "
            f"anywhere from {low * 100:.0f} % to {high * 100:.0f} % (95 % of the time). Record more trials for "
            "a firmer figure.")


def _plain(value):
    """The result with paths and NumPy values as JSON-friendly ones."""
    if isinstance(value, dict):
        return {str(k): _plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_plain(v) for v in value]
    if hasattr(value, "tolist"):
        return value.tolist()
    if isinstance(value, (int, float, str, bool)) or value is None:
        return value
    return str(value)
