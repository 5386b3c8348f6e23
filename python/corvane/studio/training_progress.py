"""The Train page's progress over every stage of a training, not just the agent's steps: each stage
named, and one share of the whole that moves through all of them. Shares come from estimated
seconds per stage, refined as stages finish (scoring trains an agent again on each split and refits
the filters, so its estimate follows what learning and, a little, preparing took)."""
import threading
import time

STAGES = (
    ("combine", "Combining the sessions"),
    ("epochs", "Preparing the epochs (filtering, ICA, CSP, features)"),
    ("learn", "Training the agent"),
    ("score", "Scoring both decoders on repeated splits"),
    ("place", "Placing the artefacts"),
)
TICK_S = 0.25            # how often the share is sent while a stage runs
FIRST_GUESS = {"combine": 1.0, "epochs": 6.0, "place": 0.5}
GUESSED_STEPS_PER_S = 150.0
WITHIN_STAGE = 0.95      # a stage without steps of its own is shown at most this far done
REFIT_SHARE = 0.1        # a split's refitting of the filters, as a share of preparing the epochs


class StageProgress:
    """Sends emit(kind="overall", stage, name, index, stages, overall, detail) on entering a stage,
    on each step, and every TICK_S while a stage runs (start() and close() the ticker)."""

    def __init__(self, emit, steps, splits, clock=time.monotonic):
        self.emit, self.clock, self.splits = emit, clock, splits
        self.estimate = {**FIRST_GUESS, "learn": steps / GUESSED_STEPS_PER_S}
        self.spent = {}
        self._refine()
        self.stage, self.began, self.done, self.total, self.detail = None, 0.0, 0, 0, ""
        self.shown = 0.0
        self._lock = threading.Lock()
        self._closed = threading.Event()

    def enter(self, stage, detail=""):
        with self._lock:
            now = self.clock()
            if self.stage is not None:
                self.spent[self.stage] = now - self.began
                self._refine()
            self.stage, self.began, self.done, self.total, self.detail = stage, now, 0, 0, detail
        self.emit(kind="stage", text=dict(STAGES)[stage])
        self.send()

    def step(self, done, total, detail=""):
        with self._lock:
            self.done, self.total, self.detail = done, total, detail or self.detail
            if self.stage == "learn" and done:
                rate = done / max(1e-6, self.clock() - self.began)
                self.estimate["learn"] = total / rate
        self.send()

    def finish(self):
        with self._lock:
            if self.stage is not None:
                self.spent[self.stage] = self.clock() - self.began
            self.stage, self.shown = None, 1.0
        self.emit(kind="overall", stage="finished", name="Training finished", index=len(STAGES),
                  stages=len(STAGES), overall=1.0, detail="")

    def _refine(self):
        epochs = self.spent.get("epochs", self.estimate["epochs"])
        learn = self.spent.get("learn", self.estimate["learn"])
        self.estimate["score"] = self.splits * (REFIT_SHARE * epochs + learn)

    def overall(self):
        """The share of the whole done, never less than one shown before."""
        with self._lock:
            if self.stage is None:
                return self.shown
            names = [key for key, _ in STAGES]
            here = names.index(self.stage)
            past = sum(self.spent.get(key, self.estimate[key]) for key in names[:here])
            ahead = sum(self.estimate[key] for key in names[here + 1:])
            own = self.estimate[self.stage]
            elapsed = self.clock() - self.began
            if self.total:
                # Stepped: the steps done, and time moving it on toward (not past) the next step.
                share = max(self.done / self.total, min(elapsed / own, (self.done + WITHIN_STAGE) / self.total))
            else:
                share = min(elapsed / own, WITHIN_STAGE)
            value = (past + share * own) / (past + own + ahead)
            self.shown = max(self.shown, min(value, 0.99))
            return self.shown

    def send(self):
        if self.stage is None:
            return
        names = [key for key, _ in STAGES]
        self.emit(kind="overall", stage=self.stage, name=dict(STAGES)[self.stage], index=names.index(self.stage) + 1,
                  stages=len(STAGES), overall=round(self.overall(), 4), detail=self.detail)

    def start(self):
        def tick():
            while not self._closed.wait(TICK_S):
                self.send()
        threading.Thread(target=tick, name="stage-progress", daemon=True).start()
        return self

    def close(self):
        self._closed.set()
