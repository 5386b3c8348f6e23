"""The demo host: records, trains and decodes end to end with the four modules, no hardware needed.

    python -m tools.demo_host [--base DIR] [--trials-per-class N] [--steps N] [--windows N] ...

It is an ordinary host of the modules. A simulated subject streams through the Cyton emulator
(faster than real time) into `capture_hub`, which records a full cued session; the session is
combined into S03.fif; `policy_forge` trains the DQN agent on it; the artefacts go to the
artefact directory; `live_pilot` is imported and decodes the stream while the subject follows a
cue sequence the host knows, driving the movement simulator on 127.0.0.1. A report ends the run.
Everything is written under one base directory. With CORVANE_SERIAL_PORT set, the same host
records from that real board instead, showing each cue to the person at real-time pace.

Stopping live_pilot's loop: `main()` runs until a KeyboardInterrupt. A watcher thread counts the
decoded windows (from the loop's own output lines) and, once the simulator has received the
command of the last wanted window, sends SIGINT to the host's main thread with
signal.pthread_kill. The interrupt arrives as a KeyboardInterrupt inside `main()`, which ends
through its own clean-up (stream stopped, board released, "S" sent), exactly as a user's Ctrl-C
would. A real signal (rather than only setting Python's pending-interrupt flag) also wakes the
loop from a sleep or a blocking socket call.
"""
import argparse
import ast
import contextlib
import json
import os
import re
import shutil
import signal
import sys
import tempfile
import threading
import time
import traceback
import urllib.request
from pathlib import Path

import numpy as np

from tools.cyton_emulator import CytonEmulator
from tools.demo_console import Console
from tools.demo_scoring import (FS, WINDOW, CuePlayer, HeldOutSplit, conservative_choice,
                                percentile_ms)
from tools.make_sample_recording import ACTIONS, make_sample_recording
from tools.movement_simulator import MovementSimulator
from tools.simulated_subject import SimulatedSubject
from tools.testbed import LoopbackServer, controller_reply

REPO = Path(__file__).resolve().parents[1]


class DemoError(Exception):
    """A failure explained to the user in one message (no traceback on the terminal)."""


# --- the demo ---------------------------------------------------------------------------------
class DemoHost:
    def __init__(self, options, console, real_port=None):
        self.o, self.console, self.real_port = options, console, real_port
        self.base = Path(options.base)
        self.artefacts = self.base / "artefacts"
        self.report = {"base_dir": str(self.base)}
        self.stack = contextlib.ExitStack()
        self.simulator = None
        self.browser = None
        self._main_running = False
        self._stop_requested = False
        self.instructions = {}
        self._lock = threading.Lock()

    # Every step that starts something registers how to undo it; run() unwinds on any exit.
    def _on_exit(self, label, func, *args):
        def guarded():
            try:
                func(*args)
            except Exception as exc:  # clean-up goes on with the next step
                self.console.log.write(f"clean-up step '{label}' failed: {exc!r}\n")
        self.stack.callback(guarded)

    def run(self):
        started = time.monotonic()
        try:
            self.start_services()
            self.sample_recording()
            combined = self.record_session()
            model, forge, labels = self.train(combined)
            self.place_artefacts(model, forge)
            self.decode_live(labels)
            self.report["run_seconds"] = round(time.monotonic() - started, 1)
            self.finish_report()
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

    # 0. simulator, controller stand-in, browser
    def start_services(self):
        o = self.o
        try:
            self.simulator = MovementSimulator(o.port).start()
        except OSError as exc:
            raise DemoError(f"Port {o.port} on 127.0.0.1 is in use ({exc.strerror or exc}): "
                            "another simulator or demo may be running. Stop it, or pass --port.")
        self._on_exit("simulator", self.simulator.stop)
        os.environ["CORVANE_SIMULATOR_URL"] = self.simulator.url
        self.say(f"Movement simulator: {self.simulator.url}/  (open it in a browser to watch)")
        self._on_exit("temporary files", shutil.rmtree, self.base / "tmp", True)

        self.controller = None
        if "CORVANE_ACTUATOR_HOST" in os.environ and not o.controller_stand_in:
            self.say(f"Actuator controller: {os.environ['CORVANE_ACTUATOR_HOST']}:80 (yours)")
        else:
            os.environ["CORVANE_ACTUATOR_HOST"] = "127.0.0.1"
            try:
                self.controller = LoopbackServer(controller_reply, port=80)
                self._on_exit("controller", self.controller.close)
                self.say("Actuator controller: stand-in on 127.0.0.1:80")
            except OSError as exc:
                self.say(f"Actuator controller: none (127.0.0.1:80 unavailable: {exc.strerror}); "
                         "live_pilot's controller requests will fail harmlessly")
        self._on_exit("stop command", self.send_stop)   # runs before both servers stop

        if o.browser:
            from tools.headless_chromium import HeadlessChromium
            self.browser = HeadlessChromium(width=760, height=480, profile_parent=self.tmp_dir())
            try:
                self.browser.start()
            except Exception as exc:
                raise DemoError(f"Headless Chromium did not start: {exc}. "
                                "Run scripts/setup-browser, or pass --no-browser.")
            self._on_exit("browser", self.browser.stop)
            self.browser.open(self.simulator.url + "/",
                              wait_for="window.simulatorState().connected")

    def tmp_dir(self):
        path = self.base / "tmp"
        path.mkdir(parents=True, exist_ok=True)
        return str(path)

    def send_stop(self):
        """"S" to the simulator (and the stand-in controller): the vehicle stops whatever happened."""
        urllib.request.urlopen(self.simulator.url + "/command/S", timeout=2).read()
        if self.controller is not None:
            urllib.request.urlopen("http://127.0.0.1:80/S", timeout=2).read()

    # 1. the sample recording
    def sample_recording(self):
        self.say("\n[1/5] Sample recording")
        annotations, fif, written = make_sample_recording(str(self.base), seed=self.o.seed)
        self.say(f"  {'wrote' if written else 'kept'} {fif}")
        self.report["sample_recording"] = fif

    # 2. a cued session through capture_hub
    def record_session(self):
        o = self.o
        speed = 1.0 if self.real_port else o.record_speed
        self.say(f"\n[2/5] Recording a cued session ({5 * o.trials_per_class} trials of "
                 f"{o.trial_seconds:g} s" + ("" if self.real_port else f", stream at {speed:g}x")
                 + ")")
        subject = None
        if self.real_port:
            port = self.real_port
        else:
            subject = SimulatedSubject(seed=o.seed)
            emulator = CytonEmulator(signal=subject, speed=speed).start()
            self._on_exit("recording emulator", emulator.stop)
            port = emulator.port
        os.environ["CORVANE_SERIAL_PORT"] = port
        with self.console.capture():
            import capture_hub
            hub = capture_hub.CaptureHub()
        self._on_exit("recording board", self._quiet, hub.stop_stream)
        if not hub.is_streaming:
            raise DemoError(f"The board did not open on {port} (see demo.log).")

        if o.trials_per_class != 21:
            hub.update_action_names({name: [text, o.trials_per_class]
                                     for name, (text, _) in hub.task_names.items()})
        # What a person is asked to do for each label (shown when cueing a real subject live).
        self.instructions = {ACTIONS[name]: text for name, (text, _) in hub.task_names.items()
                             if name in ACTIONS}
        session = hub.next_session_number
        trial_samples = int(round(o.trial_seconds * FS))
        began = time.monotonic()
        with self.console.capture():
            hub.initialize_session(session)
            total = len(hub.task_sequence)
            done = 0
            while (task := hub.get_next_task()) is not None:
                action, instruction = task
                done += 1
                line = f"  trial {done:3d}/{total}  {action:<13}  {instruction}"
                if self.real_port:
                    self.console.say(line)
                else:
                    self.console.progress(line)
                if subject is not None:
                    subject.cue = ACTIONS[action]
                if not hub.start_recording():
                    raise DemoError("Recording could not start: the board is not streaming.")
                self._wait_for_samples(hub.board, trial_samples, speed)
                hub.stop_recording()
                if subject is not None:
                    subject.cue = None
                time.sleep(o.rest_seconds / speed)
            hub.stop_session()
            self.console.progress(f"  recorded {total} trials of session {session} in "
                                  f"{time.monotonic() - began:.0f} s", final=True)
            combined = hub.combine_fif_files()
            hub.stop_stream()
            samples = hub.get_sample_files()
            patterns, classes = hub.analyze_session(0)
        self.say(f"  combined into {combined}")
        self.say(f"  sample recording {samples[0] if samples else '(missing)'} analysed as "
                 f"session 0: classes {', '.join(classes)}")
        self.report["sample_classes"] = list(classes)
        if not self.real_port:
            emulator.stop()
        self.report.update(session=session, trials=total, combined_file=combined,
                           raw_dir=hub.raw_dir, annotations_file=hub.annotation_file,
                           recording_seconds=round(time.monotonic() - began, 1))
        return combined

    def _wait_for_samples(self, board, wanted, speed):
        """Waits until the board has buffered `wanted` samples since the recording started."""
        patience = 5.0 + 2.0 / speed
        last, last_change = -1, time.monotonic()
        while True:
            have = board.get_board_data_count()
            if have >= wanted:
                return
            now = time.monotonic()
            if have != last:
                last, last_change = have, now
            elif now - last_change > patience:
                raise DemoError(f"The board stopped sending data ({have} of {wanted} samples "
                                "of the trial arrived).")
            time.sleep(0.002)

    def _quiet(self, func):
        with self.console.capture():
            func()

    # 3. training with policy_forge
    def train(self, combined):
        o = self.o
        self.say("\n[3/5] Training")
        began = time.monotonic()
        with self.console.capture():
            import policy_forge
            forge = policy_forge.PolicyForge()
            forge.setup_eeg(combined)
            ids = forge.events[1]
            labels = sorted(ids, key=ids.get)          # class k <-> k-th event id, ascending
            forge.process_epochs([ids[label] for label in labels])
            model, callbacks = forge.setup_training(labels)
            split = HeldOutSplit(forge, labels)
        n_train, n_test = len(forge.y_train), len(forge.y_test)
        if o.training_data == "windows":
            x, y = split.training_windows()
            with self.console.capture():
                model.set_env(policy_forge.Plasticity(
                    images_per_episode=1, dataset=(x, y), random=True, ncomp=forge.ncomp,
                    global_shape_length=forge.GLOBAL_SHAPE_LENGTH, n_actions=len(labels)))
            data_note = f"{len(x)} live-style blocks from the {n_train} training epochs"
        else:
            data_note = "the feature rows process_epochs prepared"
        self.say(f"  {n_train + n_test} epochs ({n_train} for training, {n_test} held out), "
                 f"classes {', '.join(f'{k}={name}' for k, name in enumerate(labels))}; "
                 f"ready in {time.monotonic() - began:.0f} s")
        self.say(f"  the agent learns from {data_note}")
        learn_began = time.monotonic()
        # Python's, NumPy's and torch's generators (the environment draws with Python's):
        # repeatable training for a given seed.
        from stable_baselines3.common.utils import set_random_seed
        set_random_seed(o.seed)
        model.action_space.seed(o.seed)
        with self.console.capture():
            model.learn(total_timesteps=o.steps, callback=callbacks + [self._progress_bar(o.steps)])
        self.report["training_seconds"] = round(time.monotonic() - learn_began, 1)

        predicted = model.predict(forge.X_test, deterministic=True)[0]
        rows_accuracy = float(np.mean(predicted == forge.y_test))
        live_accuracy, decided = split.decode_held_out(model)
        self.say(f"  held-out accuracy, epochs decoded as the live loop decodes a window: "
                 f"{live_accuracy:.2f} ({decided} of {n_test} decided; chance {1 / len(labels):.2f})")
        self.say(f"  held-out accuracy on process_epochs' own test rows: {rows_accuracy:.2f}")
        self.report.update(classes=labels, epochs=n_train + n_test, held_out=n_test,
                           steps=o.steps, training_data=o.training_data,
                           held_out_accuracy=round(live_accuracy, 3), held_out_decided=decided,
                           held_out_rows_accuracy=round(rows_accuracy, 3))
        return model, forge, labels

    def _progress_bar(self, total):
        from stable_baselines3.common.callbacks import BaseCallback

        console = self.console

        class ProgressBar(BaseCallback):
            def _on_training_start(self):
                self._began = time.monotonic()

            def _on_step(self):
                if self.num_timesteps % 250 == 0 or self.num_timesteps == total:
                    done = self.num_timesteps / total
                    rate = self.num_timesteps / max(1e-9, time.monotonic() - self._began)
                    bar = "#" * int(30 * done)
                    console.progress(f"  learn [{bar:<30}] {self.num_timesteps}/{total} steps "
                                     f"{rate:.0f}/s", final=self.num_timesteps >= total)
                return True

        return ProgressBar()

    # 4. artefacts where live_pilot loads them
    def place_artefacts(self, model, forge):
        self.say("\n[4/5] Placing the artefacts")
        archive_dir = self.artefacts / "sample_data" / "processed"
        archive_dir.mkdir(parents=True, exist_ok=True)
        os.replace(forge.csp_filters_path, self.artefacts / "csp_filters_ovr.pkl")
        os.replace(forge.scaler_path, self.artefacts / "scaler.pkl")
        with self.console.capture():
            model.save(str(archive_dir / "dqn_model_session1"))
        os.environ["CORVANE_ARTEFACT_DIR"] = str(self.artefacts)
        for name in ("csp_filters_ovr.pkl", "scaler.pkl",
                     "sample_data/processed/dqn_model_session1.zip"):
            self.say(f"  {self.artefacts / name}")
        self.report["artefact_dir"] = str(self.artefacts)

    # 5. live decoding with live_pilot
    def decode_live(self, labels):
        o = self.o
        speed = 1.0 if self.real_port else o.live_speed
        segment = int(round(o.segment_seconds * FS))
        needed = (WINDOW + o.windows * 438) // segment + 2
        rng = np.random.default_rng(o.seed + 1)
        schedule = [str(c) for _ in range(needed // 5 + 1) for c in rng.permutation(labels)][:needed]
        self.say(f"\n[5/5] Live decoding: {o.windows} windows while the subject follows "
                 f"{o.segment_seconds:g}-s cues" + ("" if self.real_port else f" (stream at {speed:g}x)"))

        subject = None
        if self.real_port:
            os.environ["CORVANE_SERIAL_PORT"] = self.real_port
            live_began = [None]
            clock = lambda: 0 if live_began[0] is None else int((time.monotonic() - live_began[0]) * FS)
            apply = lambda cue: self.say(f"  NOW: {self.instructions.get(cue, cue)}")
        else:
            subject = SimulatedSubject(seed=o.seed + 1000)   # a new session of the same person
            subject.cue = schedule[0]
            emulator = CytonEmulator(signal=subject, speed=speed).start()
            self._on_exit("live emulator", emulator.stop)
            os.environ["CORVANE_SERIAL_PORT"] = emulator.port
            clock = lambda: emulator.samples_sent
            apply = lambda cue: setattr(subject, "cue", cue)
        player = CuePlayer(schedule, segment, clock, apply)
        self._on_exit("cue player", player.stop)

        windows, decisions = [], {}

        def listen(line, when):
            if line.startswith("Processing window of shape"):
                windows.append((when, clock()))
                if len(windows) <= o.windows:
                    self.console.progress(f"  window {len(windows):3d}/{o.windows}")
            elif line.startswith("Mapped Command: "):
                decisions[len(windows) - 1] = line

        sent_before = len(self.simulator.commands)
        with self.console.capture(listen):
            try:
                import live_pilot
            except Exception as exc:
                raise DemoError(f"live_pilot could not start: {exc!r} (see demo.log)")
        cleaned = []

        def clean_up_live():
            if not cleaned:
                cleaned.append(True)
                with self.console.capture():
                    live_pilot.cleanup_resources()
                # Drop the module's released board, so it is not finalised at interpreter exit.
                live_pilot.board = None

        self._on_exit("live_pilot clean-up", clean_up_live)
        if self.real_port:
            live_began[0] = time.monotonic()
            apply(schedule[0])
        player.start()
        watcher = threading.Thread(target=self._watch_live, daemon=True,
                                   args=(windows, sent_before, o.windows, 438 / (FS * speed)))
        signal.signal(signal.SIGINT, signal.default_int_handler)
        self._main_running = True
        watcher.start()
        try:
            with self.console.capture(listen):
                live_pilot.main()
        except KeyboardInterrupt:
            if not self._stop_requested:
                raise
        finally:
            with self._lock:
                self._main_running = False
        if not self._stop_requested:
            raise KeyboardInterrupt   # main() ended on a Ctrl-C of the user
        watcher.join(timeout=5)
        player.stop()
        self.console.progress(f"  decoded {min(len(windows), o.windows)} windows", final=True)
        clean_up_live()
        self._score_live(windows[:o.windows], decisions, player, labels, sent_before)

    def _watch_live(self, windows, sent_before, wanted, step_seconds):
        """Interrupts main() once the simulator has the command of the last wanted window, or
        when no window came for far longer than a window step should take."""
        stall = max(60.0, 20 * step_seconds)
        last_count, last_change = 0, time.monotonic()
        while True:
            time.sleep(0.01)
            now = time.monotonic()
            if len(windows) != last_count:
                last_count, last_change = len(windows), now
            done = (len(windows) >= wanted
                    and len(self.simulator.commands) - sent_before >= wanted)
            stalled = now - last_change > stall
            if done or stalled:
                with self._lock:
                    if self._main_running:
                        self._stop_requested = True
                        self.report["live_stalled"] = stalled and not done
                        signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)
                return

    def _score_live(self, windows, decisions, player, labels, sent_before):
        arrivals = self.simulator.arrivals[sent_before:]
        rows, latencies = [], []
        for k, (when, end) in enumerate(windows):
            cue, clean = player.cue_over(end - WINDOW, end)
            line = decisions.get(k)
            choice = None
            if line:
                match = re.match(r"Mapped Command: (\S+) (\[.*?\])(\[.*?\])$", line)
                if match:
                    choice = conservative_choice(ast.literal_eval(match[2]),
                                                 ast.literal_eval(match[3]))
            decoded = labels[choice] if choice is not None and 0 <= choice < len(labels) else None
            rows.append((cue, clean, decoded))
            if k < len(arrivals):
                latencies.append(arrivals[k] - when)

        def accuracy(selected):
            return (sum(d == c for c, _, d in selected) / len(selected)) if selected else float("nan")

        clean = [r for r in rows if r[1]]
        decided = [r for r in rows if r[2] is not None]
        confusion = {cue: {} for cue in labels}
        for cue, _, decoded in rows:
            confusion[cue][decoded or "none"] = confusion[cue].get(decoded or "none", 0) + 1
        self.report.update(
            live_windows=len(rows), live_accuracy=round(accuracy(rows), 3),
            live_accuracy_clean_windows=round(accuracy(clean), 3), live_clean_windows=len(clean),
            live_decided=len(decided), live_accuracy_decided=round(accuracy(decided), 3),
            latency_p50_ms=round(percentile_ms(latencies, 50), 1),
            latency_p99_ms=round(percentile_ms(latencies, 99), 1),
            simulator_commands=len(arrivals), live_confusion=confusion,
            controller_commands=len(self.controller.requests) if self.controller else None)

    def finish_report(self):
        r = self.report
        if self.browser is not None:
            state = self.browser.evaluate("window.simulatorState()")
            shot = self.browser.screenshot(str(self.base / "simulator_page.png"))
            r["page_received"] = state["received"]
            r["page_screenshot"] = shot
        r["log"] = str(self.base / "demo.log")
        with open(self.base / "report.json", "w") as f:
            json.dump(r, f, indent=2)
        chance = 1 / len(r["classes"])
        lines = [
            "", "Report",
            f"  recorded        {r['trials']} trials, session {r['session']} -> {r['combined_file']}",
            f"  trained         {r['steps']} steps on {r['epochs'] - r['held_out']} epochs "
            f"in {r['training_seconds']:.0f} s",
            f"  held-out        accuracy {r['held_out_accuracy']:.2f} over {r['held_out']} epochs "
            f"decoded as live windows (chance {chance:.2f}); "
            f"{r['held_out_rows_accuracy']:.2f} on process_epochs' test rows",
            f"  live            accuracy {r['live_accuracy']:.2f} over {r['live_windows']} windows "
            f"({r['live_accuracy_clean_windows']:.2f} over the {r['live_clean_windows']} windows "
            f"inside one cue; {r['live_decided']} windows with a decision)",
            f"  latency         window to simulator command: p50 {r['latency_p50_ms']:.1f} ms, "
            f"p99 {r['latency_p99_ms']:.1f} ms",
            f"  simulator       {r['simulator_commands']} commands"
            + (f"; the page showed {r['page_received']} in all" if "page_received" in r else ""),
            f"  run time        {r['run_seconds']:.0f} s",
            "  files", f"    base          {r['base_dir']}",
            f"    recordings    {r['raw_dir']}",
            f"    annotations   {r['annotations_file']}",
            f"    sample        {r['sample_recording']}",
            f"    artefacts     {r['artefact_dir']}",
            f"    report        {self.base / 'report.json'}",
            f"    log           {r['log']}",
        ]
        if "page_screenshot" in r:
            lines.append(f"    page          {r['page_screenshot']}")
        for line in lines:
            self.say(line)


# --- command line -----------------------------------------------------------------------------
def parse_args(argv):
    p = argparse.ArgumentParser(prog="scripts/demo", description=__doc__.split("\n\n")[0])
    p.add_argument("--base", default=str(REPO / "demo_output"),
                   help="demo base directory; everything is written under it (default: %(default)s)")
    p.add_argument("--trials-per-class", type=int, default=21, help="cued trials per action")
    p.add_argument("--trial-seconds", type=float, default=6.0, help="length of one trial")
    p.add_argument("--rest-seconds", type=float, default=1.0, help="pause between trials")
    p.add_argument("--record-speed", type=float, default=10.0,
                   help="emulator speed while recording (x real time)")
    p.add_argument("--steps", type=int, default=10000, help="DQN training steps")
    p.add_argument("--training-data", choices=("windows", "epochs"), default="windows",
                   help="what the agent learns from: blocks of 5-s windows through every filter, "
                        "as live_pilot decodes (default), or process_epochs' own rows")
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
    o = p.parse_args(argv)
    if o.trials_per_class < 5:
        # Training drops the first trial (its epoch starts before the recording) and holds out a
        # fifth of the rest, stratified: that needs at least one held-out epoch of every class.
        p.error("--trials-per-class must be at least 5")
    if o.trial_seconds < 6.0:
        p.error("--trial-seconds must be at least 6 (training cuts epochs to 5.5 s after each cue)")
    if o.steps < 1 or o.windows < 1 or o.record_speed <= 0 or o.live_speed <= 0:
        p.error("--steps and --windows must be positive, speeds above 0")
    return o


def prepare_environment(base):
    """Keeps what the libraries write (caches, configs, temporary files) under the base directory."""
    tmp = base / "tmp"
    tmp.mkdir(parents=True, exist_ok=True)
    os.environ["CORVANE_PATH"] = str(base)
    os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "2")
    for name, sub in (("KERAS_HOME", ".keras"), ("MPLCONFIGDIR", ".matplotlib"),
                      ("MNE_HOME", ".mne"), ("TORCH_HOME", ".torch"), ("XDG_CACHE_HOME", ".cache")):
        os.environ[name] = str(base / sub)
    os.environ["TMPDIR"] = str(tmp)
    tempfile.tempdir = str(tmp)
    from brainflow.board_shim import BoardShim
    BoardShim.set_log_file(str(base / "brainflow.log"))   # the driver's own log, off the terminal


def main(argv=None):
    o = parse_args(sys.argv[1:] if argv is None else argv)
    base = Path(o.base).resolve()
    o.base = str(base)
    real_port = os.environ.get("CORVANE_SERIAL_PORT")
    if o.browser:
        from tools.headless_chromium import BrowserMissing, find_browser
        try:
            find_browser()
        except BrowserMissing as exc:
            print(f"scripts/demo: {exc}; or run without the page: --no-browser", file=sys.stderr)
            return 2
    base.mkdir(parents=True, exist_ok=True)
    prepare_environment(base)
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
    except DemoError as exc:
        code = 2
        console.say(f"\nDemo stopped: {exc}")
    except Exception:
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


if __name__ == "__main__":
    sys.exit(main())
