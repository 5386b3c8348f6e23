"""Movement simulator: a small HTTP server on 127.0.0.1 that takes drive commands.

    GET /command/<letter>   200 {"status": "ok"} for S, L, R, F, B; 400 {"status": "error"} otherwise
    GET /                   the live page: a vehicle that moves, turns and stops as commands arrive
    GET /events             server-sent events, one per accepted command (what the page listens to)
    GET /state              {"command": last command, "received": count} as JSON

`python -m corvane.standins.movement_simulator [--port N]` runs one until Ctrl-C.
"""
import argparse
import collections
import json
import pathlib
import threading
import time

from corvane.web.local_http import LOOPBACK, LocalHandler, LocalService, serve_until_interrupted

from corvane.facts import COMMANDS

HOST = LOOPBACK
PAGE = pathlib.Path(__file__).with_name("movement_simulator_page.html")
_KEEPALIVE_S = 10.0
HISTORY = 1000              # accepted commands (with arrival times) and refusals kept, the latest
_REFUSED_PATH_CHARS = 200   # of a refused path, this much is kept


class MovementSimulator(LocalService):
    """The simulator server. `start()` binds (OSError when the port is taken) and serves in a thread.

    `commands`, `arrivals` (time.monotonic() of each) and `rejected` (refused paths) keep the
    latest HISTORY entries; `received` counts every accepted command."""

    thread_name = "movement-simulator"

    def __init__(self, port=5000):
        super().__init__(port)
        self.commands = collections.deque(maxlen=HISTORY)
        self.arrivals = collections.deque(maxlen=HISTORY)
        self.rejected = collections.deque(maxlen=HISTORY)
        self.received = 0
        self._changed = threading.Condition()
        self._stopping = False

    class handler(LocalHandler):
        protocol_version = "HTTP/1.1"
        disable_nagle_algorithm = True  # the body must not wait for the client's delayed ACK

        def do_GET(self):
            owner = self.server.owner
            path = self.path.split("?", 1)[0]
            if path.startswith("/command/"):
                letter = path[len("/command/"):]
                if letter in COMMANDS:
                    owner._accept(letter)
                    self.send_json(200, {"status": "ok"})
                else:
                    owner.rejected.append(self.path[:_REFUSED_PATH_CHARS])
                    self.send_json(400, {"status": "error"})
            elif path in ("/", "/index.html"):
                self.send_bytes(200, "text/html; charset=utf-8", PAGE.read_bytes())
            elif path == "/state":
                self.send_json(200, owner._state())
            elif path == "/events":
                self._stream_events(owner)
            else:
                self.send_json(404, {"status": "error"})

        def _stream_events(self, owner):
            """Sends the current state, then one event per accepted command until the server stops."""
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
                        if owner.received == sent and not owner._stopping:
                            owner._changed.wait(_KEEPALIVE_S)
                        if owner._stopping:
                            return
                        fresh = owner.since(sent)
                        sent = owner.received
                    if not fresh:
                        self.wfile.write(b": keep-alive\n\n")
                        self.wfile.flush()
                    for count, letter in fresh:
                        self._event("command", {"command": letter, "received": count})
            except OSError:
                return  # the page went away, or stopped reading

        def _event(self, kind, data):
            self.wfile.write(f"event: {kind}\ndata: {json.dumps(data)}\n\n".encode())
            self.wfile.flush()

    def start(self):
        self._stopping = False
        return super().start()

    def stopping(self):
        with self._changed:   # ends open event streams
            self._stopping = True
            self._changed.notify_all()

    def wait_for(self, count, timeout):
        """Blocks until `count` commands were accepted; returns whether they were."""
        deadline = time.monotonic() + timeout
        with self._changed:
            while self.received < count:
                left = deadline - time.monotonic()
                if left <= 0 or self._stopping:
                    return False
                self._changed.wait(left)
            return True

    def since(self, count):
        """(number, letter) of the commands accepted after the first `count`, as far as kept."""
        with self._changed:
            kept = list(self.commands)[-(self.received - count):] if self.received > count else []
            return list(enumerate(kept, self.received - len(kept) + 1))

    def arrivals_since(self, count):
        """Arrival times of the commands accepted after the first `count`, as far as kept."""
        with self._changed:
            return list(self.arrivals)[-(self.received - count):] if self.received > count else []

    def _accept(self, letter):
        with self._changed:
            self.commands.append(letter)
            self.arrivals.append(time.monotonic())
            self.received += 1
            self._changed.notify_all()

    def _state(self):
        with self._changed:
            return {"command": self.commands[-1] if self.commands else "S", "received": self.received}


def main(argv=None):
    parser = argparse.ArgumentParser(description="Run the movement simulator on 127.0.0.1.")
    parser.add_argument("--port", type=int, default=5000)
    args = parser.parse_args(argv)
    serve_until_interrupted(MovementSimulator(args.port),
                            lambda simulator: f"Movement simulator at {simulator.url}/ (Ctrl-C to stop)")


if __name__ == "__main__":
    main()
