import numpy as np
import pytest

from tests.support.live_decoding import summed_choice


def test_action_to_command(live_pilot):
    command = live_pilot.map_action_to_command
    assert [command(a) for a in (0, 1, 2, 3)] == ["L", "R", "F", "B"]
    assert [command(a) for a in (np.int64(2), 2.0, True)] == ["F", "F", "R"]
    assert [command(a) for a in (4, -1, None, "0")] == ["S", "S", "S", "S"]
    with pytest.raises(TypeError):
        command([0])


@pytest.mark.parametrize(
    "confidences, threshold, expected",
    [
        ([], 0.5, None),
        ([0.7], 0.5, 0),
        ([0.9, 0.7], 0.5, 1),  # close: the less confident one
        ([0.9, 0.3], 0.5, 0),  # not close: the most confident one
        ([0.8, 0.8], 0.5, 0),  # equal: the earliest
        ([0.9, 0.4], 0.5, 1),  # exactly the threshold counts as close
        ([0.7, 0.9, 0.65, 0.95], 0.5, 2),
        ([0.7, 0.9, 0.9], -0.1, 1),  # nothing close: the first maximum
    ],
)
def test_conservative_choice(live_pilot, confidences, threshold, expected):
    predictions = [10 + i for i in range(len(confidences))]
    result = live_pilot.get_conservative_prediction(predictions, confidences, threshold)
    if expected is None:
        assert result == (None, None)
    else:
        assert result == (predictions[expected], confidences[expected])


def test_conservative_choice_errors(live_pilot):
    with pytest.raises(IndexError):
        live_pilot.get_conservative_prediction([], [0.7])
    with pytest.raises(AttributeError):
        live_pilot.get_conservative_prediction([1, 2], np.array([0.7, 0.8]))
    assert live_pilot.get_conservative_prediction.__doc__.startswith("When confidences are close")


@pytest.mark.parametrize("q_values, expected", [
    ([], None),
    ([[0.2, 0.9, 0.5]], 1),
    ([[10, 0, 0], [0, 6, 5], [0, 6, 5.5]], 1),    # two blocks outvote the sharpest one
    ([[0, 100, 60], [0.3, 0.1, 0.2]], 2),          # each block normalised before the sum
    ([[1, 0, 0], [0, 0, 1]], 0),                   # equal sums: the earliest class
    ([np.float32([3, -1, 2, 2, 0]), (0, 4, 2, 1, 1)], 2),
])
def test_summed_choice(live_pilot, q_values, expected):
    action, total = live_pilot.get_summed_prediction(q_values)
    assert action == expected and action == summed_choice(q_values)
    assert (total is None) == (expected is None)


def test_summed_choice_refuses_blocks_it_cannot_add(live_pilot):
    for q_values in ([[1, 2], [1, 2, 3]], [[1, np.nan]], [[]], [np.zeros((2, 2))]):
        with pytest.raises(ValueError):
            live_pilot.get_summed_prediction(q_values)
