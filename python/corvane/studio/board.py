"""The board: one CaptureHub that holds the board for the board and session pages, the emulator
with its simulated subject when asked for, and a monitor thread pushing traces, channel quality
and spectra to the pages. Nothing opens a board until the page's connect button is clicked."""
import functools
import threading

import numpy as np

from corvane.facts import SAMPLING_RATE, WIRED_EEG_ROWS
from corvane.pipeline.environment import module_environment
from corvane.studio.errors import StudioError
from corvane.studio.monitor import BoardMonitor
from corvane.studio.output import error_lines
from corvane.studio.traces import TIME_BASES_S

MAX_READ = max(TIME_BASES_S) * SAMPLING_RATE   # new samples read at once: more than a plot shows is a gap
FIRST_READ = 64
WIRED = list(WIRED_EEG_ROWS)


class BoardService:
    def __init__(self, studio):
        self.studio = studio
        self.hub = None
        self.emulator = self.subject = None
        self.port = None
        self.lock = threading.RLock()      # one module call on the board at a time
        self.monitor = BoardMonitor(self)
        self._read_guess = FIRST_READ

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
        self.publish()
        self.monitor.start()
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
        self.monitor.stop()
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
        return np.ascontiguousarray(data[WIRED, :], dtype=np.float64), count

    def view(self, body):
        """The board page's plot settings (see BoardMonitor.view); a plain error for a bad value."""
        try:
            return self.monitor.view(body)
        except ValueError as exc:
            raise StudioError(str(exc)) from None

    def new_samples(self, after):
        """(wired rows in microvolts of the samples stamped after `after` (None: the newest
        MAX_READ), newest stamp, whether samples were skipped), or (None, after, False) when the
        board is not streaming. Reads only about as many samples as came last time."""
        stamp_row = timestamp_row()
        with self.lock:
            if not self.connected:
                return None, after, False
            board = self.hub.board
            count = board.get_board_data_count()
            wanted = min(count, MAX_READ if after is None else self._read_guess)
            data = board.get_current_board_data(wanted)
            if after is not None and data.shape[1] == wanted < count and data[stamp_row, 0] > after:
                data = board.get_current_board_data(min(count, MAX_READ))   # more came than guessed
        stamps = data[stamp_row]
        new = stamps > after if after is not None else np.ones(stamps.shape, bool)
        fresh = np.ascontiguousarray(data[WIRED, :][:, new], dtype=np.float64)
        gap = after is not None and fresh.shape[1] == data.shape[1] == MAX_READ
        self._read_guess = max(FIRST_READ, 2 * fresh.shape[1] + 16)
        return fresh, (float(stamps[-1]) if stamps.size else after), gap


@functools.cache
def timestamp_row():
    """The row of the board's data that holds each sample's time of arrival."""
    from corvane.facts import BOARD_ID
    from brainflow.board_shim import BoardShim
    return BoardShim.get_timestamp_channel(BOARD_ID)
