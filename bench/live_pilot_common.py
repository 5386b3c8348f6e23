"""Set-up shared by the live_pilot benchmarks: artefacts, loopback servers, the imported module."""

import argparse
import contextlib
import importlib
import io
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

from tests.live_pilot.conftest import (  # noqa: E402
    RecordingServer,
    controller_reply,
    save_agent,
    simulator_reply,
    synthetic_recording,
)


def build_artefacts(base):
    """CSP filters, scaler and a DQN agent in `base`, made by the training pipeline."""
    base = Path(base)
    recording = base / "S03_raw.fif"
    synthetic_recording(recording)
    os.environ["CORVANE_PATH"] = str(base)
    from policy_forge import PolicyForge

    forge = PolicyForge()
    with contextlib.redirect_stdout(io.StringIO()):
        forge.setup_eeg(str(recording))
        forge.process_epochs()
    (base / "sample_data" / "processed").mkdir(parents=True, exist_ok=True)
    save_agent(forge, str(base / "sample_data" / "processed" / "dqn_model_session1"))
    return base


def import_live_pilot(artefacts, board_port):
    """Imports live_pilot against the artefacts, the board on `board_port` and two loopback servers."""
    simulator, controller = RecordingServer(simulator_reply), RecordingServer(controller_reply)
    os.environ.update(
        CORVANE_ARTEFACT_DIR=str(artefacts),
        CORVANE_SERIAL_PORT=board_port,
        CORVANE_ACTUATOR_HOST=f"127.0.0.1:{controller.port}",
        CORVANE_SIMULATOR_URL=simulator.url,
    )
    with contextlib.redirect_stdout(io.StringIO()):
        module = importlib.import_module("live_pilot")
    return module, simulator, controller


def temporary_folder():
    return tempfile.TemporaryDirectory(prefix="live_pilot_bench_")


def percentile(values, q):
    import numpy as np

    return float(np.percentile(np.asarray(values) * 1e3, q))


def counter_signal(first_sample, count):
    """Every channel carries the sample number (plus its channel index) in converter counts."""
    import numpy as np

    from tools.cyton_emulator import MICROVOLTS_PER_COUNT

    numbers = np.arange(first_sample, first_sample + count, dtype=np.float64)[:, None] + np.arange(8)[None, :]
    return numbers * MICROVOLTS_PER_COUNT


@contextlib.contextmanager
def emulator_process(speed, counter=False):
    """A Cyton emulator in its own interpreter (as a real board is outside the host); yields its port."""
    command = [sys.executable, __file__, "--speed", str(speed)] + (["--counter"] if counter else [])
    child = subprocess.Popen(command, stdout=subprocess.PIPE, text=True)
    try:
        yield child.stdout.readline().strip()
    finally:
        child.terminate()
        child.wait(timeout=10)


def serve_emulator():
    from tools.cyton_emulator import CytonEmulator

    parser = argparse.ArgumentParser()
    parser.add_argument("--speed", type=float, default=1.0)
    parser.add_argument("--counter", action="store_true")
    args = parser.parse_args()
    with CytonEmulator(signal=counter_signal if args.counter else None, speed=args.speed) as board:
        print(board.port, flush=True)
        while True:
            time.sleep(1)


if __name__ == "__main__":
    serve_emulator()
