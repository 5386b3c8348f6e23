"""A base directory with a cued session recorded by the pipeline through capture_hub from the
simulated subject on the Cyton emulator, beside the sample recording."""
import io
from pathlib import Path

from corvane import pipeline


def record_cued_session(base, trials_per_class=5, speed=25.0, seed=3):
    """Records trials_per_class trials of every default action under `base`; returns the
    RecordedSession and the combined recording's path."""
    from corvane.standins.cyton_emulator import CytonEmulator
    from corvane.standins.make_sample_recording import make_sample_recording
    from corvane.standins.simulated_subject import SimulatedSubject

    base, said = Path(base), io.StringIO()
    with pipeline.module_output(said):
        make_sample_recording(str(base), seed=seed)
    subject = SimulatedSubject(seed=seed)
    with CytonEmulator(signal=subject, speed=speed) as emulator:
        hub = pipeline.open_hub(emulator.port, base, output=said)
        try:
            session = pipeline.record_session(
                hub, trial_seconds=6.0, rest_seconds=0.5, speed=speed, trials_per_class=trials_per_class,
                cue=lambda trial: setattr(subject, "cue", trial.label),
                rest=lambda trial: setattr(subject, "cue", None), output=said)
            combined = pipeline.combine(hub, output=said)
        finally:
            with pipeline.module_output(said):
                hub.stop_stream()
    return session, combined.file
