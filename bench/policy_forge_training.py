"""Training speed of the agent setup_training builds, in environment steps per second: learn with
the callbacks setup_training returns (which hold the thread pools to one thread while training
runs) against learn as a host would call it without them (the pools as the host left them), in
one run, on a recording of five classes.

    .venv/bin/python -m bench.policy_forge_training [--steps 2000]
"""
import argparse
import contextlib
import io
import tempfile
import time
from pathlib import Path

import torch

from corvane.facts import CLASS_ORDER
from tests.support.testbed import environment, write_recording


def steps_per_second(model, steps, callbacks):
    with contextlib.redirect_stdout(io.StringIO()):
        began = time.perf_counter()
        model.learn(total_timesteps=steps, callback=callbacks, reset_num_timesteps=False)
    return steps / (time.perf_counter() - began)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--steps", type=int, default=2000)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        base = Path(folder)
        write_recording(base / "S03_raw.fif", trials_per_class=5)
        with environment(CORVANE_PATH=base):
            from policy_forge import PolicyForge

            forge = PolicyForge()
        with contextlib.redirect_stdout(io.StringIO()):
            forge.setup_eeg(str(base / "S03_raw.fif"))
            forge.process_epochs()
            model, callbacks = forge.setup_training(list(CLASS_ORDER))
        threads = torch.get_num_threads()
        steps_per_second(model, 200, callbacks)  # past learning_starts: every run below trains
        without = steps_per_second(model, args.steps, None)
        with_callbacks = steps_per_second(model, args.steps, callbacks)
    print(f"torch threads as the host left them: {threads} (restored after training: {torch.get_num_threads()})")
    print(f"learn without the callbacks: {without:7.0f} steps/s")
    print(f"learn with the callbacks:    {with_callbacks:7.0f} steps/s  ({with_callbacks / without:.1f}x)")


if __name__ == "__main__":
    main()
