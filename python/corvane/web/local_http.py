"""The guard every local HTTP server of the package is built on, so that it is safe to run beside a browser.

A page the user has open can send requests to 127.0.0.1, and a hostile name can be made to resolve
to it (DNS rebinding). So each server here:

- listens on 127.0.0.1 only and answers only requests whose Host is `127.0.0.1:<port>` or
  `localhost:<port>` (403 otherwise, 400 when missing or repeated);
- refuses with 403 a request sent by another site's page: an `Origin` other than its own
  (including "null"), or a browser's `Sec-Fetch-Site` saying the request is cross-site;
- gives every connection a socket time-out, so idle connections are dropped, and every request one
  total deadline from its first byte to its last, so one sent a byte at a time is dropped too;
- serves at most `max_connections` at once (the rest are turned away with 503), except that a
  service may keep `spare_connections` for the requests it names urgent: a connection arriving
  when all others are held gets a spare one, must send an urgent request within SPARE_DEADLINE_S
  (503 otherwise), and evicts the oldest spare connection still sending its request when all
  spares are held, so no number of stalled connections keeps an urgent request out;
- reads request bodies in chunks as they arrive, within a size limit (413 beyond it), reserving
  from a shared budget only the bytes received (so what a stalled upload declares holds nothing).

Programs (requests, urllib, live_pilot) send neither Origin nor Sec-Fetch-Site, and their Host
is one of the two names, so they are served as before.
"""
import io
import json
import threading
import time
from http.server import BaseHTTPRequestHandler

from corvane.web.connections import (CONNECTION_TIMEOUT_S, LOOPBACK, MAX_CONNECTIONS, REQUEST_DEADLINE_S,
                                     SPARE_DEADLINE_S, DeadlineReader, LocalServer)

LOCAL_NAMES = (LOOPBACK, "localhost")
CHUNK_BYTES = 64 * 1024
# Fetch metadata a browser sends: the user's own navigation, or a request of the server's own page.
ALLOWED_FETCH_SITES = ("same-origin", "none")


def request_refusal(port, hosts, origins, fetch_site):
    """(status, {"error": text}) when a request to 127.0.0.1:`port` with these Host and Origin
    header values and Sec-Fetch-Site (or None) must not be served, else None."""
    own = {f"{name}:{port}" for name in LOCAL_NAMES}
    if port == 80:   # clients leave the default port out of Host
        own.update(LOCAL_NAMES)
    if len(hosts) != 1:
        return 400, {"error": "exactly one Host header is required"}
    if hosts[0].strip().lower() not in own:
        return 403, {"error": "foreign Host"}
    if any(origin.strip().lower() not in {f"http://{host}" for host in own} for origin in origins):
        return 403, {"error": "foreign Origin"}
    if fetch_site is not None and fetch_site.strip().lower() not in ALLOWED_FETCH_SITES:
        return 403, {"error": "cross-site request"}
    return None


class LocalHandler(BaseHTTPRequestHandler):
    """Checks Host, Origin and fetch metadata before any do_* method runs; helpers to answer JSON
    and to read a bounded body. `urgent()` names the requests a spare connection may carry."""

    deadline = None   # time.monotonic() by which the current request must have been received
    hung_up = False   # the client closed its side (seen while reading)

    def setup(self):
        self.timeout = self.server.connection_timeout   # the socket's, for every read and write
        super().setup()
        self.rfile.close()
        self.rfile = io.BufferedReader(DeadlineReader(self))
        self.spare = self.server.on_spare(self.request)
        if self.spare:
            self.deadline = time.monotonic() + SPARE_DEADLINE_S

    def handle_one_request(self):
        if not self.spare:
            self.deadline = None
        super().handle_one_request()

    def urgent(self):
        """Whether this request may be served on a spare connection."""
        return False

    def log_message(self, *args):  # the stand-ins are quiet; their owners keep what they need
        pass

    def parse_request(self):
        if not super().parse_request():
            return False
        if self.hung_up:   # the head was cut short: the client never finished this request
            self.close_connection = True
            return False
        refusal = self.refusal()
        if refusal is None and self.spare:
            self.close_connection = True   # one request per spare connection
            if not (self.urgent() and self.server.serve_on_spare(self.request)):
                refusal = 503, {"error": "busy"}
        if refusal is None:
            return True
        self.close_connection = True
        self.send_json(*refusal)
        return False

    def refusal(self):
        """(status, body) when the request must not be served, else None."""
        return request_refusal(self.server.port, self.headers.get_all("Host") or [],
                               self.headers.get_all("Origin") or [], self.headers.get("Sec-Fetch-Site"))

    def send_json(self, status, body):
        self.send_bytes(status, "application/json", json.dumps(body).encode())

    def send_bytes(self, status, content_type, payload):
        """One answer; a client that hung up meanwhile is ignored."""
        try:
            self.send_response(status)
            self.send_header("Content-Type", content_type)
            self.send_header("Content-Length", str(len(payload)))
            self.send_header("Cache-Control", "no-store")
            if self.close_connection:
                self.send_header("Connection", "close")
            self.end_headers()
            self.wfile.write(payload)
        except OSError:
            self.close_connection = True

    def declared_length(self, limit):
        """The Content-Length when it is given and at most `limit`; otherwise answers 411, 400 or
        413 and returns None."""
        text = self.headers.get("Content-Length")
        if text is None:
            self.close_connection = True
            self.send_json(411, {"error": "Content-Length required"})
            return None
        if not text.strip().isdigit():
            self.close_connection = True
            self.send_json(400, {"error": "bad Content-Length"})
            return None
        length = int(text)
        if length > limit:
            self.close_connection = True
            self.send_json(413, {"error": f"body larger than {limit} bytes"})
            return None
        return length

    def read_body(self, length, budget=None):
        """Reads `length` bytes as they arrive (memory grows with what arrives, not with what was
        declared). `budget`, if given, is asked to take(n) each chunk's bytes as it arrives and
        refuses with False (answered 413); the caller gives back(length) what a body it got
        took. None when the client stopped sending, missed the request's deadline (408) or the
        budget ran out; the connection is then closed and what was taken given back."""
        chunks, left, taken, refusal = [], length, 0, None
        try:
            while left > 0:
                chunk = self.rfile.read1(min(CHUNK_BYTES, left))
                if not chunk:
                    break
                if budget is not None:
                    if not budget.take(len(chunk)):
                        refusal = 413, {"error": "no room for the body now"}
                        break
                    taken += len(chunk)
                chunks.append(chunk)
                left -= len(chunk)
        except TimeoutError:
            refusal = 408, {"error": "the request was not received in time"}
        except OSError:
            pass
        if left == 0:
            return b"".join(chunks)
        if taken:
            budget.give_back(taken)
        self.close_connection = True
        if refusal is not None:
            self.send_json(*refusal)
        return None


class LocalService:
    """A LocalServer serving in a thread. `start()` binds 127.0.0.1:`port` (port 0: any free
    port; OSError when taken), `stop()` frees it; usable as a context manager."""

    handler = LocalHandler
    thread_name = "local-service"
    max_connections = MAX_CONNECTIONS
    spare_connections = 0
    connection_timeout = CONNECTION_TIMEOUT_S
    request_deadline = REQUEST_DEADLINE_S

    def __init__(self, port=0):
        self.port = port
        self._server = None
        self._thread = None

    @property
    def url(self):
        return f"http://{LOOPBACK}:{self.port}"

    @property
    def running(self):
        return self._server is not None

    def start(self):
        if self._server is not None:
            return self
        self._server = LocalServer(self.port, self.handler, owner=self, max_connections=self.max_connections,
                                   connection_timeout=self.connection_timeout,
                                   request_deadline=self.request_deadline,
                                   spare_connections=self.spare_connections)
        self.port = self._server.port
        self._thread = threading.Thread(target=self._server.serve_forever, name=self.thread_name,
                                        kwargs={"poll_interval": 0.05}, daemon=True)
        self._thread.start()
        return self

    def stop(self):
        """Stops serving and frees the port; safe to call twice."""
        server, self._server = self._server, None
        if server is None:
            return
        self.stopping()
        server.shutdown()
        server.server_close()
        self._thread.join(timeout=5)

    def stopping(self):
        """Called as the server stops, before it waits for its loop (ends long-lived answers)."""

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


def serve_until_interrupted(service, describe):
    """Runs `service` until Ctrl-C, after printing describe(service) (a command-line tool's main)."""
    try:
        service.start()
    except OSError as exc:
        raise SystemExit(f"Cannot listen on {LOOPBACK}:{service.port}: {exc.strerror or exc}")
    print(describe(service), flush=True)
    try:
        threading.Event().wait()
    except KeyboardInterrupt:
        pass
    finally:
        service.stop()
