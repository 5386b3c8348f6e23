"""The training of a studio run, in its own interpreter: combine the recorded sessions, train, score
the agent beside CSP + LDA on repeated splits and place the artefacts, all with corvane.pipeline.

`python -m corvane.studio.training_child --base B --artefacts A --steps N --seed S`

It writes one JSON event per line on its standard output and everything the libraries print to
B/training.log. A line "cancel" on its standard input ends it at once, except while the artefacts
are being placed (then the training completes). A process of its own keeps the board, the
environment, the libraries' output and the interpreter lock of the app untouched.
"""
import argparse
import contextlib
import json
import os
import sys
import threading
import time
import traceback
from pathlib import Path

from corvane import pipeline
from corvane.pipeline.combining import recorded_sessions
from corvane.studio.training_progress import StageProgress

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


def progress_events(events, stages):
    """Progress of the training as the page's events: the learn steps at most every PROGRESS_EVERY
    seconds (and the last one), and every stage's share of the whole (see StageProgress)."""
    last = [0.0]

    def relay(event):
        if event.stage == "splits":
            stages.step(event.done, event.total, f"{event.done} of {event.total} splits scored")
        if event.stage != "learn":
            return
        if event.done == 1:
            stages.enter("learn", f"{event.total} steps")
        if event.seconds - last[0] >= PROGRESS_EVERY or event.final:
            last[0] = event.seconds
            rate = round(event.done / max(1e-9, event.seconds), 1)
            stages.step(event.done, event.total, f"{event.done} of {event.total} steps, {rate:.0f} steps/s")
            events.emit(kind="progress", steps=event.done, total=event.total, steps_per_s=rate)
    return relay


def confusion(pairs, classes):
    """Rows are the true classes, columns the decided ones; undecided epochs counted apart."""
    counts, _ = pipeline.confusion(pairs, classes)   # its last column: none decided
    return counts[:, :-1].tolist(), counts[:, -1].tolist()


def train(base, artefacts, steps, seed, events, output, sessions=None):
    stages = StageProgress(events.emit, steps, SPLITS).start()
    try:
        return _train(base, artefacts, steps, seed, events, output, sessions, stages)
    finally:
        stages.close()


def _train(base, artefacts, steps, seed, events, output, sessions, stages):
    recorded = [s for s in recorded_sessions(base) if sessions is None or s["session"] in sessions]
    missing = sorted(set(sessions or ()) - {s["session"] for s in recorded})
    if missing:
        raise pipeline.PipelineError(f"Session {missing[0]} has no recorded trials; choose among the sessions listed.")
    stages.enter("combine", ", ".join(f"session {s['session']}" for s in recorded))
    combined = pipeline.combine(base=base, sessions=sessions, min_trials_per_class=pipeline.MIN_TRIALS_PER_CLASS,
                                output=output)
    # The trainer writes its filters and scaler as it goes: a folder of its own keeps them from
    # replacing the artefacts live_pilot loads before the agent is trained.
    scratch = base / "tmp" / "training"
    scratch.mkdir(parents=True, exist_ok=True)
    stages.enter("epochs")
    relay = progress_events(events, stages)
    trained = pipeline.train(combined.file, work_dir=scratch, steps=steps, seed=seed, progress=relay, output=output)
    classes = trained.labels
    # Both decoders are scored on the same repeated splits, everything refitted within each, so
    # neither has seen the epochs it is scored on (the artefacts' own split would favour the agent).
    stages.enter("score", f"{SPLITS} splits; filters, scaler, agent and LDA refitted on each")
    scores = pipeline.score_splits(trained, SPLITS, progress=relay, output=output)
    agent, standard = scores.agent(classes), scores.standard
    stages.enter("place")
    with events.not_cancellable():
        placed = pipeline.place_artefacts(trained, artefacts, output=output)
    stages.finish()
    agent_counts, agent_undecided = confusion(agent["decisions"], classes)
    standard_counts, _ = confusion(standard["decisions"], classes)
    return {"agent": agent["mean"], "csp_lda": standard["mean"], "agent_sd": agent["sd"],
            "csp_lda_sd": standard["sd"], "splits": SPLITS, "classes": list(classes),
            "confusion": {"agent": agent_counts, "csp_lda": standard_counts},
            "undecided": {"agent": agent_undecided}, "artefacts": placed.files,
            "held_out": len(agent["decisions"]), "combined": combined.file,
            "sessions": recorded, "trials": sum(combined.counts.values()), "epochs": trained.epochs}


def main(argv=None):
    p = argparse.ArgumentParser(description="Train and score a studio run (JSON events on stdout).")
    p.add_argument("--base", required=True)
    p.add_argument("--artefacts", required=True)
    p.add_argument("--steps", type=int, required=True)
    p.add_argument("--seed", type=int, default=0)
    p.add_argument("--sessions", default="", help="session numbers to train on, comma separated (default: all)")
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

    try:
        # What the libraries write (caches, configs, temporary files) stays under the base directory.
        with pipeline.module_environment(library_home=base):
            sessions = [int(n) for n in o.sessions.split(",") if n.strip()] or None
            result = train(base, artefacts, o.steps, o.seed, events, sys.stdout, sessions)
    except pipeline.PipelineError as exc:
        events.emit(kind="failed", text=str(exc), details=getattr(exc, "details", None))
        return 2
    except Exception as exc:
        traceback.print_exc()
        text = traceback.format_exception_only(exc)[-1].strip()
        events.emit(kind="failed", text="Training failed on an unexpected error.", details=f"{text} (see {log})")
        return 1
    finally:
        sys.stdout.flush()
    events.emit(kind="result", **result)
    return 0


if __name__ == "__main__":
    sys.exit(main())
