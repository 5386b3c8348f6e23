"""The demo host: the stages in order, their clean-up, and the command line."""
import argparse
import contextlib
import ctypes
import os
import shutil
import signal
import sys
import time
import traceback
from pathlib import Path

import corvane.demo as package
from corvane.demo import live, playback, recording, report, services, training
from corvane.demo.console import Console
from corvane.facts import CLASS_ORDER
from corvane.standins.bids_recording import add_bids_options, bids_entities
from corvane.pipeline import (DEFAULT_STEPS, MIN_TRIAL_SECONDS, MIN_TRIALS_PER_CLASS, LslStreams, PipelineError,
                              module_environment)

class DemoHost:
    """What the stages share: options, console, report, the services started, and the clean-up
    of everything each stage started (unwound in reverse order whatever happens)."""

    def __init__(self, options, console, real_port=None):
        self.o, self.console, self.real_port = options, console, real_port
        self.base = Path(options.base)
        self.artefacts = self.base / "artefacts"
        self.report = {"base_dir": str(self.base)}
        self.stack = contextlib.ExitStack()
        self.simulator = self.controller = self.browser = None
        self.actuator_host = None   # the controller live_pilot drives (host[:port])
        self.held_out = self.split_scores = None   # the agent's and the standard decoder's scores
        self.playback = None   # a recorded file played in place of the simulated subject
        self.instructions = {}
        self.lsl = None   # the LSL outlets, with --lsl

    def on_exit(self, label, func, *args):
        def guarded():
            try:
                func(*args)
            except Exception as exc:  # clean-up goes on with the next step
                self.console.log.write(f"clean-up step '{label}' failed: {exc!r}\n")
        self.stack.callback(guarded)

    def run(self):
        started = time.monotonic()
        try:
            if self.o.lsl:
                self.lsl = LslStreams(output=self.say)
                with self.console.capture():   # what liblsl logs goes to demo.log
                    self.lsl.open()
                if self.lsl.opened():
                    self.say("LSL: streams " + ", ".join(f'"{name}"' for name in self.lsl.opened()))
                self.on_exit("LSL streams", self.lsl.close)
            if self.o.recording:
                playback.open_recording(self)
            services.start_services(self)
            recording.sample_recording(self)
            combined = recording.record_session(self)
            trained = training.train(self, combined)
            training.place_artefacts(self, trained)
            live.decode_live(self, trained.labels)
            self.report["run_seconds"] = round(time.monotonic() - started, 1)
            report.finish_report(self)
        finally:
            # Unwind everything that was started; a second Ctrl-C must not cut this short.
            previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
            try:
                self.stack.close()
            finally:
                signal.signal(signal.SIGINT, previous)
        return self.report

    def say(self, text=""):
        self.console.say(text)

    def quiet(self, func):
        with self.console.capture():
            func()

    def remove_tmp_dir(self):
        shutil.rmtree(self.base / "tmp", True)


# --- command line -----------------------------------------------------------------------------
def parse_args(argv):
    p = argparse.ArgumentParser(prog="corvane demo", description=package.__doc__.split("\n\n")[0])
    p.add_argument("--base", default="demo_output",
                   help="demo base directory; everything is written under it (default: %(default)s)")
    p.add_argument("--trials-per-class", type=int, default=None,
                   help="cued trials per action (default: 21; with --recording, as many as its "
                        "scarcest class has, at most 21)")
    p.add_argument("--trial-seconds", type=float, default=6.0, help="length of one trial")
    p.add_argument("--rest-seconds", type=float, default=1.0, help="pause between trials")
    p.add_argument("--record-speed", type=float, default=10.0,
                   help="emulator speed while recording (x real time)")
    p.add_argument("--steps", type=int, default=DEFAULT_STEPS, help="DQN training steps (each agent)")
    p.add_argument("--splits", type=int, default=5,
                   help="repeated stratified splits both decoders are scored on (0: none)")
    p.add_argument("--windows", type=int, default=60, help="live windows to decode")
    p.add_argument("--segment-seconds", type=float, default=12.0, help="length of one live cue")
    p.add_argument("--live-speed", type=float, default=2.0,
                   help="emulator speed while decoding (x real time)")
    p.add_argument("--seed", type=int, default=3, help="seed of the simulated subject")
    p.add_argument("--port", type=int, default=5000, help="movement simulator port on 127.0.0.1")
    p.add_argument("--no-browser", dest="browser", action="store_false",
                   help="do not show the simulator page in headless Chromium")
    p.add_argument("--controller-stand-in", action="store_true",
                   help="use the stand-in controller even when CORVANE_ACTUATOR_HOST is set")
    p.add_argument("--recording", metavar="FILE",
                   help="play this EEG file (FIF, EDF, BDF, GDF; or one in a BIDS dataset, or a BIDS root "
                        "with the --bids options) in place of the simulated subject")
    p.add_argument("--classes", metavar="NAME=CLASS,...", type=playback.parse_classes,
                   help="with --recording: the file's annotation names as the classes "
                        f"({', '.join(CLASS_ORDER)}); default: names that are classes")
    add_bids_options(p)
    p.add_argument("--lsl", action="store_true",
                   help="stream the EEG, the cues and the live decisions on Lab Streaming Layer "
                        "(announced on the local network)")
    o = p.parse_args(argv)
    if o.classes and not o.recording:
        p.error("--classes needs --recording")
    if bids_entities(o) and not o.recording:
        p.error("the --bids options need --recording (a BIDS dataset's root folder)")
    if o.trials_per_class is None and not o.recording:
        o.trials_per_class = 21
    if o.trials_per_class is not None and o.trials_per_class < MIN_TRIALS_PER_CLASS:
        p.error(f"--trials-per-class must be at least {MIN_TRIALS_PER_CLASS}")
    if o.trial_seconds < MIN_TRIAL_SECONDS:
        p.error(f"--trial-seconds must be at least {MIN_TRIAL_SECONDS:g} "
                "(training cuts epochs to 5.5 s after each cue)")
    if o.splits < 0:
        p.error("--splits must not be negative")
    if o.steps < 1 or o.windows < 1 or o.record_speed <= 0 or o.live_speed <= 0:
        p.error("--steps and --windows must be positive, speeds above 0")
    return o


def keep_driver_log(base):
    """The board driver's own log goes to the base directory, off the terminal."""
    from brainflow.board_shim import BoardShim
    BoardShim.set_log_file(str(base / "brainflow.log"))


def interrupted_in_ctypes(exc):
    """Ctrl-C that arrived while ctypes converted an argument of a BrainFlow call: ctypes turns it
    into an ArgumentError ("argument 2: KeyboardInterrupt: ") with nothing else to tell it by."""
    return isinstance(exc, ctypes.ArgumentError) and ": KeyboardInterrupt:" in str(exc)


def main(argv=None):
    o = parse_args(sys.argv[1:] if argv is None else argv)
    base = Path(o.base).resolve()
    o.base = str(base)
    # A played recording streams through the emulator, whatever board is configured.
    real_port = None if o.recording else os.environ.get("CORVANE_SERIAL_PORT")
    if o.browser:
        from corvane.web.browser import BrowserMissing, find_browser
        try:
            find_browser()
        except BrowserMissing as exc:
            print(f"corvane demo: {exc}; or run without the page: --no-browser", file=sys.stderr)
            return 2
    base.mkdir(parents=True, exist_ok=True)
    # What the libraries write (caches, configs, temporary files) stays under the base directory.
    with module_environment(base=base, library_home=base):
        keep_driver_log(base)
        return run(o, base, real_port)


def run(o, base, real_port):
    """The stages with the console and the log; returns the exit status."""
    console = Console(base / "demo.log")
    console.say(f"Demo base directory: {base}")
    if real_port:
        console.say(f"Recording from the real board on {real_port} (CORVANE_SERIAL_PORT)")
    host = DemoHost(o, console, real_port)
    code = 0
    try:
        host.run()
    except KeyboardInterrupt:
        code = 130
        console.say("\nInterrupted.")
    except PipelineError as exc:   # the demo's own refusals among them
        code = 2
        console.say(f"\nDemo stopped: {exc}")
    except Exception as exc:
        if interrupted_in_ctypes(exc):
            code = 130
            console.say("\nInterrupted.")
        else:
            code = 1
            console.log.write(traceback.format_exc())
            console.say(f"\nDemo failed: {traceback.format_exc(limit=-1).strip().splitlines()[-1]} "
                        f"(traceback in {base / 'demo.log'})")
    finally:
        if code:
            console.say("Everything the demo started was stopped; the board was released and "
                        "\"S\" was sent to the simulator.")
        console.close()
    return code
