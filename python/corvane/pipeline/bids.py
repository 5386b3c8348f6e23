"""Recorded sessions written as a BIDS EEG dataset through mne-bids.

    exported = export_bids(base, "my_dataset", subject="01", task="motorimagery")

Each recorded session (its trial files in data/raw, their labels in the annotations log) becomes
one BIDS recording: the trials joined back to back, in recording order, each an event that spans
it and is named by its label (the class label a combined recording gives it). By default a session
keeps its number as the BIDS session ("ses-3"); with `session_label`, every exported session goes
into that BIDS session, numbered as runs from `run` (or 1). mne-bids writes the channel table (EEG,
µV), the events, the sidecars, dataset_description.json and the participants table.

The raw format is BrainVision: it stores the samples as 32-bit floats in µV, as precise as the
trial files themselves (32-bit floats), where EDF would round them to 16-bit integers. mne-bids
writes it through pybv.

Every session is read and checked before anything is written: a missing or unreadable trial file,
or trial files and log labels that do not pair up, raise PipelineError naming the session. The
dataset is written in a staging folder beside `bids_root` (a copy of the dataset already there, so
its other subjects and sessions stay) and moved into place only once every session is written;
a failure removes the staging folder and leaves `bids_root` as it was.
"""
import contextlib
import datetime
import os
import secrets
import shutil
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

from corvane.facts import CLASS_ORDER, class_label
from corvane.pipeline.environment import module_environment
from corvane.pipeline.events import PipelineError, Reporter, first_line, module_output

DEFAULT_SUBJECT = "01"
DEFAULT_TASK = "motorimagery"
DATASET_NAME = "Corvane recordings"
RAW_FORMAT = "BrainVision"
SIDECAR = {"Manufacturer": "n/a"}
# capture_hub saves BrainFlow's samples, microvolts, as the trial file's values (MNE calls them volts).
VOLTS_PER_STORED_UNIT = 1e-6


@dataclass
class ExportedSession:
    session: int             # the session's number under the base directory
    file: str                # its BIDS raw file (the .vhdr)
    counts: dict = field(default_factory=dict)   # trials per label


@dataclass
class BidsExport:
    root: str
    sessions: list


def export_bids(base, bids_root, *, sessions=None, subject=DEFAULT_SUBJECT, task=DEFAULT_TASK,
                session_label=None, run=None, line_freq=None, overwrite=False, progress=None,
                output=None) -> BidsExport:
    """Writes the sessions recorded under `base` (all by default, else the numbers in `sessions`)
    into the BIDS dataset at `bids_root`. Progress: stage "export", two steps a session (read and
    checked, then written). A recording already in the dataset is refused unless `overwrite`."""
    import mne_bids

    report = Reporter(progress, "export")
    root = Path(bids_root).absolute()
    if root.exists() and not (root / "dataset_description.json").is_file() and (root.is_file() or any(root.iterdir())):
        raise PipelineError(f"{root} is not a BIDS dataset (it has no dataset_description.json): "
                            "export into a new folder or into a dataset.")
    recorded = recorded_sessions(base, None if sessions is None else [int(n) for n in sessions], output)
    numbers = sorted(recorded) if sessions is None else [int(n) for n in sessions]
    if not numbers:
        raise PipelineError(f"No recorded sessions under {base}: record a session first.")
    for number in numbers:
        if number not in recorded:
            raise PipelineError(f"Session {number} was not recorded under {base} "
                                f"(recorded: {', '.join(map(str, sorted(recorded))) or 'none'}).")
    steps = 2 * len(numbers)   # each session read and checked, then written
    raws = {}
    for done, number in enumerate(numbers):
        report(done, steps, f"reading session {number} ({len(recorded[number][0])} trial files)")
        raws[number] = session_recording(number, *recorded[number])
        if line_freq is not None:
            raws[number].info["line_freq"] = line_freq
    paths = bids_paths(numbers, root, subject, task, session_label, run)
    for number, path in paths.items():
        if path.fpath.exists() and not overwrite:
            raise PipelineError(f"Session {number}: {path.fpath.relative_to(root)} is already in {root} "
                                "(--overwrite replaces it; or choose another subject, session or run).")
    event_id = event_ids(raws.values())

    root.parent.mkdir(parents=True, exist_ok=True)
    staging = root.with_name(f".{root.name}.{secrets.token_hex(4)}.staging")
    staging.mkdir()   # with the folder mode a new dataset should have (mkdtemp's is private)
    exported = []
    try:
        if root.exists():   # the dataset there, which the new recordings join
            shutil.copytree(root, staging, dirs_exist_ok=True)
        if not (staging / "dataset_description.json").exists():
            with module_output(output):
                mne_bids.make_dataset_description(path=staging, name=DATASET_NAME, dataset_type="raw", verbose="error")
        for done, number in enumerate(numbers):
            report(len(numbers) + done, steps, f"writing session {number} ({len(raws[number].annotations)} trials)")
            try:
                with module_output(output):
                    staged = paths[number].copy().update(root=staging)
                    mne_bids.write_raw_bids(raws[number], staged, event_id=event_id, format=RAW_FORMAT,
                                            allow_preload=True, overwrite=overwrite, verbose="error")
                    # mne-bids names the format's maker; the amplifier that recorded is not known here.
                    mne_bids.update_sidecar_json(staged.copy().update(extension=".json"), SIDECAR, verbose="error")
            except Exception as exc:
                raise PipelineError(f"Session {number} could not be written to {root}: {first_line(exc)}") from exc
            labels, counts = np.unique(raws[number].annotations.description, return_counts=True)
            exported.append(ExportedSession(number, str(paths[number].fpath), dict(zip(map(str, labels), map(int, counts)))))
        move_into_place(staging, root)
    except BaseException as exc:
        shutil.rmtree(staging, ignore_errors=True)
        if isinstance(exc, OSError):   # copying the dataset there, or moving the new one in
            raise PipelineError(f"The export to {root} failed, nothing was changed: {first_line(exc)}") from exc
        raise
    report(steps, steps, f"wrote {len(numbers)} session(s) to {root} in {report.seconds:.0f} s")
    return BidsExport(str(root), exported)


def event_ids(raws):
    """{label: event value}: the classes in their usual order, then any other label by name."""
    labels = {label for raw in raws for label in raw.annotations.description}
    known = [label for label in CLASS_ORDER if label in labels]
    return {label: k + 1 for k, label in enumerate(known + sorted(labels - set(known)))}


def move_into_place(staging, root):
    """Puts the staged dataset at `root`: the one there before is set aside, then removed."""
    if not root.exists():
        os.rename(staging, root)
        return
    aside = root.with_name(f".{root.name}.{secrets.token_hex(4)}.replaced")
    aside.mkdir()
    os.rename(root, aside / root.name)
    try:
        os.rename(staging, root)
    except BaseException:
        os.rename(aside / root.name, root)
        raise
    shutil.rmtree(aside, ignore_errors=True)


def bids_paths(numbers, root, subject, task, session_label, run):
    """The BIDSPath of each session: its own number as session, or `session_label` with runs."""
    import mne_bids

    paths = {}
    for k, number in enumerate(numbers):
        shared = session_label is not None
        label = str(session_label) if shared else str(number)
        run_number = (run or 1) + k if shared and (len(numbers) > 1 or run is not None) else run
        try:
            paths[number] = mne_bids.BIDSPath(subject=str(subject), session=label, task=str(task), run=run_number,
                                              datatype="eeg", suffix="eeg", extension=".vhdr", root=root)
        except ValueError as exc:
            raise PipelineError(f"No BIDS name for session {number}: {first_line(exc)}") from exc
    if len({path.basename for path in paths.values()}) < len(paths):
        raise PipelineError("Several sessions would be written to the same BIDS recording: "
                            "give each its own session (the default) or run.")
    return paths


def recorded_sessions(base, numbers=None, output=None):
    """{session number: (its trial files in recording order, its log labels)} of every session
    with trial files, and of those in `numbers` that have labels."""
    raw_dir = Path(base) / "data" / "raw"
    if not raw_dir.is_dir():
        return {}
    files = {}
    for path in raw_dir.glob("session*_*_raw.fif"):
        head = path.name.split("_")[0][len("session"):]
        if head.isdecimal():
            files.setdefault(int(head), []).append(path)
    # A port that names nothing under the base: the hub opens no board, only reads the log.
    nowhere = Path(base) / "tmp" / "no-board"
    with module_environment(base=base, serial_port=nowhere), module_output(output):
        import capture_hub
        hub = capture_hub.CaptureHub()
        numbers = set(files) | set(numbers or ())
        labels = {n: [class_label(line) for line in hub._read_annotations_file(n)] for n in numbers}
    return {n: (sorted(files.get(n, []), key=recording_order), labels[n])
            for n in sorted(numbers) if files.get(n) or labels[n]}


def recording_order(path):
    """Trials in the order capture_hub combines them: by the second in their name, then by name."""
    parts = path.name.split("_")
    numbered = len(parts) > 1 and parts[1].isdigit()
    return (not numbered, int(parts[1]) if numbered else 0, path.name)


def session_recording(number, files, labels):
    """The session's trials joined into one Raw (in volts), each annotated with its label."""
    import mne

    def refuse(why):
        return PipelineError(f"Session {number} cannot be exported: {why}.")

    if len(labels) > len(files):
        raise refuse(f"{len(labels) - len(files)} of its {len(labels)} labelled trials are missing "
                     f"(the annotations log labels {len(labels)}, {len(files)} trial files are left)")
    if not labels:
        raise refuse(f"the annotations log has no labels for its {len(files)} trial files (an interrupted deletion "
                     "leaves such files; deleting the session removes them)")
    if len(files) > len(labels):
        raise refuse(f"its {len(files)} trial files do not match the {len(labels)} labels the annotations log "
                     "has for it")
    trials = []
    for path in files:
        try:
            raw = mne.io.read_raw_fif(path, preload=True, verbose="error")
        except Exception as exc:
            raise refuse(f"trial file {path.name} cannot be read ({first_line(exc)})") from exc
        if trials and (raw.ch_names != trials[0].ch_names or raw.info["sfreq"] != trials[0].info["sfreq"]):
            raise refuse(f"trial file {path.name} has channels {', '.join(raw.ch_names)} at {raw.info['sfreq']:g} Hz, "
                         f"unlike {files[0].name}")
        trials.append(raw)
    first = trials[0]
    data = np.concatenate([raw.get_data() for raw in trials], axis=1) * VOLTS_PER_STORED_UNIT
    joined = mne.io.RawArray(data, mne.create_info(first.ch_names, first.info["sfreq"], "eeg"), verbose="error")
    with contextlib.suppress(ValueError):   # electrodes not in the standard layout keep no position
        joined.set_montage(first.get_montage(), on_missing="ignore", verbose="error")
    seconds = recording_order(files[0])[1]
    if seconds:   # when the first trial was recorded, from its name
        joined.set_meas_date(datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc))
    lengths = [raw.n_times for raw in trials]
    onsets = np.concatenate([[0], np.cumsum(lengths)[:-1]]) / first.info["sfreq"]
    joined.set_annotations(mne.Annotations(onsets, np.asarray(lengths) / first.info["sfreq"], labels,
                                           orig_time=joined.info["meas_date"]))
    return joined
