"""Shared fixtures: trained artefacts, loopback HTTP servers, a Cyton emulator and the imported module.

Importing live_pilot opens the board and loads the artefacts, so the module is imported once per
session, with the environment pointing at these fixtures.
"""

import importlib
import os
import sys

import pytest

from corvane.standins.cyton_emulator import CytonEmulator
from tests.support.testbed import (FaultyServer, LoopbackServer, build_artefacts, controller_reply, environment,
                                   live_pilot_environment, open_board, restart_stream, simulator_answer, simulator_reply)

EMULATOR_SPEED = 10


@pytest.fixture(scope="session")
def simulator():
    server = LoopbackServer(simulator_reply)
    yield server
    server.close()


@pytest.fixture(scope="session")
def controller():
    server = LoopbackServer(controller_reply)
    yield server
    server.close()


@pytest.fixture
def servers(simulator, controller):
    """Both servers with empty records and their default answers, for one test."""
    for server, reply in ((simulator, simulator_reply), (controller, controller_reply)):
        server.requests.clear()
        server.reply = reply
    yield simulator, controller
    for server, reply in ((simulator, simulator_reply), (controller, controller_reply)):
        server.reply = reply


@pytest.fixture(scope="session")
def artefacts(tmp_path_factory):
    """The artefact directory: CSP filters and scaler from the training pipeline, and a DQN agent."""
    return build_artefacts(tmp_path_factory.mktemp("artefacts"))


@pytest.fixture(scope="session")
def emulator():
    board = CytonEmulator(speed=EMULATOR_SPEED).start()
    yield board
    board.stop()


@pytest.fixture(scope="session")
def live_pilot(artefacts, emulator, simulator, controller):
    """The module, imported in this process against the fixtures above."""
    with environment(**live_pilot_environment(artefacts, emulator.port, simulator, controller)):
        module = importlib.import_module("live_pilot")
    yield module
    module.cleanup_resources()
    sys.modules.pop("live_pilot", None)


@pytest.fixture
def streaming_board(live_pilot):
    """The module's board prepared and streaming (main releases it when it ends)."""
    return restart_stream(live_pilot.board)


@pytest.fixture
def subprocess_env(artefacts, simulator, controller):
    """Environment for a child interpreter that imports the module (board port filled in by the test)."""
    env = dict(os.environ)
    env.update(live_pilot_environment(artefacts, "", simulator, controller))
    env["PYTHONPATH"] = os.pathsep.join(p for p in [os.getcwd(), *sys.path] if p)
    env["PYTHONUNBUFFERED"] = "1"
    return env


@pytest.fixture
def quick_arduino(live_pilot):
    """The module's actuator connection with a short stop pause, back to "S" afterwards."""
    arduino = live_pilot.arduino
    arduino.STOP_DURATION = 0.01
    yield arduino
    arduino.STOP_DURATION = 0.5
    arduino.current_command = "S"


@pytest.fixture
def outputs(live_pilot):
    """Fault stand-ins for the controller and the simulator, wired into the module for one test."""
    controller, simulator = FaultyServer(), FaultyServer(simulator_answer)
    saved = live_pilot.arduino, live_pilot.simulation
    live_pilot.arduino = live_pilot.ArduinoConnection("127.0.0.1", controller.port)
    live_pilot.arduino.STOP_DURATION = 0.01
    live_pilot.simulation = live_pilot.SimulationConnection(simulator.url)
    outputs = type("Outputs", (), {"controller": controller, "simulator": simulator})
    yield outputs
    live_pilot.arduino, live_pilot.simulation = saved
    controller.close()
    simulator.close()


@pytest.fixture
def own_board(live_pilot):
    """A board of its own on a fresh emulator, streaming, in place of the module's for one test."""
    emulator = CytonEmulator(speed=10).start()
    board = open_board(emulator.port)
    board.start_stream()
    saved, live_pilot.board = live_pilot.board, board
    yield emulator
    live_pilot.board = saved
    emulator.stop()
    if board.is_prepared():
        board.release_session()
