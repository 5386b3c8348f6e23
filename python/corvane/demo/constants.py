"""Sizes and orders the demo's stages share; the board's and the decoder's come from corvane.facts."""
from corvane.facts import CLASS_ORDER, STOP_CLASS  # noqa: F401
from corvane.facts import LIVE_STEP as STEP  # noqa: F401  (checked against live_pilot after import)
from corvane.facts import LIVE_WINDOW as WINDOW  # noqa: F401
from corvane.facts import SAMPLING_RATE as FS  # noqa: F401
from corvane.facts import TRAINING_ROW_START as ROW_START  # noqa: F401

# process_epochs' epochs, and the span of each epoch its training rows cover (ROW_START samples
# from the epoch's start, one live window long); the standard decoder sees the same.
from corvane.facts import EPOCH_BASELINE, EPOCH_TMAX, EPOCH_TMIN  # noqa: F401,E402


def class_order(names):
    """The recording's class names in command order; unknown names go before the stop class."""
    known = [name for name in CLASS_ORDER if name in names and name != STOP_CLASS]
    others = sorted(name for name in names if name not in CLASS_ORDER)
    return known + others + ([STOP_CLASS] if STOP_CLASS in names else [])
