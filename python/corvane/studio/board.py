"""The board: one CaptureHub that holds the board for the board and session pages, the emulator
with its simulated subject when asked for, and a monitor thread pushing traces and channel
quality to the pages. Nothing opens a board until the page's connect button is clicked."""
import threading
import time

import numpy as np

from corvane.facts import ELECTRODES, SAMPLING_RATE, WIRED_EEG_ROWS
from corvane.pipeline.environment import module_environment
from corvane.studio.errors import StudioError
from corvane.studio.output import error_lines
from corvane.studio.quality import channel_report

SHOWN_SECONDS = 4
MONITOR_PERIOD_S = 0.25
MIN_SHOWN_SAMPLES = SAMPLING_RATE // 2   # judged on less, a channel could look flat by chance


class BoardService:
    def __init__(self, studio):
        self.studio = studio
        self.hub = None
        self.emulator = self.subject = None
        self.port = None
        self.lock = threading.RLock()      # one module call on the board at a time
        self._monitor = None
        self._stop_monitor = threading.Event()

    @property
    def connected(self):
        return self.hub is not None and bool(self.hub.is_streaming)

    def status(self):
        emulated = self.emulator is not None and self.port == self.emulator.port
        return {"connected": self.connected, "port": self.port, "emulator": emulated}

    def publish(self, **extra):
        self.studio.bus.publish("board", **self.status(), **extra)

    def connect(self, port=None, emulator=False):
        with self.lock:
            if self.studio.live.running:
                raise StudioError("Live decoding holds the board; stop it first.")
            if self.connected:
                return self.status()
            if emulator:
                port = self.start_emulator()
            port = (port or "").strip()
            if not port:
                raise StudioError("Give the board's serial port (for example /dev/ttyUSB0), or use the emulator.")
            with self.studio.output.captured() as lines:
                if self.hub is None:
                    import capture_hub
                    with module_environment(base=self.studio.base, serial_port=port):
                        self.hub = capture_hub.CaptureHub()
                else:
                    self.hub.initialize_board(port)
            if not self.connected:
                reason = " ".join(error_lines(lines)) or "no answer"
                raise StudioError(f"The board did not open on {port}: {reason}. Check the port and that "
                                  "the dongle is plugged in and switched to PC.")
            self.port = port
        self._start_monitor()
        self.publish()
        return self.status()

    def start_emulator(self):
        """The emulator and simulated subject (kept across reconnects); returns its port."""
        if self.emulator is None:
            from corvane.standins.cyton_emulator import CytonEmulator
            from corvane.standins.simulated_subject import SimulatedSubject
            self.subject = SimulatedSubject(seed=self.studio.seed)
            self.emulator = CytonEmulator(signal=self.subject, speed=self.studio.speed).start()
        self.emulator.speed = self.studio.speed
        return self.emulator.port

    def disconnect(self):
        if self.studio.session.running:
            raise StudioError("A session is being recorded: stop it on the Session page first.")
        self.release()

    def release(self):
        """Stops the stream and frees the port (for live_pilot, or on disconnect)."""
        self._stop_monitor.set()
        if self._monitor is not None:
            self._monitor.join(timeout=2)
            self._monitor = None
        with self.lock:
            if self.hub is not None:
                with self.studio.output.captured():
                    self.hub.stop_stream()
        self.publish()

    def close(self):
        self.release()
        if self.emulator is not None:
            self.emulator.stop()
            self.emulator = None

    def window(self, samples):
        """(newest `samples` of the wired rows in microvolts, samples buffered), or (None, 0) when
        the board is not streaming."""
        with self.lock:
            if not self.connected:
                return None, 0
            board = self.hub.board
            data, count = board.get_current_board_data(samples), board.get_board_data_count()
        return np.ascontiguousarray(data[list(WIRED_EEG_ROWS), :], dtype=np.float64), count

    def _start_monitor(self):
        if self._monitor is not None and self._monitor.is_alive():
            return
        self._stop_monitor = threading.Event()
        self._monitor = threading.Thread(target=self._watch, args=(self._stop_monitor,), name="board-monitor",
                                         daemon=True)
        self._monitor.start()

    def _watch(self, stop):
        import capture_hub
        last_count, silent_since = None, time.monotonic()
        while not stop.wait(MONITOR_PERIOD_S):
            try:
                window, count = self.window(SHOWN_SECONDS * SAMPLING_RATE)
            except Exception as exc:   # the board went away under us
                self.publish(error=f"Reading the board failed: {exc}")
                continue
            if window is None:
                continue
            newest = window[:, -1].tolist() if window.shape[1] else None
            if (count, newest) != last_count:
                last_count, silent_since = (count, newest), time.monotonic()
            elif time.monotonic() - silent_since > 3.0:
                self.publish(error="The board stopped sending data: check that it is on and plugged in.")
                continue
            if window.shape[1] < MIN_SHOWN_SAMPLES:   # just drained by a recording's start: wait for more
                continue
            try:
                channels = channel_report(window, ELECTRODES, SAMPLING_RATE, capture_hub.channel_quality(window))
            except Exception as exc:   # one odd window must not end the monitor
                self.publish(error=f"The signal could not be shown: {exc}")
                continue
            self.studio.bus.publish("traces", rate=SAMPLING_RATE, channels=channels, at=time.time())
