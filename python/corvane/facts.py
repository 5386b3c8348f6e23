"""The facts the host side shares (the pipeline, the demo, the studio, stand-ins, tests, benchmarks).

Everything the modules define comes from corvane._facts, built from the same C++ definitions the
modules use; importing it opens nothing. What BrainFlow describes (the Cyton board's id and its EEG
rows) is read from BrainFlow on first use of one of those names, since BrainFlow brings NumPy, which
a stand-in needing only the command letters does without. What this file adds is how to read the
lines live_pilot prints: parse_live_line.
"""
import ast
from typing import NamedTuple

from corvane._facts import (  # noqa: F401  (re-exported)
    ACTION_LABELS, ACTUATOR_PORT, AGENT_ARCHIVE, AGENT_ARCHIVE_FILE, AGENT_ARCHIVE_PARTS, ANNOTATIONS_FILE,
    CLASS_COMMANDS, CLASS_NAME_COMMANDS, CLASS_TABLE_LINE, COMBINED_FILE, CONFIDENCE_THRESHOLD, DECISION_RULES,
    DEFAULT_ACTIONS, DEFAULT_ACTUATOR_HOST, DEFAULT_API_URL, DEFAULT_BASE_DIRECTORY, DEFAULT_SERIAL_PORT,
    DEFAULT_SIMULATOR_URL, ELECTRODES, EPOCH_BASELINE, EPOCH_TMAX, EPOCH_TMIN, FEATURE_ROW_LENGTH, FILTERS_FILE,
    LIVE_BUFFER, LIVE_OVERLAP, LIVE_READ, LIVE_STEP, LIVE_WINDOW, MAPPED_COMMAND_PREFIX, POSITIONAL_COMMANDS,
    READY_LINE, SAMPLING_RATE, SCALER_FILE, STOP_CLASS, STOP_CLASSES, STOP_COMMAND, TRAINING_ROW_START,
    WINDOW_LINE_PREFIX, class_commands, class_label, command_for_class, parse_actuator_address)

# The classes the recordings cue, in the positional table's order (the stop class last), and every
# command: the stop first.
CLASS_ORDER = tuple(name for name, _ in CLASS_COMMANDS) + (STOP_CLASS,)
COMMANDS = (STOP_COMMAND,) + POSITIONAL_COMMANDS
# Every window's first line starts with this.
WINDOW_LINE = WINDOW_LINE_PREFIX


class LiveLine(NamedTuple):
    """A line of live_pilot's output a host follows. kind: "ready" (the board streams), "window" (a
    window is decoded; a window without a "decision" line sent "S") or "decision" (a block was
    confident: the command sent, and the kept blocks' class numbers and confidences)."""
    kind: str
    command: str | None = None
    predictions: tuple = ()
    confidences: tuple = ()


def parse_live_line(line):
    """The LiveLine of one line of live_pilot's output, or None for any other line (a decision line
    whose lists do not read back included)."""
    line = line.rstrip("\r\n")
    if line == READY_LINE:
        return LiveLine("ready")
    if line.startswith(WINDOW_LINE_PREFIX):
        return LiveLine("window")
    if not line.startswith(MAPPED_COMMAND_PREFIX):
        return None
    # "<command> [class numbers][confidences]": two lists of numbers, so "][" parts them.
    command, _, lists = line[len(MAPPED_COMMAND_PREFIX):].partition(" ")
    first, middle, second = lists.rstrip().partition("][")
    try:
        predictions, confidences = ast.literal_eval(first + "]"), ast.literal_eval("[" + second)
    except (ValueError, SyntaxError, MemoryError, RecursionError):
        return None
    if not (command and middle and isinstance(predictions, list) and isinstance(confidences, list)):
        return None
    return LiveLine("decision", command, tuple(predictions), tuple(confidences))


def _board_facts():
    from brainflow.board_shim import BoardIds, BoardShim

    board_id = BoardIds.CYTON_BOARD.value
    eeg_rows = BoardShim.get_eeg_channels(board_id)
    return {"BOARD_ID": board_id, "BOARD_EEG_CHANNELS": len(eeg_rows), "WIRED_EEG_ROWS": eeg_rows[:len(ELECTRODES)]}


def __getattr__(name):
    board = {} if name.startswith("_") else _board_facts()
    if name not in board:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    globals().update(board)
    return board[name]
