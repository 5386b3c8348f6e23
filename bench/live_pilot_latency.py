"""Decision latency of the live loop: from taking a window to handing its command to the outputs.

main() runs against the Cyton emulator (faster than real time) with artefacts made by the training
pipeline; the time from `get_window` to `simulation.send_command` is taken for every window. Each
window is also decided by the loop body written the straightforward way in Python, and the two
commands are compared.

    .venv/bin/python -m bench.live_pilot_latency [--windows 200] [--speed 20]
"""

import argparse
import contextlib
import io
import time

import numpy as np
import torch

from bench.live_pilot_common import import_live_pilot, percentile, temporary_folder
from tools.testbed import build_artefacts, emulator_process


def straightforward_decision(lp, window):
    """One window through the loop body as a plain Python program would write it."""
    window_data = window.reshape(1, lp.num_channels, -1)
    print("Processing window of shape:", window_data.shape)
    csp_features_list = []
    for class_id, csp in lp.csp_filters.items():
        csp_features_list.append(csp.transform(window_data))
    csp_ftrs = np.concatenate(csp_features_list, axis=1)
    print("CSP Features Shape:", csp_ftrs.shape)
    ftrs = lp.dqnutils.featuresarray_load(data_array=csp_ftrs)
    print("Extracted Features Shape:", ftrs.shape)
    ftrs_scaled = lp.scaler.transform(ftrs.reshape(-1, ftrs.shape[-1])).reshape(ftrs.shape)
    predictions, confidences = [], []
    for i in range(0, 20, 4):
        last_state = ftrs_scaled[:, i : i + 4, :]
        q_values = lp.model.q_net(lp.model.q_net.obs_to_tensor(last_state)[0])[0].detach().numpy()
        action = int(np.argmax(q_values))
        q_values = (q_values - np.min(q_values)) / (np.max(q_values) - np.min(q_values) + 1e-6)
        max_q = np.max(q_values)
        other_q_values = q_values[q_values != max_q]
        confidence = float(max_q - np.mean(other_q_values)) if len(other_q_values) > 0 else 0
        if confidence > 0.6:
            predictions.append(action)
            confidences.append(confidence)
    action, confidence = lp.get_conservative_prediction(predictions, confidences)
    if action is not None:
        command = lp.map_action_to_command(action)
        print(f"Mapped Command: {command} {predictions}{confidences}")
    else:
        command = "S"
    return command


def run_module_loop(lp, windows):
    """Runs main() until `windows` windows were commanded. Each window is also decided by the
    straightforward form under the same load, before the module on even windows and after it on
    odd ones (whichever goes second finds warm caches). Returns both latency lists."""
    taken, latencies, python_latencies = [], [], []
    module_commands, python_commands = [], []
    started = [0.0]
    take_window, send = lp.eeg_buffer.get_window, lp.simulation.send_command

    def decide_in_python():
        python_started = time.perf_counter()
        command = straightforward_decision(lp, taken[-1])
        python_latencies.append(time.perf_counter() - python_started)
        python_commands.append(command)

    def get_window():
        started[0] = time.perf_counter()
        window = take_window()
        taken.append(np.array(window))
        if len(taken) % 2 == 0:
            paused = time.perf_counter()
            decide_in_python()
            started[0] += time.perf_counter() - paused
        return window

    def send_command(command):
        if len(latencies) < len(taken):
            latencies.append(time.perf_counter() - started[0])
            module_commands.append(command)
            if len(taken) % 2 == 1:
                decide_in_python()
            if len(latencies) == windows:
                raise KeyboardInterrupt
        return send(command)

    lp.eeg_buffer.get_window, lp.simulation.send_command = get_window, send_command
    lp.arduino.STOP_DURATION = 0  # the stop pause is not part of the decision
    with contextlib.redirect_stdout(io.StringIO()):
        lp.main()
    assert module_commands == python_commands, "the two forms decided differently"
    return latencies, python_latencies


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--windows", type=int, default=200)
    parser.add_argument("--speed", type=float, default=20.0, help="emulator speed (x real time)")
    args = parser.parse_args()
    torch.set_num_threads(1)

    with temporary_folder() as folder, emulator_process(args.speed) as port:
        artefacts = build_artefacts(folder)
        lp, simulator, controller = import_live_pilot(artefacts, port)
        module_latencies, python_latencies = run_module_loop(lp, args.windows)
        with contextlib.redirect_stdout(io.StringIO()):
            lp.cleanup_resources()
        simulator.close()
        controller.close()

    module_p50, module_p99 = percentile(module_latencies, 50), percentile(module_latencies, 99)
    python_p50, python_p99 = percentile(python_latencies, 50), percentile(python_latencies, 99)
    print(f"windows decided: {len(module_latencies)} (commands identical in both forms)")
    print(f"live_pilot main():        p50 {module_p50:7.2f} ms   p99 {module_p99:7.2f} ms")
    print(f"straightforward Python:   p50 {python_p50:7.2f} ms   p99 {python_p99:7.2f} ms")
    print(f"ratio Python / module:    p50 {python_p50 / module_p50:5.2f}x    p99 {python_p99 / module_p99:5.2f}x")
    print(f"targets p50 <= 15 ms: {'met' if module_p50 <= 15 else 'MISSED'}, "
          f"p99 <= 30 ms: {'met' if module_p99 <= 30 else 'MISSED'}")


if __name__ == "__main__":
    main()
