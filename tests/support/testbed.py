"""Stand-ins and builders shared by the tests and the benchmarks.

- LoopbackServer: an HTTP server on 127.0.0.1 that records each GET path and answers as a reply
  function says; simulator_reply and controller_reply are the two outputs' normal answers.
- write_recording: a labelled six-channel FIF recording whose classes differ in rhythm and channel.
- write_edf (from tests.support.edf_files): a plain EDF or BDF file.
- build_artefacts: CSP filters, scaler and a DQN agent made by the training pipeline, laid out as
  live_pilot loads them (train_filters: the filters and scaler of any class set, and the trainer).
- counter_signal, emulator_process: a Cyton emulator in its own interpreter, optionally streaming
  sample numbers.
- MisbehavingStore, client_sockets_to, request_threads (from tests.support.store_standins): a
  session store on 127.0.0.1 that trickles, redirects or sends a huge answer, and what a client
  left open towards it.
- file_size_limit: writes of this process fail part-way beyond a size, as on a full disk.
- FaultyServer, standin_process (from tests.support.fault_standins): stand-ins that refuse, hang,
  answer 500, drop the connection, trickle, answer late or redirect.
- electrode_fault, controlled_emulator_process (from tests.support.board_faults): a railed or flat
  electrode, and an emulator that goes silent, vanishes or has an electrode fail.
- live_decision, window_blocks, held_out_decisions, train_on_training_items (from
  tests.support.live_decoding, partly the demo's own helpers): decoding as live_pilot decodes a
  window, applied to a trained agent and the trainer's held-out epochs.
"""
import argparse
import contextlib
import io
import json
import os
import resource
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

from corvane.facts import AGENT_ARCHIVE, BOARD_ID, CLASS_ORDER, COMMANDS, ELECTRODES, SAMPLING_RATE
from tests.support.live_decoding import (BLOCK_ROWS, ReferenceRing, candidates,  # noqa: F401
                                 conservative_choice, held_out_decisions, live_decision,
                                 train_on_training_items, window_blocks)
from corvane.web.local_http import LOOPBACK, LocalHandler, LocalService
from tests.support.fault_standins import (FAULTS, FaultyServer, controller_answer, simulator_answer,  # noqa: F401
                                          standin_process, write_answer)
from tests.support.board_faults import FULL_SCALE_MICROVOLTS, controlled_emulator_process, electrode_fault  # noqa: F401
from tests.support.edf_files import write_edf  # noqa: F401
from tests.support.store_standins import MisbehavingStore, client_sockets_to, request_threads  # noqa: F401



# --- loopback HTTP stand-ins ------------------------------------------------------------------
class LoopbackServer(LocalService):
    """An HTTP server on 127.0.0.1 that records each GET path and answers as `reply` says.

    reply(path) -> (status, body text, delay in seconds). `port` 0 takes any free port."""

    def __init__(self, reply, port=0):
        super().__init__(port)
        self.reply = reply
        self.requests = []
        self.start()

    class handler(LocalHandler):
        def do_GET(self):
            server = self.server.owner
            server.requests.append(self.path)
            status, body, delay = server.reply(self.path)
            if delay:
                time.sleep(delay)
            write_answer(self, status, body, "application/json")

    def commands(self):
        """The letters received, in order (the last path segment of each request)."""
        return [path.rsplit("/", 1)[-1] for path in self.requests]

    def close(self):
        self.stop()


def simulator_reply(path):
    letter = path.rsplit("/", 1)[-1]
    if path.startswith("/command/") and letter in COMMANDS:
        return 200, json.dumps({"status": "ok"}), 0
    return 400, json.dumps({"status": "error"}), 0


def controller_reply(path):
    return 200, "OK", 0


@contextlib.contextmanager
def file_size_limit(size):
    """Within the block no file of this process grows past `size` bytes: a write beyond fails
    part-way with EFBIG instead of the signal ending the process. Call from the main thread."""
    soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
    previous = signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (size, hard))
    try:
        yield
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
        signal.signal(signal.SIGXFSZ, previous)


# --- recordings and artefacts -----------------------------------------------------------------
def write_recording(path, channels=ELECTRODES, classes=CLASS_ORDER, trials_per_class=6, seed=0):
    """A recording where each class drives its own channel with a 10 Hz and a 20 Hz rhythm over
    background noise, one annotated 6 s trial every 7 s. Returns the labels in trial order."""
    import mne

    rng = np.random.default_rng(seed)
    sequence = [name for name in classes for _ in range(trials_per_class)]
    rng.shuffle(sequence)
    trial, start = 7.0, 1.0
    n = int((start + trial * len(sequence) + 2) * SAMPLING_RATE)
    t = np.arange(n) / SAMPLING_RATE
    data = rng.standard_normal((len(channels), n)) * 2.0
    for k, name in enumerate(sequence):
        onset = start + k * trial
        inside = (t >= onset) & (t < onset + 6)
        row = classes.index(name) % len(channels)
        data[row, inside] += 12 * np.sin(2 * np.pi * 10 * t[inside]) + 8 * np.sin(2 * np.pi * 20 * t[inside])
    raw = mne.io.RawArray(data * 1e-6, mne.create_info(list(channels), SAMPLING_RATE, "eeg"), verbose=False)
    onsets = [start + k * trial for k in range(len(sequence))]
    raw.set_annotations(mne.Annotations(onsets, [6.0] * len(sequence), sequence))
    raw.save(path, overwrite=True, verbose=False)
    return sequence


@contextlib.contextmanager
def environment(**values):
    """Sets environment variables for the block (None removes one), then restores them."""
    previous = {name: os.environ.get(name) for name in values}
    for name, value in values.items():
        if value is None:
            os.environ.pop(name, None)
        else:
            os.environ[name] = str(value)
    try:
        yield
    finally:
        for name, value in previous.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value


def save_agent(forge, path, classes=CLASS_ORDER):
    """Saves the (untrained) agent the training pipeline sets up: a real archive for DQN.load."""
    model, _ = forge.setup_training(list(classes))
    model.save(path)


def train_filters(base, classes=CLASS_ORDER, trials_per_class=5):
    """CSP filters and scaler in `base`, made by the training pipeline from a recording of `classes`
    written there. Returns the trainer; its class k is the k-th of the sorted names, as setup_eeg
    numbers a recording's annotations."""
    base = Path(base)
    base.mkdir(parents=True, exist_ok=True)
    recording = base / "S03_raw.fif"
    write_recording(recording, classes=classes, trials_per_class=trials_per_class)
    with environment(CORVANE_PATH=base):
        from policy_forge import PolicyForge

        forge = PolicyForge()
    with contextlib.redirect_stdout(io.StringIO()):
        forge.setup_eeg(str(recording))
        forge.process_epochs(list(range(1, len(classes) + 1)))
    (base / AGENT_ARCHIVE).parent.mkdir(parents=True, exist_ok=True)
    return forge


def build_artefacts(base, trials_per_class=5):
    """CSP filters, scaler and a DQN agent in `base`, made by the training pipeline from a
    recording written there, laid out as live_pilot loads them. Returns `base` as a Path."""
    forge = train_filters(base, trials_per_class=trials_per_class)
    with contextlib.redirect_stdout(io.StringIO()):
        save_agent(forge, str(Path(base) / AGENT_ARCHIVE))
    return Path(base)


def live_pilot_environment(artefacts, port, simulator, controller):
    """The variables live_pilot reads at import, pointing at these stand-ins."""
    return {
        "CORVANE_ARTEFACT_DIR": str(artefacts),
        "CORVANE_SERIAL_PORT": port,
        "CORVANE_ACTUATOR_HOST": f"{LOOPBACK}:{controller.port}",
        "CORVANE_SIMULATOR_URL": simulator.url,
    }


# --- the board --------------------------------------------------------------------------------
def open_board(port):
    """BrainFlow's own Cyton driver, session prepared, on `port` (an emulator's pty)."""
    from brainflow.board_shim import BoardShim, BrainFlowInputParams
    params = BrainFlowInputParams()
    params.serial_port = port
    board = BoardShim(BOARD_ID, params)
    board.prepare_session()
    return board


def restart_stream(board):
    """Prepares and starts a BrainFlow board again after main() released it, from fresh samples."""
    for attempt in range(3):
        if board.is_prepared():
            break
        try:
            board.prepare_session()
        except Exception:
            # A board left streaming while it was unresponsive answers the first "v" late.
            time.sleep(0.5)
    board.is_prepared() or board.prepare_session()
    try:
        board.start_stream()
    except Exception:
        pass  # already streaming
    board.get_board_data()
    return board


def counter_signal(first_sample, count):
    """Every channel carries the sample number (plus its channel index) in converter counts."""
    from corvane.standins.cyton_emulator import EEG_CHANNELS, MICROVOLTS_PER_COUNT

    numbers = np.arange(first_sample, first_sample + count, dtype=np.float64)[:, None] + np.arange(EEG_CHANNELS)[None, :]
    return numbers * MICROVOLTS_PER_COUNT


@contextlib.contextmanager
def emulator_process(speed, counter=False):
    """A Cyton emulator in its own interpreter (as a real board is outside the host); yields its port."""
    command = [sys.executable, "-m", "tests.support.testbed", "--speed", str(speed)] + (["--counter"] if counter else [])
    root = Path(__file__).resolve().parents[2]
    child = subprocess.Popen(command, stdout=subprocess.PIPE, text=True, cwd=root)
    try:
        yield child.stdout.readline().strip()
    finally:
        child.terminate()
        child.wait(timeout=10)


def _serve_emulator(argv=None):
    from corvane.standins.cyton_emulator import CytonEmulator

    parser = argparse.ArgumentParser(description="A Cyton emulator that prints its port.")
    parser.add_argument("--speed", type=float, default=1.0)
    parser.add_argument("--counter", action="store_true")
    args = parser.parse_args(argv)
    with CytonEmulator(signal=counter_signal if args.counter else None, speed=args.speed) as board:
        print(board.port, flush=True)
        while True:
            time.sleep(1)


if __name__ == "__main__":
    _serve_emulator()
