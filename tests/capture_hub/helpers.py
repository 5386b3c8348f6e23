"""Signals and readers shared by the capture_hub tests."""

import contextlib
import os
import signal
import subprocess
import sys

import mne
import numpy as np

from corvane import facts
from corvane.standins.cyton_emulator import MICROVOLTS_PER_COUNT

ELECTRODES = list(facts.ELECTRODES)
DEFAULT_ACTIONS = list(facts.ACTION_LABELS)
SEPARATOR = "_" * 45
# A value read back may differ from the one sent by half a converter count.
TOLERANCE = MICROVOLTS_PER_COUNT / 2 + 1e-9
RAMP_PERIOD = 400_000


def ramp(first_sample, count):
    """Channel c of sample k carries (k mod period) / 4 - 100 c microvolts, so every stored value
    tells which sample and which electrode it came from."""
    index = np.arange(first_sample, first_sample + count) % RAMP_PERIOD
    return index[:, None] / 4.0 - 100.0 * np.arange(8)[None, :]


def sent_sample_numbers(data, electrodes):
    """Checks that `data` (electrodes x samples) holds, row by row, what the emulator sent for
    `electrodes` over consecutive samples, and returns those sample numbers."""
    wired = np.array([ELECTRODES.index(name) for name in electrodes])
    index = np.rint((data[0] + 100.0 * wired[0]) * 4.0)
    sent = index[:, None] / 4.0 - 100.0 * wired[None, :]
    # FIF files keep single precision: allow its rounding on top of the converter's.
    np.testing.assert_allclose(data.T, sent, rtol=2.0**-23, atol=TOLERANCE)
    assert np.all(np.diff(index) % RAMP_PERIOD == 1), "samples lost or repeated"
    return index.astype(np.int64)


def recordings(manager):
    return sorted(name for name in os.listdir(manager.raw_dir) if name.endswith("_raw.fif"))


def read_recording(manager, name):
    return mne.io.read_raw_fif(os.path.join(manager.raw_dir, name), preload=True, verbose="error")


def annotation_text(manager):
    with open(manager.annotation_file) as f:
        return f.read()


def write_annotations(manager, text, newline=None):
    with open(manager.annotation_file, "w", newline=newline) as f:
        f.write(text)


def noise(first_sample, count):
    """Independent noise per channel, tens of microvolts: full-rank EEG for CSP."""
    return np.random.default_rng(first_sample).normal(0.0, 20.0, (count, 8))


def make_recordings(manager, session, lengths):
    """Saves one synthetic recording per length for `session`; recording k holds about
    1000 * session + k in every sample, so its place in a join is visible."""
    previous = manager.current_session_num
    manager.current_session_num = session
    names = []
    for k, length in enumerate(lengths):
        before = set(recordings(manager))
        value = 1000.0 * session + k
        rng = np.random.default_rng(1000 * session + k)
        manager.save_to_fif(np.full((6, length), value) + rng.normal(0.0, 1e-3, (6, length)))
        [name] = set(recordings(manager)) - before
        names.append(name)
    manager.current_session_num = previous
    return names


@contextlib.contextmanager
def command_line_tool(module, *args):
    """Runs `python -m <module> <args>` from the project root and yields (first output line,
    process); on leaving, an interrupt must end the tool with status 0."""
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    process = subprocess.Popen([sys.executable, "-m", module, *args], cwd=root, stdout=subprocess.PIPE, text=True)
    try:
        yield process.stdout.readline().strip(), process
        process.send_signal(signal.SIGINT)
        assert process.wait(timeout=30) == 0
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
