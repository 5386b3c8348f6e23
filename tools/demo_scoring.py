"""How the demo judges decoding: the cue sequence played during live decoding, and live_pilot's
decision rule applied to held-out epochs of the training recording."""
import threading

import numpy as np

FS = 250
WINDOW = 1250                # live_pilot's window, samples
MIN_CONFIDENCE_KEPT = 0.6    # live_pilot keeps a block's decision above this margin


class CuePlayer(threading.Thread):
    """Plays the known cue sequence: segment k of `segment` samples gets cue schedule[k].

    `clock()` gives the stream's sample position (the emulator's count, or elapsed real time
    times 250 for a real board). Every change is logged as (sample position, cue)."""

    def __init__(self, schedule, segment, clock, apply):
        super().__init__(name="cue-player", daemon=True)
        self.schedule, self.segment, self.clock, self.apply = schedule, segment, clock, apply
        self.changes = [(0, schedule[0])]
        self._stop_event = threading.Event()

    def run(self):
        current = 0
        while not self._stop_event.wait(0.002):
            position = self.clock()
            k = min(position // self.segment, len(self.schedule) - 1)
            if k != current:
                current = k
                self.apply(self.schedule[k])
                self.changes.append((k * self.segment, self.schedule[k]))

    def stop(self):
        self._stop_event.set()
        if self.is_alive():
            self.join(timeout=2)

    def cue_over(self, start, end):
        """The cue that covers most of samples [start, end), and whether it covers all of them."""
        bounds = [c[0] for c in self.changes] + [float("inf")]
        shares = {}
        for (begin, cue), finish in zip(self.changes, bounds[1:]):
            overlap = min(end, finish) - max(start, begin)
            if overlap > 0:
                shares[cue] = shares.get(cue, 0) + overlap
        cue = max(shares, key=shares.get)
        return cue, shares[cue] == end - start


def conservative_choice(predictions, confidences, threshold=0.5):
    """The decision rule of live_pilot: among near-best candidates, the least confident."""
    if not confidences:
        return None
    best = max(confidences)
    close = [i for i, c in enumerate(confidences) if best - c <= threshold]
    if len(close) > 1:
        return predictions[min(close, key=lambda i: confidences[i])]
    return predictions[confidences.index(best)]


def percentile_ms(values, q):
    return float(np.percentile(np.asarray(values) * 1000.0, q)) if values else float("nan")


class HeldOutSplit:
    """The epochs of the combined recording split as process_epochs splits them, cut into the
    5-second windows live_pilot decodes.

    process_epochs passes each epoch only through the CSP filter of its own class, so its rows
    tell the agent which filter made them, and with it the label; live_pilot instead passes every
    window through all filters and queries each block. Training on blocks made the live way (each
    filter's block of a training epoch, labelled with the epoch's class) and judging held-out
    epochs the live way keeps training and use alike."""

    OFFSETS = (0, 62, 125, 187, 250)   # window starts after the cue, samples (0 to 1 s)

    def __init__(self, forge, labels):
        import joblib
        import mne
        from sklearn.model_selection import train_test_split

        ids = forge.events[1]
        order = [ids[label] for label in labels]
        epochs = mne.Epochs(forge.raw, forge.events[0], event_id=order, tmin=-0.5, tmax=5.5,
                            baseline=(-0.5, 1), preload=False)
        epochs.drop_bad()
        self.y = np.array([order.index(e) for e in epochs.events[:, -1]])
        # Same labels, test share and seed as process_epochs, hence the same split.
        self.train_idx, self.test_idx = train_test_split(
            np.arange(len(self.y)), test_size=0.2, random_state=42, stratify=self.y)
        if not np.array_equal(self.y[self.test_idx], forge.y_test):
            raise RuntimeError("the held-out epochs differ from those process_epochs held out")
        self.starts = epochs.events[:, 0] - forge.raw.first_samp
        self.data = forge.raw.get_data(picks="eeg")
        self.filters = joblib.load(forge.csp_filters_path)
        self.scaler = joblib.load(forge.scaler_path)
        self.forge = forge

    def blocks(self, index, offset):
        start = self.starts[index] + offset
        return window_blocks(self.data[:, start:start + WINDOW][None], self.filters, self.scaler,
                             self.forge)

    def training_windows(self):
        x, y = [], []
        for i in self.train_idx:
            for offset in self.OFFSETS:
                blocks = self.blocks(i, offset)
                x.extend(blocks)
                y.extend([self.y[i]] * len(blocks))
        return np.array(x), np.array(y)

    def decode_held_out(self, model):
        correct = decided = 0
        for i in self.test_idx:
            choice = decide(self.blocks(i, int(0.5 * FS)), model)
            decided += choice is not None
            correct += choice == self.y[i]
        return correct / len(self.test_idx), decided


def window_blocks(window, filters, scaler, forge):
    """A window (1, channels, samples) -> the five scaled (4, 522) blocks live_pilot queries."""
    projected = np.concatenate([csp.transform(window) for csp in filters.values()], axis=1)
    features = forge.featuresarray_load(projected)
    scaled = scaler.transform(features.reshape(-1, features.shape[-1])).reshape(features.shape)
    return [scaled[0, i:i + 4] for i in range(0, 20, 4)]


def decide(blocks, model):
    """live_pilot's decision over the blocks of one window: the greedy action of each block whose
    Q-value margin passes 0.6, then the conservative choice among those."""
    predictions, confidences = [], []
    for block in blocks:
        q = model.q_net(model.q_net.obs_to_tensor(block[None])[0])[0].detach().numpy()
        q = (q - q.min()) / (q.max() - q.min() + 1e-6)
        others = q[q != q.max()]
        confidence = float(q.max() - others.mean()) if len(others) else 0
        if confidence > MIN_CONFIDENCE_KEPT:
            predictions.append(int(np.argmax(q)))
            confidences.append(confidence)
    return conservative_choice(predictions, confidences)
