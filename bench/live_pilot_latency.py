"""End-to-end decision latency of the live loop, as a user feels it: from the moment a window's
"Processing window of shape" line is printed to the moment an out-of-process simulator receives
that window's GET, both stamped with the machine's monotonic clock.

The Cyton emulator, the simulator and the actuator controller run in processes of their own; the
artefacts are made by the training pipeline. The loop written the straightforward way in Python
(bench/live_pilot_straightforward.py) decodes the first windows, then live_pilot's main() the next
ones, in the same process against the same servers. The actuator's stop pause is set to 0 so that
command changes do not hold up the emulated stream. Targets: p50 <= 5 ms, p99 <= 10 ms, and at least
3x the straightforward loop at p50 and p99.

    .venv/bin/python -m bench.live_pilot_latency [--windows 200] [--speed 4] [--stages] [--lsl]

--stages also splits the module's latency into stages, by stamping the calls main() makes to the
signal check and the feature function (through pass-through stand-ins, which add a little time to
the module's figures).

--lsl feeds every line the loops print to the LSL decision markers (corvane.pipeline.lsl), in the
loop's own thread as the demo does, so the figures include pushing them.
"""

import argparse
import bisect
import contextlib
import io
import resource
import time

import numpy as np

from bench import live_pilot_straightforward as straightforward
from bench.live_pilot_common import import_live_pilot, temporary_folder
from corvane.facts import WINDOW_LINE
from corvane.pipeline.lsl import LslStreams
from tests.support.testbed import LOOPBACK, build_artefacts, emulator_process, standin_process

P50_TARGET, P99_TARGET, RATIO_TARGET = 5.0, 10.0, 3.0


class StampedOutput(io.StringIO):
    """Standard output that stamps every window line and interrupts the loop once `windows`
    windows after the first were stamped (at the next window's line)."""

    def __init__(self, windows, markers=None):
        super().__init__()
        self.windows, self.stamps, self.markers, self.partial = windows, [], markers, ""

    def write(self, text):
        # print() writes its arguments one by one: the window line's first write is its text
        # without the space before the shape.
        if text.startswith(WINDOW_LINE.rstrip()):
            self.stamps.append(time.monotonic())
            if len(self.stamps) > self.windows + 1:
                raise KeyboardInterrupt
        if self.markers is not None:
            *lines, self.partial = (self.partial + text).split("\n")
            for line in lines:
                self.markers.feed(line)
        return super().write(text)


def decode(run, windows, markers=None):
    """Runs `run()` with its output stamped; returns the stamps and the printed text."""
    output = StampedOutput(windows, markers)
    with contextlib.redirect_stdout(output):
        run()
    return output.stamps, output.getvalue()


def answered_windows(stamps, arrivals):
    """(k, arrival) for every window k but the first whose simulator GET arrived after its line
    and before the next window's line."""
    for k in range(1, len(stamps) - 1):
        i = bisect.bisect_left(arrivals, stamps[k])
        if i < len(arrivals) and arrivals[i] < stamps[k + 1]:
            yield k, arrivals[i]


def latencies(stamps, arrivals):
    """Window line to its simulator GET arriving, in ms."""
    return np.array([(arrival - stamps[k]) * 1e3 for k, arrival in answered_windows(stamps, arrivals)])


class StageStamps:
    """Pass-through stand-ins for live_pilot's signal check and dqnutils that stamp each window's
    calls going in and coming out."""

    def __init__(self, lp):
        self.forge, self.check = lp.dqnutils, lp.signal_fault
        self.marks = []  # per window: [check in, check out, features in, features out]

    def signal_fault(self, window, newest_samples):
        began = time.monotonic()
        verdict = self.check(window, newest_samples)
        self.marks.append([began, time.monotonic()])
        return verdict

    def featuresarray_load(self, data_array):
        began = time.monotonic()
        rows = self.forge.featuresarray_load(data_array)
        self.marks[-1] += [began, time.monotonic()]
        return rows


def stage_report(stamps, marks, arrivals):
    """Median and p99 of each stage over the windows after the first, in ms."""
    names = ["window line to the signal check", "signal check", "to features (CSP, print)", "features",
             "scaler, Q-values, decision, requests"]
    spans = np.array([np.diff([stamps[k], *marks[k], arrival]) * 1e3
                      for k, arrival in answered_windows(stamps, arrivals) if k < len(marks)])
    for name, column in zip(names, spans.T):
        print(f"  {name:<40} p50 {np.percentile(column, 50):6.2f} ms   p99 {np.percentile(column, 99):6.2f} ms")


def command_arrivals(simulator, since):
    time.sleep(0.3)  # the stand-in's log lines are still on their way
    return sorted(t for t, path, _ in simulator.log if path.startswith("/command/") and t >= since)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--windows", type=int, default=200)
    parser.add_argument("--speed", type=float, default=4.0, help="emulator speed (x real time)")
    parser.add_argument("--stages", action="store_true", help="split the module's latency into stages")
    parser.add_argument("--lsl", action="store_true", help="push the decision markers to LSL as the loops decide")
    args = parser.parse_args()
    markers = LslStreams().decisions() if args.lsl else None

    with (temporary_folder() as folder, emulator_process(args.speed) as port,
          standin_process(simulator=True) as simulator, standin_process() as controller):
        artefacts = build_artefacts(folder)
        lp, _, _ = import_live_pilot(artefacts, port, simulator, controller)
        lp.arduino.STOP_DURATION = 0
        controller_url = f"http://{LOOPBACK}:{controller.port}"

        began = time.monotonic()
        stamps, _ = decode(lambda: straightforward.run(lp, simulator.url, controller_url), args.windows, markers)
        plain = latencies(stamps, command_arrivals(simulator, began))

        lp.board.get_board_data()  # the module starts from a drained board
        stages = StageStamps(lp) if args.stages else None
        if stages:
            lp.dqnutils, lp.signal_fault = stages, stages.signal_fault
        began = time.monotonic()
        stamps, text = decode(lp.main, args.windows, markers)
        arrivals = command_arrivals(simulator, began)
        module = latencies(stamps, arrivals)
        with contextlib.redirect_stdout(io.StringIO()):
            lp.cleanup_resources()

    peak_mb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    rows = [("straightforward Python", plain), ("live_pilot main()", module)]
    print(f"windows after the first: {len(plain)} straightforward, {len(module)} module "
          f"(emulator at {args.speed:g}x; window line to the simulator's GET arriving)")
    for name, values in rows:
        print(f"{name:<24} p50 {np.percentile(values, 50):6.2f} ms   p99 {np.percentile(values, 99):6.2f} ms   "
              f"max {values.max():6.2f} ms")
    p50_ratio = np.percentile(plain, 50) / np.percentile(module, 50)
    p99_ratio = np.percentile(plain, 99) / np.percentile(module, 99)
    if stages:
        print("module stages (with a pass-through stand-in around the features):")
        stage_report(stamps, stages.marks, arrivals)
    print(f"ratio straightforward / module: p50 {p50_ratio:.2f}x, p99 {p99_ratio:.2f}x")
    print(f"module windows skipped: {text.count('Loop fell behind')} notices")
    print(f"peak resident memory of this process: {peak_mb:.0f} MB")
    met = {
        f"p50 <= {P50_TARGET:g} ms": np.percentile(module, 50) <= P50_TARGET,
        f"p99 <= {P99_TARGET:g} ms": np.percentile(module, 99) <= P99_TARGET,
        f"ratios >= {RATIO_TARGET:g}x": min(p50_ratio, p99_ratio) >= RATIO_TARGET,
    }
    print("targets: " + ", ".join(f"{name} {'met' if ok else 'MISSED'}" for name, ok in met.items()))


if __name__ == "__main__":
    main()
