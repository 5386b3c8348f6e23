"""The one place the host side sets environment variables.

The modules read their configuration from the environment when an object is built or a module is
imported (CaptureHub, PolicyForge and RunProfile read CORVANE_PATH, CaptureHub the serial port,
live_pilot everything on import). The pipeline passes configuration as arguments and sets the
variables only around those calls, with `module_environment`, which restores what was there on
exit. A child process gets the same names as an explicit dict from `module_variables`.
"""
import contextlib
import os
import tempfile
import threading
from pathlib import Path

# Where the libraries the modules use keep caches, configs and temporary files, relative to a
# folder of the host's choosing (so a run writes nothing outside its base directory).
LIBRARY_FOLDERS = {"KERAS_HOME": ".keras", "MPLCONFIGDIR": ".matplotlib", "MNE_HOME": ".mne",
                   "TORCH_HOME": ".torch", "XDG_CACHE_HOME": ".cache", "TMPDIR": "tmp"}
# Native TensorFlow's own chatter: warnings and errors only, unless the user asked otherwise.
QUIET_LIBRARIES = {"TF_CPP_MIN_LOG_LEVEL": "2"}

# One change of the environment at a time, so nested and concurrent uses restore in order.
_lock = threading.RLock()


def module_variables(*, base=None, serial_port=None, artefact_dir=None, simulator_url=None,
                     actuator_host=None, library_home=None):
    """The environment variables the modules read, for the settings given (None: not set here).

    base: CORVANE_PATH; serial_port: CORVANE_SERIAL_PORT; artefact_dir: CORVANE_ARTEFACT_DIR;
    simulator_url: CORVANE_SIMULATOR_URL; actuator_host: CORVANE_ACTUATOR_HOST (host[:port]);
    library_home: the folder under which the libraries' caches, configs and TMPDIR go."""
    values = {"CORVANE_PATH": base, "CORVANE_SERIAL_PORT": serial_port, "CORVANE_ARTEFACT_DIR": artefact_dir,
              "CORVANE_SIMULATOR_URL": simulator_url, "CORVANE_ACTUATOR_HOST": actuator_host}
    variables = {name: str(value) for name, value in values.items() if value is not None}
    if library_home is not None:
        home = Path(library_home)
        variables.update({name: str(home / sub) for name, sub in LIBRARY_FOLDERS.items()})
    return variables


@contextlib.contextmanager
def module_environment(**settings):
    """Sets the variables of `module_variables(**settings)` for the block and restores the
    environment (and tempfile's folder, which follows TMPDIR) on exit."""
    variables = module_variables(**settings)
    with _lock:
        if "TMPDIR" in variables:
            Path(variables["TMPDIR"]).mkdir(parents=True, exist_ok=True)
            variables.update({k: v for k, v in QUIET_LIBRARIES.items() if k not in os.environ})
        saved = {name: os.environ.get(name) for name in variables}
        saved_tempdir = tempfile.tempdir
        os.environ.update(variables)
        if "TMPDIR" in variables:
            tempfile.tempdir = variables["TMPDIR"]
        try:
            yield variables
        finally:
            for name, value in saved.items():
                if value is None:
                    os.environ.pop(name, None)
                else:
                    os.environ[name] = value
            tempfile.tempdir = saved_tempdir
