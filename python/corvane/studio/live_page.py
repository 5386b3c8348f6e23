"""Live decoding from the page: the studio releases the board, starts live_pilot in its own process
through LiveRun, and (with the emulator) the movement simulator and the controller stand-in on
127.0.0.1 and a cue sequence for the simulated subject. Stopping sends "S" to the actuator first,
answers once that "S" was acknowledged or given up on, and cancels a start still in progress.

Each run is numbered and starts clean: its events carry the number, and the newest events of the run
before are dropped from what a page opened later is shown. While the cues are known (the emulator's
simulated subject follows them) each window is judged against the cue its samples lie in."""
import collections
import os
import threading

import numpy as np

from corvane.pipeline.cues import CuePlayer
from corvane.facts import (AGENT_ARCHIVE_FILE, CLASS_COMMANDS, CLASS_ORDER, DEFAULT_ACTUATOR_HOST, FILTERS_FILE,
                           LIVE_WINDOW, SAMPLING_RATE, SCALER_FILE, STOP_CLASS, STOP_COMMAND)
from corvane.studio.errors import StudioError
from corvane.pipeline.live import LiveError, LiveRun, controller_address, netloc, timed_stop

CUE_SECONDS = 12.0
CUE_SEGMENTS = 200          # enough for a long run; the last cue then holds
HISTORY = 60                # commands shown in the acknowledged history
SIMULATOR_URL = "http://127.0.0.1:5000"   # where live_pilot reports when no simulator is given
STOPPED_WHILE_STARTING = "Stopped: live decoding was cancelled before it started."
RUN_TOPICS = ("live_window", "live_command", "gate", "live_notice", "live_classes")   # one run's own


class LivePage:
    def __init__(self, studio):
        self.studio = studio
        self.run = self.simulator = self.controller = self.cues = None
        self.actuator_host = os.environ.get("CORVANE_ACTUATOR_HOST")
        self.number = self.windows = self.agreed = self.judged = 0
        self.history = collections.deque(maxlen=HISTORY)
        self.info = {}                    # what every "live" event of this run says
        self._lock = threading.Lock()     # one start at a time
        self._state = threading.Lock()    # the run and the stop count, as a stop sees them
        self._stops = 0                   # a start that sees this change was cancelled by a stop
        self._cancelled = collections.deque(maxlen=64)   # start ids a page's STOP cancelled

    @property
    def running(self):
        return self.run is not None and bool(self.run.running)

    def status(self):
        """What the page shows before any run: the placeholders of its fields (what an empty field
        means) and the class table the legend comes from until live_pilot prints its own."""
        return {"running": self.running, "run": self.number,
                "actuator_placeholder": self.actuator_host or DEFAULT_ACTUATOR_HOST,
                "simulator_placeholder": os.environ.get("CORVANE_SIMULATOR_URL") or SIMULATOR_URL,
                "classes": [list(pair) for pair in CLASS_COMMANDS] + [[STOP_CLASS, STOP_COMMAND]]}

    def missing_artefacts(self):
        return [name for name in (FILTERS_FILE, SCALER_FILE, AGENT_ARCHIVE_FILE)
                if not (self.studio.artefact_dir / name).is_file()]

    def start(self, body):
        start_id = body.get("start_id")
        with self._lock:
            with self._state:
                stops = self._stops
                if start_id is not None and start_id in self._cancelled:
                    raise StudioError(STOPPED_WHILE_STARTING)
            if self.running:
                raise StudioError("Live decoding is already running.")
            missing = self.missing_artefacts()
            if missing:
                raise StudioError("No trained decoder yet: train one on the Train page first.",
                                  details=f"{self.studio.artefact_dir} lacks {', '.join(missing)}")
            board = self.studio.board
            emulated = bool(body.get("emulator")) or (board.emulator is not None and board.port == board.emulator.port)
            port = board.start_emulator() if emulated else (field(body, "port") or board.port or "").strip()
            if not port:
                raise StudioError("Give the board's serial port, or connect the emulator on the Board page.")
            board.release()   # the serial port opens in one process only: live_pilot's, now
            if emulated:
                # Live decoding keeps up at a lower speed than recording; the count restarts with
                # live_pilot's stream, and the cue player's clock with it.
                board.emulator.speed = self.studio.live_speed
                board.emulator.samples_sent = 0
                self._start_standins()
                actuator, simulator_url = f"127.0.0.1:{self.controller.port}", self.simulator.url
            else:
                actuator = field(body, "actuator_host").strip() or None
                simulator_url = field(body, "simulator_url").strip() or self.status()["simulator_placeholder"]
            clock = (lambda: board.emulator.samples_sent) if emulated else None
            number = self.number + 1
            try:
                run = LiveRun(artefact_dir=self.studio.artefact_dir, serial_port=port, actuator_host=actuator,
                              simulator_url=simulator_url, on_event=lambda event: self._event(event, number),
                              clock=clock, lsl=getattr(self.studio, "lsl", None))
            except ValueError as exc:
                raise StudioError(str(exc)) from None
            with self._state:
                if self._stops != stops:
                    raise StudioError(STOPPED_WHILE_STARTING)
                self.run = run   # from here a stop stops this run, which then never starts
            self._new_run(number, run, simulator_url, emulated)
            try:
                run.start()
            except LiveError as exc:
                if self._stops != stops:
                    raise StudioError(STOPPED_WHILE_STARTING) from None
                raise StudioError(str(exc), details=exc.details) from None
            if emulated:
                self._play_cues(board)
            with self._state:
                if self._stops != stops:   # the stop came as live_pilot became ready: it is ending
                    self._stop_cues()
                    raise StudioError(STOPPED_WHILE_STARTING)
            self.studio.bus.publish("live", state="running", **self.info)
            return {"controller": run.controller_url, "run": self.number}

    def _new_run(self, number, run, simulator_url, emulated):
        """A clean page for the run: its count and tallies at 0, the run before's windows, commands,
        gate, notices and class table forgotten."""
        self.number = number
        self.windows = self.agreed = self.judged = 0
        self.history.clear()
        # With the emulator the studio started the controller (a stand-in) and the simulator.
        self.info = {"run": self.number, "controller": run.controller_url, "simulator": simulator_url,
                     "standin": emulated, "cues_known": emulated}
        self.studio.bus.reset("live", RUN_TOPICS, state="starting", **self.info)

    def _start_standins(self):
        from corvane.standins.actuator_controller import ActuatorController
        from corvane.standins.movement_simulator import MovementSimulator
        if self.simulator is None:
            self.simulator = MovementSimulator(0).start()
        if self.controller is None:
            self.controller = ActuatorController(0).start()

    def _play_cues(self, board):
        rng = np.random.default_rng(self.studio.seed + 1)
        labels = list(CLASS_ORDER)
        schedule = [str(c) for _ in range(CUE_SEGMENTS // len(labels) + 1) for c in rng.permutation(labels)]
        emulator, subject = board.emulator, board.subject

        def apply(cue):
            subject.cue = cue
            self.studio.bus.publish("cue", label=cue)

        subject.cue = schedule[0]
        self.studio.bus.publish("cue", label=schedule[0])
        self.cues = CuePlayer(schedule, int(CUE_SECONDS * SAMPLING_RATE), lambda: emulator.samples_sent, apply)
        self.cues.start()

    def _event(self, event, number):
        """An event of run `number`'s live_pilot to the pages (none once a later run has begun)."""
        if number != self.number:
            return
        kind = event.get("kind")
        payload = {k: v for k, v in event.items() if k != "kind"}
        payload["run"] = number
        if kind == "window":
            self.windows += 1
            self.studio.bus.publish("live_window", **self._judged(payload), count=self.windows,
                                    agreed=self.agreed, judged=self.judged)
        elif kind == "gate":
            self.studio.bus.publish("gate", **payload)
        elif kind == "command":   # a change the controller acknowledged
            self.history.append(payload["command"])
            self.studio.bus.publish("live_command", **payload, history=list(self.history))
        elif kind == "notice":
            self.studio.bus.publish("live_notice", **payload)
        elif kind == "classes":
            self.studio.bus.publish("live_classes", **payload)
        elif kind == "exit":
            self._stop_cues()
            self.studio.bus.publish("live", **{**self.info, **payload, "state": "ended"})
        elif kind == "error":   # said while live_pilot runs on, or as it ends on an error
            run = self.run
            state = "running" if run is not None and run.running else "error"
            self.studio.bus.publish("live", **self.info, state=state, error=payload["text"],
                                    details=payload.get("details"))

    def _judged(self, window):
        """The window with the cue its samples lie in and whether its decision agrees with it, when
        the cues are known and one cue covers the whole window (one spanning a change is not judged)."""
        cues, end = self.cues, window.pop("end", None)
        window["cue"] = window["agrees"] = None
        if cues is not None and end is not None:
            cue, whole = cues.cue_over(max(0, end - LIVE_WINDOW), max(end, 1))
            window["cue"] = cue
            if whole:
                window["agrees"] = window.get("decision") == cue
                self.judged += 1
                self.agreed += window["agrees"]
        return window

    def stop(self, cancel=(), wait=False):
        """Sends "S" to the actuator (through the live run, else directly) and cancels any start in
        progress, or yet to come with an id in `cancel`; answers once that "S" was acknowledged or
        given up on (with `wait`, once live_pilot has ended too; else its end follows as events)."""
        with self._state:
            self._stops += 1
            self._cancelled.extend(cancel)
            run = self.run
        # A run that has ended still knows the controller it was given: "S" goes there again.
        outcome = run.stop(wait=wait) if run is not None else self.send_stop()
        self._stop_cues()
        outcome["controller"] = self.controller_url()
        # "ending": live_pilot is still on its way out; the "ended" event follows.
        self.studio.bus.publish("live", **{**self.info, **outcome, "state": "stopped",
                                           "ending": run is not None and bool(run.running)})
        return outcome

    def _actuator(self):
        """(host, port) of the controller commands go to before any live run, or None."""
        if self.controller is not None:
            return "127.0.0.1", self.controller.port
        if self.actuator_host:
            try:
                return controller_address(self.actuator_host)
            except ValueError:
                return None
        return None

    def controller_url(self):
        if self.run is not None:
            return self.run.controller_url
        actuator = self._actuator()
        return f"http://{netloc(*actuator)}" if actuator else None

    def send_stop(self):
        """"S" with the same one-second deadline, no proxy and no redirect as a live run's stop."""
        actuator = self._actuator()
        if actuator is None:
            return {"acknowledged": False, "seconds": 0.0, "note": "no actuator has been started"}
        return timed_stop(*actuator)

    def _stop_cues(self):
        cues, self.cues = self.cues, None
        if cues is not None:
            cues.stop()
            subject = self.studio.board.subject
            if subject is not None:
                subject.cue = None
            self.studio.bus.publish("cue", label=None)

    def close(self):
        """The studio's own "S" (to the run's controller, else the configured one), live_pilot
        ended, the stand-ins stopped."""
        if self.running or self._actuator() is not None:
            self.stop(wait=True)
        self._stop_cues()
        for service in (self.simulator, self.controller):
            if service is not None:
                service.stop()


def field(body, name):
    """A text field of the page's body ("" when missing or not text)."""
    value = body.get(name)
    return value if isinstance(value, str) else ""
