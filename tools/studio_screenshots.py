"""Screenshots of the studio's four pages for the README, taken on the emulator: Board connected,
Session while a short session records, Train once training is done, Live while it decodes.

    python -m tools.studio_screenshots            # writes docs/studio/{board,session,train,live}.png
    python -m tools.studio_screenshots --help

It starts `python -m corvane.studio --emulator` in a process of its own on a free port of 127.0.0.1,
in a fresh base folder, and drives the pages in headless Chromium. A step that does not finish in
time still gets its screenshot, and the script says which step it was and ends with status 1. It
takes about two to four minutes; the studio is stopped (its own STOP included) at the end."""
import argparse
import contextlib
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from corvane.web.browser import HeadlessBrowser

REPO = Path(__file__).resolve().parents[1]
URL_LINE = "Corvane Studio: "
ERROR_SHOWN = "(document.querySelector('#message.error') || {}).textContent || ''"


def arguments(argv):
    parser = argparse.ArgumentParser(prog="python -m tools.studio_screenshots", description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.ArgumentDefaultsHelpFormatter)
    parser.add_argument("--out", type=Path, default=REPO / "docs" / "studio", help="folder the PNG files go to")
    parser.add_argument("--speed", type=float, default=10.0, help="the emulator's speed while recording")
    parser.add_argument("--live-speed", type=float, default=2.0, help="the emulator's speed during live decoding")
    parser.add_argument("--repetitions", type=int, default=5,
                        help="repetitions per action in the session (training asks for five trials per class)")
    parser.add_argument("--steps", type=int, default=300, help="training steps")
    parser.add_argument("--windows", type=int, default=10, help="windows decoded before the Live screenshot")
    parser.add_argument("--width", type=int, default=1280, help="browser width in pixels")
    parser.add_argument("--height", type=int, default=900, help="browser height in pixels")
    parser.add_argument("--base", type=Path, default=None,
                        help="the studio's base folder (default: a temporary one, removed at the end)")
    return parser.parse_args(argv)


@contextlib.contextmanager
def studio(base, options):
    """The printed URL of a studio serving in its own process; stopped as by Ctrl-C at the end."""
    log_path = base / "screenshots-studio.log"
    command = [sys.executable, "-m", "corvane.studio", "--port", "0", "--base", str(base), "--emulator",
               "--speed", str(options.speed), "--live-speed", str(options.live_speed), "--steps", str(options.steps)]
    with open(log_path, "w") as log:
        process = subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 60
        url = None
        while url is None:
            for line in log_path.read_text(errors="replace").splitlines():
                if line.startswith(URL_LINE):
                    url = line[len(URL_LINE):].strip()
            if url is None:
                if process.poll() is not None or time.monotonic() > deadline:
                    raise SystemExit(f"The studio did not start; its output is in {log_path}:\n"
                                     + log_path.read_text(errors="replace")[-2000:])
                time.sleep(0.2)
        yield url
    finally:
        if process.poll() is None:
            process.send_signal(signal.SIGINT)
            try:
                process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()


class Walk:
    """The pages driven one after the other; each step's problems are collected, not raised."""

    def __init__(self, browser, url, out):
        self.browser, self.page, self.out, self.url = browser, browser.page, out, url
        self.origin = url.split("/?")[0]
        self.problems = []

    def open(self, name):
        self.page.goto(f"{self.origin}/{name}")
        self.wait("window.studioConnected", 20, f"{name}: the event stream")

    def wait(self, expression, seconds, what):
        """Waits until `expression` holds or the page shows an error; False (noted) otherwise."""
        guarded = f"(() => {{ try {{ return !!({expression}); }} catch (e) {{ return false; }} }})()"
        try:
            self.page.wait_for_function(f"{guarded} || !!document.querySelector('#message.error')",
                                        timeout=seconds * 1000)
        except Exception:
            self.problems.append(f"{what}: not reached within {seconds:.0f} s")
            return False
        error = self.page.evaluate(ERROR_SHOWN)
        if error:
            self.problems.append(f"{what}: the page says {error!r}")
            return False
        return True

    def click(self, selector, what):
        try:
            self.page.click(selector, timeout=10_000)
            return True
        except Exception as exc:
            self.problems.append(f"{what}: could not click {selector} ({type(exc).__name__})")
            return False

    def fill(self, selector, value, what):
        try:
            self.page.fill(selector, value, timeout=10_000)
        except Exception as exc:
            self.problems.append(f"{what}: could not fill {selector} ({type(exc).__name__})")

    def shot(self, name):
        path = self.out / f"{name}.png"
        self.page.screenshot(path=str(path), full_page=True)
        print(f"wrote {path}", flush=True)


def take_screenshots(walk, options):
    walk.page.goto(walk.url)   # the printed URL: its token goes on to the pages
    walk.wait("window.studioConnected", 20, "board: the event stream")
    if walk.click("#emulator", "board"):
        walk.wait("window.boardState.traces > 0 && window.boardState.updates > 5", 60, "board: traces")
    walk.shot("board")

    walk.open("session")
    walk.wait("document.getElementById('repetitions').value !== ''", 20, "session: its settings")
    walk.fill("#repetitions", str(options.repetitions), "session")
    if walk.click("#start", "session"):
        walk.wait("(window.sessionState.n || 0) >= 3", 120, "session: the third trial")
        walk.shot("session")
        walk.wait("['done', 'failed'].includes(window.sessionState.state)", 600, "session: its end")
    else:
        walk.shot("session")

    walk.open("train")
    if walk.click("#train", "train"):
        walk.wait("['done', 'failed'].includes(window.trainState.state)", 900, "train: its end")
    walk.shot("train")

    walk.open("live")
    if walk.click("#start-live", "live"):
        walk.wait(f"window.liveState.windows >= {options.windows}", 300, "live: decoded windows")
    walk.shot("live")
    if walk.click("#stop", "live: STOP"):
        walk.wait("window.stopResult", 10, "live: STOP's answer")


def main(argv=None):
    options = arguments(argv)
    options.out.mkdir(parents=True, exist_ok=True)
    base = options.base or Path(tempfile.mkdtemp(prefix="studio-shots-"))
    base.mkdir(parents=True, exist_ok=True)
    try:
        with studio(base, options) as url, \
                HeadlessBrowser(width=options.width, height=options.height, timeout=60) as browser:
            steps = Walk(browser, url, options.out)
            take_screenshots(steps, options)
    finally:
        if options.base is None:
            shutil.rmtree(base, ignore_errors=True)
    for problem in steps.problems:
        print(f"problem: {problem}", file=sys.stderr)
    return 1 if steps.problems else 0


if __name__ == "__main__":
    sys.exit(main())
