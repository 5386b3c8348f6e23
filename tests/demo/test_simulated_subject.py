import numpy as np
import pytest
from scipy import signal

from corvane.facts import SAMPLING_RATE as FS
from corvane.standins.simulated_subject import SimulatedSubject

FCZ, C3, CZ, CPZ, C2, C4, BG1, BG2 = range(8)


def record(subject, cue, seconds, chunk=25):
    subject.cue = cue
    subject(0, FS)  # let rhythm amplitudes settle on the new state
    return np.concatenate([subject(0, chunk) for _ in range(seconds * FS // chunk)])


def band_power(x, lo, hi):
    f, p = signal.welch(x, fs=FS, nperseg=512, axis=0)
    return p[(f >= lo) & (f < hi)].mean(axis=0)


@pytest.fixture(scope="module")
def sessions():
    """Many short cued trials per state, pooled, so per-trial randomness averages out."""
    subject = SimulatedSubject(seed=3)
    out = {}
    for cue in [None, "right", "left", "blinking", "jaw", "relax"] * 10:
        out.setdefault(cue, []).append(record(subject, None, 2))  # rest between trials
        out[cue][-1] = record(subject, cue, 6)
    return {cue: np.concatenate(parts) for cue, parts in out.items()}


def test_background_is_realistic_eeg(sessions):
    rest = sessions[None]
    rms = rest.std(axis=0)
    assert np.all((rms > 8) & (rms < 60)), rms  # tens of microvolts
    assert abs(rest.mean()) < 5
    # 1/f: power falls steadily with frequency, with an alpha/mu bump above its neighbours.
    delta, theta = band_power(rest, 1, 4), band_power(rest, 4, 7)
    alpha, beta, gamma = band_power(rest, 8, 13), band_power(rest, 20, 30), band_power(rest, 60, 100)
    assert np.all(delta > 2 * beta) and np.all(beta > gamma)
    assert np.mean(alpha[C3:C4 + 1] / theta[C3:C4 + 1]) > 1.5
    # Volume conduction: neighbouring channels are correlated but not copies of each other.
    corr = np.corrcoef(rest[:, :6].T)[np.triu_indices(6, 1)]
    assert 0.1 < corr.mean() < 0.8


def test_each_cue_shows_its_pattern_on_the_right_channels(sessions):
    rest = sessions[None]

    def ratio(cue, lo, hi):
        return band_power(sessions[cue], lo, hi) / band_power(rest, lo, hi)

    right, left = ratio("right", 8, 13), ratio("left", 8, 13)
    # Imagery desynchronises mu and beta over the opposite hemisphere only.
    assert right[C3] < 0.8 and right[C3] < 0.9 * right[C4]
    assert left[C4] < 0.8 and left[C2] < 0.9 and left[C4] < 0.9 * left[C3]
    right_beta, left_beta = ratio("right", 16, 25), ratio("left", 16, 25)
    assert right_beta[C3] < right_beta[C4] and left_beta[C4] < left_beta[C3]

    blink = ratio("blinking", 0.5, 4)
    assert blink[FCZ] > 3 and blink[FCZ] > 2 * blink[CPZ]

    jaw = ratio("jaw", 40, 100)
    assert np.all(jaw[:6] > 2.0)

    relax = ratio("relax", 8, 13)
    assert np.all(relax[:6] > 1.5) and relax[CPZ] > 2.0


def test_background_channels_carry_no_task_pattern(sessions):
    rest = sessions[None]
    for cue in ["blinking", "jaw"]:
        for lo, hi in [(0.5, 4), (40, 100)]:
            r = band_power(sessions[cue], lo, hi) / band_power(rest, lo, hi)
            assert np.all((r[[BG1, BG2]] > 0.7) & (r[[BG1, BG2]] < 1.4)), (cue, lo, r)


def test_classes_overlap_trial_by_trial():
    """A fair subject: per trial, the C3/C4 mu ratio of right and left trials overlaps."""
    subject = SimulatedSubject(seed=5)
    lateral = {"right": [], "left": []}
    for _ in range(20):
        for cue in lateral:
            record(subject, None, 1)
            x = record(subject, cue, 5)
            p = band_power(x, 8, 13)
            lateral[cue].append(np.log(p[C3] / p[C4]))
    right, left = np.array(lateral["right"]), np.array(lateral["left"])
    values = np.concatenate([right, left])
    is_right = np.r_[np.ones(len(right)), np.zeros(len(left))]
    best = max(np.mean((values < t) == is_right) for t in values)
    assert right.mean() < left.mean()   # the pattern is there on average
    assert 0.65 <= best < 0.98          # but single trials are often ambiguous


def test_output_depends_on_seed_and_cue_timing_not_on_chunking():
    def run(chunks):
        subject = SimulatedSubject(seed=11)
        out, pos = [], 0
        for n in chunks:
            subject.cue = "jaw" if 400 <= pos < 900 else ("blinking" if pos >= 900 else None)
            out.append(subject(pos, n))
            pos += n
        return np.concatenate(out), subject.cue_changes

    even, changes = run([100] * 15)
    ragged, changes2 = run([37, 63, 50, 50, 200, 100, 17, 83, 100, 200, 100, 500])
    assert even.shape == (1500, 8) and even.dtype == np.float64
    np.testing.assert_allclose(even, ragged, rtol=1e-9, atol=1e-9)
    assert changes == changes2 == [(0, None), (400, "jaw"), (900, "blinking")]
    assert not np.allclose(even, SimulatedSubject(seed=12)(0, 1500))


def test_unknown_cue_is_refused():
    subject = SimulatedSubject()
    with pytest.raises(ValueError, match="unknown cue"):
        subject.cue = "Right_Hand"
    subject.cue = "relax"
    assert subject.cue == "relax"
