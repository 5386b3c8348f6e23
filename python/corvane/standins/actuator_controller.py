"""A stand-in for the actuator controller on 127.0.0.1: it acknowledges the drive commands
live_pilot sends, and moves nothing.

    GET /<letter>   200 "OK" for S, L, R, F, B; 400 otherwise

It keeps spare connections for `GET /S` (see corvane.web.local_http): a stop is served even while
stalled connections hold every other one.

`python -m corvane.standins.actuator_controller [--port 80]` runs one until Ctrl-C; point
live_pilot at it with CORVANE_ACTUATOR_HOST=127.0.0.1 (or 127.0.0.1:<port>).
"""
import argparse
import collections
import threading

from corvane.web.local_http import LocalHandler, LocalService, serve_until_interrupted
from corvane.facts import COMMANDS
from corvane.standins.movement_simulator import HISTORY

DEFAULT_PORT = 80


class ActuatorController(LocalService):
    """`requests` keeps the latest HISTORY request paths, `received` counts the acknowledged ones."""

    thread_name = "actuator-controller"
    spare_connections = 2

    def __init__(self, port=DEFAULT_PORT):
        super().__init__(port)
        self.requests = collections.deque(maxlen=HISTORY)
        self.received = 0
        self._lock = threading.Lock()

    class handler(LocalHandler):
        protocol_version = "HTTP/1.1"
        disable_nagle_algorithm = True

        def urgent(self):
            return self.command == "GET" and self.path.split("?", 1)[0] == "/S"

        def do_GET(self):
            owner = self.server.owner
            letter = self.path.split("?", 1)[0][1:]
            with owner._lock:
                owner.requests.append(self.path[:200])
                owner.received += letter in COMMANDS
            if letter in COMMANDS:
                self.send_bytes(200, "text/plain", b"OK")
            else:
                self.send_bytes(400, "text/plain", b"unknown command")


def main(argv=None):
    parser = argparse.ArgumentParser(description="Run an actuator controller stand-in on 127.0.0.1.")
    parser.add_argument("--port", type=int, default=DEFAULT_PORT)
    args = parser.parse_args(argv)
    serve_until_interrupted(ActuatorController(args.port),
                            lambda controller: f"Actuator controller stand-in at {controller.url}/ (Ctrl-C to stop)")


if __name__ == "__main__":
    main()
