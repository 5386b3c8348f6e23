"""The feature rows computed item by item with the libraries, as the reference for the module's
native path (used by the tests and the benchmarks)."""
import mne
import numpy as np
import scipy.signal
from scipy import stats

from corvane.facts import FEATURE_ROW_LENGTH, SAMPLING_RATE


def statistics(x):
    columns = [
        np.ptp(x, axis=-1),
        np.sqrt(np.mean(x**2, axis=-1)),
        np.sum(np.abs(np.diff(x, axis=-1)), axis=-1),
        stats.skew(x, axis=-1),
        stats.kurtosis(x, axis=-1),
        np.var(x, axis=-1),
        np.mean(x, axis=-1),
        np.std(x, axis=-1),
    ]
    return np.concatenate([c.reshape(-1, 1) for c in columns], axis=1)


def features_per_item(data_array):
    results = []
    for d in data_array:
        alpha = mne.filter.filter_data(d, sfreq=SAMPLING_RATE, l_freq=8, h_freq=12, verbose=False)
        beta = mne.filter.filter_data(d, sfreq=SAMPLING_RATE, l_freq=12, h_freq=30, verbose=False)
        _, p = scipy.signal.welch(beta, fs=SAMPLING_RATE, average="median", nfft=512)
        _, p2 = scipy.signal.welch(alpha, fs=SAMPLING_RATE, average="median", nfft=512)
        res = np.mean([statistics(alpha), statistics(beta)], axis=0)
        results.append(np.concatenate((res, p, p2), axis=1))
    return np.array(results)


SPECTRUM_BINS = (FEATURE_ROW_LENGTH - 8) // 2
BLOCKS = {"statistics": slice(0, 8), "beta spectrum": slice(8, 8 + SPECTRUM_BINS),
          "alpha spectrum": slice(8 + SPECTRUM_BINS, FEATURE_ROW_LENGTH)}


def block_errors(result, reference):
    """Largest deviation in each feature block, relative to the block's largest magnitude."""
    return {
        name: float(np.max(np.abs(result[..., part] - reference[..., part])) / np.max(np.abs(reference[..., part])))
        for name, part in BLOCKS.items()
    }
