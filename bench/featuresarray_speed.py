"""Times PolicyForge.featuresarray_load against the item-by-item library form on a training
session's epochs and on one live window, in one run, and prints the speed-up ratios.

    .venv/bin/python -m bench.featuresarray_speed
"""
import time

import numpy as np

import policy_forge
from corvane.facts import LIVE_WINDOW
from tests.support.feature_reference import block_errors, features_per_item

CASES = [("training session", (105, 4, 1501), 5), ("live window", (1, 20, LIVE_WINDOW), 100)]


def best_time(function, data, repeats):
    function(data)  # warm-up: filter design, imports
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        function(data)
        times.append(time.perf_counter() - start)
    return min(times), float(np.median(times))


def main():
    forge = policy_forge.PolicyForge()
    rng = np.random.default_rng(0)
    print(f"{'case':<18}{'shape':<16}{'library ms':>12}{'native ms':>12}{'ratio (best)':>14}{'ratio (median)':>16}")
    for name, shape, repeats in CASES:
        data = rng.standard_normal(shape) * 10.0
        errors = block_errors(forge.featuresarray_load(data), features_per_item(data))
        library_best, library_median = best_time(features_per_item, data, repeats)
        native_best, native_median = best_time(forge.featuresarray_load, data, repeats)
        print(f"{name:<18}{str(shape):<16}{library_best * 1e3:>12.2f}{native_best * 1e3:>12.2f}"
              f"{library_best / native_best:>14.1f}{library_median / native_median:>16.1f}")
        print(f"{'':<18}largest relative deviation per block: "
              + ", ".join(f"{block} {error:.1e}" for block, error in errors.items()))


if __name__ == "__main__":
    main()
