"""The board and decoder facts the host side shares (tests, benchmarks, stand-ins, the demo).

What BrainFlow describes is read from it: the Cyton board's id, sampling rate and EEG rows, and
the sizes counted in samples follow from the rate. BrainFlow is imported on the first use of one of
these (it brings NumPy, which a stand-in needing only the command letters does without).

The live decoder's window and step belong to live_pilot, whose import opens the board, so they are
stated here; code that has the module imported reads them from its globals (window_size,
eeg_buffer.step_size), and a test holds these values to the module's.
"""
import os
import re

# The electrodes wired, in order, to the first EEG rows of the board.
ELECTRODES = ("FCz", "C3", "Cz", "CPz", "C2", "C4")

# Share of a live window that the next one overlaps.
LIVE_OVERLAP = 0.65

# Values in the feature row of one CSP component.
FEATURE_ROW_LENGTH = 522

# The trained artefacts, relative to the artefact directory; the agent's archive gets ".zip".
FILTERS_FILE = "csp_filters_ovr.pkl"
SCALER_FILE = "scaler.pkl"
AGENT_ARCHIVE = os.path.join("sample_data", "processed", "dqn_model_session1")
AGENT_ARCHIVE_FILE = AGENT_ARCHIVE + ".zip"

# Class order, and so drive command: class 0 "L", 1 "R", 2 "F", 3 "B", any other the stop "S".
# Hand imagery turns the vehicle to that side, blinks drive forward, jaw clenching back, and
# relaxing stops it.
CLASS_COMMANDS = (("left", "L"), ("right", "R"), ("blinking", "F"), ("jaw", "B"))
STOP_CLASS, STOP_COMMAND = "relax", "S"
CLASS_ORDER = tuple(name for name, _ in CLASS_COMMANDS) + (STOP_CLASS,)
COMMANDS = (STOP_COMMAND,) + tuple(letter for _, letter in CLASS_COMMANDS)

# The actions capture_hub cues by default, as it logs them, and the short label (the class) each
# carries in a combined recording.
ACTION_LABELS = {"Right_Hand": "right", "Left_Hand": "left", "Blinking": "blinking", "Jaw_Clenching": "jaw",
                 "Relax": "relax"}

# The actuator controller live_pilot drives when CORVANE_ACTUATOR_HOST is not set, and its port
# when the setting names none (src/common/settings.hpp states the same for the module).
DEFAULT_ACTUATOR_HOST, ACTUATOR_PORT = "192.168.4.1", 80

# A block's decision counts when its confidence is above this.
CONFIDENCE_THRESHOLD = 0.6

# What live_pilot prints that a host follows: every window starts with WINDOW_LINE, and one that
# a block was confident about ends with "Mapped Command: X [predictions][confidences]".
WINDOW_LINE = "Processing window of shape"
MAPPED_COMMAND_LINE = re.compile(r"Mapped Command: (\S+) (\[.*?\])(\[.*?\])\s*$")


def _board_facts():
    from brainflow.board_shim import BoardIds, BoardShim

    board_id = BoardIds.CYTON_BOARD.value
    rate = BoardShim.get_sampling_rate(board_id)
    eeg_rows = BoardShim.get_eeg_channels(board_id)
    window = 5 * rate  # live_pilot's window: 5 s
    return {
        "BOARD_ID": board_id,
        "SAMPLING_RATE": rate,
        "BOARD_EEG_CHANNELS": len(eeg_rows),
        "WIRED_EEG_ROWS": eeg_rows[:len(ELECTRODES)],
        "LIVE_WINDOW": window,
        "LIVE_STEP": window - int(window * LIVE_OVERLAP),  # rounded as the ring buffer rounds it
        "LIVE_BUFFER": 10 * window,  # the ring buffer keeps ten windows
        # A training row starts one second into its epoch (0.5 s after the cue), a window long.
        "TRAINING_ROW_START": rate,
    }


def __getattr__(name):
    board = {} if name.startswith("_") else _board_facts()
    if name not in board:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    globals().update(board)
    return board[name]
