"""A simulated EEG subject for the Cyton emulator.

The subject produces eight channels in microvolts. Channels 0..5 are wired as FCz, C3, Cz, CPz,
C2, C4; channels 6 and 7 carry background activity only. The background is what a resting scalp
recording looks like: 1/f noise (partly shared between channels, as volume conduction makes it),
a posterior alpha rhythm, sensorimotor mu and beta rhythms over both hemispheres, occasional
spontaneous blinks, a little mains hum and amplifier noise. Rhythm amplitudes drift slowly.

While the host sets `cue` to an action, the subject does what a cooperative but imperfect person
would do, with an effect size drawn anew for every cued trial (some trials are weak):

    "right"     mu and beta desynchronise over the left motor cortex (C3)
    "left"      mu and beta desynchronise over the right motor cortex (C4, C2)
    "blinking"  deliberate blinks: large, slow deflections strongest on FCz
    "jaw"       bursts of broadband muscle activity (20-110 Hz) on every channel
    "relax"     alpha (and somewhat mu) grows strongly

Every noise source has its own random stream, so the output depends only on the seed and on the
cue at each sample, not on how the emulator splits the stream into calls.
"""
import numpy as np
from scipy import signal

from corvane.facts import ACTION_LABELS, ELECTRODES as CHANNELS, SAMPLING_RATE

CUES = tuple(ACTION_LABELS.values())
N_OUT = 8

# Spatial weights of each source over the eight outputs (FCz, C3, Cz, CPz, C2, C4, bg, bg).
_ALPHA_W = np.array([0.45, 0.6, 0.7, 1.0, 0.7, 0.6, 0.8, 0.9])
_MOTOR_LEFT_W = np.array([0.25, 1.0, 0.35, 0.3, 0.15, 0.05, 0.0, 0.0])   # under C3
_MOTOR_RIGHT_W = np.array([0.25, 0.05, 0.35, 0.3, 0.75, 1.0, 0.0, 0.0])  # under C4 / C2
_BLINK_W = np.array([1.0, 0.25, 0.35, 0.15, 0.3, 0.25, 0.0, 0.0])
_EMG_W = np.array([0.6, 1.0, 0.5, 0.55, 0.75, 1.0, 0.0, 0.0])

# Resting amplitudes, microvolts RMS at weight 1.
_PINK_OWN_UV = 12.0
_PINK_COMMON_UV = 7.0
_ALPHA_UV = 6.0
_MU_UV = 5.5
_BETA_UV = 2.5
_WHITE_UV = 1.0
_LINE_UV = 1.5

_GAIN_TAU_S = 0.35        # how fast rhythm amplitudes follow a cue change
_DRIFT_TAU_S = 3.0        # slow drift of rhythm amplitudes
_DRIFT_SD = 0.25          # standard deviation of that drift, in log amplitude
_WEAK_TRIAL_P = 0.2       # share of cued trials performed half-heartedly
_NOISE_BLOCK = 128        # filtered noise made ahead, in samples


def _unit_rms_gain(b, a):
    """Scale that brings the output of filter (b, a) driven by unit white noise to unit RMS."""
    impulse = np.zeros(20000)
    impulse[0] = 1.0
    return 1.0 / np.sqrt(np.sum(signal.lfilter(b, a, impulse) ** 2))


class _FilteredNoise:
    """White noise from its own generator through an IIR filter, continuous across calls.

    It is made ahead in blocks of at least _NOISE_BLOCK samples and handed out in the lengths
    asked for: the generator and the filter run over the same samples in the same order, so the
    numbers are the same as made call by call, at a fraction of the calls (each costs far more
    than its samples do)."""

    def __init__(self, rng, b, a, channels=1):
        self.rng, self.b, self.a = rng, np.asarray(b, float), np.asarray(a, float)
        self.gain = _unit_rms_gain(self.b, self.a)
        self.state = np.zeros((max(len(self.a), len(self.b)) - 1, channels))
        self._ahead = np.zeros((0, channels))

    def __call__(self, count):
        if len(self._ahead) < count:
            white = self.rng.standard_normal((max(count - len(self._ahead), _NOISE_BLOCK), self.state.shape[1]))
            out, self.state = signal.lfilter(self.b, self.a, white, axis=0, zi=self.state)
            self._ahead = np.concatenate([self._ahead, out * self.gain])
        out, self._ahead = self._ahead[:count], self._ahead[count:]
        return out


class _OnePole:
    """First-order low-pass that lets a stepped target glide, continuous across calls."""

    def __init__(self, tau_s, fs, initial):
        self.pole = np.exp(-1.0 / (tau_s * fs))
        self.value = np.asarray(initial, float).copy()

    def __call__(self, target, count):
        target = np.asarray(target, float)
        decay = self.pole ** np.arange(1, count + 1)[:, None]
        out = target + (self.value - target) * decay
        self.value = out[-1].copy()
        return out


class SimulatedSubject:
    """Cyton signal source: `subject(first_sample, count)` returns (count, 8) microvolts."""

    def __init__(self, seed=0, sampling_rate=SAMPLING_RATE):
        self.sampling_rate = fs = sampling_rate
        streams = [np.random.default_rng(s) for s in np.random.SeedSequence(seed).spawn(12)]
        pink_b = [0.049922035, -0.095993537, 0.050612699, -0.004408786]
        pink_a = [1.0, -2.494956002, 2.017265875, -0.522189400]

        def band(lo, hi):
            return signal.butter(2, [lo, hi], btype="band", fs=fs)

        self._pink_own = _FilteredNoise(streams[0], pink_b, pink_a, N_OUT)
        self._pink_common = _FilteredNoise(streams[1], pink_b, pink_a)
        self._alpha = _FilteredNoise(streams[2], *band(8.5, 11.5))
        self._mu = _FilteredNoise(streams[3], *band(9.5, 12.5), channels=2)
        self._beta = _FilteredNoise(streams[4], *band(17.0, 24.0), channels=2)
        self._emg = _FilteredNoise(streams[5], *band(20.0, min(110.0, 0.45 * fs)), N_OUT)
        drift_pole = np.exp(-1.0 / (_DRIFT_TAU_S * fs))
        self._drift = _FilteredNoise(streams[6], [1.0], [1.0, -drift_pole], channels=5)
        self._white = streams[7]
        self._blink_rng = streams[8]
        self._emg_rng = streams[11]
        self._trials = streams[9]
        self._line_phase = streams[10].uniform(0, 2 * np.pi)

        # Rhythm gains: alpha, mu left, mu right, beta left, beta right.
        self._gains = _OnePole(_GAIN_TAU_S, fs, np.ones(5))
        self._emg_level = _OnePole(0.02, fs, np.zeros(1))
        self._cue = None
        self._seen_cue = None
        self._targets = np.ones(5)
        self._sample = 0                  # samples generated so far
        self._pending = np.zeros((0, N_OUT))   # tails of blinks that run past a call
        self._emg_on = False
        self._emg_burst_uv = 0.0
        self.cue_changes = []             # (first_sample, cue) whenever the generated cue changed

    # The host sets the cue from its own thread; the emulator thread reads it once per call.
    @property
    def cue(self):
        return self._cue

    @cue.setter
    def cue(self, value):
        if value is not None and value not in CUES:
            raise ValueError(f"unknown cue {value!r}; expected None or one of {', '.join(CUES)}")
        self._cue = value

    def __call__(self, first_sample, count):
        count = int(count)
        cue = self._cue
        if cue != self._seen_cue or not self.cue_changes:
            self._start_trial(cue, first_sample)
        out = self._background(count)
        out += self._rhythms(count)
        out += self._muscle(count, cue)
        out += self._blinks(count, cue)
        self._sample += count
        return out

    # --- trial state -------------------------------------------------------------------------
    def _start_trial(self, cue, first_sample):
        self._seen_cue = cue
        self.cue_changes.append((int(first_sample), cue))
        rng = self._trials
        strength = 0.35 if rng.random() < _WEAK_TRIAL_P else 1.0
        targets = np.ones(5)
        if cue in ("right", "left"):
            drop = strength * np.clip(rng.normal(0.45, 0.15), 0.1, 0.75)
            side = [1, 3] if cue == "right" else [2, 4]
            targets[side] = 1.0 - drop
            targets[0] = 1.0 - 0.2 * drop  # attention lowers alpha a little
        elif cue == "relax":
            targets[0] = 1.0 + strength * np.clip(rng.normal(1.4, 0.35), 0.5, 2.4)
            targets[1:3] = 1.0 + 0.3 * strength
        elif cue in ("blinking", "jaw"):
            targets[0] = 0.9
        self._targets = targets
        self._trial_strength = strength
        # A new state changes blink and muscle timing; deliberate actions start after a reaction time.
        delay = int(0.3 * self.sampling_rate) if cue in ("blinking", "jaw") else 0
        self._next_blink = self._sample + delay + self._blink_interval(cue)
        self._emg_on = False
        self._emg_switch = self._sample + (delay if cue == "jaw" else self._emg_interval(cue, False))

    def _blink_interval(self, cue):
        rate = self._blink_rng
        if cue == "blinking":
            seconds = rate.uniform(0.7, 1.6)
        else:
            seconds = rate.exponential(8.0)
        return max(1, int(seconds * self.sampling_rate))

    def _emg_interval(self, cue, burst):
        rate = self._emg_rng
        if cue == "jaw":
            seconds = rate.uniform(0.5, 1.5) if burst else rate.uniform(0.2, 0.8)
        else:  # occasional swallowing or a brief clench
            seconds = rate.uniform(0.2, 0.5) if burst else rate.exponential(30.0)
        return max(1, int(seconds * self.sampling_rate))

    # --- signal parts ------------------------------------------------------------------------
    def _background(self, count):
        out = self._pink_own(count) * _PINK_OWN_UV
        out += self._pink_common(count) * _PINK_COMMON_UV
        out += self._white.standard_normal((count, N_OUT)) * _WHITE_UV
        t = (self._sample + np.arange(count)) / self.sampling_rate
        out += (_LINE_UV * np.sqrt(2) * np.sin(2 * np.pi * 50.0 * t + self._line_phase))[:, None]
        return out

    def _rhythms(self, count):
        gains = self._gains(self._targets, count) * np.exp(self._drift(count) * _DRIFT_SD)
        alpha = self._alpha(count)[:, 0] * gains[:, 0] * _ALPHA_UV
        mu = self._mu(count) * gains[:, 1:3] * _MU_UV
        beta = self._beta(count) * gains[:, 3:5] * _BETA_UV
        left, right = mu[:, 0] + beta[:, 0], mu[:, 1] + beta[:, 1]
        return (np.outer(alpha, _ALPHA_W) + np.outer(left, _MOTOR_LEFT_W)
                + np.outer(right, _MOTOR_RIGHT_W))

    def _muscle(self, count, cue):
        level = np.empty(count)
        pos = 0
        while pos < count:
            if self._sample + pos >= self._emg_switch:
                self._emg_on = not self._emg_on
                if self._emg_on:
                    scale = self._trial_strength if cue == "jaw" else 0.3
                    self._emg_burst_uv = scale * max(4.0, self._emg_rng.normal(20.0, 6.0))
                self._emg_switch = self._sample + pos + self._emg_interval(cue, self._emg_on)
            until = min(count, self._emg_switch - self._sample)
            target = self._emg_burst_uv if self._emg_on else 0.0
            level[pos:until] = self._emg_level(np.array([target]), until - pos)[:, 0]
            pos = until
        return self._emg(count) * level[:, None] * _EMG_W

    def _blinks(self, count, cue):
        fs = self.sampling_rate
        length = int(0.45 * fs)
        out = np.zeros((count + length, N_OUT))
        carried = min(len(self._pending), len(out))
        out[:carried] += self._pending[:carried]
        while self._next_blink < self._sample + count:
            start = self._next_blink - self._sample
            if cue == "blinking":
                amp = self._trial_strength * max(40.0, self._blink_rng.normal(130.0, 30.0))
            else:
                amp = max(20.0, self._blink_rng.normal(70.0, 20.0))
            out[start:start + length] += np.outer(amp * _blink_shape(length, fs), _BLINK_W)
            self._next_blink += self._blink_interval(cue)
        self._pending = out[count:].copy()
        return out[:count]


def _blink_shape(length, fs):
    """Unit-peak blink waveform: a quick rise and a slower return, about 0.4 s in all."""
    t = np.arange(length) / fs
    rise, fall = 0.08, 0.22
    return np.where(t < rise, np.sin(0.5 * np.pi * t / rise) ** 2,
                    np.exp(-((t - rise) / (0.5 * fall)) ** 2))
