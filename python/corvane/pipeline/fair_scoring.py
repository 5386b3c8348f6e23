"""Both decoders scored on the same repeated stratified splits of a recording's epochs. Within a
split everything is fitted on the split's training epochs alone: the agent's one-vs-rest CSP
filters, its scaler and the agent; the standard decoder's CSP and LDA. Neither has seen the
epochs it is scored on. (The artefacts live_pilot loads are fitted apart, by process_epochs on
every epoch.) The agent's held-out epochs are decided later by live_pilot's own rules."""
import time
from dataclasses import dataclass

import numpy as np

from corvane.pipeline import standard_decoder
from corvane.pipeline.agent_blocks import kept_blocks, train_on_training_items
from corvane.pipeline.constants import ROW_START, WINDOW

TEST_SHARE, SPLIT_SEED = 0.2, 42


@dataclass
class Fitters:
    """The classes fitted within a split (tests pass subclasses that record what they saw)."""
    csp: type = None
    scaler: type = None
    lda: type = None

    def __post_init__(self):
        from mne.decoding import CSP
        from sklearn.discriminant_analysis import LinearDiscriminantAnalysis
        from sklearn.preprocessing import StandardScaler
        self.csp = self.csp or CSP
        self.scaler = self.scaler or StandardScaler
        self.lda = self.lda or LinearDiscriminantAnalysis


def repeated_splits(classes, count, seed=SPLIT_SEED):
    """`count` stratified (training, held-out) splits of the epochs, a fifth held out."""
    from sklearn.model_selection import StratifiedShuffleSplit
    splitter = StratifiedShuffleSplit(n_splits=count, test_size=TEST_SHARE, random_state=seed)
    return list(splitter.split(np.zeros(len(classes)), classes))


def agent_features(forge, epochs, classes, train, fitters, ncomp=4):
    """Every epoch's items, as process_epochs builds them but with one-vs-rest CSP filters fitted
    on the training epochs: each epoch's row span through every filter, featurised by the trainer.
    Returns the items (epoch by epoch, filter by filter) and the filters' count."""
    ncomp = min(ncomp, epochs.shape[1])
    filters = []
    for k in np.unique(classes[train]):
        csp = fitters.csp(n_components=ncomp, norm_trace=False, transform_into="csp_space")
        filters.append(csp.fit(epochs[train], (classes[train] == k).astype(int)))
    windows = epochs[:, :, ROW_START:ROW_START + WINDOW]
    blocks = np.stack([f.transform(windows) for f in filters], axis=1)
    return forge.featuresarray_load(blocks.reshape(-1, ncomp, blocks.shape[-1])), len(filters)


def train_split_agent(features, per_epoch, classes, train, labels, steps, seed, fitters, adjust=None):
    """An agent set up by policy_forge's setup_training (then given to `adjust`, if any) and
    trained on the split's training items, scaled by a scaler fitted on them. Returns the agent and
    the scaled items of every epoch."""
    import policy_forge
    from stable_baselines3.common.utils import set_random_seed

    shape = features.shape
    items = (np.asarray(train)[:, None] * per_epoch + np.arange(per_epoch)).ravel()
    scaler = fitters.scaler().fit(features[items].reshape(-1, shape[-1]))
    scaled = scaler.transform(features.reshape(-1, shape[-1])).reshape(shape)
    trainer = policy_forge.PolicyForge()
    trainer.X_train, trainer.y_train = scaled[items], np.repeat(classes, per_epoch)[items]
    trainer.X_test, trainer.y_test = scaled[:0], trainer.y_train[:0]
    trainer.ncomp, trainer.GLOBAL_SHAPE_LENGTH = shape[1], shape[2]
    model, callbacks = trainer.setup_training(labels)
    train_on_training_items(model, trainer)
    if adjust:
        adjust(model)
    set_random_seed(seed)
    model.action_space.seed(seed)
    model.learn(total_timesteps=steps, callback=callbacks)
    return model, scaled.reshape(-1, per_epoch, *shape[1:])


def score_split(forge, epochs, spans, classes, split, labels, steps, seed, fitters):
    """One split: the agent's kept blocks of each held-out epoch, and the standard decoder's
    predictions for them."""
    train, test = split
    features, per_epoch = agent_features(forge, epochs, classes, train, fitters)
    model, blocks = train_split_agent(features, per_epoch, classes, train, labels, steps, seed, fitters)
    decoder = standard_decoder.make_decoder(spans.shape[1], fitters.csp, fitters.lda)
    predicted = decoder.fit(spans[train], classes[train]).predict(spans[test])
    return {"held_out": [int(e) for e in test], "classes": [int(classes[e]) for e in test],
            "agent": [kept_blocks(blocks[e], model) for e in test],
            "standard": [int(p) for p in predicted]}


def score_splits(forge, labels, count, steps, seed, fitters=None, progress=None):
    """Every split scored (see score_split); `progress(k, count, seconds)` after each."""
    fitters = fitters or Fitters()
    epochs, classes = standard_decoder.whole_epochs(forge.raw, forge.events, labels)
    spans, _ = standard_decoder.band_passed_spans(forge, labels)
    results, began = [], time.monotonic()
    for k, split in enumerate(repeated_splits(classes, count)):
        results.append(score_split(forge, epochs, spans, classes, split, labels, steps, seed + k, fitters))
        if progress:
            progress(k + 1, count, time.monotonic() - began)
    return results


def spread(values):
    """Mean and sample standard deviation (0 for one value), rounded for the report."""
    values = np.asarray(values, dtype=float)
    sd = float(values.std(ddof=1)) if len(values) > 1 else 0.0
    return {"mean": round(float(values.mean()), 3), "sd": round(sd, 3),
            "per_split": [round(float(v), 3) for v in values]}


def rule_scores(results, labels, decide):
    """Accuracy per split of the agent's held-out epochs decided by `decide(kept blocks)` (a class
    number or None), with the pooled (decided, class) pairs."""
    accuracies, pairs = [], []
    for split in results:
        decided = [decide(*kept) for kept in split["agent"]]
        accuracies.append(np.mean([d == c for d, c in zip(decided, split["classes"])]))
        pairs += [(None if d is None else labels[d], labels[c]) for d, c in zip(decided, split["classes"])]
    return {**spread(accuracies), "decisions": pairs}


def standard_scores(results, labels):
    accuracies = [np.mean(np.equal(s["standard"], s["classes"])) for s in results]
    pairs = [(labels[p], labels[c]) for s in results for p, c in zip(s["standard"], s["classes"])]
    return {**spread(accuracies), "decisions": pairs}
