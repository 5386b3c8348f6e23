"""The guard every HTTP server under tools/ is built on, so that it is safe to run beside a browser.

A page the user has open can send requests to 127.0.0.1, and a hostile name can be made to resolve
to it (DNS rebinding). So each server here:

- listens on 127.0.0.1 only and answers only requests whose Host is `127.0.0.1:<port>` or
  `localhost:<port>` (403 otherwise, 400 when missing or repeated);
- refuses with 403 a request sent by another site's page: an `Origin` other than its own
  (including "null"), or a browser's `Sec-Fetch-Site` saying the request is cross-site;
- gives every connection a socket time-out, so half-sent requests and idle connections are
  dropped, and serves at most `max_connections` at once (the rest are turned away with 503);
- reads request bodies in chunks, within a size limit (413 beyond it).

Programs (requests, urllib, live_pilot) send neither Origin nor Sec-Fetch-Site, and their Host
is one of the two names, so they are served as before.
"""
import json
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

LOOPBACK = "127.0.0.1"
LOCAL_NAMES = (LOOPBACK, "localhost")
CONNECTION_TIMEOUT_S = 10.0   # a connection silent this long (mid-request or idle) is closed
MAX_CONNECTIONS = 32
CHUNK_BYTES = 64 * 1024
# Fetch metadata a browser sends: the user's own navigation, or a request of the server's own page.
ALLOWED_FETCH_SITES = ("same-origin", "none")
_BUSY = b"HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"


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


class LocalServer(ThreadingHTTPServer):
    """A threading HTTP server on 127.0.0.1 that serves at most `max_connections` connections at
    once. `owner` is the object its handlers serve (reached as `self.server.owner`)."""

    daemon_threads = True
    request_queue_size = 64   # connections waiting to be accepted (and turned away when over the cap)

    def __init__(self, port, handler, owner=None, max_connections=MAX_CONNECTIONS,
                 connection_timeout=CONNECTION_TIMEOUT_S):
        self.owner, self.connection_timeout = owner, connection_timeout
        self._slots = threading.BoundedSemaphore(max_connections)
        super().__init__((LOOPBACK, port), handler)

    @property
    def port(self):
        return self.server_address[1]

    def process_request(self, request, client_address):
        if not self._slots.acquire(blocking=False):
            try:
                request.setblocking(False)
                request.send(_BUSY)
            except OSError:
                pass
            self.shutdown_request(request)
            return
        try:
            super().process_request(request, client_address)
        except BaseException:
            self._slots.release()
            raise

    def process_request_thread(self, request, client_address):
        try:
            super().process_request_thread(request, client_address)
        finally:
            self._slots.release()


class LocalHandler(BaseHTTPRequestHandler):
    """Checks Host, Origin and fetch metadata before any do_* method runs; helpers to answer JSON
    and to read a bounded body."""

    def setup(self):
        self.timeout = self.server.connection_timeout   # the socket's, for every read and write
        super().setup()

    def log_message(self, *args):  # the stand-ins are quiet; their owners keep what they need
        pass

    def parse_request(self):
        if not super().parse_request():
            return False
        refusal = self.refusal()
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

    def read_body(self, length):
        """Reads `length` bytes in chunks (memory grows with what arrives, not with what was
        declared); None when the client stopped sending or timed out (the connection is closed)."""
        chunks, left = [], length
        try:
            while left > 0:
                chunk = self.rfile.read(min(CHUNK_BYTES, left))
                if not chunk:
                    break
                chunks.append(chunk)
                left -= len(chunk)
        except OSError:
            pass
        if left > 0:
            self.close_connection = True
            return None
        return b"".join(chunks)


class LocalService:
    """A LocalServer serving in a thread. `start()` binds 127.0.0.1:`port` (port 0: any free
    port; OSError when taken), `stop()` frees it; usable as a context manager."""

    handler = LocalHandler
    thread_name = "local-service"
    max_connections = MAX_CONNECTIONS
    connection_timeout = CONNECTION_TIMEOUT_S

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
                                   connection_timeout=self.connection_timeout)
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
