"""Decoding as live_pilot decodes a window, for a trained agent and a trainer's held-out epochs
(re-exported by tests.support.testbed, where the tests and benchmarks take it from). The blocks'
candidates come from the pipeline's own helpers; the rules over them are written here as references
(the default one in agent_blocks, for hosts that cannot import live_pilot)."""
import numpy as np

from corvane.pipeline.agent_blocks import (block_candidate, candidates, kept_blocks,  # noqa: F401
                                           conservative_choice, held_out_candidates,
                                           train_on_training_items)

BLOCK_ROWS = 4                 # rows of one model observation: one filter's CSP components


class ReferenceRing:
    """live_pilot's ring buffer written plainly with NumPy slices: the reference the tests compare
    the module against, and the straightforward loop's buffer in the benchmarks."""

    def __init__(self, channels, size, window, overlap):
        self.buffer = np.zeros((channels, size))
        self.size, self.window = size, window
        self.step = window - int(window * overlap)
        self.index = self.last = 0

    def add(self, data):
        n = data.shape[1]
        if self.index + n <= self.size:
            self.buffer[:, self.index : self.index + n] = data
        else:
            end = (self.index + n) % self.size
            self.buffer[:, self.index :] = data[:, : self.size - self.index]
            self.buffer[:, :end] = data[:, self.size - self.index :]
        self.index = (self.index + n) % self.size
        return (self.index - self.last) % self.size >= self.step

    def window_data(self):
        self.last = self.index
        start = (self.index - self.window) % self.size
        if start < self.index:
            return self.buffer[:, start : self.index]
        return np.concatenate((self.buffer[:, start:], self.buffer[:, : self.index]), axis=1)


def summed_choice(q_values):
    """The opt-in rule over the kept blocks' Q-values: the class with the largest sum of the
    min-max normalised values (the earliest among equals); None when no block is kept."""
    if not len(q_values):
        return None
    q = np.asarray(q_values, dtype=np.float64)
    low, high = q.min(axis=1, keepdims=True), q.max(axis=1, keepdims=True)
    return int(np.argmax(((q - low) / (high - low + 1e-6)).sum(axis=0)))


def majority_choice(predictions, confidences):
    """The class most kept blocks decide, ties going to the larger sum of confidences; None when
    no block is kept."""
    if not predictions:
        return None
    votes = {}
    for p, c in zip(predictions, confidences):
        count, total = votes.get(p, (0, 0.0))
        votes[p] = (count + 1, total + c)
    return max(votes, key=lambda p: votes[p])


def live_decision(blocks, model):
    """The class live_pilot decides from a window's scaled blocks, or None: the conservative
    choice among the blocks' candidates."""
    return conservative_choice(*candidates(blocks, model))


def window_blocks(window, filters, scaler, forge):
    """A window (1, channels, samples) -> the scaled blocks (BLOCK_ROWS, features) live_pilot queries."""
    projected = np.concatenate([csp.transform(window) for csp in filters.values()], axis=1)
    features = forge.featuresarray_load(projected)
    scaled = scaler.transform(features.reshape(-1, features.shape[-1])).reshape(features.shape)
    return [scaled[0, i:i + BLOCK_ROWS] for i in range(0, scaled.shape[1], BLOCK_ROWS)]


def held_out_decisions(model, forge):
    """(decision or None, class) of every held-out epoch of a trainer after process_epochs,
    decided from its blocks as live_pilot decides."""
    return [(conservative_choice(*kept), c) for kept, c in held_out_candidates(model, forge)]
