"""The studio answers only its own pages with its token, and bad input gets a plain message."""
import threading
import time

import pytest

from tests.support.board_faults import controlled_emulator_process
from tests.support.fault_standins import FaultyServer
from tests.support.studio_client import request, studio_served


@pytest.fixture(scope="module")
def served(tmp_path_factory):
    with studio_served(tmp_path_factory.mktemp("studio")) as pair:
        yield pair


def own(server):
    return f"http://127.0.0.1:{server.port}"


DEEP = b"[" * 30_000 + b"]" * 30_000   # within the size cap, past the parser's recursion
BIG = 200 * 1024
FOREIGN_COOKIES = 'prefs={{"theme":"dark"}}; a[b]=1; corvane_studio_token=guess'   # braces doubled for format()

# (method, path, headers, body, token sent in its header, expected status)
REQUESTS = {
    "no token": ("GET", "/api/status", {}, None, False, 403),
    "a wrong token": ("GET", "/api/status", {"X-Studio-Token": "guess"}, None, False, 403),
    "the token in the header": ("GET", "/api/status", {}, None, True, 200),
    "the token in a cookie only": ("GET", "/api/status", {"Cookie": "corvane_studio_token={token}"}, None, False, 403),
    "foreign unparsable cookies": ("POST", "/api/stop", {"Cookie": FOREIGN_COOKIES}, {}, True, 200),
    "a page, without the token": ("GET", "/live", {}, None, False, 200),
    "a foreign Host": ("GET", "/api/status", {"Host": "evil.example:{port}"}, None, True, 403),
    "no Host": ("GET", "/api/status", {"Host": None}, None, True, 400),
    "a page for a foreign Host": ("GET", "/live", {"Host": "evil.example:{port}"}, None, False, 403),
    "another site's Origin": ("POST", "/api/stop", {"Origin": "http://evil.example"}, {}, True, 403),
    "the null Origin": ("POST", "/api/stop", {"Origin": "null"}, {}, True, 403),
    "its own Origin": ("POST", "/api/stop", {"Origin": "{own}"}, {}, True, 200),
    "a cross-site fetch": ("GET", "/api/status", {"Sec-Fetch-Site": "cross-site"}, None, True, 403),
    "a form post": ("POST", "/api/stop", {"Content-Type": "application/x-www-form-urlencoded"}, None, True, 415),
    "a PUT": ("PUT", "/api/stop", {}, None, True, 405),
    "a body that is not JSON": ("POST", "/api/stop", {"Content-Type": "application/json"}, b"abc", True, 400),
    "a body declared too large": ("POST", "/api/stop", {"Content-Length": str(BIG)}, b"{}", True, 413),
    "a body too large, in chunks": ("POST", "/api/stop", {}, [b" " * 8192] * (BIG // 8192) + [b"{}"], True, 413),
    "JSON 30,000 deep": ("POST", "/api/stop", {}, DEEP, True, 400),
    "JSON nine deep": ("POST", "/api/stop", {}, {"a": [[[[[[[[1]]]]]]]]}, True, 400),
    "a field too long": ("POST", "/api/session/profile", {}, {"actions": {"Relax": "x" * 5000}}, True, 400),
}


@pytest.mark.parametrize("case", REQUESTS)
def test_requests_are_guarded(served, case):
    studio, server = served
    method, path, headers, body, token, expected = REQUESTS[case]
    fill = dict(port=server.port, token=studio.token, own=own(server))
    headers = {k: v.format(**fill) if v else v for k, v in headers.items()}
    status, _, answer = request(server, method, path, headers, body, token=token)
    assert status == expected, answer
    assert status != 400 or "Traceback" not in str(answer)


def test_the_printed_url_hands_the_token_to_the_page_and_sets_no_cookie(served):
    studio, server = served
    status, headers, _ = request(server, "GET", f"/?token={studio.token}", token=False)
    assert status == 303 and headers["location"] == f"/board?token={studio.token}"
    assert "set-cookie" not in {name.lower() for name in headers}


# (path, body, words the message must hold)
BAD_INPUT = {
    "a wrong port": ("/api/board/connect", {"port": "/dev/corvane-no-such-port"}, "did not open on /dev/corvane-no-such-port"),
    "no port at all": ("/api/board/connect", {"port": " "}, "serial port"),
    "live before training": ("/api/live/start", {"emulator": True}, "No trained decoder"),
    "a session with no board": ("/api/session/start", {}, "Connect the board"),
    "repetitions that are not a number": ("/api/session/profile", {"repetitions": "many"}, "repetitions must be a number"),
    "an unknown action": ("/api/session/profile", {"actions": {"Dance": "dance"}}, "unknown action 'Dance'"),
    "settings of a session never saved": ("/api/session/load", {"session": 77}, "No saved settings for session 77"),
}


@pytest.mark.parametrize("case", BAD_INPUT)
def test_bad_input_gets_a_plain_message(served, case):
    studio, server = served
    path, body, words = BAD_INPUT[case]
    status, _, answer = request(server, "POST", path, body=body)
    assert status == 400 and words in answer["error"]
    assert not studio.board.connected and not studio.live.running


def test_a_second_studio_on_the_same_base_changes_nothing_but_its_stop_still_sends_s(served, monkeypatch):
    studio, server = served
    controller = FaultyServer()
    monkeypatch.setenv("CORVANE_ACTUATOR_HOST", f"127.0.0.1:{controller.port}")
    try:
        with studio_served(studio.base) as (second, second_server):
            status, _, answer = request(second_server, "POST", "/api/board/connect", body={"emulator": True})
            assert status == 409 and "Another studio is already using" in answer["error"]
            assert request(second_server, "GET", "/api/status")[2]["blocked"] == answer["error"]
            assert second.board.emulator is None
            controller.clear()
            status, _, answer = request(second_server, "POST", "/api/stop", body={})
            assert status == 200 and answer["acknowledged"], answer
            assert [path for _, path, _ in controller.log] == ["/S"]
    finally:
        controller.close()
    assert studio.blocked is None


def test_one_thing_starts_at_a_time(tmp_path):
    """Two session starts at once: one runs, one is refused; while it runs, nothing else starts."""
    with studio_served(tmp_path, speed=10) as (studio, server):
        assert request(server, "POST", "/api/board/connect", body={"emulator": True})[0] == 200
        settings = {"repetitions": 1, "record_duration": 10, "break_duration": 0}
        answers = [None, None]
        ready = threading.Barrier(2)

        def start(k):
            ready.wait()
            answers[k] = request(server, "POST", "/api/session/start", body=settings)

        threads = [threading.Thread(target=start, args=(k,)) for k in range(2)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        try:
            assert sorted(status for status, _, _ in answers) == [200, 400], answers
            for path in ("/api/session/start", "/api/train/start", "/api/live/start"):
                status, _, answer = request(server, "POST", path, body={"emulator": True})
                assert status == 400 and answer["error"].startswith("A session is running"), (path, answer)
        finally:
            request(server, "POST", "/api/session/stop", body={})
            deadline = time.monotonic() + 30
            while studio.session.running and time.monotonic() < deadline:
                time.sleep(0.05)


@pytest.mark.slow
def test_a_board_unplugged_mid_session_keeps_what_was_recorded(tmp_path):
    with controlled_emulator_process(speed=10) as board, studio_served(tmp_path) as (studio, server):
        assert request(server, "POST", "/api/board/connect", body={"port": board.port})[0] == 200
        settings = {"repetitions": 3, "record_duration": 2, "break_duration": 0}
        assert request(server, "POST", "/api/session/start", body=settings)[0] == 200
        deadline = time.monotonic() + 60
        while studio.bus.latest.get("session", {}).get("recorded", 0) < 1:
            assert time.monotonic() < deadline
            time.sleep(0.05)
        board.vanish()
        while studio.session.running:
            assert time.monotonic() < deadline
            time.sleep(0.1)
        outcome = studio.bus.latest["session"]
        saved = list((tmp_path / "data" / "raw").glob("session1_*_raw.fif"))
        assert outcome["state"] == "failed" and f"The {outcome['recorded']} trial(s) recorded before stay saved" in outcome["message"]
        assert len(saved) == outcome["recorded"] >= 1
