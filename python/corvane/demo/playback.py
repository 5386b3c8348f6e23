"""A recorded file in place of the simulated subject (--recording FILE --classes name=class,...).

The file's annotation names are mapped onto the demo's classes (by default a name that is a class
is that class; other names are not played). Only the mapped classes are cued: capture_hub's
session is cut down to their actions, and at least two are needed.

Recording: the recorder decides each trial's action; the host then asks the file for the
least-played stretch annotated with a name of that class and starts the trial once it streams,
so every trial holds what the file labels as its class. Each class needs at least as many
stretches as trials (by default all classes get as many as the scarcest has, at most 21).

Live decoding: the file plays on, but only its mapped stretches, one after the other in file
order, and preferably those no trial used (all of them when every one was recorded); the
annotations streamed are the cues the decisions are scored against.
"""
import argparse
import time
from types import SimpleNamespace

from corvane.demo.errors import DemoError, first_line
from corvane.facts import CLASS_COMMANDS, CLASS_ORDER, STOP_CLASS, STOP_COMMAND
from corvane.pipeline import MIN_TRIALS_PER_CLASS as MIN_TRIALS
from corvane.pipeline import CuePlayer, class_order
from corvane.pipeline.constants import FS
from corvane.standins.cyton_emulator import CytonEmulator
from corvane.standins.bids_recording import bids_entities, recording_source
from corvane.standins.recording_playback import RecordingPlayback

MAX_DEFAULT_TRIALS = 21


def parse_classes(text):
    """`name=class,...` as {annotation name: class}; for argparse."""
    mapping = {}
    for item in filter(None, (part.strip() for part in text.split(","))):
        name, sep, cls = (s.strip() for s in item.rpartition("="))
        if not sep or not name:
            raise argparse.ArgumentTypeError(f"{item!r} is not name=class")
        if cls not in CLASS_ORDER:
            raise argparse.ArgumentTypeError(f"{cls!r} is not a class; the classes are {', '.join(CLASS_ORDER)}")
        mapping[name] = cls
    if not mapping:
        raise argparse.ArgumentTypeError("no name=class given")
    return mapping


def open_recording(host):
    """Reads the file and checks it against the mapping and the trials wanted; sets host.playback."""
    o = host.o
    try:
        player = RecordingPlayback(recording_source(o.recording, **bids_entities(o)))
    except Exception as exc:   # unreadable, unsupported or lacking electrodes: said in one line
        raise DemoError(f"Cannot play {o.recording}: {first_line(exc)}")
    names = player.names
    mapping = o.classes or {cls: cls for cls in CLASS_ORDER}
    absent = sorted(set(o.classes or ()) - set(names))
    if absent:
        raise DemoError(f"{player.path} has no annotation named {', '.join(absent)}; "
                        f"its annotations are named {', '.join(names) or '(none)'}")
    counts = {}
    for cue in player.annotations:
        if cue.name in mapping:
            counts[mapping[cue.name]] = counts.get(mapping[cue.name], 0) + 1
    if len(counts) < 2:
        raise DemoError(f"{player.path}: annotations of at least two classes are needed, found "
                        f"{', '.join(counts) or 'none'} (its annotations are named {', '.join(names) or '(none)'}); "
                        "map them with --classes name=class,...")
    trials = o.trials_per_class or min(MAX_DEFAULT_TRIALS, min(counts.values()))
    short = {cls: n for cls, n in counts.items() if n < max(trials, MIN_TRIALS)}
    if short:
        raise DemoError(f"{player.path} has too few trials for {max(trials, MIN_TRIALS)} per class: "
                        + ", ".join(f"{cls} {n}" for cls, n in sorted(short.items()))
                        + (f" (at least {MIN_TRIALS} are needed)" if trials < MIN_TRIALS
                           else "; lower --trials-per-class"))
    classes = [cls for cls in CLASS_ORDER if cls in counts]
    host.playback = SimpleNamespace(player=player, mapping=mapping, classes=classes, trials=trials,
                                    by_class={cls: [n for n in names if mapping.get(n) == cls] for cls in classes},
                                    stretches=[])
    host.say(f"Playing {player.path} ({len(player.data) / FS:.0f} s"
             + (", stored in microvolts" if player.stored_microvolts else "")
             + ") in place of the simulated subject: "
             + ", ".join(f"{cls} = {' + '.join(host.playback.by_class[cls])}" for cls in classes))
    # live_pilot drives by class position (class k gets the k-th command), so a missing class
    # shifts the commands of those after it.
    commands = dict(CLASS_COMMANDS + ((STOP_CLASS, STOP_COMMAND),))
    driven = {cls: CLASS_COMMANDS[k][1] if k < len(CLASS_COMMANDS) else STOP_COMMAND
              for k, cls in enumerate(class_order(classes))}
    if any(driven[cls] != commands[cls] for cls in classes):
        host.say("  note: with these classes live_pilot drives "
                 + ", ".join(f"{cls} {letter}" for cls, letter in driven.items()))
    brief = sorted({cls for cls in classes for cue in player.annotations
                    if mapping.get(cue.name) == cls and cue.duration < o.trial_seconds * FS})
    if brief:
        host.say(f"  note: some stretches of {', '.join(brief)} are shorter than a trial "
                 f"({o.trial_seconds:g} s); those trials go on into what follows them in the file")
    host.report["played_recording"] = {"file": player.path, "classes": mapping, "trials_per_class": trials}


def cue_trial(host, cls, speed):
    """Starts the next stretch of class `cls`; returns once the board streams it (and what came
    before it has drained into the board's buffer, which start_recording empties)."""
    playback = host.playback
    cue = playback.player.play_next(playback.by_class[cls])
    if not playback.player.wait_played(5.0 + 2.0 / speed):
        raise DemoError("The board stopped streaming the recording.")
    time.sleep(0.01)
    playback.stretches.append((cls, cue.name, round(cue.onset, 3)))


def live_source(host, speed):
    """The emulator playing the file's mapped stretches, and the cues it plays as a CuePlayer would
    give them."""
    playback = host.playback
    player = playback.player
    mapped = [cue.index for cue in player.annotations if cue.name in playback.mapping
              and playback.mapping[cue.name] in playback.classes]
    unseen = [k for k in mapped if not player.plays[k]]
    player.play_only(unseen or mapped)
    host.say(f"  playing the {len(unseen)} stretches no trial used" if unseen else
             f"  every one of the {len(mapped)} stretches was recorded: live replays what the agent "
             "was trained and tested on")
    host.report["played_recording"].update(live_stretches=len(unseen or mapped),
                                           live_replays_recorded=not unseen,
                                           recorded_stretches=playback.stretches)
    emulator = CytonEmulator(signal=player, speed=speed).start()
    return emulator, PlayedCues(player, playback.mapping)


class PlayedCues:
    """What the file played, in the shape of the live stage's CuePlayer (the file is its own cue
    player: nothing is started or stopped)."""

    def __init__(self, player, mapping):
        self.player, self.mapping = player, mapping

    @property
    def changes(self):
        changes = []
        for start, name in self.player.cue_changes():
            cls = self.mapping.get(name)
            if not changes or changes[-1][1] != cls:
                changes.append((start, cls))
        return changes or [(0, None)]

    def start(self):
        pass

    def stop(self):
        pass

    cue_over = CuePlayer.cue_over
