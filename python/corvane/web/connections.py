"""The connections a local server serves: how many at once, the spare ones kept for urgent
requests, and the deadline each request is read under (see corvane.web.local_http)."""
import io
import socket
import sys
import threading
import time
from http.server import ThreadingHTTPServer

LOOPBACK = "127.0.0.1"
CONNECTION_TIMEOUT_S = 10.0   # a connection silent this long (mid-request or idle) is closed
REQUEST_DEADLINE_S = 30.0     # a request not received whole this long after its first byte is dropped
SPARE_DEADLINE_S = 2.0        # a connection on a spare slot must have sent its request by then
MAX_CONNECTIONS = 32
_MAX_EVICTED = 16             # evicted spare connections still ending; beyond that, new ones get 503
_BUSY = b"HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"


class LocalServer(ThreadingHTTPServer):
    """A threading HTTP server on 127.0.0.1 that serves at most `max_connections` connections at
    once, plus `spare_connections` kept for urgent requests. `owner` is the object its handlers
    serve (reached as `self.server.owner`)."""

    daemon_threads = True
    request_queue_size = 64   # connections waiting to be accepted (and turned away when over the cap)

    def __init__(self, port, handler, owner=None, max_connections=MAX_CONNECTIONS,
                 connection_timeout=CONNECTION_TIMEOUT_S, request_deadline=REQUEST_DEADLINE_S,
                 spare_connections=0):
        self.owner, self.connection_timeout = owner, connection_timeout
        self.request_deadline = request_deadline
        self._slots = threading.BoundedSemaphore(max_connections)
        self._spares = spare_connections
        self._spare_lock = threading.Lock()
        self._on_spare = {}   # socket -> "waiting" | "served" | "evicted", oldest first
        super().__init__((LOOPBACK, port), handler)

    @property
    def port(self):
        return self.server_address[1]

    def process_request(self, request, client_address):
        if not self._slots.acquire(blocking=False) and not self._take_spare(request):
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
            self._free(request)
            raise

    def process_request_thread(self, request, client_address):
        try:
            super().process_request_thread(request, client_address)
        finally:
            self._free(request)

    def _take_spare(self, request):
        """Puts `request` on a spare slot, evicting the oldest one still sending its request when
        all are held; False when there is none to take (none kept, or all serving)."""
        with self._spare_lock:
            if len(self._on_spare) >= self._spares + _MAX_EVICTED:
                return False
            held = [s for s, state in self._on_spare.items() if state != "evicted"]
            if len(held) >= self._spares:
                waiting = [s for s in held if self._on_spare[s] == "waiting"]
                if not waiting:
                    return False
                self._on_spare[waiting[0]] = "evicted"
                try:
                    waiting[0].shutdown(socket.SHUT_RDWR)   # wakes its thread, which then ends
                except OSError:
                    pass
            self._on_spare[request] = "waiting"
            return True

    def on_spare(self, request):
        with self._spare_lock:
            return request in self._on_spare

    def serve_on_spare(self, request):
        """Marks a spare connection's request as being served; False when it was evicted."""
        with self._spare_lock:
            if self._on_spare.get(request) != "waiting":
                return False
            self._on_spare[request] = "served"
            return True

    def handle_error(self, request, client_address):
        if not isinstance(sys.exc_info()[1], OSError):   # not merely a client gone mid-answer
            super().handle_error(request, client_address)

    def _free(self, request):
        with self._spare_lock:
            if self._on_spare.pop(request, None) is not None:
                return
        self._slots.release()


class DeadlineReader(io.RawIOBase):
    """A connection's reading side that gives each read the socket time-out or what is left of
    the handler's request deadline, whichever is shorter; the deadline starts with the first byte.
    It notes in the handler when the client has hung up."""

    def __init__(self, handler):
        self._handler, self._sock = handler, handler.connection

    def readable(self):
        return True

    def readinto(self, buffer):
        handler, timeout = self._handler, self._handler.server.connection_timeout
        if handler.deadline is not None:
            left = handler.deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError("the request was not received in time")
            timeout = min(timeout, left)
        self._sock.settimeout(timeout)
        try:
            count = self._sock.recv_into(buffer)
        finally:
            self._sock.settimeout(handler.server.connection_timeout)
        if count and handler.deadline is None:
            handler.deadline = time.monotonic() + handler.server.request_deadline
        if not count:
            handler.hung_up = True
        return count
