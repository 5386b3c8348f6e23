"""Combining recorded trials into the labelled recording (data/formatted/S03.fif) training reads:
the session a hub just recorded, or every session (or the sessions chosen) under a base directory.
A session can also be combined into a file of its own, data/formatted/session<N>_combined.fif (the
name capture_hub's analysis reads and delete_session removes), which leaves S03.fif untouched."""
import collections
import os
import re
import warnings
from dataclasses import dataclass
from pathlib import Path

from corvane.facts import COMBINED_FILE
from corvane.pipeline.environment import module_environment
from corvane.pipeline.events import PipelineError, module_output

SESSION_FILE = "session{}_combined.fif"
RAW_NAME = re.compile(r"session(\d+)_.*_raw\.fif$")
BOUNDARIES = ("BAD boundary", "EDGE boundary")   # what MNE marks where recordings were joined


@dataclass
class Combined:
    file: str      # the combined recording
    counts: dict   # trials per class label in it


def combine(hub=None, *, base=None, sessions=None, min_trials_per_class=None, output=None) -> Combined:
    """With `hub`: its current session combined (capture_hub's combine_fif_files). With `base`
    instead: every session recorded under it (combine_all_fif_files, with no board opened), or
    only the session numbers in `sessions`, in that order of their numbers.
    With min_trials_per_class, fewer trials of any class (or fewer than two classes) raise
    PipelineError, as does a base without recordings."""
    if (hub is None) == (base is None):
        raise ValueError("combine() takes a hub or a base directory")
    if hub is None:
        raw = Path(base) / "data" / "raw"
        if not any(raw.glob("*_raw.fif")):
            raise PipelineError("No recorded trials yet: record a session first.", f"nothing recorded in {raw}")
        hub = boardless_hub(base, output)
        try:
            with module_output(output):
                if sessions is None:
                    file = hub.combine_all_fif_files()
                else:
                    file = _combine_chosen(hub, sorted({int(s) for s in sessions}), base, output)
        except ValueError as exc:
            raise PipelineError("The recordings could not be combined.", str(exc)) from None
    else:
        with module_output(output):
            file = hub.combine_fif_files()
    with module_output(output):
        counts = trial_counts(file)
    if min_trials_per_class is not None:
        check_trials(counts, min_trials_per_class)
    return Combined(str(file), counts)


def combine_session(hub, *, subject=None, output=None) -> Combined:
    """The hub's current session combined into its own file, session<N>_combined.fif beside
    S03.fif, which stays as it was; `subject` (a name) goes in the file's subject_info his_id."""
    session, formatted = int(hub.current_session_num), Path(str(hub.formatted_dir))
    scratch = formatted.parent.parent / "tmp" / "combining"
    scratch.mkdir(parents=True, exist_ok=True)
    hub.formatted_dir = str(scratch)   # combine_fif_files writes S03.fif there instead
    try:
        with module_output(output):
            made = hub.combine_fif_files()
    finally:
        hub.formatted_dir = str(formatted)
    target = formatted / SESSION_FILE.format(session)
    _save(_read(made), target, subject)
    Path(str(made)).unlink(missing_ok=True)
    with module_output(output):
        counts = trial_counts(target)
    return Combined(str(target), counts)


def recorded_sessions(base):
    """[{"session", "trials", "subject"}] of every session with trials under `base`, by number;
    the subject is the one its own combined file names (None when none does)."""
    counts = collections.Counter()
    raw = Path(base) / "data" / "raw"
    for path in raw.glob("session*_raw.fif"):
        match = RAW_NAME.match(path.name)
        if match:
            counts[int(match.group(1))] += 1
    return [{"session": n, "trials": counts[n], "subject": session_subject(base, n)} for n in sorted(counts)]


def session_subject(base, session):
    path = Path(base) / "data" / "formatted" / SESSION_FILE.format(session)
    if not path.is_file():
        return None
    import mne

    try:
        info = mne.io.read_info(str(path), verbose="error")
    except Exception:   # an unreadable file names no one
        return None
    return (info.get("subject_info") or {}).get("his_id")


def boardless_hub(base, output=None):
    # A port that names nothing under the base: the hub opens no board.
    nowhere = Path(base) / "tmp" / "no-board"
    with module_environment(base=base, serial_port=nowhere), module_output(output):
        import capture_hub
        return capture_hub.CaptureHub()


def _combine_chosen(hub, sessions, base, output):
    """The chosen sessions, each combined by capture_hub as its current one, joined in order into
    S03.fif; their subject goes in its his_id when they all name the same one."""
    import mne

    if not sessions:
        raise ValueError("no session was chosen.")
    formatted = Path(str(hub.formatted_dir))
    scratch = Path(base) / "tmp" / "combining"
    scratch.mkdir(parents=True, exist_ok=True)
    hub.formatted_dir = str(scratch)
    parts = []
    try:
        for session in sessions:
            hub.current_session_num = session
            try:
                parts.append(_read(hub.combine_fif_files()))
            except ValueError as exc:
                raise ValueError(f"session {session}: {exc}") from None
    finally:
        hub.formatted_dir, hub.current_session_num = str(formatted), None
    raw = mne.concatenate_raws(parts, verbose="error")
    keep = [k for k, d in enumerate(raw.annotations.description) if d not in BOUNDARIES]
    raw.set_annotations(raw.annotations[keep])
    subjects = {session_subject(base, s) for s in sessions}
    target = formatted / COMBINED_FILE
    _save(raw, target, subjects.pop() if len(subjects) == 1 else None)
    print(f"Saved combined file of sessions {', '.join(map(str, sessions))} to {target}")
    return str(target)


def _read(path):
    import mne

    return mne.io.read_raw_fif(str(path), preload=True, verbose="error")


def _save(raw, target, subject):
    """`raw` saved as `target` through a temporary file beside it (no half-written file is left)."""
    if subject:
        raw.info["subject_info"] = {**(raw.info.get("subject_info") or {}), "his_id": str(subject)}
    temporary = target.with_name(f".{target.stem}.saving_raw.fif")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")   # MNE's file-name conventions: S03.fif is the trainer's name
        raw.save(str(temporary), overwrite=True, verbose="error")
    os.replace(temporary, target)


def trial_counts(recording):
    import mne

    return dict(collections.Counter(mne.read_annotations(str(recording)).description))


def check_trials(counts, minimum):
    if len(counts) < 2 or min(counts.values()) < minimum:
        have = ", ".join(f"{name} {n}" for name, n in sorted(counts.items())) or "none"
        raise PipelineError(f"Too few trials to train: every action needs at least {minimum} "
                            f"and there must be two actions at least (recorded: {have}). Record another session.")
