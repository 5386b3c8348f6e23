"""The board monitor: a thread that, while the board streams, reads the samples that are new since
its last read about thirty times a second and sends the board page the plot columns they complete
(only while a board page is looking), follows the C3/C4 mu power per cue of a running session, and
once a second sends each channel's verdict, spectrum and band powers."""
import threading
import time

import numpy as np

from corvane.facts import ELECTRODES, SAMPLING_RATE
from corvane.studio.quality import channel_report
from corvane.studio.spectrum import CueMuPower, spectra
from corvane.studio.traces import TraceColumns, checked_view

TRACE_PERIOD_S = 1 / 30
REPORT_PERIOD_S = 1.0
REPORT_SECONDS = 4                       # the window verdicts and spectra are judged on
MIN_SHOWN_SAMPLES = SAMPLING_RATE       # judged on less, a channel could look flat by chance (and
                                         # the spectrum has one-second segments)
SILENT_S = 3.0
VIEW_HELD_S = 12.0                       # a board page says it is looking every few seconds


class BoardMonitor:
    def __init__(self, board):
        self.board, self.bus = board, board.studio.bus
        self.columns = TraceColumns(len(ELECTRODES), SAMPLING_RATE)
        self.cue_power = CueMuPower(list(ELECTRODES), SAMPLING_RATE)
        self.viewed_until = 0.0
        self._cue_chunks = []   # (samples, cue, session) read since the last report
        self.settings_lock = threading.Lock()
        self._thread = None
        self._stop = threading.Event()

    def view(self, body):
        """A board page's plot (width in pixels, seconds shown, mains notch); it is sent traces for
        the next VIEW_HELD_S seconds. A change restarts the plot."""
        with self.settings_lock:
            current = (self.columns.width, self.columns.seconds, self.columns.notch)
            wanted = checked_view(body, current)
            if wanted != current or time.monotonic() > self.viewed_until:
                self.columns.configure(*wanted)
            self.viewed_until = time.monotonic() + VIEW_HELD_S
            return {"width": self.columns.width, "seconds": self.columns.seconds, "notch": self.columns.notch}

    def start(self):
        if self._thread is not None and self._thread.is_alive():
            return
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._watch, args=(self._stop,), name="board-monitor", daemon=True)
        self._thread.start()

    def stop(self):
        """Ends the thread, then tells the pages that nothing they show is current any more."""
        self._stop.set()
        if self._thread is not None:
            self._thread.join(timeout=2)
            self._thread = None
        self.stale("Not connected")

    def stale(self, why):
        with self.settings_lock:
            self.columns.reset()
        self.bus.publish("traces", streaming=False, reset=True, why=why)
        self.bus.publish("channels", streaming=False, channels=[], why=why)

    def _watch(self, stop):
        last_stamp, last_report, heard, silent = None, 0.0, time.monotonic(), False
        due = time.monotonic()
        while not stop.wait(max(0.0, due - time.monotonic())):
            now = time.monotonic()
            due = max(due + TRACE_PERIOD_S, now)   # a steady rate, however long a tick took
            try:
                fresh, last_stamp, gap = self.board.new_samples(last_stamp)
            except Exception as exc:   # the board went away under us
                self.board.publish(error=f"Reading the board failed: {exc}")
                continue
            if fresh is None:
                continue
            if fresh.shape[1]:
                heard, silent = now, False
            elif now - heard > SILENT_S:
                if not silent:
                    silent = True
                    self.board.publish(error="The board stopped sending data: check that it is on and plugged in.")
                    self.stale("No data from the board")
                continue
            self._follow_cue(fresh)
            self._send_columns(fresh, gap, now)
            if now - last_report >= REPORT_PERIOD_S and self._report():
                last_report = now

    def _follow_cue(self, fresh):
        trial = self.bus.latest.get("trial") or {}
        session = self.bus.latest.get("session") or {}
        running = session.get("state") == "running"
        cue = trial.get("action") if running and trial.get("phase") == "cue" else None
        number = session.get("session") if running else (self._cue_chunks[-1][2] if self._cue_chunks else
                                                          self.cue_power.session)
        self._cue_chunks.append((fresh, cue, number))

    def _feed_cues(self):
        """Feeds the samples read since the last report to the per-cue mu power, each run of reads
        under one cue at once."""
        chunks, self._cue_chunks = self._cue_chunks, []
        start = 0
        for end in range(1, len(chunks) + 1):
            if end == len(chunks) or chunks[end][1:] != chunks[start][1:]:
                self.cue_power.feed(np.hstack([c[0] for c in chunks[start:end]]), *chunks[start][1:])
                start = end

    def _send_columns(self, fresh, gap, now):
        with self.settings_lock:
            if now > self.viewed_until:
                return
            if gap:   # samples were skipped: the plot starts again rather than join across the gap
                self.columns.reset()
            event = self.columns.feed(fresh)
        if event is not None:
            self.bus.publish("traces", streaming=True, names=list(ELECTRODES), rate=SAMPLING_RATE, **event)

    def _report(self):
        """Publishes the verdicts and spectra of the newest seconds; False when too few were read yet."""
        import capture_hub
        self._feed_cues()
        try:
            window = self.board.window(REPORT_SECONDS * SAMPLING_RATE)[0]
            if window is None or window.shape[1] < MIN_SHOWN_SAMPLES:   # just connected, or drained by a recording's start
                return False
            channels = channel_report(window, ELECTRODES, SAMPLING_RATE, capture_hub.channel_quality(window))
            spectrum = spectra(window, SAMPLING_RATE)
        except Exception as exc:   # one odd window must not end the monitor
            self.board.publish(error=f"The signal could not be shown: {exc}")
            return True
        trial = self.bus.latest.get("trial") or {}
        self.bus.publish("channels", streaming=True, channels=channels, spectrum=spectrum,
                         cues=self.cue_power.table(), motor=self.cue_power.names,
                         cue=trial.get("action") if trial.get("phase") == "cue" else None, at=time.time())
        return True
