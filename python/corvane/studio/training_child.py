"""The training of a studio run, in its own interpreter: combine the recorded sessions, train with
the demo's flow, place the artefacts, score the agent beside CSP + LDA on repeated splits.

`python -m corvane.studio.training_child --base B --artefacts A --steps N --seed S`

It writes one JSON event per line on its standard output and everything the libraries print to
B/training.log. A line "cancel" on its standard input ends it at once, except while the artefacts
are being placed (then the training completes). A process of its own keeps the board, the
environment, the libraries' output and the interpreter lock of the app untouched.
"""
import argparse
import collections
import contextlib
import json
import os
import shutil
import sys
import threading
import time
import traceback
from pathlib import Path
from types import SimpleNamespace

# Each action needs this many trials: the first trial is dropped (its epoch starts before the
# recording) and a fifth of the rest is held out, stratified, so every class needs a held-out epoch.
MIN_TRIALS_PER_CLASS = 5
EXIT_CANCELLED = 3
SPLITS = 3              # repeated stratified splits the two decoders are scored on
PROGRESS_EVERY = 0.25   # seconds between progress events


class Events:
    """JSON lines on the process's original standard output; a "cancel" line on standard input
    ends the process unless placing the artefacts."""

    def __init__(self, stream):
        self.stream = stream
        self.lock = threading.Lock()
        self.placing = self.cancelled = False

    def emit(self, **event):
        with self.lock:
            self.stream.write(json.dumps(event) + "\n")
            self.stream.flush()

    def listen_for_cancel(self):
        def listen():
            for line in sys.stdin:
                if line.strip() == "cancel":
                    break
            # A closed input (the app is gone) cancels too: no training runs on for nobody.
            with self.lock:
                self.cancelled = True
                if not self.placing:
                    self.stream.write(json.dumps({"kind": "cancelled"}) + "\n")
                    self.stream.flush()
                    os._exit(EXIT_CANCELLED)

        threading.Thread(target=listen, name="cancel", daemon=True).start()

    @contextlib.contextmanager
    def not_cancellable(self):
        with self.lock:
            if self.cancelled:
                raise SystemExit(EXIT_CANCELLED)
            self.placing = True
        yield


class Failure(Exception):
    """A plain message for the page."""


class HostAdapter:
    """What the demo's training stage uses of its host: options, console, report, artefact place,
    and the extra learn callbacks (the progress events)."""

    def __init__(self, steps, seed, artefacts, callbacks):
        self.o = SimpleNamespace(steps=steps, seed=seed)
        self.console = SimpleNamespace(capture=lambda *a, **k: contextlib.nullcontext(),
                                       progress=lambda *a, **k: None, say=self.say)
        self.report = {}
        self.artefacts = artefacts
        self.learn_callbacks = callbacks

    def say(self, text=""):
        print(text.strip("\n"))


def progress_callback(events, total):
    from stable_baselines3.common.callbacks import BaseCallback

    class Progress(BaseCallback):
        def _on_training_start(self):
            events.emit(kind="stage", text=f"Training the agent ({total} steps)")
            self.began = self.last = time.monotonic()

        def _on_step(self):
            now = time.monotonic()
            if now - self.last >= PROGRESS_EVERY or self.num_timesteps >= total:
                self.last = now
                events.emit(kind="progress", steps=self.num_timesteps, total=total,
                            steps_per_s=round(self.num_timesteps / max(1e-9, now - self.began), 1))
            return True

    return Progress()


def combine(base, events):
    events.emit(kind="stage", text="Combining the recorded sessions")
    raw = base / "data" / "raw"
    if not any(raw.glob("*_raw.fif")):
        raise Failure(f"No recorded trials in {raw}: record a session first.")
    import capture_hub
    hub = capture_hub.CaptureHub()   # its board port points nowhere: no board is opened here
    try:
        combined = hub.combine_all_fif_files()
    except ValueError as exc:
        raise Failure(f"The recordings could not be combined: {exc}")
    check_trials(combined)
    return combined


def check_trials(combined):
    import mne

    counts = collections.Counter(mne.read_annotations(combined).description)
    if len(counts) < 2 or min(counts.values()) < MIN_TRIALS_PER_CLASS:
        have = ", ".join(f"{name} {n}" for name, n in sorted(counts.items())) or "none"
        raise Failure(f"Too few trials to train: every action needs at least {MIN_TRIALS_PER_CLASS} "
                      f"and there must be two actions at least (recorded: {have}). Record another session.")


def confusion(pairs, classes):
    """Rows are the true classes, columns the decided ones; undecided epochs counted apart."""
    from corvane.demo.figures import confusion as counted   # its last column: none decided

    counts, _ = counted(pairs, list(classes))
    return counts[:, :-1].tolist(), counts[:, -1].tolist()


def place(host, model, forge, artefacts):
    """The demo places the three files in a staging folder; each is then renamed into the
    artefact folder, so a stop part-way leaves no half-written file where live_pilot loads."""
    from corvane.demo import training
    from corvane.facts import AGENT_ARCHIVE_FILE, FILTERS_FILE, SCALER_FILE

    staging = artefacts / f".incoming-{os.getpid()}"
    host.artefacts = staging
    try:
        training.place_artefacts(host, model, forge)
        placed = []
        for name in (FILTERS_FILE, SCALER_FILE, AGENT_ARCHIVE_FILE):
            (artefacts / name).parent.mkdir(parents=True, exist_ok=True)
            os.replace(staging / name, artefacts / name)
            placed.append(str(artefacts / name))
    finally:
        shutil.rmtree(staging, ignore_errors=True)
    return placed


def train(base, artefacts, steps, seed, events):
    from corvane.demo import fair_scoring, training
    from corvane.demo.agent_blocks import conservative_choice

    combined = combine(base, events)
    # The trainer writes its filters and scaler under CORVANE_PATH as it goes: a folder of its own
    # keeps them from replacing the artefacts live_pilot loads before the agent is trained.
    scratch = base / "tmp" / "training"
    scratch.mkdir(parents=True, exist_ok=True)
    os.environ["CORVANE_PATH"] = str(scratch)
    events.emit(kind="stage", text="Preparing the epochs (filtering, ICA, CSP, features)")
    host = HostAdapter(steps, seed, artefacts, [progress_callback(events, steps)])
    # Both decoders are scored on the same repeated splits, everything refitted within each, so
    # neither has seen the epochs it is scored on (the artefacts' own split would favour the agent).
    model, forge, classes = training.train(host, combined, splits=0)
    events.emit(kind="stage", text=f"Scoring both decoders on {SPLITS} repeated splits "
                                   f"(filters, scaler, agent and LDA refitted on each)")
    results = training.score_on_splits(host, forge, classes, SPLITS)
    agent = fair_scoring.rule_scores(results, classes, lambda p, c, q: conservative_choice(p, c))
    standard = fair_scoring.standard_scores(results, classes)
    events.emit(kind="stage", text="Placing the artefacts")
    with events.not_cancellable():
        placed = place(host, model, forge, artefacts)
    agent_counts, agent_undecided = confusion(agent["decisions"], classes)
    standard_counts, _ = confusion(standard["decisions"], classes)
    return {"agent": agent["mean"], "csp_lda": standard["mean"], "agent_sd": agent["sd"],
            "csp_lda_sd": standard["sd"], "splits": SPLITS, "classes": list(classes),
            "confusion": {"agent": agent_counts, "csp_lda": standard_counts},
            "undecided": {"agent": agent_undecided}, "artefacts": placed,
            "held_out": len(agent["decisions"]), "combined": combined}


def main(argv=None):
    p = argparse.ArgumentParser(description="Train and score a studio run (JSON events on stdout).")
    p.add_argument("--base", required=True)
    p.add_argument("--artefacts", required=True)
    p.add_argument("--steps", type=int, required=True)
    p.add_argument("--seed", type=int, default=0)
    o = p.parse_args(argv)
    base, artefacts = Path(o.base).resolve(), Path(o.artefacts).resolve()

    # Events keep the original standard output; the libraries' output (Python's and native) goes
    # to the log from here on.
    events = Events(os.fdopen(os.dup(1), "w"))
    log = base / "training.log"
    log_fd = os.open(log, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
    os.dup2(log_fd, 1)
    os.dup2(log_fd, 2)
    print(f"\n=== training {time.strftime('%Y-%m-%d %H:%M:%S')}: {o.steps} steps, seed {o.seed} ===", flush=True)
    events.listen_for_cancel()

    from corvane.demo.host import prepare_environment
    prepare_environment(base)
    os.environ["CORVANE_SERIAL_PORT"] = str(base / "tmp" / "no-board")
    try:
        result = train(base, artefacts, o.steps, o.seed, events)
    except Failure as exc:
        events.emit(kind="failed", text=str(exc))
        return 2
    except Exception as exc:
        traceback.print_exc()
        text = traceback.format_exception_only(exc)[-1].strip()
        events.emit(kind="failed", text=f"Training failed: {text} (details in {log})")
        return 1
    finally:
        sys.stdout.flush()
    events.emit(kind="result", **result)
    return 0


if __name__ == "__main__":
    sys.exit(main())
