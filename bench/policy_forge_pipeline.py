"""Times PolicyForge.setup_eeg + process_epochs on a 105-trial, 6-channel recording (every
epoch through each of the five CSP filters: 525 items of four rows), with featuresarray_load
native and, for comparison, item by item through the libraries.

    .venv/bin/python -m bench.policy_forge_pipeline
"""
import contextlib
import io
import os
import tempfile
import time

import policy_forge
from tests.support.feature_reference import features_per_item
from tests.support.testbed import write_recording


def run(path, base, per_item=False):
    os.environ["CORVANE_PATH"] = base
    forge = policy_forge.PolicyForge()
    if per_item:
        forge.featuresarray_load = features_per_item  # instance attribute shadows the method
    with contextlib.redirect_stdout(io.StringIO()):
        start = time.perf_counter()
        forge.setup_eeg(path)
        loaded = time.perf_counter()
        forge.process_epochs()
        done = time.perf_counter()
    return loaded - start, done - loaded, len(forge.X_train) + len(forge.X_test)


def main():
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "S03_raw.fif")
        write_recording(path, trials_per_class=21)
        native = run(path, folder)
        library = run(path, folder, per_item=True)
    print(f"setup_eeg {native[0]:.2f} s; process_epochs ({native[2]} items) {native[1]:.2f} s native features, "
          f"{library[1]:.2f} s item-by-item features (ratio {library[1] / native[1]:.1f}); "
          f"total {native[0] + native[1]:.2f} s")


if __name__ == "__main__":
    main()
