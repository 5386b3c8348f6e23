import os
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest
import requests

from capture_hub import CaptureHub
from corvane.standins.session_store import SessionStore
from tests.support.testbed import MisbehavingStore, client_sockets_to, request_threads
from tests.capture_hub.helpers import command_line_tool


class ScriptedServer:
    """A loopback HTTP server that answers every request with one fixed reply (or never), and
    records the paths it was asked for."""

    def __init__(self, status=200, body=b"{}", content_type="application/json", stall=False):
        self.paths = []
        release = self.release = threading.Event()
        paths = self.paths

        class Handler(BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def answer(self):
                paths.append(self.path)
                if stall:
                    release.wait(30)
                    return
                self.send_response(status)
                self.send_header("Content-Type", content_type)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            do_GET = do_POST = answer

        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}/api"
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def close(self):
        self.release.set()
        self.server.shutdown()
        self.server.server_close()


@pytest.fixture
def scripted():
    servers = []

    def start(**reply):
        servers.append(ScriptedServer(**reply))
        return servers[-1]

    yield start
    for server in servers:
        server.close()


def test_save_then_load_returns_the_same_bytes(hub):
    with SessionStore() as store:
        hub.api_url = store.url
        for number, data in [(1, b"\x00\x01binary\xff"), (2, b""), ("3", bytes(range(256)) * 40)]:
            assert hub.save_session_data(number, data) is True
            assert hub.load_session_data(number) == data
        assert hub.load_session_data(3) == bytes(range(256)) * 40
        assert store.sessions["2"] == ""


@pytest.mark.parametrize(
    "reply",
    [
        dict(status=404, body=b'{"error": "missing"}'),
        dict(status=500, body=b"oops", content_type="text/plain"),
        dict(body=b"<html><body>login</body></html>", content_type="text/html"),
        dict(body=b'{"data": "AAAA"}'),
        dict(body=b'["AAAA"]'),
        # Characters outside the Base64 alphabet are refused, not skipped ("QUJD" alone is b"ABC").
        dict(body=b'{"session_data": "QUJD!"}'),
        dict(body=b'{"session_data": 5}'),
    ],
)
def test_a_bad_load_answer_prints_one_line_and_falls_back(hub, scripted, capsys, reply):
    hub.api_url = scripted(**reply).url
    capsys.readouterr()
    assert hub.load_session_data(1) is None
    out = capsys.readouterr().out.splitlines()
    assert len(out) == 1 and out[0].startswith("Error loading session data: ")


def test_save_failures_report_and_return_false(hub, scripted, capsys):
    server = scripted(status=500)
    hub.api_url = server.url
    capsys.readouterr()
    assert hub.save_session_data(1, b"abc") is False
    assert capsys.readouterr().out.startswith("Error saving session data: 500 Server Error")
    # Text instead of bytes fails before any request is sent.
    assert hub.save_session_data(2, "text") is False
    assert server.paths == ["/api/session_data"]
    hub.api_url = "http://127.0.0.1:9/api"
    assert hub.save_session_data(1, b"abc") is False and hub.load_session_data(1) is None


def test_the_session_number_stays_one_path_segment(hub, scripted, capsys):
    server = scripted(status=404)
    hub.api_url = server.url
    for number in ["../x", "1?a=b", "..", ".", "a/b#c", "5%2F", 7]:
        assert hub.load_session_data(number) is None
    assert "Error loading session data: invalid session number for a URL: '..'\n" in capsys.readouterr().out
    assert server.paths == [
        "/api/session_data/..%2Fx",
        "/api/session_data/1%3Fa%3Db",
        "/api/session_data/a%2Fb%23c",
        "/api/session_data/5%252F",
        "/api/session_data/7",
    ]


@pytest.mark.slow
def test_one_deadline_covers_the_whole_request(hub, scripted, capsys):
    # A trickled answer (one byte every half second, 40 s in all) and a server that never
    # answers: each load ends at its 30 s deadline with its socket closed and no thread left. A save
    # reads only the status, which the trickling server sends at once. The calls run side by side.
    stalled = scripted(stall=True)
    with MisbehavingStore(trickle=0.5, data="QUJD" * 16) as trickling:
        calls = [
            (trickling.url, lambda: hub.load_session_data(1), None),
            (trickling.url, lambda: hub.save_session_data(1, b"x"), True),
            (stalled.url, lambda: hub.load_session_data(1), None),
        ]
        results = [None] * len(calls)

        def run(k, url, call):
            began = time.monotonic()
            results[k] = (call(), time.monotonic() - began)

        threads = []
        for k, (url, call, _) in enumerate(calls):
            hub.api_url = url
            threads.append(threading.Thread(target=run, args=(k, url, call)))
            threads[-1].start()
            time.sleep(0.2)
        for thread in threads:
            thread.join(60)
        assert request_threads() == [] and client_sockets_to(trickling.port) == 0
    assert client_sockets_to(int(stalled.url.split(":")[-1].split("/")[0])) == 0
    assert [result for result, _ in results] == [fallback for _, _, fallback in calls]
    assert all(seconds < 35 for _, seconds in results), results
    out = capsys.readouterr().out.splitlines()
    assert sorted(line.split(": ")[0] for line in out) == ["Error loading session data"] * 2
    assert all(line.endswith("within 30 seconds") for line in out)


@pytest.mark.parametrize("declared", [True, False])
def test_an_answer_over_256_mib_is_refused(hub, capsys, declared):
    # Made as it is sent: refused by its Content-Length unread, or once 256 MiB have arrived.
    with MisbehavingStore(huge=(256 << 20) + 4096, declared=declared) as store:
        hub.api_url = store.url
        capsys.readouterr()
        assert hub.load_session_data(1) is None
        assert request_threads() == [] and client_sockets_to(store.port) == 0
    assert capsys.readouterr().out == (f"Error loading session data: the answer from {store.url}/session_data/1 "
                                       "is larger than 268435456 bytes (256 MiB) and was refused\n")


@pytest.mark.parametrize("status", [301, 302, 307, 308])
def test_a_redirect_is_a_failure_and_sends_nothing_on(hub, capsys, status):
    with SessionStore() as store, MisbehavingStore(redirect=store.url[: -len("/api")], status=status) as redirecting:
        store.sessions["1"] = "QUJD"
        hub.api_url = redirecting.url
        capsys.readouterr()
        assert hub.save_session_data(2, b"eeg") is False and hub.load_session_data(1) is None
        assert store.sessions == {"1": "QUJD"}
    assert [(method, path) for method, path, _ in redirecting.requests] == [
        ("POST", "/api/session_data"), ("GET", "/api/session_data/1"),
    ]
    location = store.url[: -len("/api")] + "/api/session_data"
    assert capsys.readouterr().out.splitlines() == [
        f"Error saving session data: {status} Redirect not followed: {location}",
        f"Error loading session data: {status} Redirect not followed: {location}/1",
    ]


@pytest.mark.parametrize(
    "setting, url",
    [
        (None, "http://localhost:8000/api"),
        ("http://127.0.0.1:8123/api", "http://127.0.0.1:8123/api"),
        ("https://store.example/api/", "https://store.example/api"),
        ("http://127.0.0.1:8123", "http://127.0.0.1:8123/api"),
        ("127.0.0.1:8123/api", "http://127.0.0.1:8123/api"),
        ("store.local", "http://store.local/api"),
    ],
)
def test_api_url_setting(base, monkeypatch, setting, url):
    if setting is not None:
        monkeypatch.setenv("CORVANE_API_URL", setting)
    assert CaptureHub().api_url == url


def test_sample_files(hub, capsys):
    capsys.readouterr()
    sample = os.path.join(hub.sample_dir, "formatted", "S03.fif")
    assert hub.get_sample_files() == []
    assert capsys.readouterr().out == f"Sample file not found at: {sample}\n"
    os.makedirs(os.path.dirname(sample))
    open(sample, "w").close()
    assert hub.get_sample_files() == [sample]
    hub.sample_dir = 5
    assert hub.get_sample_files() == []
    assert capsys.readouterr().out.startswith("Error getting sample files: ")


def test_the_store_runs_from_the_command_line(hub):
    with command_line_tool("corvane.standins.session_store", "--port", "0") as (url, _):
        hub.api_url = url
        assert hub.api_url.startswith("http://127.0.0.1:") and hub.api_url.endswith("/api")
        assert hub.save_session_data(4, b"session four") is True
        assert hub.load_session_data(4) == b"session four"
        assert hub.load_session_data(5) is None
        bad = requests.post(hub.api_url + "/session_data", data=b"{not json", timeout=30,
                            headers={"Content-Type": "application/json"})
        assert bad.status_code == 400
