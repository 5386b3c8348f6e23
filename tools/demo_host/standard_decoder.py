"""The standard decoder beside the agent: MNE's CSP with scikit-learn's linear discriminant
analysis, on the epochs process_epochs cut, over the span its training rows cover, cross-validated
on the training epochs and scored on the held-out ones."""
import numpy as np

from tools.demo_host.constants import (EPOCH_BASELINE, EPOCH_TMAX, EPOCH_TMIN, ROW_START,
                                       WINDOW)

FOLDS = 5


def trainer_epochs(forge, labels):
    """The trainer's epochs (EEG channels, the row span) and their classes, in its order."""
    import mne

    ids = forge.events[1]
    order = [ids[label] for label in labels]
    epochs = mne.Epochs(forge.raw, forge.events[0], event_id=order, tmin=EPOCH_TMIN, tmax=EPOCH_TMAX,
                        baseline=EPOCH_BASELINE, preload=True).pick("eeg")
    classes = np.array([order.index(e) for e in epochs.events[:, -1]])
    return epochs.get_data()[:, :, ROW_START:ROW_START + WINDOW], classes


def evaluate(forge, labels):
    from mne.decoding import CSP
    from sklearn.discriminant_analysis import LinearDiscriminantAnalysis
    from sklearn.model_selection import StratifiedKFold, cross_val_score, train_test_split
    from sklearn.pipeline import make_pipeline

    x, y = trainer_epochs(forge, labels)
    # Same classes, test share and seed as process_epochs, hence the same held-out epochs.
    train, test = train_test_split(np.arange(len(y)), test_size=0.2, random_state=42, stratify=y)
    if not np.array_equal(y[test], forge.y_test[::len(forge.csp_filter_objects)]):
        raise RuntimeError("the held-out epochs differ from those process_epochs held out")
    # Log-variance of every CSP component: with five classes on six channels, keeping only four
    # components loses about ten points of cross-validated accuracy.
    decoder = make_pipeline(CSP(n_components=x.shape[1], log=True, norm_trace=False),
                            LinearDiscriminantAnalysis())
    folds = int(min(FOLDS, np.bincount(y[train]).min()))
    cv = cross_val_score(decoder, x[train], y[train],
                         cv=StratifiedKFold(folds, shuffle=True, random_state=42))
    predicted = decoder.fit(x[train], y[train]).predict(x[test])
    return {"cv_accuracy": round(float(cv.mean()), 3), "cv_folds": folds,
            "held_out_accuracy": round(float(np.mean(predicted == y[test])), 3),
            "held_out_decisions": [(labels[p], labels[c]) for p, c in zip(predicted, y[test])]}
