"""Combining recorded trials into the labelled recording (data/formatted/S03.fif) training reads:
the session a hub just recorded, or every session under a base directory."""
import collections
from dataclasses import dataclass
from pathlib import Path

from corvane.pipeline.environment import module_environment
from corvane.pipeline.events import PipelineError, module_output


@dataclass
class Combined:
    file: str      # the combined recording
    counts: dict   # trials per class label in it


def combine(hub=None, *, base=None, min_trials_per_class=None, output=None) -> Combined:
    """With `hub`: its current session combined (capture_hub's combine_fif_files). With `base`
    instead: every session recorded under it (combine_all_fif_files, with no board opened).
    With min_trials_per_class, fewer trials of any class (or fewer than two classes) raise
    PipelineError, as does a base without recordings."""
    if (hub is None) == (base is None):
        raise ValueError("combine() takes a hub or a base directory")
    if hub is None:
        raw = Path(base) / "data" / "raw"
        if not any(raw.glob("*_raw.fif")):
            raise PipelineError(f"No recorded trials in {raw}: record a session first.")
        # A port that names nothing under the base: the hub opens no board.
        nowhere = Path(base) / "tmp" / "no-board"
        with module_environment(base=base, serial_port=nowhere), module_output(output):
            import capture_hub
            hub = capture_hub.CaptureHub()
        try:
            with module_output(output):
                file = hub.combine_all_fif_files()
        except ValueError as exc:
            raise PipelineError(f"The recordings could not be combined: {exc}")
    else:
        with module_output(output):
            file = hub.combine_fif_files()
    with module_output(output):
        counts = trial_counts(file)
    if min_trials_per_class is not None:
        check_trials(counts, min_trials_per_class)
    return Combined(str(file), counts)


def trial_counts(recording):
    import mne

    return dict(collections.Counter(mne.read_annotations(str(recording)).description))


def check_trials(counts, minimum):
    if len(counts) < 2 or min(counts.values()) < minimum:
        have = ", ".join(f"{name} {n}" for name, n in sorted(counts.items())) or "none"
        raise PipelineError(f"Too few trials to train: every action needs at least {minimum} "
                            f"and there must be two actions at least (recorded: {have}). Record another session.")
