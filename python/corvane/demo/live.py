"""Stage 5: live_pilot imported and decoding the stream while the subject follows a cue sequence
the host knows; its decisions are scored against the played cues. Once imported, the module's own
decision rules also decide the agent's held-out epochs (of the artefact agent and of every split).

Stopping live_pilot's loop: `main()` runs until a KeyboardInterrupt. A watcher thread counts the
decoded windows (from the loop's own output lines) and, once the simulator has received the
command of the last wanted window, sends SIGINT to the host's main thread with
signal.pthread_kill. The interrupt arrives as a KeyboardInterrupt inside `main()`, which ends
through its own clean-up (stream stopped, board released, "S" sent), exactly as a user's Ctrl-C
would. A real signal (rather than only setting Python's pending-interrupt flag) also wakes the
loop from a sleep or a blocking socket call.
"""
import signal
import threading
import time

import numpy as np

from corvane.demo import playback
from corvane.demo.errors import DemoError
from corvane.demo.training import score_held_out, score_rules_on_splits
from corvane.facts import STOP_COMMAND, WINDOW_LINE, class_commands, parse_live_line
from corvane.pipeline import CuePlayer, module_environment
from corvane.pipeline.constants import FS, STEP, WINDOW
from corvane.standins.cyton_emulator import CytonEmulator
from corvane.standins.simulated_subject import SimulatedSubject


def decode_live(host, labels):
    o, console = host.o, host.console
    speed = 1.0 if host.real_port else o.live_speed
    segment = int(round(o.segment_seconds * FS))
    needed = (WINDOW + o.windows * STEP) // segment + 2
    rng = np.random.default_rng(o.seed + 1)
    schedule = [str(c) for _ in range(needed // len(labels) + 1) for c in rng.permutation(labels)][:needed]
    host.say(f"\n[5/5] Live decoding: {o.windows} windows while "
             + ("the recording plays its annotated stretches" if host.playback else
                f"the subject follows {o.segment_seconds:g}-s cues")
             + ("" if host.real_port else f" (stream at {speed:g}x)"))

    if host.real_port:
        port = host.real_port
        live_began = [None]
        clock = lambda: 0 if live_began[0] is None else int((time.monotonic() - live_began[0]) * FS)
        apply = lambda cue: host.say(f"  NOW: {host.instructions.get(cue, cue)}")
    elif host.playback:   # the file plays on; its annotations are the cues
        emulator, player = playback.live_source(host, speed)
    else:
        subject = SimulatedSubject(seed=o.seed + 1000)   # a new session of the same person
        subject.cue = schedule[0]
        emulator = CytonEmulator(signal=subject, speed=speed).start()
        apply = lambda cue: setattr(subject, "cue", cue)
    if not host.real_port:
        host.on_exit("live emulator", emulator.stop)
        port = emulator.port
        clock = lambda: emulator.samples_sent
    if not host.playback:
        player = CuePlayer(schedule, segment, clock, apply)
    host.on_exit("cue player", player.stop)

    windows, decisions = [], {}
    markers = host.lsl.decisions() if host.lsl else None

    def listen(line, when):
        if markers is not None:
            markers.feed(line)
        if line.startswith(WINDOW_LINE):
            windows.append((when, clock()))
            if len(windows) <= o.windows:
                console.progress(f"  window {len(windows):3d}/{o.windows}")
        elif line.startswith("Mapped Command: "):
            decisions[len(windows) - 1] = line

    sent_before = host.simulator.received
    # live_pilot reads its board, artefacts, simulator and controller when imported.
    settings = dict(serial_port=port, artefact_dir=host.artefacts, simulator_url=host.simulator.url,
                    actuator_host=host.actuator_host)
    with console.capture(listen), module_environment(**settings):
        try:
            import live_pilot
        except Exception as exc:
            raise DemoError(f"live_pilot could not start: {exc!r} (see demo.log)")
    cleaned = []

    def clean_up_live():
        if not cleaned:
            cleaned.append(True)
            with console.capture():
                live_pilot.cleanup_resources()
            # Drop the module's released board, so it is not finalised at interpreter exit.
            live_pilot.board = None

    host.on_exit("live_pilot clean-up", clean_up_live)

    def decide(predictions, confidences):   # the module's own rule over a window's candidates
        return live_pilot.get_conservative_prediction(predictions, confidences)[0]

    score_held_out(host, decide)
    score_rules_on_splits(host, live_pilot)
    sizes = (live_pilot.window_size, live_pilot.eeg_buffer.step_size)
    if sizes != (WINDOW, STEP):
        raise DemoError(f"live_pilot decodes windows of {sizes[0]} samples every {sizes[1]}; "
                        f"the demo expects {WINDOW} every {STEP}")
    if host.real_port:
        live_began[0] = time.monotonic()
        apply(schedule[0])
    player.start()
    stop = LiveStop(host, windows, sent_before, o.windows, STEP / (FS * speed))
    signal.signal(signal.SIGINT, signal.default_int_handler)
    stop.start()
    try:
        with console.capture(listen):
            live_pilot.main()
    except KeyboardInterrupt:
        if not stop.requested:
            raise
    finally:
        stop.main_ended()
    if not stop.requested:
        raise KeyboardInterrupt   # main() ended on a Ctrl-C of the user
    stop.join(timeout=5)
    player.stop()
    if markers is not None:
        markers.flush()
    console.progress(f"  decoded {min(len(windows), o.windows)} windows", final=True)
    clean_up_live()
    score_live(host, windows[:o.windows], decisions, player, labels, sent_before,
               window_decision(live_pilot, labels, decide))


class LiveStop(threading.Thread):
    """Interrupts main() once the simulator has the command of the last wanted window, or when
    no window came for far longer than a window step should take."""

    def __init__(self, host, windows, sent_before, wanted, step_seconds):
        super().__init__(name="live-stop", daemon=True)
        self.host, self.windows, self.sent_before, self.wanted = host, windows, sent_before, wanted
        self.stall = max(60.0, 20 * step_seconds)
        self.requested = False
        self._running = True
        self._lock = threading.Lock()

    def run(self):
        last_count, last_change = 0, time.monotonic()
        while not self.requested:
            time.sleep(0.01)
            now = time.monotonic()
            if len(self.windows) != last_count:
                last_count, last_change = len(self.windows), now
            done = (len(self.windows) >= self.wanted
                    and self.host.simulator.received - self.sent_before >= self.wanted)
            stalled = now - last_change > self.stall
            if done or stalled:
                self.requested = True
                self.host.report["live_stalled"] = stalled and not done
        # An interrupt that lands in a finaliser is reported there and lost, and the loop goes
        # on decoding: interrupt again once a further window shows it is still running.
        sent_at = None
        while True:
            with self._lock:
                if not self._running:
                    return
                if sent_at is None or len(self.windows) > sent_at + 1:
                    sent_at = len(self.windows)
                    signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)
            time.sleep(0.01)

    def main_ended(self):
        with self._lock:
            self._running = False


def percentile_ms(values, q):
    return float(np.percentile(np.asarray(values) * 1000.0, q)) if values else float("nan")


def window_decision(module, labels, decide):
    """The class of a window from its "Mapped Command" line: the one class the command stands for,
    whatever rule main() used; when several classes share the command (more classes than
    commands), the conservative rule taken again over the line's candidates."""
    # The loop's own table: by the agent's class names when it carries them, else by position.
    names = getattr(module.model, "class_names", None)
    commands = class_commands(names) if names else [module.map_action_to_command(k) for k in range(len(labels))]
    by_command = {}
    for k, command in enumerate(commands):
        by_command.setdefault(command, []).append(k)

    def decided(line):
        classes = by_command.get(line.command, [])
        if len(classes) == 1:
            return classes[0]
        if str(module.decision_rule) == "conservative":
            return decide(list(line.predictions), list(line.confidences))
        return None
    return decided


def score_live(host, windows, decisions, player, labels, sent_before, decided_class):
    arrivals = host.simulator.arrivals_since(sent_before)
    letters = [letter for _, letter in host.simulator.since(sent_before)]
    # A window that changes the command reaches the simulator only after the actuator's own change
    # (stop, its pause, the new command); one that keeps it, straight away.
    rows, latencies, changed = [], [], []
    for k, (when, end) in enumerate(windows):
        cue, clean = player.cue_over(end - WINDOW, end)
        line = parse_live_line(decisions.get(k, ""))
        choice = decided_class(line) if line and line.kind == "decision" else None
        decoded = labels[choice] if choice is not None and 0 <= choice < len(labels) else None
        rows.append((cue, clean, decoded, end / FS))
        if k < len(arrivals):
            kept = k < len(letters) and letters[k] == (letters[k - 1] if k else STOP_COMMAND)
            (latencies if kept else changed).append(arrivals[k] - when)

    def accuracy(selected):
        return (sum(r[2] == r[0] for r in selected) / len(selected)) if selected else float("nan")

    clean = [r for r in rows if r[1]]
    decided = [r for r in rows if r[2] is not None]
    host.report.update(
        live_windows=len(rows), live_accuracy=round(accuracy(rows), 3),
        live_accuracy_clean_windows=round(accuracy(clean), 3), live_clean_windows=len(clean),
        live_decided=len(decided), live_accuracy_decided=round(accuracy(decided), 3),
        latency_p50_ms=round(percentile_ms(latencies, 50), 1),
        latency_p99_ms=round(percentile_ms(latencies, 99), 1),
        latency_windows=len(latencies), changed_windows=len(changed),
        changed_latency_p50_ms=round(percentile_ms(changed, 50), 1),
        simulator_commands=len(arrivals),
        live_decisions=[{"end_s": round(t, 3), "cue": cue, "decoded": d, "inside_one_cue": c}
                        for cue, c, d, t in rows],
        cue_changes=[(round(start / FS, 3), cue) for start, cue in player.changes],
        controller_commands=host.controller.received if host.controller else None)
