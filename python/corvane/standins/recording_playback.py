"""A recorded EEG file as the Cyton emulator's signal, in place of the simulated subject.

    playback = RecordingPlayback("S03.fif")
    with CytonEmulator(signal=playback, speed=10) as board:
        ...
        playback.cue_at(board.samples_sent - 1)   # Cue("left", onset=12.0, ...): what is playing

Reading: whatever mne.io.read_raw reads (FIF, EDF, BDF, GDF, ...), and a recording in a BIDS
dataset through mne_bids.read_raw_bids (a file inside the dataset, its root when it holds one
recording, or a BIDSPath; see bids_recording), whose events are its cues. Each wired electrode
(corvane.facts.ELECTRODES) is found by name, ignoring case, a leading "EEG", a trailing reference
("-REF", "-AVG", "-LE", "-M1", "-A2", ...) and trailing dots: "C3", "c3", "EEG C3", "EEG-C3-REF",
"C3-A2" and "C3.." all are C3. An exact name (ignoring case) wins over a loose match. A file
without some wired electrode is refused with a ValueError listing the missing ones, and so is one
where two channels match an electrode equally well. Other channels are ignored. The file is
resampled to the board's rate and played in microvolts. MNE gives volts, but a file whose samples
mostly exceed 1 V (no EEG amplifier reads that much; see holds_microvolts) already holds
microvolts, as the recordings this toolkit writes do, and is played as it is. Samples that are not
numbers play as 0. A file whose header claims an implausible sampling rate, or records larger
than the file, is refused with a ValueError before its data are read. The board's unwired inputs
carry the emulator's quiet few-microvolt signal.

Cues: the file's annotations (MNE's "BAD"/"EDGE" boundary marks excepted). An annotation without
a duration lasts until the next one starts. `cue_at(sample)` names the annotation covering a
streamed sample (numbered as the emulator numbers them, from 0 at each stream start), with its
onset and duration in the file's seconds; `cue_changes()` lists every change over the stream.
The player counts samples, not time, so cues keep their place at any emulator speed.

The end of the file: playing goes on from its start (a loop); `loops` counts the restarts.

A host can steer what is played: `play_next(names)` makes the next samples come from the start of
the least-played annotation named one of `names` (earliest in the file first), and the file plays
on from there; `play_only(indices)` plays only those annotations' stretches, in file order, one
after the other (and loops over them).
"""
import bisect
import re
import threading
from collections import namedtuple

import numpy as np

from corvane.facts import ELECTRODES, SAMPLING_RATE
from corvane.standins.bids_recording import read_raw
from corvane.standins.quiet_signal import quiet_signal

Cue = namedtuple("Cue", "name onset duration index")

_PREFIX = re.compile(r"^eeg[\s_:\-]*", re.IGNORECASE)
_REFERENCE = re.compile(r"[\s_\-/](ref|avg|ar|le|re|lm|a[12]|m[12])$", re.IGNORECASE)
_IGNORED_ANNOTATIONS = ("bad", "edge")


def electrode_key(name):
    """A channel name reduced to the electrode it names: "EEG C3-REF" -> "c3"."""
    key = _PREFIX.sub("", name.strip())
    key = _REFERENCE.sub("", key)
    return key.rstrip(". ").lower()


def match_channels(channel_names, electrodes=ELECTRODES):
    """The file's channel name for each electrode, in the electrodes' order."""
    picks, missing, ambiguous = [], [], []
    for electrode in electrodes:
        exact = [c for c in channel_names if c.strip().lower() == electrode.lower()]
        loose = [c for c in channel_names if electrode_key(c) == electrode.lower()]
        found = exact or loose
        if not found:
            missing.append(electrode)
        elif len(found) > 1:
            ambiguous.append(f"{electrode} ({', '.join(found)})")
        else:
            picks.append(found[0])
    if missing:
        raise ValueError(f"the recording lacks the wired electrode(s) {', '.join(missing)}; "
                         f"its channels are {', '.join(channel_names)}")
    if ambiguous:
        raise ValueError(f"more than one channel matches {'; '.join(ambiguous)}")
    return picks


# Beyond any EEG amplifier's range in volts: a file whose samples are mostly larger holds microvolts.
MICROVOLT_FILE_PEAK = 1.0
# The percentile of a file's sample sizes that decides its unit: the largest 5% (stray values) do not count.
UNIT_PERCENTILE = 95
# Sampling rates a recording may claim, in Hz; anything else is a damaged or hostile header.
FILE_RATES = (32.0, 100_000.0)


def holds_microvolts(values):
    """Whether a file's samples, read as volts, are really microvolts: the UNIT_PERCENTILE-th
    percentile of their finite non-zero magnitudes exceeds MICROVOLT_FILE_PEAK. NaN, infinities,
    flat stretches and a few stray samples either way do not sway it."""
    magnitudes = np.abs(values[np.isfinite(values)])
    magnitudes = magnitudes[magnitudes > 0]
    return bool(magnitudes.size) and float(np.percentile(magnitudes, UNIT_PERCENTILE)) > MICROVOLT_FILE_PEAK


def check_plausible(path, raw):
    """Refuses, before its data are loaded, a file whose header claims an implausible sampling
    rate (resampling it would allocate far more than the file holds) or whose records are too
    large for the file to hold a single one."""
    rate = raw.info["sfreq"]
    if not FILE_RATES[0] <= rate <= FILE_RATES[1]:
        raise ValueError(f"{path}: its header claims a sampling rate of {rate:g} Hz "
                         f"(a recording's is {FILE_RATES[0]:g} to {FILE_RATES[1]:g} Hz)")
    if raw.n_times == 0:
        raise ValueError(f"{path} holds no samples (not one whole record of the size its header claims)")


def _cues(marks, keep, onsets, spans, length):
    """Cues of the kept annotations in onset order (an event lasts until the next onset)."""
    order = np.argsort(onsets, kind="stable")
    ordered = onsets[order]
    cues = []
    for rank, k in enumerate(order):
        onset = int(np.clip(onsets[k], 0, length))
        if spans[k] > 0:
            end = onset + int(spans[k])
        else:   # the first later onset, found by bisection
            later = max(int(np.searchsorted(ordered, onset, side="right")), rank + 1)
            end = int(ordered[later]) if later < len(ordered) else length
        if min(end, length) > onset:
            cues.append(Cue(str(marks.description[keep[k]]), onset, min(end, length) - onset, len(cues)))
    return cues


def read_recording(path, electrodes=ELECTRODES, rate=SAMPLING_RATE):
    """(samples x electrodes microvolts at `rate`, [Cue with onset/duration in samples], whether
    the file held microvolts already) of a file. Samples that are not numbers play as 0."""
    raw = read_raw(path)
    picks = match_channels(raw.ch_names, electrodes)
    check_plausible(path, raw)
    raw.pick(picks).load_data(verbose="error")
    stored_microvolts = holds_microvolts(raw.get_data())
    raw.apply_function(lambda x: np.where(np.isfinite(x), x, 0.0), picks="all", channel_wise=False)
    if raw.info["sfreq"] != rate:
        raw.resample(rate, verbose="error")
    data = raw.get_data(picks=picks).T
    if not stored_microvolts:
        data = data * 1e6
    marks = raw.annotations
    keep = [k for k, d in enumerate(marks.description)
            if not d.lower().startswith(_IGNORED_ANNOTATIONS)]
    onsets = raw.time_as_index(marks.onset[keep], use_rounding=True, origin=marks.orig_time)
    spans = np.rint(marks.duration[keep] * rate).astype(int)
    return data, _cues(marks, keep, onsets, spans, len(data)), stored_microvolts


class RecordingPlayback:
    """Cyton signal source playing a file: `playback(first_sample, count)` gives (count, 8) µV."""

    def __init__(self, path, channels=8, rate=SAMPLING_RATE):
        self.path, self.rate, self.channels = str(path), rate, channels
        self._quiet = quiet_signal
        self.data, self.annotations, self.stored_microvolts = read_recording(path, rate=rate)
        if not len(self.data):
            raise ValueError(f"{path} holds no samples")
        # Per file sample, the index of the annotation covering it (-1: none); a later onset wins.
        self._cover = np.full(len(self.data), -1, dtype=np.int32)
        for cue in self.annotations:
            self._cover[cue.onset:cue.onset + cue.duration] = cue.index
        self.plays = [0] * len(self.annotations)   # times each annotation was asked for
        self.loops = 0
        self._lock = threading.Lock()
        self._position = 0          # file sample of the next sample played
        self._seek = None           # a file position asked for, taken at the next call
        self._only = None           # (starts, ends) of the stretches play_only keeps
        self._runs = []             # (first stream sample, its file sample) of each contiguous run
        self._next_sample = 0       # the stream sample the next call should start at
        self._seek_taken = threading.Event()

    @property
    def names(self):
        return sorted({cue.name for cue in self.annotations})

    def __call__(self, first_sample, count):
        count = int(count)
        out = np.empty((count, self.channels))
        out[:, len(ELECTRODES):] = self._quiet(first_sample, count)[:, len(ELECTRODES):self.channels]
        with self._lock:
            if first_sample != self._next_sample:
                self._runs = []     # a new stream numbers its samples afresh
            filled = 0
            while filled < count:
                pos, end = self._next_stretch(self._position if self._seek is None else self._seek)
                if self._seek is not None or not self._runs or pos != self._position:
                    self._runs.append((first_sample + filled, pos))
                    if self._seek is not None:
                        self._seek = None
                        self._seek_taken.set()
                take = min(count - filled, end - pos)
                out[filled:filled + take, :len(ELECTRODES)] = self.data[pos:pos + take]
                filled += take
                self._position = pos + take
            self._next_sample = first_sample + count
        return out

    def _next_stretch(self, pos):
        """Where playing from `pos` really starts, and where its contiguous stretch ends."""
        if self._only is None:
            if pos >= len(self.data):
                pos, self.loops = 0, self.loops + 1
            return pos, len(self.data)
        starts, ends = self._only
        k = bisect.bisect_right(starts, pos) - 1
        if k >= 0 and pos < ends[k]:
            return pos, ends[k]
        k += 1
        if k == len(starts):
            k, self.loops = 0, self.loops + 1
        return starts[k], ends[k]

    # --- steering --------------------------------------------------------------------------
    def play_next(self, names):
        """Plays, from the next call on, the least-played annotation named one of `names`."""
        names = {names} if isinstance(names, str) else set(names)
        with self._lock:
            found = [c for c in self.annotations if c.name in names]
            if not found:
                raise ValueError(f"the recording has no annotation named {', '.join(sorted(names))}")
            cue = min(found, key=lambda c: (self.plays[c.index], c.onset))
            self.plays[cue.index] += 1
            self._seek = cue.onset
            self._seek_taken.clear()
        return self._seconds(cue)

    def wait_played(self, timeout):
        """True once the stretch asked for by play_next has started streaming."""
        return self._seek_taken.wait(timeout)

    def play_only(self, indices):
        """Plays only these annotations' stretches from now on (joined where they touch)."""
        indices = set(indices)
        spans = sorted((c.onset, c.onset + c.duration) for c in self.annotations if c.index in indices)
        if not spans:
            raise ValueError("no annotation to play")
        merged = [list(spans[0])]
        for start, end in spans[1:]:
            if start <= merged[-1][1]:
                merged[-1][1] = max(merged[-1][1], end)
            else:
                merged.append([start, end])
        with self._lock:
            self._only = ([s for s, _ in merged], [e for _, e in merged])

    # --- what was played -------------------------------------------------------------------
    def cue_at(self, sample):
        """The annotation covering streamed sample `sample` (None between annotations, or for a
        sample not streamed yet), with its onset and duration in the file's seconds."""
        with self._lock:
            if not self._runs or not self._runs[0][0] <= sample < self._next_sample:
                return None
            k = bisect.bisect_right([s for s, _ in self._runs], sample) - 1
            start, pos = self._runs[k]
            index = self._cover[(pos + sample - start) % len(self.data)]
        return None if index < 0 else self._seconds(self.annotations[index])

    def cue_changes(self):
        """(first stream sample, annotation name or None) at every change of the played cue."""
        with self._lock:
            bounds = self._runs + [(self._next_sample, None)]
            changes = []
            for (start, pos), (stop, _) in zip(bounds, bounds[1:]):
                covered = self._cover[pos:pos + stop - start]
                edges = np.flatnonzero(np.diff(covered)) + 1
                for offset in np.concatenate([[0], edges]):
                    index = covered[offset]
                    name = None if index < 0 else self.annotations[index].name
                    if not changes or changes[-1][1] != name:
                        changes.append((start + int(offset), name))
        return changes

    def _seconds(self, cue):
        return cue._replace(onset=cue.onset / self.rate, duration=cue.duration / self.rate)
