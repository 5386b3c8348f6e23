"""Movement simulator: a small HTTP server on 127.0.0.1 that takes drive commands.

    GET /command/<letter>   200 {"status": "ok"} for S, L, R, F, B; 400 {"status": "error"} otherwise
    GET /                   the live page: a vehicle that moves, turns and stops as commands arrive
    GET /events             server-sent events, one per accepted command (what the page listens to)
    GET /state              {"command": last command, "received": count} as JSON

`python -m tools.standins.movement_simulator [--port N]` runs one until Ctrl-C.
"""
import argparse
import json
import pathlib
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from tools.facts import COMMANDS
HOST = "127.0.0.1"
PAGE = pathlib.Path(__file__).with_name("movement_simulator_page.html")
_KEEPALIVE_S = 10.0


class MovementSimulator:
    """The simulator server. `start()` binds (OSError when the port is taken) and serves in a thread."""

    def __init__(self, port=5000):
        self.port = port
        self.commands = []          # accepted letters, in arrival order
        self.arrivals = []          # time.monotonic() of each accepted letter
        self.rejected = []          # paths of refused commands
        self._changed = threading.Condition()
        self._server = None
        self._thread = None
        self._stopping = False

    @property
    def url(self):
        return f"http://{HOST}:{self.port}"

    def start(self):
        if self._server is not None:
            return self
        simulator = self

        class Handler(_Handler):
            owner = simulator

        self._server = ThreadingHTTPServer((HOST, self.port), Handler)
        self._server.daemon_threads = True
        self.port = self._server.server_address[1]
        self._stopping = False
        self._thread = threading.Thread(target=self._server.serve_forever, name="movement-simulator",
                                        kwargs={"poll_interval": 0.1}, daemon=True)
        self._thread.start()
        return self

    def stop(self):
        """Stops serving, ends open event streams and frees the port; safe to call twice."""
        server, self._server = self._server, None
        if server is None:
            return
        with self._changed:
            self._stopping = True
            self._changed.notify_all()
        server.shutdown()
        server.server_close()
        self._thread.join(timeout=5)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def wait_for(self, count, timeout):
        """Blocks until `count` commands were accepted; returns whether they were."""
        deadline = time.monotonic() + timeout
        with self._changed:
            while len(self.commands) < count:
                left = deadline - time.monotonic()
                if left <= 0 or self._stopping:
                    return False
                self._changed.wait(left)
            return True

    def _accept(self, letter):
        with self._changed:
            self.commands.append(letter)
            self.arrivals.append(time.monotonic())
            self._changed.notify_all()

    def _state(self):
        with self._changed:
            return {"command": self.commands[-1] if self.commands else "S",
                    "received": len(self.commands)}


class _Handler(BaseHTTPRequestHandler):
    owner = None
    protocol_version = "HTTP/1.1"
    disable_nagle_algorithm = True  # the body must not wait for the client's delayed ACK

    def log_message(self, *args):  # the simulator is quiet; callers read `commands`
        pass

    def do_GET(self):
        path = self.path.split("?", 1)[0]
        if path.startswith("/command/"):
            letter = path[len("/command/"):]
            if letter in COMMANDS:
                self.owner._accept(letter)
                self._send_json(200, {"status": "ok"})
            else:
                self.owner.rejected.append(self.path)
                self._send_json(400, {"status": "error"})
        elif path in ("/", "/index.html"):
            self._send(200, "text/html; charset=utf-8", PAGE.read_bytes())
        elif path == "/state":
            self._send_json(200, self.owner._state())
        elif path == "/events":
            self._stream_events()
        else:
            self._send_json(404, {"status": "error"})

    def _send_json(self, code, body):
        self._send(code, "application/json", json.dumps(body).encode())

    def _send(self, code, content_type, payload):
        self.send_response(code)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(payload)))
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        self.wfile.write(payload)

    def _stream_events(self):
        """Sends the current state, then one event per accepted command until the server stops."""
        owner = self.owner
        self.close_connection = True
        self.send_response(200)
        self.send_header("Content-Type", "text/event-stream")
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        state = owner._state()
        sent = state["received"]
        try:
            self._event("state", state)
            while True:
                with owner._changed:
                    if len(owner.commands) == sent and not owner._stopping:
                        owner._changed.wait(_KEEPALIVE_S)
                    if owner._stopping:
                        return
                    fresh = owner.commands[sent:]
                if not fresh:
                    self.wfile.write(b": keep-alive\n\n")
                    self.wfile.flush()
                for letter in fresh:
                    sent += 1
                    self._event("command", {"command": letter, "received": sent})
        except (BrokenPipeError, ConnectionResetError):
            return  # the page went away

    def _event(self, kind, data):
        self.wfile.write(f"event: {kind}\ndata: {json.dumps(data)}\n\n".encode())
        self.wfile.flush()


def main(argv=None):
    parser = argparse.ArgumentParser(description="Run the movement simulator on 127.0.0.1.")
    parser.add_argument("--port", type=int, default=5000)
    args = parser.parse_args(argv)
    try:
        simulator = MovementSimulator(args.port).start()
    except OSError as exc:
        raise SystemExit(f"Cannot listen on {HOST}:{args.port}: {exc.strerror or exc}")
    print(f"Movement simulator at {simulator.url}/ (Ctrl-C to stop)", flush=True)
    try:
        while True:
            time.sleep(1)
    except KeyboardInterrupt:
        pass
    finally:
        simulator.stop()


if __name__ == "__main__":
    main()
