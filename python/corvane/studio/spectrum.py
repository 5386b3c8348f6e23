"""What the board page shows of each channel's spectrum: the power spectral density from 1 to 40 Hz
and the mu and beta band powers, and, during a session, the mean mu power over C3 and C4 in each
cue, the drop the decoder learns from."""
from scipy import signal

SPECTRUM_HZ = (1.0, 40.0)
MU_BAND_HZ = (8.0, 12.0)
BETA_BAND_HZ = (13.0, 30.0)
MOTOR_ELECTRODES = ("C3", "C4")


def band_power(freqs, psd, band):
    """µV² within `band` (inclusive) of a (channels, freqs) density in µV²/Hz."""
    inside = (freqs >= band[0]) & (freqs <= band[1])
    return psd[:, inside].sum(axis=1) * (freqs[1] - freqs[0])


def spectra(window, rate):
    """{"hz": frequencies, "psd": per channel µV²/Hz over SPECTRUM_HZ, "mu", "beta": per channel µV²,
    "bands": their edges}
    of a (channels, samples) microvolt window (Welch, one-second segments); None when it is shorter
    than one second."""
    if window.shape[1] < rate:
        return None
    centred = window - window.mean(axis=1, keepdims=True)
    freqs, psd = signal.welch(centred, fs=rate, nperseg=int(rate), axis=1)
    shown = (freqs >= SPECTRUM_HZ[0]) & (freqs <= SPECTRUM_HZ[1])
    return {"hz": freqs[shown].round(2).tolist(), "psd": psd[:, shown].round(4).tolist(),
            "mu": band_power(freqs, psd, MU_BAND_HZ).round(3).tolist(),
            "beta": band_power(freqs, psd, BETA_BAND_HZ).round(3).tolist(),
            "bands": {"mu": MU_BAND_HZ, "beta": BETA_BAND_HZ}}


class CueMuPower:
    """Mean mu power over C3 and C4 per cue of the current session: the motor channels are
    band-passed to the mu band as they stream, and each sample read while a cue is on counts
    towards that cue."""

    def __init__(self, names, rate):
        self.rows = [names.index(n) for n in MOTOR_ELECTRODES if n in names]
        self.names = [names[i] for i in self.rows]
        self.sos = signal.butter(2, MU_BAND_HZ, btype="bandpass", fs=rate, output="sos")
        self.rate = rate
        self.zi = None
        self.session = None
        self.sums, self.counts = {}, {}

    def feed(self, samples, cue, session):
        """`samples` (all channels, n) microvolts just read; `cue` the cue then on (None between
        cues), `session` the session's number (a new one starts the table afresh)."""
        if not self.rows or samples.shape[1] == 0:
            return
        if session != self.session:
            self.session, self.sums, self.counts = session, {}, {}
        motor = samples[self.rows]
        if self.zi is None:
            self.zi = signal.sosfilt_zi(self.sos)[:, None, :] * motor[None, :, :1]
        mu, self.zi = signal.sosfilt(self.sos, motor, axis=1, zi=self.zi)
        if cue is not None and session is not None:
            self.sums[cue] = self.sums.get(cue, 0.0) + (mu ** 2).sum(axis=1)
            self.counts[cue] = self.counts.get(cue, 0) + mu.shape[1]

    def table(self):
        """[{"cue", "seconds", <electrode>: mean µV²}] in the order the cues first came."""
        return [{"cue": cue, "seconds": round(self.counts[cue] / self.rate, 1),
                 **{name: round(float(power) / self.counts[cue], 3) for name, power in zip(self.names, sums)}}
                for cue, sums in self.sums.items()]
