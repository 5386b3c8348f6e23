"""The cue sequence played during live decoding, and which cue a window lies in."""
import threading


class CuePlayer(threading.Thread):
    """Plays the known cue sequence: segment k of `segment` samples gets cue schedule[k].

    `clock()` gives the stream's sample position (the emulator's count, or elapsed real time
    times the sampling rate for a real board). Every change is logged as (sample position, cue)."""

    def __init__(self, schedule, segment, clock, apply):
        super().__init__(name="cue-player", daemon=True)
        self.schedule, self.segment, self.clock, self.apply = schedule, segment, clock, apply
        self.changes = [(0, schedule[0])]
        self._stop_event = threading.Event()

    def run(self):
        current = 0
        while not self._stop_event.wait(0.002):
            position = self.clock()
            k = min(position // self.segment, len(self.schedule) - 1)
            if k != current:
                current = k
                self.apply(self.schedule[k])
                self.changes.append((k * self.segment, self.schedule[k]))

    def stop(self):
        self._stop_event.set()
        if self.is_alive():
            self.join(timeout=2)

    def cue_over(self, start, end):
        """The cue that covers most of samples [start, end), and whether it covers all of them."""
        bounds = [c[0] for c in self.changes] + [float("inf")]
        shares = {}
        for (begin, cue), finish in zip(self.changes, bounds[1:]):
            overlap = min(end, finish) - max(start, begin)
            if overlap > 0:
                shares[cue] = shares.get(cue, 0) + overlap
        cue = max(shares, key=shares.get)
        return cue, shares[cue] == end - start
