"""What the board page shows of each wired channel: RMS in the display band, the share on the rail, mains power, flatness, and a plain verdict. Railed and flat come from
capture_hub.channel_quality, the same tests and thresholds live_pilot's signal gate applies."""
import numpy as np
from scipy import signal

DISPLAY_BAND_HZ = (1.0, 40.0)
LINE_FREQUENCIES_HZ = (50.0, 60.0)
LINE_HALF_WIDTH_HZ = 2.0
LINE_NOISE_LIMIT_UV2 = 25.0    # mains power above this within ±2 Hz of 50 or 60 Hz: check the ground
NOISY_RMS_UV = 100.0           # EEG at the scalp stays well under this in the display band


def display_filter(window, rate):
    """(channels, samples) microvolts band-passed for display; short windows are only centred."""
    centred = window - window.mean(axis=1, keepdims=True)
    sos = signal.butter(4, DISPLAY_BAND_HZ, btype="bandpass", fs=rate, output="sos")
    if centred.shape[1] <= 3 * (2 * len(sos) + 1):   # shorter than the filter's padding
        return centred
    return signal.sosfiltfilt(sos, centred, axis=1)


def line_noise(window, rate):
    """Per channel: (power in µV² within ±2 Hz of the worse mains frequency, that frequency)."""
    if window.shape[1] < rate // 2:
        return [(0.0, LINE_FREQUENCIES_HZ[0])] * window.shape[0]
    freqs, psd = signal.welch(window, fs=rate, nperseg=min(window.shape[1], rate), axis=1)
    step = freqs[1] - freqs[0]
    result = []
    for row in psd:
        powers = [(float(row[np.abs(freqs - f) <= LINE_HALF_WIDTH_HZ].sum() * step), f) for f in LINE_FREQUENCIES_HZ]
        result.append(max(powers))
    return result


def verdict(name, railed_share, flat, rms, mains):
    if railed_share > 0:
        return "bad", f"{name}: railed — check the electrode"
    if flat:
        return "bad", f"{name}: flat — check that the lead is plugged in"
    if mains[0] > LINE_NOISE_LIMIT_UV2:
        return "warn", f"{name}: {mains[1]:g} Hz mains noise — check the ground and reference"
    if rms > NOISY_RMS_UV:
        return "warn", f"{name}: noisy — press the electrode in or add gel"
    return "good", f"{name}: good"


def channel_report(window, names, rate, quality):
    """The page's view of a (channels, samples) microvolt window; `quality` is
    capture_hub.channel_quality(window)."""
    shown = display_filter(window, rate)
    rms = np.sqrt(np.mean(shown ** 2, axis=1)) if shown.shape[1] else np.zeros(len(names))
    mains = line_noise(window - window.mean(axis=1, keepdims=True), rate)
    channels = []
    for i, name in enumerate(names):
        railed_share, flat = quality[i]
        railed_share = 1.0 if not np.isfinite(railed_share) else float(railed_share)
        state, text = verdict(name, railed_share, flat, float(rms[i]), mains[i])
        channels.append({"name": name, "rms_uv": round(float(rms[i]), 2), "railed_share": round(railed_share, 4),
                         "line_noise_uv2": round(mains[i][0], 3), "line_hz": mains[i][1], "flat": bool(flat),
                         "state": state, "verdict": text})
    return channels
