"""Sizes and orders the demo's stages share, each written once."""

FS = 250              # the board's samples per second
WINDOW = 1250         # live_pilot's window, samples (5 s); checked against the module after import
STEP = 438            # samples between two of live_pilot's windows (65 % overlap)

# process_epochs' epochs, and the span of each epoch its training rows cover (samples from the
# epoch's start: 0.5 s after the cue, one live window long); the standard decoder sees the same.
EPOCH_TMIN, EPOCH_TMAX, EPOCH_BASELINE = -0.5, 5.5, (-0.5, 1)
ROW_START = 250

# Class order, and so drive command (class 0 "L", 1 "R", 2 "F", 3 "B", any other "S"): relaxing
# stops the vehicle, hand imagery turns it to that side, blinks drive forward, jaw clenching back.
CLASS_ORDER = ("left", "right", "blinking", "jaw", "relax")
STOP_CLASS = "relax"


def class_order(names):
    """The recording's class names in command order; unknown names go before the stop class."""
    known = [name for name in CLASS_ORDER if name in names and name != STOP_CLASS]
    others = sorted(name for name in names if name not in CLASS_ORDER)
    return known + others + ([STOP_CLASS] if STOP_CLASS in names else [])
