"""The live loop written the straightforward way in Python: the baseline the end-to-end latency
benchmark compares live_pilot's main() against. Same board, artefacts and outputs; features item by
item through MNE and SciPy, the scaler and the agent once per block, and a new connection per
command."""
import time

import numpy as np
import requests

from corvane.facts import CONFIDENCE_THRESHOLD, LIVE_OVERLAP, WIRED_EEG_ROWS
from tests.support.feature_reference import features_per_item
from tests.support.testbed import ReferenceRing


def decide(lp, window_data):
    """The command for one (1, channels, samples) window."""
    csp_ftrs = np.concatenate([csp.transform(window_data) for csp in lp.csp_filters.values()], axis=1)
    print("CSP Features Shape:", csp_ftrs.shape)
    ftrs = features_per_item(csp_ftrs)
    print("Extracted Features Shape:", ftrs.shape)
    predictions, confidences = [], []
    for i in range(0, 20, 4):
        ftrs_scaled = lp.scaler.transform(ftrs.reshape(-1, ftrs.shape[-1])).reshape(ftrs.shape)
        last_state = ftrs_scaled[:, i:i + 4, :]
        q_values = lp.model.q_net(lp.model.q_net.obs_to_tensor(last_state)[0])[0].detach().numpy()
        action = int(np.argmax(q_values))
        q_values = (q_values - np.min(q_values)) / (np.max(q_values) - np.min(q_values) + 1e-6)
        max_q = np.max(q_values)
        other_q_values = q_values[q_values != max_q]
        confidence = float(max_q - np.mean(other_q_values)) if len(other_q_values) > 0 else 0
        if confidence > CONFIDENCE_THRESHOLD:
            predictions.append(action)
            confidences.append(confidence)
    action, _ = lp.get_conservative_prediction(predictions, confidences)
    if action is None:
        return "S"
    command = lp.map_action_to_command(action)
    print(f"Mapped Command: {command} {predictions}{confidences}")
    return command


def run(lp, simulator_url, controller_url):
    """Decodes lp.board's stream until interrupted (KeyboardInterrupt leaves the loop)."""
    ring = ReferenceRing(lp.num_channels, lp.buffer_size, lp.window_size, LIVE_OVERLAP)
    eeg_channels = WIRED_EEG_ROWS
    current = "S"
    try:
        while True:
            data = lp.board.get_board_data(lp.samples_per_read)
            if ring.add(data[eeg_channels, :]):
                window_data = ring.window_data().reshape(1, lp.num_channels, -1)
                print("Processing window of shape:", window_data.shape)
                command = decide(lp, window_data)
                if command != current:  # the actuator first, as the module does
                    requests.get(f"{controller_url}/S", timeout=1)
                    requests.get(f"{controller_url}/{command}", timeout=1)
                    current = command
                requests.get(f"{simulator_url}/command/{command}", timeout=1)
            time.sleep(0.02)
    except KeyboardInterrupt:
        requests.get(f"{controller_url}/S", timeout=1)
