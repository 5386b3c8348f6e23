"""The repeated-split scoring fits nothing on the epochs it scores: every fit within a split is
given the split's training epochs alone."""
import importlib.util

import numpy as np
import pytest
from mne.decoding import CSP
from sklearn.discriminant_analysis import LinearDiscriminantAnalysis
from sklearn.preprocessing import StandardScaler

from corvane.pipeline import fair_scoring
from corvane.pipeline.constants import FS, ROW_START, WINDOW
from tests.support.testbed import environment

FITS = []   # (what, the data it was fitted on)


class RecordingCSP(CSP):
    def fit(self, X, y):
        FITS.append(("csp", np.array(X)))
        return super().fit(X, y)


class RecordingScaler(StandardScaler):
    def fit(self, X, y=None, sample_weight=None):
        FITS.append(("scaler", np.array(X)))
        return super().fit(X, y, sample_weight)


class RecordingLDA(LinearDiscriminantAnalysis):
    def fit(self, X, y):
        FITS.append(("lda", np.array(X)))
        return super().fit(X, y)


@pytest.mark.slow
@pytest.mark.skipif(importlib.util.find_spec("policy_forge") is None, reason="needs the built modules")
def test_no_held_out_epoch_reaches_a_fit(tmp_path):
    import policy_forge

    rng = np.random.default_rng(5)
    classes = np.repeat(np.arange(5), 5)
    epochs = rng.standard_normal((len(classes), 6, 6 * FS + 1)) * (1 + classes[:, None, None])
    # Each epoch carries its number where both decoders' fits see it: at the start of the whole
    # epoch (the agent's filters) and of the row span (the standard decoder).
    epochs[:, 0, 0] = epochs[:, 0, ROW_START] = 1000 + np.arange(len(classes))
    spans = epochs[:, :, ROW_START:ROW_START + WINDOW]
    with environment(CORVANE_PATH=tmp_path):
        forge = policy_forge.PolicyForge()
    fitters = fair_scoring.Fitters(RecordingCSP, RecordingScaler, RecordingLDA)
    splits = fair_scoring.repeated_splits(classes, 2)
    for train, test in splits:
        assert not set(train) & set(test) and set(classes[test]) == set(classes)
        FITS.clear()
        result = fair_scoring.score_split(forge, epochs, spans, classes, (train, test), ["a", "b", "c", "d", "e"],
                                          150, 0, fitters)
        kinds = [kind for kind, _ in FITS]
        assert kinds.count("csp") == 6 and kinds.count("scaler") == kinds.count("lda") == 1
        for kind, x in FITS:
            if kind == "csp":   # the agent's five one-vs-rest filters and the standard decoder's
                assert sorted(x[:, 0, 0] - 1000) == sorted(train)
            else:   # rows of the training epochs alone
                per_epoch = {"scaler": 5 * 4, "lda": 1}[kind]
                assert len(x) == len(train) * per_epoch
        assert result["held_out"] == list(test) and len(result["agent"]) == len(result["standard"]) == len(test)
