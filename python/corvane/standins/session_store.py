"""A small session store on loopback, for tests and for trying remote session storage.

It answers the two requests the recording manager sends, under the base URL ".../api":

    POST /api/session_data            {"session_num": N, "session_data": "<Base64>"} -> 200 {"status": "ok"}
    GET  /api/session_data/<N>        -> 200 {"session_data": "<Base64>"}, or 404 for an unknown N

Sessions are kept in memory, keyed by the session number, which must be a positive integer (400
otherwise). Uploads must be JSON (415 otherwise) and are capped each and in total (413).

    with SessionStore() as store:          # port 0: any free port
        hub.api_url = store.url            # "http://127.0.0.1:<port>/api"

`python -m corvane.standins.session_store [--port 8000]` runs one until Ctrl-C and prints its URL; set
CORVANE_API_URL to that URL for the recording manager.
"""

import argparse
import json
import re
import threading

from corvane.web.local_http import LocalHandler, LocalService, serve_until_interrupted

DEFAULT_PORT = 8000
PREFIX = "/api/session_data"
MAX_UPLOAD_BYTES = 64 * 1024 * 1024     # one upload's body
MAX_TOTAL_BYTES = 512 * 1024 * 1024     # all stored sessions plus the uploads being read
_NUMBER = re.compile(r"[0-9]+")


def session_key(value):
    """The key of a session number: its decimal text when it is a positive integer (an int, or
    text of digits), else None."""
    if isinstance(value, str) and _NUMBER.fullmatch(value):
        value = int(value)
    if type(value) is int and value > 0:   # not bool, not float
        return str(value)
    return None


class SessionStore(LocalService):
    """The store. Sessions are kept in `sessions` (session number text -> stored Base64 text),
    which outlives a stop. Uploads are limited to `max_upload` bytes each and `max_total` bytes
    with what is stored and what uploads in progress have sent so far (not what they declare, so
    stalled uploads cannot keep others out; each must arrive within the request deadline);
    state-changing requests must be JSON."""

    thread_name = "session-store"

    def __init__(self, port=0, max_upload=MAX_UPLOAD_BYTES, max_total=MAX_TOTAL_BYTES):
        super().__init__(port)
        self.max_upload, self.max_total = max_upload, max_total
        self.sessions = {}
        self._lock = threading.Lock()
        self._reserved = 0   # bytes received of uploads being read

    @property
    def url(self):
        return super().url + "/api"

    @property
    def receiving(self):
        """Bytes received so far of the uploads in progress."""
        with self._lock:
            return self._reserved

    def _stored_bytes(self):
        return sum(len(data) for data in self.sessions.values())

    def take(self, count):
        """Reserves `count` more bytes of an upload as they arrive (False: the store is full)."""
        with self._lock:
            if self._stored_bytes() + self._reserved + count > self.max_total:
                return False
            self._reserved += count
            return True

    def give_back(self, count):
        with self._lock:
            self._reserved -= count

    def _has_room_for(self, length):
        """Whether what is stored leaves room for an upload of `length` bytes (uploads in progress
        take their room only as their bytes arrive)."""
        with self._lock:
            return self._stored_bytes() + length <= self.max_total

    def _put(self, key, data):
        """Stores a session unless the total would pass the cap (the old copy is replaced)."""
        with self._lock:
            old = len(self.sessions.get(key, ""))
            if self._stored_bytes() - old + len(data) > self.max_total:
                return False
            self.sessions[key] = data
            return True

    class handler(LocalHandler):
        server_version = "SessionStore/1"

        def do_GET(self):
            path = self.path.split("?", 1)[0]
            if not path.startswith(PREFIX + "/"):
                return self.send_json(404, {"error": "not found"})
            segment = path[len(PREFIX) + 1 :]
            if "/" in segment:
                return self.send_json(404, {"error": "not found"})
            key = session_key(segment)
            if key is None:
                return self.send_json(400, {"error": "the session number must be a positive integer"})
            store = self.server.owner
            with store._lock:
                data = store.sessions.get(key)
            if data is None:
                return self.send_json(404, {"error": f"no session {key}"})
            self.send_json(200, {"session_data": data})

        def do_POST(self):
            store = self.server.owner
            if self.path.split("?", 1)[0] != PREFIX:
                return self.send_json(404, {"error": "not found"})
            # A page can send text/plain across sites without asking; JSON it cannot.
            content_type = self.headers.get("Content-Type", "").split(";", 1)[0].strip().lower()
            if content_type != "application/json":
                self.close_connection = True
                return self.send_json(415, {"error": "Content-Type must be application/json"})
            length = self.declared_length(store.max_upload)
            if length is None:
                return
            if not store._has_room_for(length):
                self.close_connection = True
                return self.send_json(413, {"error": "the store is full"})
            raw = self.read_body(length, budget=store)
            if raw is None:
                return
            try:
                self._store(store, raw)
            finally:
                store.give_back(length)

        def _store(self, store, raw):
            try:
                body = json.loads(raw)
                number, data = body["session_num"], body["session_data"]
            except (ValueError, KeyError, TypeError):
                return self.send_json(400, {"error": "expected JSON with session_num and session_data"})
            key = session_key(number)
            if key is None:
                return self.send_json(400, {"error": "session_num must be a positive integer"})
            if not isinstance(data, str):
                return self.send_json(400, {"error": "session_data must be Base64 text"})
            if not store._put(key, data):
                return self.send_json(413, {"error": "the store is full"})
            self.send_json(200, {"status": "ok"})


def main(argv=None):
    parser = argparse.ArgumentParser(description="Session store on 127.0.0.1 for remote session storage.")
    parser.add_argument("--port", type=int, default=DEFAULT_PORT)
    args = parser.parse_args(argv)
    serve_until_interrupted(SessionStore(port=args.port), lambda store: store.url)


if __name__ == "__main__":
    main()
