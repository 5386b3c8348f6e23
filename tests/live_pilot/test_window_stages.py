"""The live loop's native stages (CSP projections, scaler, per-block Q-values) give the numbers of
the artefacts' own transforms, and leave to them the input those transforms refuse."""
import numpy as np
import pytest
import torch

from corvane.facts import FEATURE_ROW_LENGTH
from tests.support.live_decoding import kept_blocks
from tests.support.testbed import BLOCK_ROWS, candidates


class Recording:
    """Stands in for live_pilot's dqnutils (and with `model` its model), passing every call
    through and keeping the windows, CSP projections and observations the loop hands over;
    interrupts main() after `windows` windows. `window` and `features` may change what passes."""

    def __init__(self, live_pilot, windows, window=None, features=None, model=False, q_values=None):
        self.module, self.limit, self.stands_in_for_model = live_pilot, windows, model or q_values is not None
        self.q_values = None if q_values is None else iter(q_values)
        self.change_window, self.change_features = window or (lambda w: w), features or (lambda rows: rows)
        self.forge, self.model = live_pilot.dqnutils, live_pilot.model
        self.observation_space = self.model.observation_space
        self.windows, self.projections, self.observations, self.handed = [], [], [], []
        self.threads = set()
        self.take_window = live_pilot.eeg_buffer.get_window

    def get_window(self):
        if len(self.windows) == self.limit:
            raise KeyboardInterrupt
        window = self.change_window(self.take_window())
        self.windows.append(np.array(window))
        return window

    def featuresarray_load(self, data_array):
        self.handed.append(data_array)
        self.threads.add(torch.get_num_threads())
        self.projections.append(np.array(data_array))
        return self.change_features(self.forge.featuresarray_load(data_array))

    def q_net(self, observation):
        self.observations.append(observation.clone())
        if self.q_values is not None:
            return torch.tensor(next(self.q_values))[None]
        return self.model.q_net(observation)

    def __enter__(self):
        lp = self.module
        lp.dqnutils, lp.eeg_buffer.get_window = self, self.get_window
        if self.stands_in_for_model:
            lp.model = self
        return self

    def __exit__(self, *exc):
        lp = self.module
        lp.dqnutils, lp.model = self.forge, self.model
        del lp.eeg_buffer.get_window


@pytest.mark.parametrize("model", [False, True], ids=["the agent's network", "a stand-in for the agent"])
def test_native_stages_match_the_artefacts_transforms(live_pilot, streaming_board, servers, quick_arduino, capsys,
                                                      model):
    simulator, _ = servers
    # Near the end of the storage: the first window is a slice of it, the second wraps around.
    buffer = live_pilot.eeg_buffer
    buffer.index = buffer.last_window_end = buffer.buffer_size - 600
    threads = torch.get_num_threads()
    # Enough windows of the emulator's noise that some are decided: with four, none was, now and then.
    windows = 8
    with Recording(live_pilot, windows=windows, model=model) as seen:
        live_pilot.main()
    # The loop ran its small arrays on one torch thread and gave the host's setting back.
    assert seen.threads == {1} and torch.get_num_threads() == threads
    assert len(seen.projections) == windows and all(a is seen.handed[0] for a in seen.handed)  # one kept array

    commands, lines = [], []
    for k, (window, projected) in enumerate(zip(seen.windows, seen.projections)):
        batch = window.reshape(1, 6, -1)
        reference = np.concatenate([csp.transform(batch) for csp in live_pilot.csp_filters.values()], axis=1)
        np.testing.assert_allclose(projected, reference, rtol=1e-12, atol=1e-12 * np.abs(reference).max())
        # From the projections it was given on: the scaler's and the agent's own numbers.
        rows = live_pilot.dqnutils.featuresarray_load(projected)
        scaled = live_pilot.scaler.transform(rows.reshape(-1, FEATURE_ROW_LENGTH)).reshape(rows.shape)
        blocks = [scaled[0, i:i + BLOCK_ROWS] for i in range(0, 20, BLOCK_ROWS)]
        if model:
            assert all(torch.equal(observed, torch.as_tensor(block[None]).float())
                       for block, observed in zip(blocks, seen.observations[5 * k:5 * k + 5]))
        predictions, confidences = candidates(blocks, live_pilot.model)
        action, _ = live_pilot.get_conservative_prediction(predictions, confidences)
        commands.append("S" if action is None else live_pilot.map_action_to_command(action))
        if action is not None:
            lines.append(f"Mapped Command: {commands[-1]} {predictions}{confidences}")
    assert simulator.commands()[:windows] == commands and lines  # (some windows decided)
    assert [line for line in capsys.readouterr().out.splitlines() if line.startswith("Mapped")] == lines


def test_block_decisions_have_numpys_numbers(live_pilot, streaming_board, servers, quick_arduino, capsys):
    rng = np.random.default_rng(7)
    vectors = [[0.3, 0.9, 0.1, 0.1, 0.2], [1, 1, 1, 1, 1], [5, 5, -1, 2, 0], [2, 2, 2, 2, 7],
               [1e-7, 0, 0, 0, 0], [0, 1e6, -3e5, 2, 9e5], [1, 0] * 6 + [3]]  # ties, equal, tiny, wide, 13 actions
    vectors += [list(rng.standard_normal(rng.integers(2, 14)) * rng.uniform(1e-3, 1e3)) for _ in range(23)]
    vectors = [np.asarray(v, dtype=np.float32) for v in vectors]
    with Recording(live_pilot, windows=6, q_values=vectors):
        live_pilot.main()
    lines = []
    for window in range(6):
        predictions, confidences = candidates(None, q_values=vectors[5 * window:5 * window + 5])
        action, _ = live_pilot.get_conservative_prediction(predictions, confidences)
        if action is not None:
            lines.append(f"Mapped Command: {live_pilot.map_action_to_command(action)} {predictions}{confidences}")
    assert [line for line in capsys.readouterr().out.splitlines() if line.startswith("Mapped")] == lines and lines


@pytest.mark.parametrize("rule", ["conservative", "q_sum"])
def test_main_decides_by_the_rule_in_force(live_pilot, streaming_board, servers, quick_arduino, capsys, rule):
    vectors = [np.asarray(v, dtype=np.float32) for v in np.random.default_rng(11).standard_normal((40, 5))]
    live_pilot.decision_rule = rule
    try:
        with Recording(live_pilot, windows=8, q_values=vectors):
            live_pilot.main()
    finally:
        live_pilot.decision_rule = "conservative"
    expected = {"conservative": [], "q_sum": []}
    for window in range(8):
        predictions, confidences, q = kept_blocks(None, q_values=vectors[5 * window:5 * window + 5])
        for name, (action, _) in (("conservative", live_pilot.get_conservative_prediction(predictions, confidences)),
                                  ("q_sum", live_pilot.get_summed_prediction(q))):
            if action is not None:
                expected[name].append(f"Mapped Command: {live_pilot.map_action_to_command(action)} "
                                      f"{predictions}{confidences}")
    assert expected["conservative"] != expected["q_sum"]   # the rules part on these windows
    assert [line for line in capsys.readouterr().out.splitlines() if line.startswith("Mapped")] == expected[rule]


def with_nan(window):
    window = np.array(window)
    window[2, 100] = np.nan
    return window


@pytest.mark.parametrize("changes, message", [
    ({"window": with_nan}, "NaN"),
    ({"features": lambda rows: np.where(rows == rows.max(), np.inf, rows)}, "infinity"),
], ids=["window holding NaN", "feature rows holding infinity"])
def test_input_the_transforms_refuse_fails_as_they_do(live_pilot, streaming_board, servers, quick_arduino,
                                                       changes, message):
    simulator, _ = servers
    with Recording(live_pilot, windows=3, **changes), pytest.raises(ValueError, match=message):
        live_pilot.main()
    assert simulator.requests[-1] == "/command/S" and not live_pilot.board.is_prepared()
