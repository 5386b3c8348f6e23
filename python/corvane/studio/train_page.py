"""Training from the page: a TrainingRun in a worker thread, its stages and progress pushed as
events, and its result (agent beside CSP + LDA, confusion matrices) kept for the page."""
import threading

from corvane.studio.errors import StudioError


class TrainingPage:
    def __init__(self, studio):
        self.studio = studio
        self.run = None
        self._thread = None

    @property
    def running(self):
        return self._thread is not None and self._thread.is_alive()

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
        from corvane.studio.training_run import TrainingRun
        self.run = TrainingRun(self.studio.base, self.studio.artefact_dir, steps=steps, seed=self.studio.seed,
                               on_event=self._event)
        self.studio.bus.publish("train", state="running", stage="Starting", steps=steps)
        self._thread = threading.Thread(target=self._train, name="training", daemon=True)
        self._thread.start()

    def cancel(self):
        if self.running and self.run is not None:
            self.run.cancel()

    def _event(self, event):
        kind = event.get("kind")
        if kind == "progress":
            self.studio.bus.publish("train_progress", **{k: v for k, v in event.items() if k != "kind"})
        elif kind == "stage":
            self.studio.bus.publish("train", state="running", stage=event.get("text", ""))
        elif kind == "error":
            self.studio.bus.publish("train", state="running", stage=event.get("text", ""), error=event.get("text"))

    def _train(self):
        try:
            with self.studio.output.captured():
                result = self.run.run()
        except StudioError as exc:
            self.studio.bus.publish("train", state="failed", error=str(exc))
            return
        except Exception as exc:
            self.studio.bus.publish("train", state="failed", error=f"Training failed: {type(exc).__name__}: {exc}")
            return
        self.studio.bus.publish("train", state="done", result=_plain(result))


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
