"""Scoring the agent beside the standard decoder (8-30 Hz CSP + LDA): on process_epochs' own
held-out epochs, and on repeated stratified splits with everything refitted within each split."""
from dataclasses import dataclass

import numpy as np

from corvane.pipeline import fair_scoring, standard_decoder
from corvane.pipeline.agent_blocks import conservative_choice, held_out_candidates
from corvane.pipeline.environment import module_environment
from corvane.pipeline.events import Reporter, module_output

NONE = "none"   # no block passed the confidence threshold: live_pilot sends "S"


@dataclass
class HeldOutScores:
    """process_epochs' held-out epochs: the agent's kept blocks of each with its class (decided by
    a rule later, see decide_held_out), and the standard decoder's scores on the same epochs."""
    candidates: list   # ((predictions, confidences), class) per held-out epoch
    standard: dict     # cv_accuracy, cv_folds, held_out_accuracy, held_out_decisions


@dataclass
class SplitScores:
    count: int
    results: list      # per split: held-out epochs, their classes, the agent's kept blocks, LDA's picks
    standard: dict     # the standard decoder: mean, sd, per_split, decisions
    seconds: float

    def agent(self, labels, decide=None):
        """The agent's scores like `standard`, each held-out epoch decided by
        decide(predictions, confidences, q_values) (default: the conservative rule)."""
        decide = decide or (lambda p, c, q: conservative_choice(p, c))
        return fair_scoring.rule_scores(self.results, labels, decide)


def score_held_out(trained, *, output=None) -> HeldOutScores:
    """The trained agent's candidates for process_epochs' held-out epochs, and the standard decoder
    cross-validated on its training epochs and scored on the same held-out ones."""
    candidates = held_out_candidates(trained.model, trained.forge)
    with module_output(output):
        standard = standard_decoder.evaluate(trained.forge, trained.labels)
    return HeldOutScores(candidates, standard)


def decide_held_out(scores, labels, decide):
    """(decided class or None, true class) of each held-out epoch, decide(predictions, confidences)
    picking a class number among a window's kept blocks (live_pilot's own rule, for one)."""
    pairs = []
    for (predictions, confidences), cls in scores.candidates:
        choice = decide(predictions, confidences)
        pairs.append((None if choice is None else labels[choice], labels[cls]))
    return pairs


def score_splits(trained, count, *, steps=None, seed=None, progress=None, output=None) -> SplitScores:
    """Both decoders on `count` repeated splits of the trained recording's epochs, the filters,
    scaler, agent (`steps` steps, default the trained agent's) and LDA refitted on each split's
    training epochs. Progress: stage "splits", splits done of `count`."""
    steps = trained.steps if steps is None else steps
    seed = trained.seed if seed is None else seed
    report = Reporter(progress, "splits")

    def done(k, total, seconds):
        report(k, total, f"split {k}/{total} scored ({seconds:.0f} s)")

    # Each split's trainer keeps its files where the trained agent's did.
    with module_environment(base=trained.forge.base_path), module_output(output):
        results = fair_scoring.score_splits(trained.forge, trained.labels, count, steps, seed, progress=done)
    return SplitScores(count, results, fair_scoring.standard_scores(results, trained.labels), report.seconds)


def confusion(pairs, classes):
    """Counts of (decided, true class) pairs: one row per class, one column per class and one for
    none decided. Returns the counts and the columns' names."""
    classes = list(classes)
    columns = classes + [NONE]
    counts = np.zeros((len(classes), len(columns)), dtype=int)
    for decided, cue in pairs:
        counts[classes.index(cue), columns.index(decided or NONE)] += 1
    return counts, columns
