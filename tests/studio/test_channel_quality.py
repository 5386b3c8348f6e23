"""The board page's verdict per channel, from a window in microvolts."""
import capture_hub
import numpy as np
import pytest

from corvane.facts import SAMPLING_RATE
from corvane.studio.quality import channel_report
from tests.support.board_faults import FULL_SCALE_MICROVOLTS

SECONDS = np.arange(4 * SAMPLING_RATE) / SAMPLING_RATE


def eeg(change=lambda x: x):
    return lambda rng: change(rng.standard_normal(SECONDS.size) * 10)


# name -> (one channel's signal from a random generator, expected state, words of the verdict)
CHANNELS = {
    "ordinary EEG": (eeg(), "good", "C3: good"),
    "a large steady offset": (eeg(lambda x: x + 50000), "good", "C3: good"),
    "one sample on the rail": (eeg(lambda x: np.where(SECONDS == SECONDS[-1], FULL_SCALE_MICROVOLTS, x)), "bad",
                               "C3: railed — check the electrode"),
    "held at one value": (lambda rng: np.full(SECONDS.size, -3.5), "bad", "C3: flat — check that the lead is plugged in"),
    "strong 60 Hz hum": (eeg(lambda x: x + 30 * np.sin(2 * np.pi * 60 * SECONDS)), "warn", "C3: 60 Hz mains noise"),
    "large slow artefacts": (eeg(lambda x: x + 300 * np.sin(2 * np.pi * 3 * SECONDS)), "warn", "C3: noisy"),
}


@pytest.mark.parametrize("case", CHANNELS)
def test_channel_verdicts(case):
    make, state, words = CHANNELS[case]
    rng = np.random.default_rng(2)
    window = np.vstack([rng.standard_normal(SECONDS.size) * 10, make(rng)])
    report = channel_report(window, ["FCz", "C3"], SAMPLING_RATE, capture_hub.channel_quality(window))
    assert report[0]["state"] == "good"
    assert report[1]["state"] == state and report[1]["verdict"].startswith(words)
