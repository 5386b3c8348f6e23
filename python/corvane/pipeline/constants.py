"""Sizes and orders the pipeline's stages share; the board's and the decoder's come from corvane.facts."""
from corvane.facts import CLASS_ORDER, STOP_CLASS  # noqa: F401
from corvane.facts import LIVE_STEP as STEP  # noqa: F401  (checked against live_pilot after import)
from corvane.facts import LIVE_WINDOW as WINDOW  # noqa: F401
from corvane.facts import SAMPLING_RATE as FS  # noqa: F401
from corvane.facts import TRAINING_ROW_START as ROW_START  # noqa: F401

# process_epochs' epochs, and the span of each epoch its training rows cover (ROW_START samples
# from the epoch's start, one live window long); the standard decoder sees the same.
from corvane.facts import EPOCH_BASELINE, EPOCH_TMAX, EPOCH_TMIN  # noqa: F401,E402

# Trials each class needs: training drops the first trial (its epoch starts before the recording)
# and holds out a fifth of the rest, stratified, so every class needs a held-out epoch.
MIN_TRIALS_PER_CLASS = 5
# Training steps of an agent by default: held-out accuracy over repeated splits was no better at
# 1000-10000 steps under either decision rule (bench/decision_rules.py).
DEFAULT_STEPS = 2500
# A trial must hold a whole epoch: training cuts epochs to EPOCH_TMAX seconds after each cue.
MIN_TRIAL_SECONDS = 6.0


def class_order(names):
    """The recording's class names in command order; unknown names go before the stop class."""
    known = [name for name in CLASS_ORDER if name in names and name != STOP_CLASS]
    others = sorted(name for name in names if name not in CLASS_ORDER)
    return known + others + ([STOP_CLASS] if STOP_CLASS in names else [])
