"""The standard decoder beside the agent: MNE's CSP (all components) after an 8-30 Hz band-pass,
with scikit-learn's linear discriminant analysis, on the epochs process_epochs cuts, over the
span its training rows cover."""
import numpy as np

from corvane.pipeline.constants import (EPOCH_BASELINE, EPOCH_TMAX, EPOCH_TMIN, ROW_START,
                                       WINDOW)

FOLDS = 5
# The band of the sensorimotor rhythms: band-passing before CSP adds about 14 points over
# broadband CSP on the demo's recordings.
BAND = (8.0, 30.0)


def whole_epochs(raw, events, labels):
    """The epochs process_epochs cuts (EEG channels, whole epochs) and their classes in `labels`'
    order."""
    import mne

    ids = events[1]
    order = [ids[label] for label in labels]
    epochs = mne.Epochs(raw, events[0], event_id=order, tmin=EPOCH_TMIN, tmax=EPOCH_TMAX,
                        baseline=EPOCH_BASELINE, preload=True).pick("eeg")
    classes = np.array([order.index(e) for e in epochs.events[:, -1]])
    return epochs.get_data(), classes


def band_passed_spans(forge, labels):
    """The trainer's epochs band-passed (the continuous recording filtered, so the epochs have no
    filter edges), over the row span, and their classes."""
    raw = forge.raw.copy().filter(*BAND, picks="eeg", verbose="error")
    x, classes = whole_epochs(raw, forge.events, labels)
    return x[:, :, ROW_START:ROW_START + WINDOW], classes


def make_decoder(channels, csp_class=None, lda_class=None):
    """CSP keeping the log-variance of every component (with five classes on six channels, keeping
    only four loses about ten points), then LDA."""
    from mne.decoding import CSP
    from sklearn.discriminant_analysis import LinearDiscriminantAnalysis
    from sklearn.pipeline import make_pipeline

    return make_pipeline((csp_class or CSP)(n_components=channels, log=True, norm_trace=False),
                         (lda_class or LinearDiscriminantAnalysis)())


def evaluate(forge, labels):
    """Cross-validated on process_epochs' training epochs and scored on its held-out ones."""
    from sklearn.model_selection import StratifiedKFold, cross_val_score, train_test_split

    x, y = band_passed_spans(forge, labels)
    # Same classes, test share and seed as process_epochs, hence the same held-out epochs.
    train, test = train_test_split(np.arange(len(y)), test_size=0.2, random_state=42, stratify=y)
    if not np.array_equal(y[test], forge.y_test[::len(forge.csp_filter_objects)]):
        raise RuntimeError("the held-out epochs differ from those process_epochs held out")
    decoder = make_decoder(x.shape[1])
    folds = int(min(FOLDS, np.bincount(y[train]).min()))
    cv = cross_val_score(decoder, x[train], y[train],
                         cv=StratifiedKFold(folds, shuffle=True, random_state=42))
    predicted = decoder.fit(x[train], y[train]).predict(x[test])
    return {"cv_accuracy": round(float(cv.mean()), 3), "cv_folds": folds,
            "held_out_accuracy": round(float(np.mean(predicted == y[test])), 3),
            "held_out_decisions": [(labels[p], labels[c]) for p, c in zip(predicted, y[test])]}
