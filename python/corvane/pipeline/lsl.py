"""Lab Streaming Layer outlets, opt-in: a recording's EEG and cue markers, live decoding's decisions.

    streams = LslStreams(output=sys.stderr)
    pipeline.record_session(hub, ..., lsl=streams)     # "Corvane EEG" and "Corvane Markers"
    LiveRun(..., lsl=streams)                          # "Corvane Decisions"
    streams.close()

Each stream keeps its name and source id from run to run, so a recorder picks it up again. Outlets
open on first use; one that cannot be opened costs one line to `output` and is not tried again,
and nothing pushed to it ever raises: a recording or a live loop never stops for LSL. Timestamps
are LSL's clock (pylsl.local_clock): a marker's is the moment it happened, an EEG sample's the
moment BrainFlow received it (see lsl_eeg)."""
import queue
import threading

from corvane.facts import ELECTRODES, SAMPLING_RATE
from corvane.pipeline.events import first_line
from corvane.pipeline.live_events import LiveEvents

# (name, type, source id) of each stream.
EEG_STREAM = ("Corvane EEG", "EEG", "corvane-eeg")
MARKER_STREAM = ("Corvane Markers", "Markers", "corvane-markers")
DECISION_STREAM = ("Corvane Decisions", "Markers", "corvane-decisions")
EEG_UNIT = "microvolts"

# The marker texts.
def session_marker(session, event):
    return f"session {session} {event}"      # event: "start" or "stop"


def decision_marker(command, confidence):
    return f"decision {command}" + ("" if confidence is None else f" {confidence:.3f}")


def acknowledged_marker(command):
    return f"acknowledged {command}"


def eeg_info(pylsl):
    """The EEG stream's description: the wired electrodes, their unit and type, the board's rate."""
    name, kind, source = EEG_STREAM
    info = pylsl.StreamInfo(name, kind, len(ELECTRODES), SAMPLING_RATE, pylsl.cf_float32, source)
    channels = info.desc().append_child("channels")
    for label in ELECTRODES:
        channel = channels.append_child("channel")
        channel.append_child_value("label", label)
        channel.append_child_value("unit", EEG_UNIT)
        channel.append_child_value("type", "EEG")
    info.desc().append_child("acquisition").append_child_value("manufacturer", "Corvane")
    return info


def marker_info(pylsl, stream):
    name, kind, source = stream
    return pylsl.StreamInfo(name, kind, 1, pylsl.IRREGULAR_RATE, pylsl.cf_string, source)


class LslStreams:
    """The outlets of one host, opened when first used and closed by close()."""

    def __init__(self, output=None):
        self.output = output            # where the one line a failure costs goes: a text stream or a callable
        self._outlets = {}              # stream -> outlet, or None once it failed to open
        self._lock = threading.Lock()
        self.notices = []               # the failure lines, also kept here
        self._work = queue.SimpleQueue()   # (function, args) for the pushing thread
        self._pusher = None

    def open(self, *streams):
        """Opens the given streams now (all three by default), so a recorder can pick them up
        before anything is pushed."""
        for stream in streams or (EEG_STREAM, MARKER_STREAM, DECISION_STREAM):
            self.outlet(stream)
        return self

    def opened(self):
        """The names of the streams open now."""
        with self._lock:
            return [stream[0] for stream, outlet in self._outlets.items() if outlet is not None]

    def outlet(self, stream):
        """The stream's outlet (opened now if need be), or None when it cannot be opened."""
        with self._lock:
            if stream not in self._outlets:
                self._outlets[stream] = self._open(stream)
            return self._outlets[stream]

    def _open(self, stream):
        try:
            import pylsl
            info = eeg_info(pylsl) if stream == EEG_STREAM else marker_info(pylsl, stream)
            return pylsl.StreamOutlet(info)
        except Exception as exc:   # no liblsl, no network: the run goes on without this stream
            self.say(f"LSL: the stream \"{stream[0]}\" could not be opened ({first_line(exc)}); going on without it")
            return None

    def say(self, line):
        self.notices.append(line)
        try:
            if callable(self.output):
                self.output(line)
            elif self.output is not None:
                print(line, file=self.output, flush=True)
        except Exception:
            pass

    def marker(self, text, stream=MARKER_STREAM, timestamp=None):
        """Pushes one marker, stamped now (LSL's clock) unless `timestamp` is given."""
        outlet = self.outlet(stream)
        if outlet is None:
            return
        try:
            import pylsl
            outlet.push_sample([text], timestamp if timestamp is not None else pylsl.local_clock())
        except Exception:
            pass

    def eeg(self, hub, lock=None):
        """An EegFeed streaming `hub`'s board, started (see lsl_eeg; call it with `lock`, the lock
        held around the hub's calls, held); None when the EEG stream cannot be opened."""
        outlet = self.outlet(EEG_STREAM)
        if outlet is None:
            return None
        try:
            from corvane.pipeline.lsl_eeg import EegFeed
            return EegFeed(hub, outlet, lock).start()
        except Exception as exc:
            self.say(f"LSL: the board's EEG could not be streamed ({first_line(exc)}); going on without it")
            return None

    def decisions(self):
        """A DecisionMarkers that turns live_pilot's output lines into decision markers."""
        return DecisionMarkers(self)

    def later(self, function, *args):
        """Runs function(*args) on the pushing thread, in order: a live loop only queues its markers."""
        with self._lock:
            if self._pusher is None:
                self._pusher = threading.Thread(target=self._push_queued, name="lsl-push", daemon=True)
                self._pusher.start()
        self._work.put((function, args))

    def _push_queued(self):
        while (item := self._work.get()) is not None:
            try:
                item[0](*item[1])
            except Exception:
                pass

    def close(self):
        """Pushes what is queued, then closes the outlets (a recorder sees the streams end);
        later pushes open them again."""
        with self._lock:
            pusher, self._pusher = self._pusher, None
        if pusher is not None:
            self._work.put(None)
            pusher.join(timeout=5)
        with self._lock:
            self._outlets.clear()


class DecisionMarkers:
    """live_pilot's output lines, fed one at a time, as markers: each window's command and the
    confidence it was decided with (no confidence: no block was confident, so "S" went out), and
    each command the actuator acknowledged. A decided window is stamped when its "Mapped Command"
    line arrives; an undecided one is complete only at the next line, so it takes the time its
    own last line arrived."""

    def __init__(self, streams):
        self.streams, self.parser = streams, LiveEvents()
        self.previous = None   # when the last line arrived
        self.clock = None
        if streams.outlet(DECISION_STREAM) is not None:
            import pylsl
            self.clock = pylsl.local_clock

    def feed(self, line):
        """Takes one line: stamped here, parsed and pushed on the streams' pushing thread."""
        if self.clock is not None:
            self.streams.later(self._take, line, self.clock())

    def flush(self):
        """The pending window, once the output has paused."""
        if self.clock is not None:
            self.streams.later(self._take, None, None)

    def _take(self, line, now):
        if line is None:
            self._push(self.parser.flush(), None)
        else:
            self._push(self.parser.feed(line), now)
            self.previous = now

    def _push(self, events, now):
        for event in events:
            if event["kind"] == "window":
                decided = event["decision"] is not None
                self.streams.marker(decision_marker(event["command"], event["confidence"]), DECISION_STREAM,
                                    now if decided or self.previous is None else self.previous)
            elif event["kind"] == "command":
                self.streams.marker(acknowledged_marker(event["command"]), DECISION_STREAM, now)
