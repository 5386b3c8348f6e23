"""The signal of a board with nothing connected: the emulator's default, and what a played
recording puts on the board's unwired inputs."""
import numpy as np

from corvane.facts import BOARD_EEG_CHANNELS as EEG_CHANNELS, SAMPLING_RATE


def quiet_signal(first_sample, count):
    """A few microvolts per channel: a 10 Hz rhythm and deterministic noise, never all zero."""
    index = np.arange(first_sample, first_sample + count, dtype=np.float64)[:, None]
    channel = np.arange(EEG_CHANNELS, dtype=np.float64)[None, :]
    rhythm = 2.0 * np.sin(2 * np.pi * 10.0 * index / SAMPLING_RATE + channel)
    noise = np.sin(index * (12.9898 + channel) + 78.233 * channel) * 43758.5453
    noise = (noise - np.floor(noise) - 0.5) * 2.0
    return rhythm + noise
