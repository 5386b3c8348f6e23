"""live_pilot's output lines turned into the Live page's events.

A window starts with "Processing window of shape"; a decoded one goes on with the feature shapes
and, when a block was confident enough, "Mapped Command: X [predictions][confidences]". A window
held back by the signal check, or with no confident block, sends "S" and prints nothing more, so it
is complete at the next window's line, at any other line, or when the output pauses (flush()).
The class table live_pilot prints as it loads ("Class commands: left -> L, ...") becomes a "classes"
event, the page's legend of the command letters.
"""
from corvane.facts import CLASS_COMMANDS, CLASS_TABLE_LINE, STOP_CLASS, STOP_COMMAND, WINDOW_LINE, parse_live_line

CLASS_OF_COMMAND = {letter: name for name, letter in CLASS_COMMANDS} | {STOP_COMMAND: STOP_CLASS}
# Class index -> command, as live_pilot maps a decided class when it has printed no table (any
# index past the list stops); the table it prints as it loads replaces this.
CLASS_COMMANDS_BY_INDEX = {k: letter for k, (_, letter) in enumerate(CLASS_COMMANDS)}


class LiveEvents:
    def __init__(self, clock=None):
        """With `clock` (the stream's sample count), each window event carries "end": the count
        when its first line came, where the window's samples end."""
        self.windows = 0
        self.pending = None     # the window being decided: its index
        self.pending_end = None
        self.gate_ok = True
        self.clock = clock
        self.commands_by_index = CLASS_COMMANDS_BY_INDEX

    def feed(self, line):
        """The events one line of output completes (a list, often empty)."""
        line = line.rstrip()
        events = []
        if line.startswith(WINDOW_LINE):
            events += self.flush()
            self.pending = self.windows
            self.pending_end = self.clock() if self.clock else None
            self.windows += 1
        elif line.startswith("CSP Features Shape") or line.startswith("Extracted Features Shape"):
            if not self.gate_ok:   # decoded again: the signal is clean
                self.gate_ok = True
                events.append({"kind": "gate", "ok": True, "text": "Signal clean: windows are decoded"})
        elif (decision := parse_live_line(line)) and decision.kind == "decision":
            if self.pending is not None:
                events.append(self.decided(decision.command, decision.predictions, decision.confidences))
        else:
            events += self.flush()
            if line.startswith("Signal check: ") or line.startswith("No samples from the board"):
                self.gate_ok = False
                events.append({"kind": "gate", "ok": False, "text": line})
            elif line.startswith("Changed to new command: "):   # the controller acknowledged it
                events.append({"kind": "command", "command": line.rsplit(" ", 1)[-1]})
            elif line.startswith("Loop fell behind") or line.startswith("Connection error: "):
                events.append({"kind": "notice", "text": line})
            elif line.startswith("Actuator did not acknowledge"):
                events.append({"kind": "error", "text": line})
            elif line.startswith(CLASS_TABLE_LINE) and (table := class_table(line)):
                self.commands_by_index = {k: command for k, (_, command) in enumerate(table)}
                events.append({"kind": "classes", "commands": table})
        return events

    def flush(self):
        """The pending window as undecided (command "S"), when there is one."""
        if self.pending is None:
            return []
        index, self.pending = self.pending, None
        return [self._window({"kind": "window", "index": index, "command": STOP_COMMAND, "decision": None,
                              "confidence": None})]

    def _window(self, event):
        if self.clock:
            event["end"] = self.pending_end
        return event

    def decided(self, command, predictions, confidences):
        index, self.pending = self.pending, None
        confidence = None
        try:
            # The decision's own confidence: the best of the blocks that voted for its class.
            chosen = [c for p, c in zip(predictions, confidences)
                      if self.commands_by_index.get(p, STOP_COMMAND) == command]
            confidence = round(float(max(chosen)), 3) if chosen else None
        except (ValueError, TypeError):
            pass
        return self._window({"kind": "window", "index": index, "command": command,
                             "decision": CLASS_OF_COMMAND.get(command), "confidence": confidence})


def class_table(line):
    """[[class name, command], ...] of live_pilot's "Class commands..." line (by position, the
    names are the class numbers); [] when it does not read."""
    pairs = [part.split(" -> ") for part in line.partition(": ")[2].split(", ")]
    if not all(len(pair) == 2 and pair[0].strip() and pair[1].strip() for pair in pairs):
        return []
    return [[name.strip(), command.strip()] for name, command in pairs]

