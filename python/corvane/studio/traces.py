"""The board page's traces, sent as the page draws them: each channel band-passed (and, if the
operator asks, notched at the mains frequency) by a causal filter that carries its state from one
read to the next, then cut into the plot's pixel columns, each sent once as its (min, max) in
tenths of a microvolt. Only columns completed since the last send go out, so the page's load and the
server's work follow the plot's width, not the board's sampling rate."""
import numpy as np
from scipy import signal

from corvane.studio.quality import DISPLAY_BAND_HZ

NOTCHES_HZ = (0, 50, 60)          # 0: no notch
NOTCH_QUALITY = 30.0
TIME_BASES_S = (2, 4, 10)
DEFAULT_SECONDS = 4
DEFAULT_WIDTH = 900
WIDTH_RANGE = (50, 4000)          # plot columns the page may ask for
STEPS_PER_UV = 10                 # values go out as whole tenths of a microvolt (integers are cheap to send)


def display_sos(rate, notch_hz):
    """The display filter as second-order sections: 1-40 Hz band-pass, then the mains notch."""
    sos = signal.butter(2, DISPLAY_BAND_HZ, btype="bandpass", fs=rate, output="sos")
    if notch_hz:
        b, a = signal.iirnotch(notch_hz, NOTCH_QUALITY, fs=rate)
        sos = np.vstack([sos, signal.tf2sos(b, a)])
    return sos


def checked_view(body, current):
    """(width, seconds, notch) from the page's request, each kept as `current` has it when not given;
    ValueError with a plain reason for a value out of range."""
    width, seconds, notch = current
    try:
        width = int(body.get("width", width))
        seconds = float(body.get("seconds", seconds))
        notch = int(body.get("notch", notch))
    except (TypeError, ValueError):
        raise ValueError("width, seconds and notch must be numbers") from None
    if not WIDTH_RANGE[0] <= width <= WIDTH_RANGE[1]:
        raise ValueError(f"the plot width must be between {WIDTH_RANGE[0]} and {WIDTH_RANGE[1]} pixels")
    if seconds not in TIME_BASES_S:
        raise ValueError(f"the time base is one of {', '.join(map(str, TIME_BASES_S))} seconds")
    if notch not in NOTCHES_HZ:
        raise ValueError("the mains notch is off, 50 or 60 Hz")
    return width, seconds, notch


def steps(values):
    return np.rint(np.nan_to_num(values) * STEPS_PER_UV).astype(np.int64).tolist()


class TraceColumns:
    """Turns newly read samples into completed plot columns. Column c holds samples
    [c * per_column, (c + 1) * per_column) counted from the stream's start (or the last reset)."""

    def __init__(self, channels, rate, width=DEFAULT_WIDTH, seconds=DEFAULT_SECONDS, notch=0):
        self.channels, self.rate = channels, rate
        self.configure(width, seconds, notch)

    def configure(self, width, seconds, notch):
        # At least one sample per column, so the columns sent are always consecutive.
        self.width, self.seconds, self.notch = min(width, int(seconds * self.rate)), seconds, notch
        self.per_column = seconds * self.rate / width
        self.sos = display_sos(self.rate, notch)
        self.reset()

    def reset(self):
        """Starts afresh: no filter state, column 0 next; the page clears its plot on `reset`."""
        self.zi = None
        self.samples = 0                 # samples fed since the reset
        self.pending = None              # (min, max) of the column being filled
        self.fresh = True

    def feed(self, samples):
        """`samples` (channels, n) in microvolts, oldest first; returns the event for the columns
        completed by them, or None when none was."""
        if samples.shape[1] == 0:
            return None
        if self.zi is None:   # start the filter as if the first sample had always been there
            self.zi = signal.sosfilt_zi(self.sos)[:, None, :] * samples[None, :, :1]
        shown, self.zi = signal.sosfilt(self.sos, samples, axis=1, zi=self.zi)
        first = self.samples
        columns = np.floor(np.arange(first, first + shown.shape[1]) / self.per_column).astype(np.int64)
        self.samples += shown.shape[1]
        starts = np.flatnonzero(np.r_[True, columns[1:] != columns[:-1]])
        lows = np.minimum.reduceat(shown, starts, axis=1)
        highs = np.maximum.reduceat(shown, starts, axis=1)
        if self.pending is not None and self.pending[0] == columns[0]:
            lows[:, 0] = np.minimum(lows[:, 0], self.pending[1])
            highs[:, 0] = np.maximum(highs[:, 0], self.pending[2])
        # The last column may go on with the next read: hold it back unless its end was read.
        last = columns[-1]
        complete = len(starts) if np.floor(self.samples / self.per_column) > last else len(starts) - 1
        self.pending = None if complete == len(starts) else (last, lows[:, -1].copy(), highs[:, -1].copy())
        if complete == 0:
            return None
        event = {"first": int(columns[starts[0]]), "width": self.width, "seconds": self.seconds,
                 "notch": self.notch, "per_column": self.per_column, "reset": self.fresh,
                 "per_uv": STEPS_PER_UV, "min": steps(lows[:, :complete]), "max": steps(highs[:, :complete])}
        self.fresh = False
        return event
