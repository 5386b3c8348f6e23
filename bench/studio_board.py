"""The studio's Board page as an operator sees it: trace updates per second counted in the page, and
the studio server's share of one core, on the emulator at 10x.

    .venv/bin/python -m bench.studio_board [--seconds 10] [--speed 10]

Starts `corvane studio --emulator` in a process of its own, opens the Board page in headless
Chromium, connects the emulator, then over the interval counts the trace updates the page drew and
reads the server's CPU time (utime + stime) from /proc/<pid>/stat before and after it: `ps`'s %CPU
is an average over the process's life. The same share is then read with the page closed (board
still streaming). It runs twice: with the emulator in the studio's process (`--emulator`, the
figures the old ones were taken with; the emulator and its simulated subject are then part of the
share), and with the emulator in a process of its own, connected by its port as a real board is.
Targets: 25 updates/s or more, the server at most 10 % of a core with the page open. The figures
before the page sent plot columns (emulator in the studio): 3.9 updates/s and 15 % (11 % with no page).
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from corvane.web.browser import HeadlessBrowser

UPDATES_TARGET, CPU_TARGET = 25.0, 10.0
BEFORE_UPDATES, BEFORE_CPU, BEFORE_CPU_NO_PAGE = 3.9, 15.0, 11.0
VIEW_EXPIRY_S = 14   # the server keeps sending traces this long after the page last asked


def cpu_seconds(pid):
    """utime + stime of `pid` in seconds (fields 14 and 15 of /proc/<pid>/stat)."""
    stat = Path(f"/proc/{pid}/stat").read_text()
    fields = stat[stat.rindex(")") + 2:].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def share(pid, seconds, during=lambda: None):
    """(% of one core `pid` used over the next `seconds`, what `during()` returned at their start and end)."""
    before, began, first = cpu_seconds(pid), time.monotonic(), during()
    time.sleep(seconds)
    last, used, wall = during(), cpu_seconds(pid) - before, time.monotonic() - began
    return 100.0 * used / wall, first, last


def start_studio(base, options):
    """(process, printed URL) of `corvane studio` with `options`."""
    process = subprocess.Popen([sys.executable, "-m", "corvane", "studio", "--port", "0", "--base", str(base), *options],
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    deadline = time.monotonic() + 60
    for line in process.stdout:
        found = re.search(r"(http://127\.0\.0\.1:\d+/\?token=\S+)", line)
        if found:
            return process, found.group(1)
        if time.monotonic() > deadline:
            break
    process.kill()
    raise RuntimeError("the studio did not print its URL")


def measure(base, seconds, options, connect):
    """(updates per second in the page, server % of a core with the page open, and with none) of a
    studio started with `options`, its board connected by `connect(page)`."""
    process, url = start_studio(base, options)
    try:
        with HeadlessBrowser(width=1280, height=900, timeout=60) as browser:
            browser.open(url, wait_for="window.studioConnected")
            connect(browser.page)
            browser.wait_until("window.boardState.updates > 10 && !(window.boardState.spectra <= 1)")   # (no spectra: an older page)
            counted = lambda: browser.evaluate("({n: boardState.updates, t: performance.now()})")
            cpu_open, first, last = share(process.pid, seconds, counted)
            updates = (last["n"] - first["n"]) / ((last["t"] - first["t"]) / 1000)
            browser.page.goto("about:blank")
            time.sleep(VIEW_EXPIRY_S)
            cpu_closed, _, _ = share(process.pid, seconds)
    finally:
        process.terminate()
        process.wait(timeout=30)
    return updates, cpu_open, cpu_closed


def separate_emulator(speed):
    """(process, port) of the emulator in a process of its own, as a real board is outside the studio."""
    process = subprocess.Popen([sys.executable, "-m", "corvane.standins.cyton_emulator", "--speed", str(speed)],
                               stdout=subprocess.PIPE, text=True)
    return process, process.stdout.readline().strip()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--speed", type=float, default=10.0)
    args = parser.parse_args(argv)
    results = {}
    with tempfile.TemporaryDirectory(prefix="corvane-board-bench-") as folder:
        results["emulator in the studio's process"] = measure(
            Path(folder) / "a", args.seconds, ["--emulator", "--speed", str(args.speed)],
            lambda page: page.click("#emulator"))
        emulator, port = separate_emulator(args.speed)
        try:
            results["emulator in its own process"] = measure(
                Path(folder) / "b", args.seconds, [], lambda page: (page.fill("#port", port), page.click("#connect")))
        finally:
            emulator.terminate()
            emulator.wait(timeout=30)
    print(f"\nbenchmark: studio Board page (emulator at {args.speed:g}x, {args.seconds:g} s each)")
    for setup, (updates, cpu_open, cpu_closed) in results.items():
        print(f"  {setup}:")
        rows = [("trace updates per second seen in the page", updates, BEFORE_UPDATES, UPDATES_TARGET, "at least"),
                ("server CPU, % of one core, Board page open", cpu_open, BEFORE_CPU, CPU_TARGET, "at most"),
                ("server CPU, % of one core, no page open", cpu_closed, BEFORE_CPU_NO_PAGE, None, "")]
        for name, value, before, target, sense in rows:
            aim = f"target {sense} {target:g} (ratio {value / target:5.2f})" if target else ""
            print(f"    {name:<44} {value:7.1f}   before {before:5.1f} (ratio {value / before:5.2f})   {aim}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
