import numpy as np
import pytest

from corvane.facts import LIVE_BUFFER, LIVE_OVERLAP, LIVE_STEP, LIVE_WINDOW
from tests.support.testbed import ReferenceRing

LIVE = dict(buffer_size=LIVE_BUFFER, window_size=LIVE_WINDOW, overlap_ratio=LIVE_OVERLAP)


def ring(live_pilot, *args, **kwargs):
    return live_pilot.MultiChannelCircularBuffer(*args, **kwargs)


def test_construction_prints_and_sets_attributes_in_order(live_pilot, capsys):
    buffer = ring(live_pilot, 6, **LIVE)
    overlap = LIVE_WINDOW - LIVE_STEP
    assert capsys.readouterr().out.splitlines() == [
        "Initialized circular buffer:",
        f"- Buffer size: {LIVE_BUFFER} samples (50.0s)",
        f"- Window size: {LIVE_WINDOW} samples (5.0s)",
        f"- Overlap: 65% ({overlap} samples)",
        f"- Step size: {LIVE_STEP} samples (1.752s)",
    ]
    assert list(vars(buffer)) == ["buffer", "buffer_size", "window_size", "overlap_samples", "step_size", "index", "last_window_end"]
    assert (buffer.overlap_samples, buffer.step_size, buffer.index, buffer.last_window_end) == (overlap, LIVE_STEP, 0, 0)
    assert buffer.buffer.shape == (6, LIVE_BUFFER) and buffer.buffer.dtype == np.float64 and not buffer.buffer.any()

    ring(live_pilot, num_channels=2, buffer_size=5000)
    default_step = LIVE_WINDOW // 5  # the class's default overlap is 80 %
    assert (f"- Overlap: 80% ({LIVE_WINDOW - default_step} samples)\n- Step size: {default_step} samples (1.000s)"
            in capsys.readouterr().out)


def test_step_counting_and_boundaries(live_pilot):
    buffer = ring(live_pilot, 6, **LIVE)
    assert buffer.add_data(np.ones((6, 300))) is False
    assert buffer.add_data(np.ones((6, 0))) is False  # an empty block counts nothing
    assert buffer.add_data(np.ones((6, 200))) is True and buffer.index == 500
    assert buffer.add_data(np.ones((6, 0))) is True  # still due: only get_window restarts the count

    window = buffer.get_window()  # wraps: the last columns of the storage, then 0..499
    assert buffer.last_window_end == 500 and window.shape == (6, LIVE_WINDOW)
    assert not window[:, :-500].any() and (window[:, -500:] == 1).all()

    buffer.add_data(np.ones((6, LIVE_BUFFER - 500)))  # ends exactly at the end of the storage
    assert buffer.index == 0

    fresh = ring(live_pilot, 1, 100, window_size=10, overlap_ratio=0.5)
    assert fresh.add_data(np.ones((1, 100))) is False  # a full lap reads as zero new samples
    assert fresh.get_window().shape == (1, 10) and fresh.index == 0


def test_window_is_a_live_view_unless_it_wraps(live_pilot):
    buffer = ring(live_pilot, 2, 20, window_size=5, overlap_ratio=0.0)
    buffer.add_data(np.arange(16.0).reshape(2, 8))
    view = buffer.get_window()
    assert np.shares_memory(view, buffer.buffer)
    np.testing.assert_array_equal(view, [[3, 4, 5, 6, 7], [11, 12, 13, 14, 15]])

    buffer.add_data(np.full((2, 14), 9.0))  # index 8 -> 2, wrapping
    wrapped = buffer.get_window()
    assert not np.shares_memory(wrapped, buffer.buffer) and wrapped.flags.c_contiguous
    np.testing.assert_array_equal(wrapped, np.full((2, 5), 9.0))


def test_random_blocks_match_plain_slicing(live_pilot):
    """Native copies against NumPy slicing, through many wraps, with strided and one-row blocks."""
    rng = np.random.default_rng(3)
    buffer = ring(live_pilot, 3, 97, window_size=40, overlap_ratio=0.3)
    reference = ReferenceRing(3, 97, 40, 0.3)
    for _ in range(300):
        n = int(rng.integers(0, 2 * 97 - buffer.index))  # larger blocks raise (tested below)
        kind = rng.integers(0, 3)
        if kind == 0:
            block = rng.normal(size=(3, n))
        elif kind == 1:
            block = rng.normal(size=(n, 3)).T  # not C-contiguous
        else:
            block = rng.normal(size=(1, n))  # broadcast to every row
        assert buffer.add_data(block) == reference.add(block)
        assert buffer.index == reference.index
        if rng.random() < 0.3:
            np.testing.assert_array_equal(buffer.get_window(), reference.window_data())
    np.testing.assert_array_equal(buffer.buffer, reference.buffer)


def test_host_changes_to_the_attributes_are_honoured(live_pilot):
    buffer = ring(live_pilot, 2, 10, window_size=4, overlap_ratio=0.5)
    buffer.index = 7
    buffer.add_data(np.ones((2, 2)))
    assert buffer.index == 9 and buffer.buffer[:, 7:9].all()

    buffer.buffer = np.zeros((2, 10), dtype=np.float32)  # not float64: NumPy does the copy
    buffer.add_data(np.full((2, 3), 2.0))
    np.testing.assert_array_equal(buffer.buffer[0], [2, 2, 0, 0, 0, 0, 0, 0, 0, 2])

    own = np.zeros((2, 10))
    buffer.buffer = own
    buffer.add_data(np.array([[1, 2], [3, 4]]))  # integers are cast as NumPy casts them
    np.testing.assert_array_equal(own[:, 2:4], [[1, 2], [3, 4]])


def test_self_overlapping_block_is_copied_as_numpy_would(live_pilot):
    buffer = ring(live_pilot, 1, 10, window_size=4, overlap_ratio=0.0)
    buffer.add_data(np.arange(10.0).reshape(1, 10))
    buffer.index = 2
    buffer.add_data(buffer.buffer[:, 0:5])
    np.testing.assert_array_equal(buffer.buffer[0], [0, 1, 0, 1, 2, 3, 4, 7, 8, 9])


def test_bad_blocks_raise_numpy_errors(live_pilot):
    buffer = ring(live_pilot, 6, 100, window_size=10, overlap_ratio=0.5)
    with pytest.raises(ValueError):
        buffer.add_data(np.ones((3, 5)))
    with pytest.raises(IndexError):
        buffer.add_data(np.ones(5))
    buffer.index = 50
    with pytest.raises(ValueError):
        buffer.add_data(np.ones((6, 150)))  # wraps past a whole lap
    assert buffer.index == 50
    buffer.add_data(np.arange(149.0)[None, :].repeat(6, axis=0))  # one less is stored, newest kept
    assert buffer.index == 99 and buffer.buffer[0, 98] == 148 and buffer.buffer[0, 49] == 99


class LyingShape(np.ndarray):
    """A block that claims far more samples than its memory holds."""

    @property
    def shape(self):
        return (6, 10**6)


def test_block_length_comes_from_the_array_itself(live_pilot):
    buffer = ring(live_pilot, 6, 100, window_size=10, overlap_ratio=0.5)
    block = np.arange(60.0).reshape(6, 10).view(LyingShape)
    assert block.shape == (6, 10**6)
    assert buffer.add_data(block) is True
    assert buffer.index == 10
    np.testing.assert_array_equal(buffer.buffer[:, :10], np.arange(60.0).reshape(6, 10))
    assert not buffer.buffer[:, 10:].any()
