"""Benchmarks, run as `python -m bench.<name>` from the checkout.

Importing the package points the base directory, the artefact directory and the serial port at a
temporary folder of the run's (removed at exit), so no benchmark writes the modules' default base
directory into the working folder; a benchmark sets its own folders on top of these.
"""
import atexit
import os
import shutil
import tempfile

_FOLDER = tempfile.mkdtemp(prefix="corvane-bench-")
atexit.register(shutil.rmtree, _FOLDER, True)
for _name in ("CORVANE_PATH", "CORVANE_ARTEFACT_DIR", "CORVANE_SERIAL_PORT"):
    os.environ[_name] = os.path.join(_FOLDER, _name.lower())
