"""Finding and reading a recording kept in a BIDS dataset, for playback.

A recording to play is named one of three ways:
- a plain EEG file (FIF, EDF, BDF, GDF, ...): read with mne.io.read_raw;
- a file inside a BIDS dataset (a BIDS name such as sub-01_ses-1_task-motorimagery_eeg.vhdr under a
  folder holding dataset_description.json): read with mne_bids.read_raw_bids, so its events and
  channel table are the BIDS sidecars';
- a BIDS dataset's root folder with entities (subject, session, task, run, each optional): the one
  EEG recording that matches them, read the same way. None or several matching is refused with a
  ValueError listing the recordings there.

On a command line: `--recording ROOT --bids-subject 01 --bids-session 1 [--bids-task T] [--bids-run 2]`
(add_bids_options, recording_source).
"""
from pathlib import Path

ENTITIES = ("subject", "session", "task", "run")
DESCRIPTION_FILE = "dataset_description.json"
# The raw files BIDS EEG keeps (EDF, BrainVision's header, EEGLAB, BDF).
RAW_EXTENSIONS = [".edf", ".vhdr", ".set", ".bdf"]


def add_bids_options(parser):
    """The --bids-ENTITY options that pick a recording in a BIDS root given as --recording."""
    group = parser.add_argument_group("a recording in a BIDS dataset (--recording names its root folder)")
    for entity in ENTITIES:
        group.add_argument(f"--bids-{entity}", metavar=entity.upper(),
                           help=f"the recording's {entity} label (default: any, when only one recording matches)")


def bids_entities(options):
    """{entity: label} of the --bids-ENTITY options given."""
    return {entity: value for entity in ENTITIES if (value := getattr(options, f"bids_{entity}", None)) is not None}


def recording_source(recording, **entities):
    """What RecordingPlayback is given: a BIDSPath for a BIDS root or a file inside a dataset, else
    the path as it is. Entities given with a plain file (not a BIDS root) are refused."""
    path = Path(recording)
    if path.is_dir():
        return find_recording(path, **entities)
    bids_path = bids_path_of(path)
    if entities:
        if bids_path is None:
            raise ValueError(f"{recording} is not a BIDS dataset's root folder, which the BIDS entities "
                             f"({', '.join(entities)}) pick a recording in")
        raise ValueError(f"{recording} is already one recording: the BIDS entities pick one in a root folder")
    return bids_path or recording


def dataset_root(path):
    """The BIDS dataset holding `path` (the nearest folder above it with dataset_description.json)."""
    for folder in Path(path).absolute().parents:
        if (folder / DESCRIPTION_FILE).is_file():
            return folder
    return None


def bids_path_of(path):
    """The BIDSPath of a raw EEG file inside a BIDS dataset, or None for any other file."""
    import mne_bids

    root = dataset_root(path)
    if root is None or not Path(path).name.startswith("sub-"):
        return None
    try:
        found = mne_bids.get_bids_path_from_fname(path, verbose="error")
    except (ValueError, RuntimeError):
        return None
    if found.suffix != "eeg":
        return None
    # BrainVision's data and marker files stand for their header.
    return found.update(root=root, extension=".vhdr" if found.extension in (".eeg", ".vmrk") else found.extension)


def find_recording(root, **entities):
    """The BIDSPath of the one EEG recording in the BIDS dataset at `root` matching `entities`."""
    import mne_bids

    if not (Path(root) / DESCRIPTION_FILE).is_file():
        raise ValueError(f"{root} is a folder but not a BIDS dataset's root (it has no {DESCRIPTION_FILE})")
    wanted = {f"{entity}s": entities[entity] for entity in ENTITIES if entity in entities}
    everything = mne_bids.find_matching_paths(root, datatypes="eeg", suffixes="eeg", extensions=RAW_EXTENSIONS)
    matching = [p for p in everything
                if all(str(getattr(p, key[:-1])) == str(value) for key, value in wanted.items())]
    if len(matching) == 1:
        return matching[0]
    listed = ", ".join(p.basename for p in everything) or "none"
    which = ", ".join(f"{entity} {entities[entity]}" for entity in ENTITIES if entity in entities) or "no entities"
    if not matching:
        raise ValueError(f"no EEG recording in {root} matches {which}; its recordings: {listed}")
    raise ValueError(f"{len(matching)} EEG recordings in {root} match {which}; pick one with the entities "
                     f"subject, session, task and run: {listed}")


def read_raw(source):
    """The mne Raw (not loaded) of a BIDSPath or of a path as recording_source takes it."""
    import mne
    import mne_bids

    if not isinstance(source, mne_bids.BIDSPath):
        source = recording_source(source)
    if isinstance(source, mne_bids.BIDSPath):
        return mne_bids.read_raw_bids(source, verbose="error")
    return mne.io.read_raw(source, preload=False, verbose="error")
