"""Decoding as live_pilot decodes a window, for a trained agent and a trainer's held-out epochs
(re-exported by tools.testing.testbed, where the tests, benchmarks and the demo take it from)."""
import numpy as np

from tools.facts import CONFIDENCE_THRESHOLD

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


def conservative_choice(predictions, confidences, threshold=0.5):
    """live_pilot's rule over the kept blocks: among near-best candidates, the least confident."""
    if not confidences:
        return None
    best = max(confidences)
    close = [i for i, c in enumerate(confidences) if best - c <= threshold]
    if len(close) > 1:
        return predictions[min(close, key=lambda i: confidences[i])]
    return predictions[confidences.index(best)]


def block_candidate(q):
    """(greedy action, confidence) of one block's Q-values, written as NumPy computes them: the
    margin of the best min-max normalised value over the mean of the others."""
    q = (q - np.min(q)) / (np.max(q) - np.min(q) + 1e-6)
    others = q[q != np.max(q)]
    return int(np.argmax(q)), float(np.max(q) - np.mean(others)) if len(others) else 0


def candidates(blocks, model=None, q_values=None):
    """(predictions, confidences) of a window's blocks as live_pilot keeps them: each block's
    greedy action when its confidence passes the threshold, in block order. The Q-values are the agent's
    for the scaled `blocks`, or given as `q_values`."""
    import torch

    if q_values is None:
        with torch.no_grad():
            q_values = [model.q_net(model.q_net.obs_to_tensor(np.asarray(b)[None])[0])[0].numpy() for b in blocks]
    kept = [block_candidate(q) for q in q_values]
    kept = [(action, confidence) for action, confidence in kept if confidence > CONFIDENCE_THRESHOLD]
    return [a for a, _ in kept], [c for _, c in kept]


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
    decided from its blocks (one per CSP filter, stored next to each other) as live_pilot decides."""
    per_epoch = len(forge.csp_filter_objects)
    blocks = forge.X_test.reshape(-1, per_epoch, *forge.X_test.shape[1:])
    classes = forge.y_test[::per_epoch]
    return [(live_decision(b, model), int(c)) for b, c in zip(blocks, classes)]


def train_on_training_items(model, forge):
    """Points the agent setup_training built at the training items alone, so that the held-out
    epochs stay unseen (setup_training's environment serves training and test items together)."""
    from policy_forge import Plasticity

    model.set_env(Plasticity(images_per_episode=1, dataset=(forge.X_train, forge.y_train), random=True,
                             ncomp=forge.ncomp, global_shape_length=forge.GLOBAL_SHAPE_LENGTH,
                             n_actions=model.action_space.n))
