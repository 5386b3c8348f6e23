"""Set-up shared by the live_pilot benchmarks: the module imported against loopback stand-ins."""

import contextlib
import importlib
import io
import os
import tempfile

import numpy as np

from tests.support.testbed import LoopbackServer, controller_reply, live_pilot_environment, simulator_reply


def import_live_pilot(artefacts, board_port, simulator=None, controller=None):
    """Imports live_pilot against the artefacts, the board on `board_port` and two servers
    (loopback servers unless given)."""
    simulator = simulator or LoopbackServer(simulator_reply)
    controller = controller or LoopbackServer(controller_reply)
    os.environ.update(live_pilot_environment(artefacts, board_port, simulator, controller))
    with contextlib.redirect_stdout(io.StringIO()):
        module = importlib.import_module("live_pilot")
    return module, simulator, controller


def temporary_folder():
    return tempfile.TemporaryDirectory(prefix="live_pilot_bench_")


def percentile(values, q):
    return float(np.percentile(np.asarray(values) * 1e3, q))
