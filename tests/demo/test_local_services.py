"""The local servers under tools/ beside a browser: foreign names, other sites' pages, wrong content
types, bad session numbers, oversized or half-sent requests are refused, and what a flood of them
costs stays bounded."""
import json
import socket
import threading
import time

import pytest

from corvane.standins.actuator_controller import ActuatorController
from corvane.web.local_http import MAX_CONNECTIONS
from corvane.standins.movement_simulator import HISTORY, MovementSimulator
from corvane.standins.session_store import SessionStore


def exchange(port, head, body=b"", timeout=10):
    """Sends one raw request (the head's lines joined with CRLF) and returns (status, body)."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall("\r\n".join(head).encode() + b"\r\n\r\n" + body)
        answer = b""
        while chunk := s.recv(65536):
            answer += chunk
    head_bytes, _, payload = answer.partition(b"\r\n\r\n")
    return int(head_bytes.split()[1]), payload


def post(port, body, content_type="application/json", host=None):
    data = body if isinstance(body, bytes) else json.dumps(body).encode()
    return exchange(port, ["POST /api/session_data HTTP/1.1", f"Host: {host or f'127.0.0.1:{port}'}",
                           f"Content-Type: {content_type}", f"Content-Length: {len(data)}",
                           "Connection: close"], data)


def get(port, path, *headers, host=None):
    lines = [f"GET {path} HTTP/1.1", "Connection: close", *headers]
    if host is not False:
        lines.append(f"Host: {host or f'127.0.0.1:{port}'}")
    return exchange(port, lines)[0]


@pytest.fixture
def services():
    with MovementSimulator(port=0) as simulator, SessionStore(max_upload=4096, max_total=10000) as store, \
            ActuatorController(port=0) as controller:
        yield {"simulator": simulator, "store": store, "controller": controller}


GETS = [  # (service, path, extra headers, Host (None: its own, False: none), expected status)
    ("simulator", "/command/F", [], None, 200),
    ("simulator", "/command/F", [], "localhost:{port}", 200),
    ("simulator", "/command/F", [], "attacker.example", 403),
    ("simulator", "/command/F", [], "attacker.example:{port}", 403),
    ("simulator", "/state", [], "attacker.example:{port}", 403),
    ("simulator", "/state", [], "127.0.0.1:1", 403),
    ("simulator", "/state", [], False, 400),
    ("simulator", "/command/F", ["Origin: null"], None, 403),
    ("simulator", "/command/F", ["Origin: http://attacker.example"], None, 403),
    ("simulator", "/command/F", ["Origin: http://127.0.0.1:{port}"], None, 200),
    ("simulator", "/command/F", ["Sec-Fetch-Site: cross-site"], None, 403),
    ("simulator", "/command/F", ["Sec-Fetch-Site: same-site"], None, 403),
    ("simulator", "/", ["Sec-Fetch-Site: none"], None, 200),
    ("store", "/api/session_data/1", [], "attacker.example", 403),
    ("store", "/api/session_data/1", ["Origin: null"], None, 403),
    ("controller", "/F", [], "attacker.example", 403),
    ("controller", "/F", ["Origin: http://attacker.example"], None, 403),
    ("controller", "/F", [], None, 200),
] + [("store", f"/api/session_data/{n}", [], None, 400) for n in ("0", "-1", "abc", "1.0", "None", "%5B3%5D")]


def test_only_own_names_and_own_pages_are_served(services):
    for name, path, headers, host, expected in GETS:
        service = services[name]
        port = service.port
        headers = [h.format(port=port) for h in headers]
        assert get(port, path, *headers, host=host if not host else host.format(port=port)) == expected, \
            (name, path, headers, host)
    # Refused requests moved nothing.
    assert services["simulator"].received == 3 and services["controller"].received == 1


def test_the_store_takes_json_with_positive_session_numbers_within_its_caps(services):
    store = services["store"]
    port = store.port
    assert post(port, {"session_num": 3, "session_data": "QUJD"})[0] == 200
    assert post(port, {"session_num": "4", "session_data": "QUJD"})[0] == 200
    refused = [
        ({"session_num": 3, "session_data": "ZZZZ"}, "text/plain", 415),   # a cross-site form's POST
        ({"session_num": 3, "session_data": "ZZZZ"}, "application/x-www-form-urlencoded", 415),
        *[({"session_num": n, "session_data": "ZZZZ"}, "application/json", 400)
          for n in (None, [3], True, 3.0, 0, -2, "x", "3.0", {"n": 3})],
        ({"session_num": 5, "session_data": "A" * 5000}, "application/json", 413),   # one upload's cap
    ]
    for body, content_type, expected in refused:
        assert post(port, body, content_type)[0] == expected, (body, content_type)
    assert store.sessions == {"3": "QUJD", "4": "QUJD"}
    # The total cap: the store fills up, then refuses; replacing a session frees its old room.
    for n in range(10, 12):
        assert post(port, {"session_num": n, "session_data": "B" * 4000})[0] == 200
    assert post(port, {"session_num": 12, "session_data": "C" * 4000})[0] == 413
    assert post(port, {"session_num": 11, "session_data": "D" * 1000})[0] == 200
    assert post(port, {"session_num": 12, "session_data": "C" * 4000})[0] == 200
    assert sorted(store.sessions, key=int) == ["3", "4", "10", "11", "12"]


def stalled(port, head, count, body=b""):
    """`count` connections to 127.0.0.1:`port` that send `head` (and `body`) and then stall."""
    sockets = []
    for _ in range(count):
        s = socket.create_connection(("127.0.0.1", port), timeout=30)
        s.sendall(head.encode() + body)
        sockets.append(s)
    return sockets


def upload_head(port, length):
    return (f"POST /api/session_data HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n"
            f"Content-Type: application/json\r\nContent-Length: {length}\r\n\r\n")


def wait_until(condition, timeout=20):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, "not reached in time"
        time.sleep(0.02)


def test_the_store_reserves_room_by_bytes_received_and_drops_uploads_past_their_deadline():
    with SessionStore(max_upload=8000, max_total=10000) as store:
        port = store.port
        # Eight uploads declaring 8,000 bytes each (together far past the total) that send a
        # little and stall hold only what they sent: a small upload is stored meanwhile.
        start = b'{"session_num": 1, "session_data": "'
        stalls = stalled(port, upload_head(port, 8000), 8, start)
        wait_until(lambda: store.receiving == 8 * len(start))
        assert post(port, {"session_num": 2, "session_data": "A" * 100})[0] == 200
        # Received bytes do count: one that sent 6,000 bytes leaves no room for 5,000 more ...
        stalls += stalled(port, upload_head(port, 8000), 1, b" " * 6000)
        wait_until(lambda: store.receiving == 8 * len(start) + 6000)
        assert post(port, {"session_num": 3, "session_data": "B" * 5000})[0] == 413
        # ... until it goes away, giving its room back.
        for s in stalls:
            s.close()
        wait_until(lambda: store.receiving == 0)
        assert post(port, {"session_num": 3, "session_data": "B" * 5000})[0] == 200
    assert sorted(store.sessions) == ["2", "3"]

    # An upload sent a byte at a time, each well within the socket time-out, is dropped with 408
    # once its request deadline passes, and stores nothing.
    store.request_deadline = 1.0
    with store:
        port = store.port
        with socket.create_connection(("127.0.0.1", port), timeout=30) as s:
            s.sendall(upload_head(port, 1000).encode())
            answer = b""
            for _ in range(300):   # 60 s at most
                try:
                    s.sendall(b" ")
                except OSError:
                    break
                time.sleep(0.2)
                s.setblocking(False)
                try:
                    answer += s.recv(4096)
                except BlockingIOError:
                    pass
                finally:
                    s.setblocking(True)
                if answer:
                    break
        assert answer.split()[1] == b"408", answer
        wait_until(lambda: store.receiving == 0)
    assert sorted(store.sessions) == ["2", "3"]


def test_the_controller_serves_a_stop_while_stalled_connections_hold_every_other_slot():
    with ActuatorController(port=0) as controller:
        port = controller.port
        head = f"GET /F HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n"   # never finished
        stalls = stalled(port, head, MAX_CONNECTIONS + 2 * controller.spare_connections + 4)
        try:
            assert get(port, "/F") == 503     # the spare slots take stops only
            assert get(port, "/S") == 200
            assert get(port, "/S") == 200
        finally:
            for s in stalls:
                s.close()
        assert controller.received == 2 and list(controller.requests) == ["/S", "/S"]


def thread_count():
    return threading.active_count()


def resident_mb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096 / 2**20


@pytest.mark.slow
def test_floods_of_bad_requests_cost_bounded_threads_and_memory():
    simulator, store = MovementSimulator(port=0), SessionStore()
    simulator.connection_timeout = store.connection_timeout = 1.0
    with simulator, store:
        threads, memory = thread_count(), resident_mb()

        # 200 half-sent requests: at most the cap is served at once, and each is dropped after
        # the time-out, after which the simulator answers again.
        sockets = []
        for _ in range(200):
            s = socket.create_connection(("127.0.0.1", simulator.port), timeout=5)
            s.sendall(f"GET /command/F HTTP/1.1\r\nHost: 127.0.0.1:{simulator.port}\r\n".encode())
            sockets.append(s)
        time.sleep(0.3)
        peak_threads = thread_count() - threads
        time.sleep(1.5)
        assert get(simulator.port, "/state") == 200
        for s in sockets:
            s.close()

        # 1,500 refused 60 kB paths over one kept-alive connection: the history keeps the latest.
        with socket.create_connection(("127.0.0.1", simulator.port), timeout=10) as s:
            request = f"GET /command/{'X' * 60000} HTTP/1.1\r\nHost: 127.0.0.1:{simulator.port}\r\n\r\n".encode()
            reader = s.makefile("rb")
            for _ in range(1500):
                s.sendall(request)
                assert reader.readline().split()[1] == b"400"
                while reader.readline() != b"\r\n":
                    pass
                reader.read(len(b'{"status": "error"}'))

        # 40 uploads declaring 60 MiB each that send a little and stall: those past the
        # connection cap are turned away, the others dropped after the time-out; no memory is
        # taken for what was only declared, and nothing is stored.
        uploads = stalled(store.port, upload_head(store.port, 60 * 2**20), 40, b"{")
        answers = []
        for s in uploads:
            answers.append(s.recv(64).split(b" ")[1])
            s.close()
        grown = resident_mb() - memory

    assert peak_threads <= MAX_CONNECTIONS + 2, peak_threads
    assert len(simulator.rejected) == HISTORY and grown < 60, grown
    assert sorted(set(answers)) == [b"408", b"503"] and answers.count(b"503") >= 40 - MAX_CONNECTIONS, answers
    assert store.sessions == {} and store.receiving == 0
