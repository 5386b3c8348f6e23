"""Writes the sample recording that ships under a base directory, made from the simulated subject.

    python -m corvane.standins.make_sample_recording <base dir> [--seed N] [--trials-per-class N] [--force]

Creates <base>/sample_data/annotations.txt (one "session1" block of task lines, as the recorder
logs them) and <base>/sample_data/formatted/S03.fif (the trials one after another, six EEG
channels at the board's rate, one annotation per trial with its short label), the same shapes a recorded and
combined session has, so the sample can be analysed as session 0 and listed as a sample file.
Existing sample files are kept unless --force is given.
"""
import argparse
import os
import random
import warnings

import numpy as np

from corvane.facts import ACTION_LABELS as ACTIONS  # the short label is also the subject's cue
from corvane.facts import ANNOTATIONS_FILE, COMBINED_FILE, SAMPLING_RATE
from corvane.standins.simulated_subject import CHANNELS, SimulatedSubject

SEPARATOR = "_" * 45


def sample_paths(base_dir):
    sample_dir = os.path.join(base_dir, "sample_data")
    return (os.path.join(sample_dir, ANNOTATIONS_FILE),
            os.path.join(sample_dir, "formatted", COMBINED_FILE))


def simulate_session(subject, actions, trial_seconds, rest_seconds=1.0):
    """Runs the subject through `actions`; returns (channels x samples µV, trial lengths)."""
    trial = int(round(trial_seconds * SAMPLING_RATE))
    rest = int(round(rest_seconds * SAMPLING_RATE))
    pieces, position = [], 0
    for action in actions:
        subject.cue = None                  # the pause between trials is not part of the file
        subject(position, rest)
        position += rest
        subject.cue = ACTIONS[action]
        pieces.append(subject(position, trial)[:, :len(CHANNELS)])
        position += trial
    subject.cue = None
    return np.concatenate(pieces).T, [trial] * len(actions)


def write_fif(path, data, labels, lengths):
    import mne

    info = mne.create_info(ch_names=list(CHANNELS), sfreq=SAMPLING_RATE,
                           ch_types=["eeg"] * len(CHANNELS))
    with mne.utils.use_log_level("ERROR"), warnings.catch_warnings():
        warnings.simplefilter("ignore")     # MNE's advice on FIF file naming
        raw = mne.io.RawArray(data, info)
        raw.set_montage(mne.channels.make_standard_montage("standard_1020"))
        starts = np.concatenate([[0], np.cumsum(lengths)[:-1]]) / SAMPLING_RATE
        raw.set_annotations(mne.Annotations(onset=starts, duration=np.array(lengths) / SAMPLING_RATE,
                                            description=labels))
        tmp = path[:-len(".fif")] + ".partial.fif"
        raw.save(tmp, overwrite=True)
    os.replace(tmp, path)


def write_annotations(path, actions):
    tmp = path + ".partial"
    with open(tmp, "w") as f:
        f.write("\nsession1\n")
        f.writelines(action + "\n" for action in actions)
        f.write(SEPARATOR + "\n")
    os.replace(tmp, path)


def make_sample_recording(base_dir, seed=3, trials_per_class=21, trial_seconds=6.0, force=False):
    """Writes both sample files (unless present and not forced); returns their paths."""
    annotations_path, fif_path = sample_paths(base_dir)
    if not force and os.path.exists(annotations_path) and os.path.exists(fif_path):
        return annotations_path, fif_path, False
    if trials_per_class < 2:
        raise ValueError("trials_per_class must be at least 2 (analysis needs two epochs per class)")
    if trial_seconds < 5.0:
        raise ValueError("trial_seconds must be at least 5 (analysis cuts 5-second epochs)")
    os.makedirs(os.path.dirname(fif_path), exist_ok=True)
    actions = [name for name in ACTIONS for _ in range(trials_per_class)]
    random.Random(seed).shuffle(actions)
    data, lengths = simulate_session(SimulatedSubject(seed=seed), actions, trial_seconds)
    write_fif(fif_path, data, [ACTIONS[a] for a in actions], lengths)
    write_annotations(annotations_path, actions)
    return annotations_path, fif_path, True


def main(argv=None):
    parser = argparse.ArgumentParser(description="Write the sample recording under a base directory.")
    parser.add_argument("base_dir")
    parser.add_argument("--seed", type=int, default=3)
    parser.add_argument("--trials-per-class", type=int, default=21)
    parser.add_argument("--trial-seconds", type=float, default=6.0)
    parser.add_argument("--force", action="store_true", help="replace existing sample files")
    args = parser.parse_args(argv)
    annotations_path, fif_path, written = make_sample_recording(
        args.base_dir, args.seed, args.trials_per_class, args.trial_seconds, args.force)
    verb = "Wrote" if written else "Kept existing"
    print(f"{verb} {annotations_path}\n{verb} {fif_path}")


if __name__ == "__main__":
    main()
