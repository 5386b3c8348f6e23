"""Held-out accuracy of the agent under each decision rule, by training budget, over repeated
stratified splits of several recordings of the simulated subject, beside 8-30 Hz CSP + LDA on the
same splits. Within a split the agent's CSP filters, scaler and agent (and the standard decoder)
are fitted on the split's training epochs only, as the demo scores them.

    .venv/bin/python -m bench.decision_rules [--steps 2500 5000 10000] [--recordings 3 4 5]
                                             [--splits 5] [--learning-rate 0.0001]
                                             [--files S03.fif ...]

Rules over a window's kept blocks (confidence above the threshold): "conservative" (live_pilot's
default), "q_sum" (largest sum of normalised Q-values) and "majority" (most blocks; ties by summed
confidence). Figures are mean ± sd over every (recording, split); one agent per budget and split.
Logistic regression on the same items shows what a well-fitted learner makes of the agent's features.
"""
import argparse
import contextlib
import io
import os
import tempfile
import time
from pathlib import Path

import numpy as np

from corvane.pipeline import fair_scoring, standard_decoder
from corvane.pipeline.constants import class_order
from corvane.standins.make_sample_recording import make_sample_recording
from tests.support.live_decoding import conservative_choice, majority_choice, summed_choice

RULES = {"conservative": lambda p, c, q: conservative_choice(p, c),
         "q_sum": lambda p, c, q: summed_choice(q),
         "majority": lambda p, c, q: majority_choice(p, c)}


def recording_forge(base, seed, fif=None):
    """A trainer holding `fif`, else the simulated subject's recording of `seed` (21 trials per
    class)."""
    if fif is None:
        _, fif, _ = make_sample_recording(str(base / f"r{seed}"), seed=seed)
    os.environ["CORVANE_PATH"] = str(base / f"r{seed}")
    import policy_forge
    forge = policy_forge.PolicyForge()
    with contextlib.redirect_stdout(io.StringIO()):
        forge.setup_eeg(fif)
    return forge, class_order(list(forge.events[1]))


def learner_ceiling(features, per_epoch, classes, train, test):
    """Held-out accuracy of logistic regression on the agent's own items (every block one item),
    an epoch decided by its blocks' summed class probabilities: what a well-fitted linear learner
    makes of these features, whatever the agent's settings."""
    from sklearn.linear_model import LogisticRegression
    from sklearn.pipeline import make_pipeline
    from sklearn.preprocessing import StandardScaler

    items = features.reshape(len(classes), per_epoch, -1)
    learner = make_pipeline(StandardScaler(), LogisticRegression(C=0.01, max_iter=3000))
    learner.fit(items[train].reshape(len(train) * per_epoch, -1), np.repeat(classes[train], per_epoch))
    held_out = learner.predict_proba(items[test].reshape(len(test) * per_epoch, -1))
    return np.mean(held_out.reshape(len(test), per_epoch, -1).sum(axis=1).argmax(axis=1) == classes[test])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--steps", type=int, nargs="+", default=[2500, 5000, 10000])
    parser.add_argument("--recordings", type=int, nargs="+", default=[3, 4, 5])
    parser.add_argument("--splits", type=int, default=5)
    parser.add_argument("--files", nargs="+", default=[],
                        help="labelled recordings (e.g. a demo run's S03.fif) instead of --recordings")
    parser.add_argument("--learning-rate", type=float,
                        help="applied after setup_training (default: setup_training's)")
    args = parser.parse_args()

    def adjust(model):
        if args.learning_rate is not None:
            model.learning_rate = args.learning_rate
            model._setup_lr_schedule()

    scores = {(steps, rule): [] for steps in args.steps for rule in RULES}
    standard, ceiling, began = [], [], time.monotonic()
    fitters = fair_scoring.Fitters()
    with tempfile.TemporaryDirectory() as folder:
        sources = [(k, f) for k, f in enumerate(args.files)] or [(seed, None) for seed in args.recordings]
        for seed, fif in sources:
            forge, labels = recording_forge(Path(folder), seed, fif)
            epochs, classes = standard_decoder.whole_epochs(forge.raw, forge.events, labels)
            spans, _ = standard_decoder.band_passed_spans(forge, labels)
            for k, (train, test) in enumerate(fair_scoring.repeated_splits(classes, args.splits)):
                decoder = standard_decoder.make_decoder(spans.shape[1])
                standard.append(np.mean(decoder.fit(spans[train], classes[train]).predict(spans[test])
                                        == classes[test]))
                features, per_epoch = fair_scoring.agent_features(forge, epochs, classes, train, fitters)
                ceiling.append(learner_ceiling(features, per_epoch, classes, train, test))
                for steps in args.steps:
                    with contextlib.redirect_stdout(io.StringIO()):
                        model, blocks = fair_scoring.train_split_agent(
                            features, per_epoch, classes, train, labels, steps, seed + k, fitters, adjust)
                    kept = [fair_scoring.kept_blocks(blocks[e], model) for e in test]
                    for rule, decide in RULES.items():
                        scores[steps, rule].append(np.mean([decide(*b) == classes[e] for b, e in zip(kept, test)]))
                print(f"  recording {seed}, split {k + 1}/{args.splits} done ({time.monotonic() - began:.0f} s)",
                      flush=True)

    def figure(values):
        return f"{np.mean(values):.3f} ± {np.std(values, ddof=1):.3f}"

    print(f"\nbenchmark: decision rules, {len(sources)} recordings x {args.splits} splits "
          f"({len(standard)} held-out sets of a fifth of the epochs), learning rate "
          f"{args.learning_rate or 'of setup_training'}")
    print(f"  {'steps':>7}  " + "  ".join(f"{rule:>15}" for rule in RULES))
    for steps in args.steps:
        print(f"  {steps:>7}  " + "  ".join(f"{figure(scores[steps, rule]):>15}" for rule in RULES))
    print(f"  CSP + LDA (8-30 Hz): {figure(standard)}")
    print(f"  logistic regression on the agent's items, summed blocks: {figure(ceiling)}")
    for steps in args.steps:
        gap = np.mean(scores[steps, "conservative"]) - np.mean(standard)
        print(f"  {steps:>7} steps: conservative minus CSP + LDA {gap:+.3f} (target above -0.10)")
    print(f"  run time {time.monotonic() - began:.0f} s")


if __name__ == "__main__":
    main()
