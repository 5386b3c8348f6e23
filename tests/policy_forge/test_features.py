"""Feature rows: the native path against the item-by-item library form, and the statistics."""
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

from corvane.facts import FEATURE_ROW_LENGTH, LIVE_WINDOW, SAMPLING_RATE
from tests.support.feature_reference import BLOCKS, SPECTRUM_BINS, block_errors, features_per_item


@pytest.fixture(scope="module")
def forge(policy_forge):
    return policy_forge.PolicyForge()


# Training epochs, a live window, a short signal (a smaller FFT), odd row counts (a row without a
# partner in the paired transforms), and long rows whose Welch segments (19, then 34) are sorted by
# a network that is not a power of two and, past its limit, selected per bin.
@pytest.mark.parametrize("shape", [(3, 4, 1501), (1, 20, LIVE_WINDOW), (2, 3, 500), (3, 1, 777), (1, 3, 2600), (1, 1, 4500)])
def test_feature_rows_match_the_library_form(forge, shape):
    data = np.random.default_rng(sum(shape)).standard_normal(shape) * 15.0
    result = forge.featuresarray_load(data)
    reference = features_per_item(data)
    assert result.shape == shape[:2] + (FEATURE_ROW_LENGTH,)
    for block, error in block_errors(result, reference).items():
        assert error < 1e-9, block


def test_concurrent_calls_give_the_results_of_single_calls(forge):
    # Each thread needs its own buffers, and the filter plans made for new signal lengths while
    # other threads compute must leave theirs alone.
    rng = np.random.default_rng(5)
    inputs = [rng.standard_normal(shape) for shape in [(4, 5, LIVE_WINDOW), (3, 3, 1501), (2, 2, 9000), (5, 2, 600)]]
    with ThreadPoolExecutor(max_workers=4) as pool:
        results = list(pool.map(forge.featuresarray_load, inputs * 3))
    expected = [forge.featuresarray_load(data) for data in inputs] * 3
    for result, reference in zip(results, expected):
        np.testing.assert_array_equal(result, reference)


def test_inputs_outside_the_native_path_behave_as_the_libraries(forge):
    rng = np.random.default_rng(3)
    # Shorter than a filter, a strided view, a list of items, non-finite values.
    short = rng.standard_normal((2, 2, 300))
    strided = rng.standard_normal((2, 3, 1200))[:, ::2, ::2]
    listed = list(rng.standard_normal((2, 2, 600)))
    with_nan = rng.standard_normal((1, 2, 600))
    with_nan[0, 1, 17] = np.nan
    for data in (short, strided, listed, with_nan):
        np.testing.assert_allclose(forge.featuresarray_load(data_array=data), features_per_item(data),
                                   rtol=1e-9, atol=1e-12, equal_nan=True)

    empty = forge.featuresarray_load(np.empty((0, 4, LIVE_WINDOW)))
    assert empty.shape == (0,)
    for wrong in (np.ones((1, 2, 600), dtype=np.float32), np.ones((1, 2, 600), dtype=np.int64)):
        with pytest.raises(ValueError, match="real floating"):
            forge.featuresarray_load(wrong)


def test_a_band_limited_rhythm_lands_in_its_own_spectrum(forge):
    t = np.arange(LIVE_WINDOW) / SAMPLING_RATE
    data = np.sin(2 * np.pi * 20 * t)[None, None, :]
    row = forge.featuresarray_load(data)[0, 0]
    beta, alpha = row[BLOCKS["beta spectrum"]], row[BLOCKS["alpha spectrum"]]
    frequencies = np.arange(SPECTRUM_BINS) * SAMPLING_RATE / (2 * (SPECTRUM_BINS - 1))
    assert abs(frequencies[np.argmax(beta)] - 20) < 0.5
    assert beta.max() > 100 * alpha.max()


def test_statistics_of_simple_rows(forge):
    constant = np.full((2, 100), -3.0)
    assert forge._peaktopeak(constant).ravel().tolist() == [0, 0]
    assert forge._abs_diff_signal(constant).ravel().tolist() == [0, 0]
    assert forge._variance(constant).ravel().tolist() == [0, 0]
    assert forge._stddev(constant).ravel().tolist() == [0, 0]
    assert forge._mean(constant).ravel().tolist() == [-3, -3]
    np.testing.assert_allclose(forge._rms(constant).ravel(), [3, 3])
    assert forge._abs_diff_signal(np.array([0.0, 1.0, 0.0, 1.0])).tolist() == [[3.0]]
    assert forge._mean(np.zeros((2, 3, 100))).shape == (6, 1)
    sample = np.random.default_rng(0).standard_normal((1, 20000))
    assert abs(forge._kurtosis(sample)[0, 0]) < 0.2
    features = forge._concat_features(np.random.default_rng(1).standard_normal((3, 50)))
    assert features.shape == (3, 8)


def test_wavelet_transform_per_row(forge):
    data = np.random.default_rng(0).standard_normal((5, 200))
    assert forge._apply_cwt(data, np.arange(1, 11)).shape == (5, 10, 200)
