"""Stages 1 and 2: the sample recording, and a cued session recorded through capture_hub from the
simulated subject (or a real board, or a played recording), combined into S03.fif."""
import os
import time

from corvane.standins.cyton_emulator import CytonEmulator
from corvane.demo import playback
from corvane.demo.constants import FS
from corvane.demo.errors import DemoError
from corvane.standins.make_sample_recording import ACTIONS, make_sample_recording
from corvane.standins.simulated_subject import SimulatedSubject


def sample_recording(host):
    host.say("\n[1/5] Sample recording")
    annotations, fif, written = make_sample_recording(str(host.base), seed=host.o.seed)
    host.say(f"  {'wrote' if written else 'kept'} {fif}")
    host.report["sample_recording"] = fif


def record_session(host):
    o, console = host.o, host.console
    speed = 1.0 if host.real_port else o.record_speed
    played = host.playback
    classes, trials = (played.classes, played.trials) if played else (ACTIONS.values(), o.trials_per_class)
    host.say(f"\n[2/5] Recording a cued session ({len(classes) * trials} trials of "
             f"{o.trial_seconds:g} s" + ("" if host.real_port else f", stream at {speed:g}x") + ")")
    subject = None
    if host.real_port:
        port = host.real_port
    else:
        if not played:
            subject = SimulatedSubject(seed=o.seed)
        emulator = CytonEmulator(signal=played.player if played else subject, speed=speed).start()
        host.on_exit("recording emulator", emulator.stop)
        port = emulator.port
    os.environ["CORVANE_SERIAL_PORT"] = port
    with console.capture():
        import capture_hub
        hub = capture_hub.CaptureHub()
    host.on_exit("recording board", host.quiet, hub.stop_stream)
    if not hub.is_streaming:
        raise DemoError(f"The board did not open on {port} (see demo.log).")

    if trials != 21 or len(classes) != len(hub.task_names):
        # Only the actions of the classes there are (a played file may lack some).
        hub.update_action_names({name: [text, trials] for name, (text, _) in hub.task_names.items()
                                 if ACTIONS.get(name) in classes})
    # What a person is asked to do for each label (shown when cueing a real subject live).
    host.instructions = {ACTIONS[name]: text for name, (text, _) in hub.task_names.items()
                         if name in ACTIONS}
    session = hub.next_session_number
    trial_samples = int(round(o.trial_seconds * FS))
    began = time.monotonic()
    with console.capture():
        hub.initialize_session(session)
        total = len(hub.task_sequence)
        done = 0
        while (task := hub.get_next_task()) is not None:
            action, instruction = task
            done += 1
            line = f"  trial {done:3d}/{total}  {action:<13}  {instruction}"
            if host.real_port:
                console.say(line)
            else:
                console.progress(line)
            if subject is not None:
                subject.cue = ACTIONS[action]
            elif played:
                playback.cue_trial(host, ACTIONS[action], speed)
            if not hub.start_recording():
                raise DemoError("Recording could not start: the board is not streaming.")
            wait_for_samples(hub.board, trial_samples, speed)
            hub.stop_recording()
            if subject is not None:
                subject.cue = None
            time.sleep(o.rest_seconds / speed)
        hub.stop_session()
        console.progress(f"  recorded {total} trials of session {session} in "
                         f"{time.monotonic() - began:.0f} s", final=True)
        combined = hub.combine_fif_files()
        hub.stop_stream()
        samples = hub.get_sample_files()
        patterns, classes = hub.analyze_session(0)
    host.say(f"  combined into {combined}")
    host.say(f"  sample recording {samples[0] if samples else '(missing)'} analysed as "
             f"session 0: classes {', '.join(classes)}")
    host.report["sample_classes"] = list(classes)
    if not host.real_port:
        emulator.stop()
    host.report.update(session=session, trials=total, combined_file=combined,
                       raw_dir=hub.raw_dir, annotations_file=hub.annotation_file,
                       recording_seconds=round(time.monotonic() - began, 1))
    return combined


def wait_for_samples(board, wanted, speed):
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
