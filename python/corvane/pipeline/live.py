"""Live decoding as a library: `python -m live_pilot` in a process of its own, given its artefact
folder, serial port, controller and simulator; its output read on a thread and turned into events
for a callback; and a stop that sends "S" to the actuator itself before it ends the process (which
sends "S" again on its way out).

    run = LiveRun(artefact_dir="artefacts", serial_port="/dev/ttyUSB0", actuator_host="192.168.4.1",
                  simulator_url="http://127.0.0.1:5000", on_event=print)
    run.start()          # returns once live_pilot streams; LiveError with its reason otherwise
    ...
    run.stop()           # "S" first, then live_pilot ended

send_stop / timed_stop send that "S" on their own, within one second in all."""
import collections
import os
import select
import signal
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import Callable

from corvane.facts import DEFAULT_ACTUATOR_HOST, READY_LINE, STOP_COMMAND, WINDOW_LINE, parse_actuator_address
from corvane.pipeline.environment import module_variables
from corvane.pipeline.live_events import LiveEvents

START_SECONDS = 180.0   # importing live_pilot (the libraries, the artefacts, the board) takes this at most
STOP_DEADLINE = 1.0     # the host's own "S": connecting, sending and the whole answer
TERM_SECONDS = 10.0     # live_pilot's own stop takes under 4 s; then it is killed
QUIET_SECONDS = 1.0     # output paused this long: the pending window is complete (a step is 1.75 s)


class LiveError(RuntimeError):
    """Live decoding could not start; the message says why, in plain words, and `details` (the
    child's own words, file names) more for whoever looks into it."""

    def __init__(self, message, details=None):
        super().__init__(message)
        self.details = details


def controller_address(actuator_host):
    """(host, port) of CORVANE_ACTUATOR_HOST, read by live_pilot's own parser (port 80 unless
    given); an IPv6 host comes back without its brackets, which netloc() adds. ValueError for
    anything else."""
    try:
        host, port = parse_actuator_address(actuator_host.strip())
    except ValueError:
        raise ValueError(f"The actuator address {actuator_host!r} is not a host name or IP address "
                         "with an optional :port (1-65535).") from None
    return host.removeprefix("[").removesuffix("]"), port


def netloc(host, port):
    """host:port as a URL writes it (an IPv6 address in brackets)."""
    return f"[{host}]:{port}" if ":" in host else f"{host}:{port}"


def send_stop(host, port, deadline=STOP_DEADLINE):
    """GET /S on the controller within `deadline` seconds in all (connecting, sending and the whole
    answer); True when a 2xx answer arrived whole in time. Plain HTTP on a socket: no proxies, no
    redirects (a 3xx is no answer), and the deadline holds even for an answer that trickles."""
    end = time.monotonic() + deadline
    request = f"GET /{STOP_COMMAND} HTTP/1.1\r\nHost: {netloc(host, port)}\r\nConnection: close\r\n\r\n".encode()
    address = resolve(host, port, end)
    if address is None:
        return False
    try:
        with socket.socket(address[0], socket.SOCK_STREAM) as connection:
            connection.settimeout(max(0.001, end - time.monotonic()))
            connection.connect(address[4])
            connection.settimeout(max(0.001, end - time.monotonic()))
            connection.sendall(request)
            answer = b""
            while not complete(answer):
                remaining = end - time.monotonic()
                if remaining <= 0 or len(answer) > 65536:
                    return False
                connection.settimeout(remaining)
                chunk = connection.recv(4096)
                if not chunk:
                    break
                answer += chunk
    except OSError:
        return False
    status = answer.split(b"\r\n", 1)[0].split(b" ")
    return (complete(answer, closed=True) and len(status) > 1 and status[0].startswith(b"HTTP/")
            and status[1].isdigit() and 200 <= int(status[1]) < 300)


def timed_stop(host, port):
    """send_stop, as {"acknowledged": bool, "seconds": how long it took}."""
    began = time.monotonic()
    acknowledged = send_stop(host, port)
    return {"acknowledged": acknowledged, "seconds": round(time.monotonic() - began, 3)}


def resolve(host, port, end):
    """The first address of `host` (getaddrinfo's tuple), looked up within the deadline; None
    when the name does not resolve in time. An IP address needs no lookup."""
    found = []

    def look_up():
        try:
            found.extend(socket.getaddrinfo(host, port, type=socket.SOCK_STREAM))
        except OSError:
            pass

    looking = threading.Thread(target=look_up, name="actuator-lookup", daemon=True)
    looking.start()
    looking.join(max(0.0, end - time.monotonic()))
    return found[0] if found else None


def complete(answer, closed=False):
    """Whether `answer` holds a whole HTTP answer: its head, and its body as long as Content-Length
    says (up to the connection's end when it says nothing)."""
    head, found, body = answer.partition(b"\r\n\r\n")
    if not found:
        return False
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            return value.strip().isdigit() and len(body) >= int(value.strip())
    return closed


class LiveRun:
    def __init__(self, *, artefact_dir, serial_port: str, actuator_host: str | None, simulator_url: str,
                 on_event: Callable[[dict], None], extra_env: dict | None = None, clock=None, lsl=None,
                 on_line: Callable[[str], None] | None = None):
        """`actuator_host` as CORVANE_ACTUATOR_HOST reads (None: live_pilot's default); a bad one
        raises ValueError. `on_event(dict)` and `on_line(line)` (each line of live_pilot's output)
        are called on the reading thread; with `clock` (the stream's sample count) window events
        carry where their samples end (see LiveEvents). `lsl` (an LslStreams, see lsl.py; None:
        off) streams the decisions and the acknowledged commands as markers."""
        env = dict(os.environ, PYTHONUNBUFFERED="1")
        env.update(module_variables(artefact_dir=Path(artefact_dir).resolve(), serial_port=serial_port,
                                    simulator_url=simulator_url, actuator_host=actuator_host))
        env.update({k: str(v) for k, v in (extra_env or {}).items()})
        self._env, self.on_event, self._clock, self.on_line = env, on_event, clock, on_line
        self._decisions = lsl.decisions() if lsl is not None else None
        self._host, self._port = controller_address(env.get("CORVANE_ACTUATOR_HOST", DEFAULT_ACTUATOR_HOST))
        self.controller_url = f"http://{netloc(self._host, self._port)}"
        self._child = self._reader = None
        self._ready = threading.Event()
        self._lines = collections.deque(maxlen=40)   # the child's last lines, for its error message
        self._stopping = False
        self._lock = threading.Lock()

    @property
    def running(self) -> bool:
        return self._child is not None and self._child.poll() is None

    def start(self) -> None:
        """Returns once live_pilot has loaded its artefacts and opened the board; raises LiveError
        with its own message when it cannot, or when stop() came first or meanwhile."""
        with self._lock:   # a stop either comes before the child exists, or sees it
            if self._stopping:
                raise LiveError("The live run was stopped before it started.")
            if self._child is not None:
                raise LiveError("This live run has already been started.")
            # Should the host die, the child's output pipe breaks: its next line ends it (within a
            # window step, or 5 s when the board is silent) through its own stop, which sends "S".
            try:
                self._child = subprocess.Popen([sys.executable, "-u", "-m", "live_pilot"], env=self._env,
                                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                               stderr=subprocess.STDOUT)
            except OSError as exc:
                raise LiveError("Live decoding could not be started.", f"live_pilot: {exc}")
        self._reader = threading.Thread(target=self._read, name="live-pilot-output", daemon=True)
        self._reader.start()
        began = time.monotonic()
        while not self._ready.wait(0.05):
            if not self._reader.is_alive():
                self._reader.join()
                if self._stopping:
                    raise LiveError("The live run was stopped before it started.")
                raise self._start_failure()
            if time.monotonic() - began > START_SECONDS:
                self.stop()
                raise LiveError(f"Live decoding did not start within {START_SECONDS:.0f} s.",
                                f"live_pilot's last words: {self._last_words()}")
        if self._stopping:   # stopped as it became ready: the stop is ending it
            raise LiveError("The live run was stopped before it started.")

    def stop(self, wait: bool = True) -> dict:
        """"S" to the actuator at once, then live_pilot ended (waited for unless `wait` is False: it
        then ends in the background and its "exit" event follows). Returns whether the controller
        acknowledged this "S" and how long that took. A run not started yet never starts."""
        with self._lock:
            self._stopping = True
            child = self._child
        outcome = timed_stop(self._host, self._port)
        if child is not None:
            ending = threading.Thread(target=self._end, args=(child,), name="live-pilot-stop", daemon=True)
            ending.start()
            if wait:
                ending.join()
        return outcome

    def _end(self, child):
        if child.poll() is None:
            child.send_signal(signal.SIGTERM)
            try:
                child.wait(timeout=TERM_SECONDS)
            except subprocess.TimeoutExpired:
                child.kill()
                child.wait()
        if self._reader is not None and self._reader is not threading.current_thread():
            self._reader.join(timeout=5)

    # --- the child's output -------------------------------------------------------------------
    def _read(self):
        parser, pending = LiveEvents(self._clock), b""
        stream = self._child.stdout.fileno()
        while True:
            ready, _, _ = select.select([stream], [], [], QUIET_SECONDS)
            if not ready:
                self._emit_all(parser.flush())
                self._to_lsl(None)
                continue
            chunk = os.read(stream, 65536)
            if not chunk:
                break
            *lines, pending = (pending + chunk).split(b"\n")
            for raw in lines:
                line = raw.decode("utf-8", "replace").rstrip()
                self._remember(line)
                if line == READY_LINE or line.startswith(WINDOW_LINE):
                    self._ready.set()
                self._to_lsl(line)
                self._emit_all(parser.feed(line))
        if pending:
            self._remember(pending.decode("utf-8", "replace").rstrip())
        self._to_lsl(None)
        self._emit_all(parser.flush())
        try:
            code = self._child.wait(timeout=TERM_SECONDS)
        except subprocess.TimeoutExpired:   # its output closed, yet it runs on
            self._child.kill()
            code = self._child.wait()
        self._child.stdout.close()
        text = self._last_words()
        if code != 0 and not self._stopping and self._ready.is_set():
            self._emit({"kind": "error", "text": "Live decoding stopped on an error; the actuator was sent S.",
                        "details": f"live_pilot stopped: {text}"})
        self._emit({"kind": "exit", "code": code, "text": text})

    def _start_failure(self):
        """The LiveError of a live_pilot that ended before it was ready: plain words, its own below."""
        text = self._last_words()
        details = f"live_pilot: {text}"
        if text.startswith("brainflow."):
            return LiveError(f"Live decoding could not open the board on {self._env['CORVANE_SERIAL_PORT']}: "
                             "check the port and that the dongle is plugged in and switched to PC.", details)
        if text.startswith("FileNotFoundError"):
            return LiveError("Live decoding could not start: a trained file is missing. Train on the Train page "
                             "first.", details)
        return LiveError("Live decoding could not start.", details)

    def _to_lsl(self, line):
        """A line to the decision markers and to on_line (None: the output paused or ended)."""
        try:
            if self._decisions is not None:
                self._decisions.flush() if line is None else self._decisions.feed(line)
            if line is not None and self.on_line is not None:
                self.on_line(line)
        except Exception:
            pass   # a marker or a listener never stops the reading

    def _remember(self, line):
        if line.strip():
            self._lines.append(line.strip())

    def _last_words(self):
        """The child's own message: the last line of its traceback, else its last line."""
        for line in reversed(self._lines):
            if not line.startswith(" ") and ("Error" in line.split(":")[0] or "Exception" in line.split(":")[0]):
                return line
        return self._lines[-1] if self._lines else "no output"

    def _emit_all(self, events):
        for event in events:
            self._emit(event)

    def _emit(self, event):
        try:
            self.on_event(event)
        except Exception:
            pass   # a page that went away does not stop the reading
