"""A base directory with a cued session recorded through capture_hub from the simulated subject on
the Cyton emulator, as the demo records one (its own stage, run with a quiet host)."""
import contextlib
import io
from pathlib import Path
from types import SimpleNamespace

from tests.support.testbed import environment


class QuietHost:
    """What the demo's recording stage uses of its host, with its output kept in `output`."""

    def __init__(self, stack, **options):
        self.o = SimpleNamespace(**options)
        self.output = io.StringIO()
        self.console = SimpleNamespace(capture=lambda *a, **k: contextlib.redirect_stdout(self.output),
                                       progress=lambda text, final=False: None, say=self.say)
        self.real_port, self.report, self.instructions, self.playback = None, {}, {}, None
        self.stack = stack

    def say(self, text=""):
        self.output.write(text + "\n")

    def on_exit(self, label, func, *args):
        self.stack.callback(func, *args)

    def quiet(self, func):
        with self.console.capture():
            func()


def record_cued_session(base, trials_per_class=5, speed=25.0, seed=3):
    """Records trials_per_class trials of every default action under `base`; returns the host's
    report (session, trials, combined_file...)."""
    from corvane.demo import recording
    from corvane.standins.make_sample_recording import make_sample_recording

    base = Path(base)
    with environment(CORVANE_PATH=base, CORVANE_SERIAL_PORT=None), contextlib.ExitStack() as stack:
        host = QuietHost(stack, trials_per_class=trials_per_class, trial_seconds=6.0, rest_seconds=0.5,
                         record_speed=speed, seed=seed)
        with contextlib.redirect_stdout(host.output):
            make_sample_recording(str(base), seed=seed)
        recording.record_session(host)
    return host.report
