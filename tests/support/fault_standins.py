"""Stand-ins that fail on demand, for fault-injection tests and benchmarks (re-exported by
tests.support.testbed).

- FaultyServer: an HTTP/1.1 stand-in (connections kept alive) for the actuator controller or the
  simulator on 127.0.0.1 that, when told to, refuses connections (dropping the open ones, as a
  restarting device does), hangs past the links' one-second limit, answers 500, drops the
  connection, trickles its answer (one byte every 0.7 s), completes it only after 4 s (each byte
  in time for a per-read limit) or redirects (302 to /redirected + the path on itself). It logs
  every request with its arrival time (time.monotonic, which is one clock for every process on
  the machine). Pointed at by HTTP_PROXY it stands in for a proxy: the path it logs is then the
  whole URL asked for.
- standin_process: the same server in its own interpreter, driven over its stdin; its log comes
  back over its stdout.
- driven_child: a stand-in module run in its own interpreter and driven over its stdin (the board
  stand-ins of tests.support.board_faults use it too).
"""
import argparse
import contextlib
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

from corvane.web.local_http import LOOPBACK, LocalHandler, LocalServer

FAULTS = ("refuse", "hang", "500", "drop", "trickle", "slow", "302")
# Long enough that a client with the one-second limit has given up.
HANG_SECONDS = 2.0
# "trickle": one byte of the answer this often; "slow": the answer's last byte this long after the
# request, its bytes evenly spread (each well within a one-second read limit).
TRICKLE_SECONDS = 0.7
SLOW_SECONDS = 4.0
ROOT = Path(__file__).resolve().parents[2]


def write_answer(handler, status, body, content_type=None):
    """Sends one HTTP answer from a request handler; a client that gave up waiting is ignored."""
    data = body.encode()
    try:
        handler.send_response(status)
        if content_type:
            handler.send_header("Content-Type", content_type)
        handler.send_header("Content-Length", str(len(data)))
        handler.end_headers()
        handler.wfile.write(data)
    except OSError:
        pass


def write_slowly(handler, status, body, seconds_per_byte=None, total_seconds=None):
    """Sends one HTTP answer a byte at a time, `seconds_per_byte` apart or spread over `total_seconds`."""
    data = (f"HTTP/1.1 {status} {handler.responses.get(status, ('',))[0]}\r\n"
            f"Content-Length: {len(body.encode())}\r\n\r\n{body}").encode()
    gap = seconds_per_byte if seconds_per_byte is not None else total_seconds / len(data)
    try:
        for k in range(len(data)):
            time.sleep(gap)
            handler.wfile.write(data[k : k + 1])
            handler.wfile.flush()
    except OSError:
        pass  # the client gave up


def controller_answer(path):
    return 200, "OK"


def simulator_answer(path):
    return 200, '{"status": "ok"}'


class _RequestLog:
    """log: (arrival time, path, outcome) per request, outcome "ack" for a 2xx answer, else the fault."""

    def acked(self):
        """The commands (last path segment) answered with a 2xx, in order."""
        with self._lock:
            return [path.rsplit("/", 1)[-1] for _, path, outcome in self.log if outcome == "ack"]

    def ack_times(self, command):
        with self._lock:
            return [t for t, path, outcome in self.log if outcome == "ack" and path.rsplit("/", 1)[-1] == command]


class FaultyServer(_RequestLog):
    """HTTP stand-in on 127.0.0.1; `answer(path)` -> (status, body) is its healthy reply.
    `on_event(line)` is called with each log entry as text (the out-of-process form prints it)."""

    def __init__(self, answer=controller_answer, port=0, on_event=None):
        self.answer, self.on_event = answer, on_event
        self.log = []
        self._fault, self._remaining = None, None
        self._lock = threading.Lock()
        self._server = None
        self._connections = set()
        self.connections_opened = 0
        self.port = port
        self._listen()
        self.url = f"http://{LOOPBACK}:{self.port}"

    def _listen(self):
        server = self

        class Handler(LocalHandler):
            protocol_version = "HTTP/1.1"
            # Headers and body go out as two writes; without this the body waits for the
            # client's delayed acknowledgement (40 ms) on a kept-alive connection.
            disable_nagle_algorithm = True

            def setup(self):
                super().setup()
                with server._lock:
                    server._connections.add(self.connection)
                    server.connections_opened += 1

            def finish(self):
                with server._lock:
                    server._connections.discard(self.connection)
                super().finish()

            def do_GET(self):
                arrived = time.monotonic()
                fault = server._take_fault()
                if fault == "hang":
                    time.sleep(HANG_SECONDS)
                status, body = (500, "fault") if fault == "500" else server.answer(self.path)
                outcome = fault or ("ack" if 200 <= status < 300 else str(status))
                server._record(arrived, self.path, outcome)
                if fault == "drop":
                    self.close_connection = True
                elif fault == "302":
                    self.send_response(302)
                    self.send_header("Location", f"{server.url}/redirected{self.path}")
                    self.send_header("Content-Length", "0")
                    self.end_headers()
                elif fault in ("trickle", "slow"):
                    self.close_connection = True
                    write_slowly(self, status, body, TRICKLE_SECONDS if fault == "trickle" else None,
                                 SLOW_SECONDS if fault == "slow" else None)
                else:
                    write_answer(self, status, body)

        self._server = LocalServer(self.port, Handler, owner=self)
        self.port = self._server.port
        threading.Thread(target=self._server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True).start()

    def _take_fault(self):
        with self._lock:
            fault = self._fault
            if fault and self._remaining is not None:
                self._remaining -= 1
                if self._remaining <= 0:
                    self._fault = None
            return fault

    def _record(self, arrived, path, outcome):
        with self._lock:
            self.log.append((arrived, path, outcome))
        if self.on_event:
            self.on_event(f"{outcome} {arrived:.6f} {path}")

    def fail(self, fault, times=None, seconds=None):
        """The next `times` requests (all, when None) meet `fault`; "refuse" stops listening,
        for `seconds` when given, else until heal(). Returns when the fault is in place."""
        if fault not in FAULTS:
            raise ValueError(f"unknown fault {fault!r}")
        if fault == "refuse":
            self._stop_listening()
            if seconds is not None:
                threading.Timer(seconds, self.heal).start()
            return
        with self._lock:
            self._fault, self._remaining = fault, times

    def heal(self):
        with self._lock:
            self._fault = self._remaining = None
            if self._server is None:
                self._listen()

    def _stop_listening(self):
        with self._lock:
            if self._server is not None:
                self._server.shutdown()
                self._server.server_close()
                self._server = None
            for connection in self._connections:
                with contextlib.suppress(OSError):
                    connection.shutdown(socket.SHUT_RDWR)

    def clear(self):
        with self._lock:
            self.log.clear()

    def close(self):
        self._stop_listening()


class StandinProcess(_RequestLog):
    """A FaultyServer in a child interpreter: the same fail/heal/acked/ack_times, over pipes."""

    def __init__(self, child):
        self._child = child
        self.port = int(child.stdout.readline())
        self.url = f"http://{LOOPBACK}:{self.port}"
        self.log = []
        self._lock = self._changed = threading.Condition()
        self._ready = False
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self._child.stdout:
            parts = line.split()
            with self._changed:
                if parts[0] == "ready":
                    self._ready = True
                else:
                    self.log.append((float(parts[1]), parts[2], parts[0]))
                self._changed.notify_all()

    def _command(self, text):
        with self._changed:
            self._ready = False
            self._child.stdin.write(text + "\n")
            self._child.stdin.flush()
            self._changed.wait_for(lambda: self._ready, timeout=5)

    def fail(self, fault, times=None, seconds=None):
        self._command(f"fail {fault} {times if times is not None else '-'} {seconds if seconds is not None else '-'}")

    def heal(self):
        self._command("heal")

    def wait_for_ack(self, command, after, timeout):
        """The first time after `after` that `command` was acknowledged, or None after `timeout`."""
        def found():
            return next((t for t in self.ack_times(command) if t >= after), None)

        with self._changed:
            self._changed.wait_for(lambda: found() is not None, timeout=timeout)
        return found()


@contextlib.contextmanager
def driven_child(module, arguments, wrapper):
    """`python -m <module> <arguments>`, driven over its stdin through `wrapper`."""
    command = [sys.executable, "-m", module, *arguments]
    child = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, cwd=ROOT)
    try:
        yield wrapper(child)
    finally:
        child.stdin.close()
        child.wait(timeout=10)


def standin_process(simulator=False):
    """A FaultyServer (controller answers, or the simulator's with `simulator`) in its own interpreter."""
    return driven_child(__name__, ["--simulator"] if simulator else [], StandinProcess)


def _serve(argv=None):
    parser = argparse.ArgumentParser(description="A fault stand-in server driven over stdin.")
    parser.add_argument("--simulator", action="store_true")
    args = parser.parse_args(argv)
    lock = threading.Lock()

    def say(text):
        with lock:
            print(text, flush=True)

    server = FaultyServer(simulator_answer if args.simulator else controller_answer, on_event=say)
    say(str(server.port))
    for line in sys.stdin:
        words = line.split()
        if words[0] == "fail":
            times, seconds = (None if w == "-" else float(w) for w in words[2:4])
            server.fail(words[1], None if times is None else int(times), seconds)
        elif words[0] == "heal":
            server.heal()
        say("ready")
    server.close()


if __name__ == "__main__":
    _serve()
