"""Soak of the live loop: main() against the Cyton emulator streaming a sample counter.

Checks that every sample reaching the ring buffer arrives exactly once and in order, that windows
follow each other by exactly one step (none skipped), and that memory stays flat; prints decision
latency as well. Ends main() with an interrupt, as a user would.

    .venv/bin/python -m bench.live_pilot_soak [--minutes 10] [--speed 1]
"""

import _thread
import argparse
import contextlib
import os
import signal
import threading
import time

import numpy as np

from bench.live_pilot_common import import_live_pilot, percentile, temporary_folder
from tests.support.testbed import build_artefacts, emulator_process
from corvane.standins.cyton_emulator import MICROVOLTS_PER_COUNT


def resident_megabytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


class Soak:
    def __init__(self, lp):
        self.lp = lp
        self.next_sample = None
        self.samples = self.duplicates = self.reordered = self.gaps = self.lost = self.bad_channels = 0
        self.windows = self.skipped_windows = self.bad_windows = 0
        self.last_window_end = None
        self.latencies, self.memory = [], []
        self.window_started = 0.0
        self.started = time.monotonic()

    def check_block(self, data):
        counters = np.rint(np.asarray(data) / MICROVOLTS_PER_COUNT).astype(np.int64)
        if counters.shape[1] == 0:
            return
        if (counters - counters[0] != np.arange(counters.shape[0])[:, None]).any():
            self.bad_channels += 1
        sequence = counters[0]
        steps = np.diff(sequence)
        self.duplicates += int((steps == 0).sum())
        self.reordered += int((steps < 0).sum())
        self.gaps += int((steps > 1).sum())
        if self.next_sample is not None:
            if sequence[0] < self.next_sample:
                self.duplicates += 1
            elif sequence[0] > self.next_sample:
                self.lost += int(sequence[0] - self.next_sample)
        self.next_sample = int(sequence[-1]) + 1
        self.samples += sequence.size

    def check_window(self, window):
        self.windows += 1
        counters = np.rint(window[0] / MICROVOLTS_PER_COUNT).astype(np.int64)
        if self.samples < window.shape[1]:
            return  # the storage's initial zeros are still in the window
        if (np.diff(counters) != 1).any():
            self.bad_windows += 1
        end = int(counters[-1])
        if self.last_window_end is not None and end - self.last_window_end != self.lp.eeg_buffer.step_size:
            self.skipped_windows += 1
        self.last_window_end = end
        if not self.memory or time.monotonic() - self.memory[-1][0] >= 30:
            self.memory.append((time.monotonic(), resident_megabytes()))

    def install(self):
        buffer, simulation = self.lp.eeg_buffer, self.lp.simulation
        add_data, get_window, send = buffer.add_data, buffer.get_window, simulation.send_command

        def checked_add_data(data):
            self.check_block(data)
            return add_data(data)

        def timed_get_window():
            self.window_started = time.perf_counter()
            window = get_window()
            self.check_window(np.array(window))
            return window

        def timed_send(command):
            if len(self.latencies) < self.windows:
                self.latencies.append(time.perf_counter() - self.window_started)
            return send(command)

        buffer.add_data, buffer.get_window, simulation.send_command = checked_add_data, timed_get_window, timed_send


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--minutes", type=float, default=10.0)
    parser.add_argument("--speed", type=float, default=1.0, help="emulator speed (x real time)")
    args = parser.parse_args()
    # A shell that starts this in the background leaves Ctrl-C ignored; the run ends by interrupt.
    signal.signal(signal.SIGINT, signal.default_int_handler)

    with temporary_folder() as folder, emulator_process(args.speed, counter=True) as port:
        artefacts = build_artefacts(folder)
        lp, simulator, controller = import_live_pilot(artefacts, port)
        soak = Soak(lp)
        soak.install()
        threading.Timer(args.minutes * 60, _thread.interrupt_main).start()
        started = time.monotonic()
        with open(os.devnull, "w") as sink, contextlib.redirect_stdout(sink):
            lp.main()
            lp.cleanup_resources()
        elapsed = time.monotonic() - started
        simulator.close()
        controller.close()

    expected_windows = soak.samples // lp.eeg_buffer.step_size
    print(f"ran {elapsed / 60:.1f} min at {args.speed:g}x: {soak.samples} samples into the buffer, "
          f"{soak.windows} windows (about {expected_windows} expected)")
    print(f"samples: duplicated {soak.duplicates}, out of order {soak.reordered}, "
          f"missing inside blocks {soak.gaps}, missing between reads {soak.lost}, channel mix-ups {soak.bad_channels}")
    print(f"windows: not consecutive {soak.bad_windows}, skipped {soak.skipped_windows}")
    print(f"simulator requests {len(simulator.requests)}, controller requests {len(controller.requests)}")
    if soak.latencies:
        print(f"decision latency p50 {percentile(soak.latencies, 50):.2f} ms, p99 {percentile(soak.latencies, 99):.2f} ms")
    if len(soak.memory) >= 2:
        settled = soak.memory[min(2, len(soak.memory) - 1)][1]
        print(f"resident memory: {soak.memory[0][1]:.1f} MB at the first window, {settled:.1f} MB after a minute, "
              f"{soak.memory[-1][1]:.1f} MB at the end (max {max(m for _, m in soak.memory):.1f} MB)")


if __name__ == "__main__":
    main()
