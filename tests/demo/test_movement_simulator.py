import json
import math
import shutil
import socket
import urllib.error
import urllib.request

import pytest

from corvane.standins.movement_simulator import MovementSimulator


def get(url):
    try:
        with urllib.request.urlopen(url, timeout=5) as r:
            return r.status, r.read()
    except urllib.error.HTTPError as e:
        return e.code, e.read()


@pytest.fixture
def simulator():
    with MovementSimulator(port=0) as sim:
        yield sim


def test_command_protocol(simulator):
    for letter in "SLRFB":
        assert get(f"{simulator.url}/command/{letter}") == (200, b'{"status": "ok"}')
    for bad in ["X", "f", "FF", "", "S/extra", "%53"]:
        status, body = get(f"{simulator.url}/command/{bad}")
        assert (status, json.loads(body)) == (400, {"status": "error"}), bad
    assert list(simulator.commands) == list("SLRFB")
    assert json.loads(get(f"{simulator.url}/state")[1]) == {"command": "B", "received": 5}
    assert get(f"{simulator.url}/nothing")[0] == 404
    status, page = get(simulator.url + "/")
    assert status == 200 and b"<canvas" in page
    # The page loads nothing from elsewhere: no external scripts, styles, fonts or images.
    assert b"http" not in page.replace(b"http-equiv", b"")


def test_listens_on_loopback_only_and_frees_its_port():
    sim = MovementSimulator(port=0).start()
    assert sim.url.startswith("http://127.0.0.1:")
    port = sim.port
    with pytest.raises(OSError):
        MovementSimulator(port=port).start()   # a port in use is reported, not ignored
    sim.stop()
    sim.stop()
    with socket.socket() as s:                  # the port is free again after stop
        s.bind(("127.0.0.1", port))


def test_event_stream_delivers_commands_in_order(simulator):
    get(f"{simulator.url}/command/F")
    stream = urllib.request.urlopen(simulator.url + "/events", timeout=5)
    events = []

    def next_event():
        kind = data = None
        while True:
            line = stream.readline().decode().rstrip("\n")
            if line.startswith("event: "):
                kind = line[7:]
            elif line.startswith("data: "):
                data = json.loads(line[6:])
            elif line == "" and kind:
                return kind, data

    events.append(next_event())
    get(f"{simulator.url}/command/L")
    get(f"{simulator.url}/command/S")
    events += [next_event(), next_event()]
    assert events == [("state", {"command": "F", "received": 1}),
                      ("command", {"command": "L", "received": 2}),
                      ("command", {"command": "S", "received": 3})]
    simulator.stop()   # ends the open stream instead of hanging on it
    assert stream.read() == b""


@pytest.mark.skipif(shutil.which("chromium") is None, reason="needs Debian's chromium")
def test_page_follows_commands_live_in_headless_chromium(simulator, tmp_path):
    from corvane.web.browser import HeadlessBrowser

    def send(letter):
        assert get(f"{simulator.url}/command/{letter}")[0] == 200

    with HeadlessBrowser() as browser:
        browser.open(simulator.url + "/", wait_for="window.simulatorState().connected")
        state = browser.evaluate("window.simulatorState()")
        assert (state["command"], state["received"], state["x"], state["y"]) == ("S", 0, 0, 0)

        send("F")
        browser.wait_until("window.simulatorState().x > 20")
        moved = browser.evaluate("window.simulatorState()")
        assert moved["command"] == "F" and abs(moved["y"]) < 1e-6 and moved["heading"] == 0

        send("L")
        browser.wait_until("window.simulatorState().heading > 0.5")
        turned = browser.evaluate("window.simulatorState()")
        assert abs(turned["x"] - moved["x"]) < 40   # turning on the spot, not driving on

        send("S")
        browser.wait_until("document.body.dataset.command === 'S'")
        stopped = browser.evaluate("window.simulatorState()")
        still = browser.evaluate("new Promise(r => setTimeout(() => r(window.simulatorState()), 300))")
        assert (still["x"], still["y"], still["heading"]) == (stopped["x"], stopped["y"],
                                                              stopped["heading"])
        send("B")
        browser.wait_until("Math.hypot(window.simulatorState().x - %r, window.simulatorState().y - %r) > 10"
                           % (stopped["x"], stopped["y"]))
        back = browser.evaluate("window.simulatorState()")
        # Backward means against the heading.
        step = (back["x"] - stopped["x"], back["y"] - stopped["y"])
        assert step[0] * math.cos(stopped["heading"]) + step[1] * math.sin(stopped["heading"]) < 0

        assert get(f"{simulator.url}/command/Q")[0] == 400          # refused: the page ignores it
        assert browser.evaluate("document.body.dataset.received") == "4"
        assert browser.evaluate("document.getElementById('command').textContent") == "B"

        shot = browser.screenshot(tmp_path / "page.png")
        assert shot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
        requested = browser.requested
        assert requested and all(u.startswith(simulator.url) for u in requested), requested
