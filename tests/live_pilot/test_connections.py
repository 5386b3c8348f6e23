import json
import socket
import subprocess
import sys
import time

import pytest

from tests.support.testbed import FAULTS, FaultyServer, environment, simulator_answer


def unused_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def test_module_connections_use_the_configured_addresses(live_pilot, simulator, controller):
    assert live_pilot.simulation.host == simulator.url
    assert (live_pilot.arduino.host, live_pilot.arduino.port) == ("127.0.0.1", controller.port)
    fresh = vars(live_pilot.ArduinoConnection("h", 80))
    assert list(fresh.items()) == [("host", "h"), ("port", 80), ("current_command", "S"), ("STOP_DURATION", 0.5)]


def test_simulator_replies(live_pilot, servers):
    simulator, _ = servers
    connection = live_pilot.SimulationConnection(simulator.url)
    assert connection.send_command("F") is True
    assert connection.send_command("X") is False  # {"status": "error"}
    assert simulator.requests == ["/command/F", "/command/X"]

    replies = {
        "/command/a": (200, json.dumps({"status": "OK"}), 0),
        "/command/b": (500, json.dumps({"status": "ok"}), 0),  # the status code is not looked at
        "/command/c": (200, "not json", 0),
        "/command/d": (200, json.dumps({"state": "ok"}), 0),
        "/command/e": (200, json.dumps(["ok"]), 0),
    }
    simulator.reply = lambda path: replies[path]
    assert [connection.send_command(c) for c in "abcde"] == [False, True, False, False, False]
    assert connection.close() is None


def test_simulator_down_or_silent_gives_false_within_a_second(live_pilot, servers, capsys):
    simulator, _ = servers
    assert live_pilot.SimulationConnection(f"http://127.0.0.1:{unused_port()}").send_command("S") is False
    simulator.reply = lambda path: (200, json.dumps({"status": "ok"}), 3)
    started = time.monotonic()
    assert live_pilot.SimulationConnection(simulator.url).send_command("S") is False
    assert time.monotonic() - started < 2.5
    assert capsys.readouterr().out == ""


def test_controller_change_sequence(live_pilot, servers, capsys):
    _, controller = servers
    arduino = live_pilot.ArduinoConnection("127.0.0.1", controller.port)
    arduino.STOP_DURATION = 0.05
    arduino.send_command("S")
    assert controller.requests == [] and capsys.readouterr().out == ""

    started = time.monotonic()
    arduino.send_command("F")
    assert time.monotonic() - started >= 0.05  # the pause between stop and command
    arduino.send_command("F")
    assert controller.requests == ["/S", "/F"] and arduino.current_command == "F"
    assert capsys.readouterr().out == "Stopping for 1 second...\nChanged to new command: F\n"

    arduino.send_command("S")
    assert controller.requests == ["/S", "/F", "/S", "/S"]
    assert capsys.readouterr().out.endswith("Changed to new command: S\n")

    arduino.close()
    assert controller.requests[-1] == "/S" and arduino.current_command == "S"


@pytest.fixture
def faulty_controller():
    server = FaultyServer()
    yield server
    server.close()


@pytest.mark.parametrize("fault", FAULTS)
def test_controller_faults_leave_the_command_unacknowledged(live_pilot, faulty_controller, fault, capsys):
    arduino = live_pilot.ArduinoConnection("127.0.0.1", faulty_controller.port)
    arduino.STOP_DURATION = 0
    assert arduino._send_http_command("S") is True

    started = time.monotonic()
    faulty_controller.fail(fault)
    assert arduino._send_http_command("F") is False
    assert time.monotonic() - started < 1.5  # within the one-second limit
    assert capsys.readouterr().out.startswith("HTTP request error: ")

    # A change meeting the fault is not in force, so the next decision tries it again.
    arduino.send_command("R")
    lines = capsys.readouterr().out.splitlines()
    assert arduino.current_command == "S" and "Changed to new command: R" not in lines
    if fault == "refuse":  # the stop itself was never heard: nothing moves, one line says so
        assert lines[-1] == "Actuator did not acknowledge the stop command after 3 tries: it may still be moving"
        assert len(lines) == 5
    faulty_controller.heal()
    arduino.send_command("R")
    assert arduino.current_command == "R" and capsys.readouterr().out.endswith("Changed to new command: R\n")
    assert faulty_controller.acked()[-2:] == ["S", "R"]
    assert not [path for _, path, _ in faulty_controller.log if path.startswith("/redirected")]


@pytest.mark.parametrize("fault", FAULTS)
def test_simulator_faults_give_false_within_the_deadline(live_pilot, fault, capsys):
    simulator = FaultyServer(simulator_answer)
    try:
        simulation = live_pilot.SimulationConnection(simulator.url)
        assert simulation.send_command("S") is True
        simulator.fail(fault)
        started = time.monotonic()
        assert simulation.send_command("F") is False
        assert time.monotonic() - started < 1.5  # one deadline for the whole answer
        simulator.heal()
        assert simulation.send_command("S") is True
        assert not [path for _, path, _ in simulator.log if path.startswith("/redirected")]
    finally:
        simulator.close()
    assert capsys.readouterr().out == ""


def test_links_take_no_proxy_from_the_environment(live_pilot, faulty_controller):
    proxy, simulator = FaultyServer(simulator_answer), FaultyServer(simulator_answer)
    try:
        with environment(HTTP_PROXY=proxy.url, http_proxy=proxy.url, ALL_PROXY=proxy.url, all_proxy=proxy.url,
                         NO_PROXY=None, no_proxy=None):
            arduino = live_pilot.ArduinoConnection("127.0.0.1", faulty_controller.port)
            assert arduino._send_http_command("S") is True
            assert live_pilot.SimulationConnection(simulator.url).send_command("S") is True
        assert proxy.log == [] and faulty_controller.acked() == ["S"] and simulator.acked() == ["S"]
    finally:
        proxy.close()
        simulator.close()


IMPORT_WITH = """
import importlib, os, sys
for case in sys.argv[1:]:
    name, value = case.split("=", 1)
    os.environ.update({"CORVANE_SERIAL_PORT": "/dev/null", name: value})
    try:
        importlib.import_module("live_pilot")
    except Exception as error:
        print("RESULT", type(error).__name__, str(error).splitlines()[0])
    os.environ.pop(name)
"""

ACTUATOR, SIMULATOR, RULE = "CORVANE_ACTUATOR_HOST", "CORVANE_SIMULATOR_URL", "CORVANE_DECISION_RULE"
# (variable, value, accepted)
SETTINGS = [
    (ACTUATOR, "127.0.0.1:8080/?", False), (ACTUATOR, "host:0", False), (ACTUATOR, "host:65536", False),
    (ACTUATOR, "host:", False), (ACTUATOR, "http://host", False), (ACTUATOR, "-host", False),
    (ACTUATOR, "1.2.3.256", False), (ACTUATOR, "a host", False), (ACTUATOR, "[::1", False), (ACTUATOR, "", False),
    (SIMULATOR, "localhost:5000", False), (SIMULATOR, "ftp://host", False), (SIMULATOR, "http://host/?x=1", False),
    (SIMULATOR, "http://host/#top", False), (SIMULATOR, "http://user@host", False),
    (SIMULATOR, "http://host:99999", False), (SIMULATOR, "http://", False), (SIMULATOR, "http://host/a b", False),
    (ACTUATOR, "[::1]:8080", True), (SIMULATOR, "https://sim-1.example:8443/base/path", True),
    (RULE, "majority", False), (RULE, "Q_SUM", False), (RULE, "q_sum", True), (RULE, "", True),
]


@pytest.mark.slow
def test_malformed_settings_fail_the_import(subprocess_env):
    cases = [f"{name}={value}" for name, value, _ in SETTINGS]
    result = subprocess.run([sys.executable, "-c", IMPORT_WITH, *cases], env=subprocess_env,
                            capture_output=True, text=True, timeout=240)
    outcomes = [line.split(" ", 2)[1:] for line in result.stdout.splitlines() if line.startswith("RESULT ")]
    assert len(outcomes) == len(SETTINGS), result.stderr[-3000:]
    for (name, value, accepted), (raised, message) in zip(SETTINGS, outcomes):
        if accepted:  # on to opening the board, which is not there
            assert raised == "BrainFlowError", (value, message)
        else:
            assert raised == "ValueError" and message.startswith(f"{name} must be ") and repr(value) in message


def test_commands_share_one_kept_alive_connection_per_output(live_pilot, faulty_controller):
    simulator = FaultyServer(simulator_answer)
    try:
        arduino = live_pilot.ArduinoConnection("127.0.0.1", faulty_controller.port)
        simulation = live_pilot.SimulationConnection(simulator.url)
        assert all(arduino._send_http_command(c) and simulation.send_command(c) for c in "SFSRS")
        assert (faulty_controller.connections_opened, simulator.connections_opened) == (1, 1)
    finally:
        simulator.close()


def test_an_unacknowledged_stop_is_retried(live_pilot, faulty_controller, capsys):
    arduino = live_pilot.ArduinoConnection("127.0.0.1", faulty_controller.port)
    arduino.current_command = "F"
    faulty_controller.fail("drop", times=2)
    arduino.close()
    assert faulty_controller.acked() == ["S"] and arduino.current_command == "S"
    assert capsys.readouterr().out.count("HTTP request error: ") == 2


def test_controller_failures_inside_a_change(live_pilot, capsys):
    class Failing(live_pilot.ArduinoConnection):
        def _send_http_command(self, command):
            raise RuntimeError("wire cut")

    arduino = Failing("127.0.0.1", 80)
    arduino.send_command("B")
    assert capsys.readouterr().out.splitlines() == ["Stopping for 1 second...", "Connection error: wire cut"]
    assert arduino.current_command == "S"

    class Interrupted(live_pilot.ArduinoConnection):
        def _send_http_command(self, command):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        Interrupted("127.0.0.1", 80).send_command("B")
