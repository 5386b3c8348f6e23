"""Stages 1 and 2: the sample recording, and a cued session recorded through the pipeline from the
simulated subject (or a real board, or a played recording), combined into S03.fif."""
import time

from corvane import pipeline
from corvane.demo import playback
from corvane.demo.errors import DemoError
from corvane.facts import ACTION_LABELS
from corvane.standins.cyton_emulator import CytonEmulator
from corvane.standins.make_sample_recording import make_sample_recording
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
    classes, trials = (played.classes, played.trials) if played else (ACTION_LABELS.values(), o.trials_per_class)
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
    with console.capture() as stream:
        try:
            hub = pipeline.open_hub(port, host.base, output=stream)
        except pipeline.PipelineError as exc:
            raise DemoError(f"{exc} (see demo.log).")
    host.on_exit("recording board", host.quiet, hub.stop_stream)
    # Only the actions of the classes there are (a played file may lack some).
    actions = {name: text for name, (text, _) in hub.task_names.items() if ACTION_LABELS.get(name) in classes}
    # What a person is asked to do for each label (shown when cueing a real subject live).
    host.instructions = {ACTION_LABELS[name]: text for name, (text, _) in hub.task_names.items()
                         if name in ACTION_LABELS}

    def cue(trial):
        if subject is not None:
            subject.cue = trial.label
        elif played:
            playback.cue_trial(host, trial.label, speed)

    def rest(trial):
        if subject is not None:
            subject.cue = None

    def progress(event):
        line = f"  {event.text}"
        if event.final:
            return
        console.say(line) if host.real_port else console.progress(line)

    began = time.monotonic()
    with console.capture() as stream:
        recorded = pipeline.record_session(
            hub, trial_seconds=o.trial_seconds, rest_seconds=o.rest_seconds, speed=speed, actions=actions,
            trials_per_class=trials, cue=cue, rest=rest, progress=progress, output=stream, lsl=host.lsl)
        console.progress(f"  recorded {recorded.total} trials of session {recorded.session} in "
                         f"{time.monotonic() - began:.0f} s", final=True)
        combined = pipeline.combine(hub, output=stream).file
        hub.stop_stream()
        samples = hub.get_sample_files()
        patterns, sample_classes = hub.analyze_session(0)
    host.say(f"  combined into {combined}")
    host.say(f"  sample recording {samples[0] if samples else '(missing)'} analysed as "
             f"session 0: classes {', '.join(sample_classes)}")
    host.report["sample_classes"] = list(sample_classes)
    if not host.real_port:
        emulator.stop()
    host.report.update(session=recorded.session, trials=recorded.total, combined_file=combined,
                       raw_dir=recorded.raw_dir, annotations_file=recorded.annotations_file,
                       recording_seconds=round(time.monotonic() - began, 1))
    return combined
