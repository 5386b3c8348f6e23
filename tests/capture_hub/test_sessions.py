import os
from collections import Counter

import numpy as np
import pytest

from tests.capture_hub.helpers import DEFAULT_ACTIONS, SEPARATOR, annotation_text


def test_default_session_hands_out_105_shuffled_trials(hub):
    assert hub.get_next_task() is None
    assert hub.initialize_session(1) is True
    assert annotation_text(hub) == "\nsession1\n"
    sequence = list(hub.task_sequence)
    assert len(sequence) == 105 and hub.current_session_num == 1
    assert Counter(action for action, _ in sequence) == dict.fromkeys(DEFAULT_ACTIONS, 21)
    assert all(instruction == hub.task_names[action][0] for action, instruction in sequence)
    handed = [hub.get_next_task() for _ in range(105)]
    assert handed == sequence and all(isinstance(trial, tuple) for trial in handed)
    assert hub.get_next_task() is None and hub.current_task_index == 105
    # A new session gets a fresh order.
    orders = {tuple(hub.task_sequence)}
    for number in (2, 3):
        hub.initialize_session(number)
        orders.add(tuple(hub.task_sequence))
    assert len(orders) > 1


def test_stop_session_closes_the_block_and_keeps_the_number(hub):
    hub.update_action_names({"Left_Foot": ["Move your left foot", 2], "Eyes_Closed": ["Close your eyes", 0]})
    hub.initialize_session(4)
    assert hub.task_sequence == [("Left_Foot", "Move your left foot")] * 2
    hub.get_next_task()
    assert hub.stop_session() is None
    assert annotation_text(hub) == f"\nsession4\n{SEPARATOR}\n"
    assert (hub.task_sequence, hub.current_task_index, hub.current_session_num) == ([], 0, 4)
    assert hub.get_next_task() is None
    # The same number twice: both blocks are read back together.
    hub.initialize_session(4)
    hub.stop_session()
    assert annotation_text(hub).count("session4") == 2


@pytest.mark.parametrize(
    "value, error, text",
    [
        (["only"], ValueError, "not enough values to unpack (expected 2, got 1)"),
        (["a", 1, 2], ValueError, "too many values to unpack (expected 2)"),
        (5, TypeError, "cannot unpack non-iterable int object"),
        (["a", 1.5], TypeError, "can't multiply sequence by non-int of type 'float'"),
    ],
)
def test_a_malformed_action_table_raises_before_the_header(hub, value, error, text):
    hub.update_action_names({"Relax": ["Relax", 1], "Bad": value})
    with pytest.raises(error) as caught:
        hub.initialize_session(2)
    assert str(caught.value) == text
    assert hub.current_session_num == 2 and hub.task_sequence == [("Relax", "Relax")]
    assert annotation_text(hub) == ""


def tree(top):
    return sorted((root, tuple(sorted(files))) for root, _, files in os.walk(top))


@pytest.mark.parametrize("number", ["../outside", "a/b", "..", "", "x\\y"])
def test_session_numbers_that_would_leave_their_folder_are_refused(hub, base, number):
    before = tree(os.path.dirname(base)), open(hub.annotation_file).read()
    hub.current_session_num = number
    for call in [
        lambda: hub.initialize_session(number),
        lambda: hub.delete_session(number),
        lambda: hub.analyze_session(number),
        lambda: hub.save_to_fif(np.zeros((6, 300))),
    ]:
        with pytest.raises(ValueError, match=r"^Invalid session number: "):
            call()
    assert (tree(os.path.dirname(base)), open(hub.annotation_file).read()) == before
    assert hub.task_sequence == []
