"""Shared fixtures: trained artefacts, loopback HTTP servers, a Cyton emulator and the imported module.

Importing live_pilot opens the board and loads the artefacts, so the module is imported once per
session, with the environment pointing at these fixtures.
"""

import importlib
import json
import os
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import numpy as np
import pytest

from tools.cyton_emulator import CytonEmulator

SAMPLING_RATE = 250
CHANNELS = ["FCz", "C3", "Cz", "CPz", "C2", "C4"]
LABELS = ["right", "left", "blinking", "jaw", "relax"]
TRIALS_PER_LABEL = 5
TRIAL_SECONDS = 7.0
EMULATOR_SPEED = 10


class RecordingServer:
    """An HTTP server on 127.0.0.1 that records each GET path and answers as `reply` says.

    reply(path) -> (status, body text, delay in seconds).
    """

    def __init__(self, reply):
        self.reply = reply
        self.requests = []
        server = self

        class Handler(BaseHTTPRequestHandler):
            def do_GET(self):
                server.requests.append(self.path)
                status, body, delay = server.reply(self.path)
                if delay:
                    time.sleep(delay)
                data = body.encode()
                try:
                    self.send_response(status)
                    self.send_header("Content-Type", "application/json")
                    self.send_header("Content-Length", str(len(data)))
                    self.end_headers()
                    self.wfile.write(data)
                except OSError:
                    pass  # the client gave up waiting

            def log_message(self, *args):
                pass

        self._server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self._server.daemon_threads = True
        self.port = self._server.server_address[1]
        self.url = f"http://127.0.0.1:{self.port}"
        self._thread = threading.Thread(target=self._server.serve_forever, daemon=True)
        self._thread.start()

    def close(self):
        self._server.shutdown()
        self._server.server_close()


def simulator_reply(path):
    letter = path.rsplit("/", 1)[-1]
    if path.startswith("/command/") and letter in ("S", "L", "R", "F", "B"):
        return 200, json.dumps({"status": "ok"}), 0
    return 400, json.dumps({"status": "error"}), 0


def controller_reply(path):
    return 200, "OK", 0


@pytest.fixture(scope="session")
def simulator():
    server = RecordingServer(simulator_reply)
    yield server
    server.close()


@pytest.fixture(scope="session")
def controller():
    server = RecordingServer(controller_reply)
    yield server
    server.close()


@pytest.fixture
def servers(simulator, controller):
    """Both servers with empty records and their default answers, for one test."""
    for server, reply in ((simulator, simulator_reply), (controller, controller_reply)):
        server.requests.clear()
        server.reply = reply
    yield simulator, controller
    for server, reply in ((simulator, simulator_reply), (controller, controller_reply)):
        server.reply = reply


def synthetic_recording(path):
    """A labelled six-channel recording whose classes differ in rhythm and channel."""
    import mne

    rng = np.random.default_rng(7)
    trials = [label for label in LABELS for _ in range(TRIALS_PER_LABEL)]
    rng.shuffle(trials)
    duration = 2.0 + TRIAL_SECONDS * len(trials)
    t = np.arange(int(duration * SAMPLING_RATE)) / SAMPLING_RATE
    data = rng.normal(0, 5e-6, (len(CHANNELS), t.size))
    onsets = []
    for k, label in enumerate(trials):
        onset = 2.0 + TRIAL_SECONDS * k
        onsets.append(onset)
        span = (t >= onset) & (t < onset + 5.5)
        klass = LABELS.index(label)
        frequency = 10.0 if klass % 2 == 0 else 20.0
        data[klass % len(CHANNELS), span] += 20e-6 * np.sin(2 * np.pi * frequency * t[span])
    info = mne.create_info(CHANNELS, SAMPLING_RATE, ch_types="eeg")
    raw = mne.io.RawArray(data, info, verbose=False)
    raw.set_annotations(mne.Annotations(onsets, [5.5] * len(onsets), trials))
    raw.save(path, overwrite=True, verbose=False)


def save_agent(forge, path):
    """Saves the (untrained) agent the training pipeline sets up: a real archive for DQN.load."""
    model, _ = forge.setup_training(LABELS)
    model.save(path)


@pytest.fixture(scope="session")
def artefacts(tmp_path_factory):
    """The artefact directory: CSP filters and scaler from the training pipeline, and a DQN agent."""
    base = tmp_path_factory.mktemp("artefacts")
    recording = base / "S03_raw.fif"
    synthetic_recording(recording)
    previous = os.environ.get("CORVANE_PATH")
    os.environ["CORVANE_PATH"] = str(base)
    try:
        from policy_forge import PolicyForge

        forge = PolicyForge()
    finally:
        if previous is None:
            del os.environ["CORVANE_PATH"]
        else:
            os.environ["CORVANE_PATH"] = previous
    forge.setup_eeg(str(recording))
    forge.process_epochs()
    (base / "sample_data" / "processed").mkdir(parents=True)
    save_agent(forge, str(base / "sample_data" / "processed" / "dqn_model_session1"))
    return base


@pytest.fixture(scope="session")
def emulator():
    board = CytonEmulator(speed=EMULATOR_SPEED).start()
    yield board
    board.stop()


def module_environment(artefacts, port, simulator, controller):
    return {
        "CORVANE_ARTEFACT_DIR": str(artefacts),
        "CORVANE_SERIAL_PORT": port,
        "CORVANE_ACTUATOR_HOST": f"127.0.0.1:{controller.port}",
        "CORVANE_SIMULATOR_URL": simulator.url,
    }


@pytest.fixture(scope="session")
def live_pilot(artefacts, emulator, simulator, controller):
    """The module, imported in this process against the fixtures above."""
    env = module_environment(artefacts, emulator.port, simulator, controller)
    previous = {name: os.environ.get(name) for name in env}
    os.environ.update(env)
    try:
        module = importlib.import_module("live_pilot")
    finally:
        for name, value in previous.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value
    yield module
    module.cleanup_resources()
    sys.modules.pop("live_pilot", None)


@pytest.fixture
def streaming_board(live_pilot):
    """The module's board prepared and streaming (main releases it when it ends)."""
    board = live_pilot.board
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
    board.get_board_data()  # start from fresh samples
    return board


@pytest.fixture
def subprocess_env(artefacts, simulator, controller):
    """Environment for a child interpreter that imports the module (board port filled in by the test)."""
    env = dict(os.environ)
    env.update(module_environment(artefacts, "", simulator, controller))
    env["PYTHONPATH"] = os.pathsep.join(p for p in [os.getcwd(), *sys.path] if p)
    env["PYTHONUNBUFFERED"] = "1"
    return env
