"""A small session store on loopback, for tests and for trying remote session storage.

It answers the two requests the recording manager sends, under the base URL ".../api":

    POST /api/session_data            {"session_num": N, "session_data": "<Base64>"} -> 200 {"status": "ok"}
    GET  /api/session_data/<N>        -> 200 {"session_data": "<Base64>"}, or 404 for an unknown N

Sessions are kept in memory, keyed by the text form of the session number.

    with SessionStore() as store:          # port 0: any free port
        hub.api_url = store.url            # "http://127.0.0.1:<port>/api"

`python -m tools.standins.session_store [--port 8000]` runs one until Ctrl-C and prints its URL; set
CORVANE_API_URL to that URL for the recording manager.
"""

import argparse
import json
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import unquote

HOST = "127.0.0.1"
DEFAULT_PORT = 8000
PREFIX = "/api/session_data"
MAX_BODY_BYTES = 256 * 1024 * 1024


class _Handler(BaseHTTPRequestHandler):
    server_version = "SessionStore/1"

    def log_message(self, format, *args):  # noqa: A002 - keeps test output quiet
        pass

    def _reply(self, status, body):
        payload = json.dumps(body).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(payload)))
        self.end_headers()
        self.wfile.write(payload)

    def do_GET(self):
        path = self.path.split("?", 1)[0]
        if not path.startswith(PREFIX + "/"):
            return self._reply(404, {"error": "not found"})
        segment = path[len(PREFIX) + 1 :]
        if "/" in segment:
            return self._reply(404, {"error": "not found"})
        key = unquote(segment)
        with self.server.lock:
            data = self.server.sessions.get(key)
        if data is None:
            return self._reply(404, {"error": f"no session {key}"})
        self._reply(200, {"session_data": data})

    def do_POST(self):
        if self.path.split("?", 1)[0] != PREFIX:
            return self._reply(404, {"error": "not found"})
        try:
            length = int(self.headers.get("Content-Length", "0"))
        except ValueError:
            return self._reply(400, {"error": "bad Content-Length"})
        if length < 0 or length > MAX_BODY_BYTES:
            return self._reply(413, {"error": "body too large"})
        try:
            body = json.loads(self.rfile.read(length))
            key, data = str(body["session_num"]), body["session_data"]
        except (ValueError, KeyError, TypeError):
            return self._reply(400, {"error": "expected JSON with session_num and session_data"})
        if not isinstance(data, str):
            return self._reply(400, {"error": "session_data must be Base64 text"})
        with self.server.lock:
            self.server.sessions[key] = data
        self._reply(200, {"status": "ok"})


class SessionStore:
    def __init__(self, port=0):
        self.port = port
        self.url = None
        # Session number text -> stored Base64 text; it outlives a stop.
        self.sessions = {}
        self._server = None
        self._thread = None

    def start(self):
        if self._server is not None:
            return self
        self._server = ThreadingHTTPServer((HOST, self.port), _Handler)
        self._server.daemon_threads = True
        self._server.sessions = self.sessions
        self._server.lock = threading.Lock()
        self.port = self._server.server_address[1]
        self.url = f"http://{HOST}:{self.port}/api"
        self._thread = threading.Thread(target=self._server.serve_forever, name="session-store", daemon=True)
        self._thread.start()
        return self

    def stop(self):
        if self._server is None:
            return
        self._server.shutdown()
        self._server.server_close()
        self._thread.join()
        self._server = self._thread = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


def main(argv=None):
    parser = argparse.ArgumentParser(description="Session store on 127.0.0.1 for remote session storage.")
    parser.add_argument("--port", type=int, default=DEFAULT_PORT)
    args = parser.parse_args(argv)
    store = SessionStore(port=args.port).start()
    print(store.url, flush=True)
    try:
        threading.Event().wait()
    except KeyboardInterrupt:
        pass
    finally:
        store.stop()


if __name__ == "__main__":
    main()
