"""A cued session recorded through the Cyton emulator with faults injected at chosen trials, and
the check of the stored labels against the cues that were played.

Channel FCz of the emulated board carries the number of the trial being played (TRIAL_STEP
microvolts per trial, set at the start of the break before it), so every stored stretch of
signal tells which trial it came from, whatever the files and the labels say.

    session = FaultySession(hub, speed=10)     # opens the hub's board on a new emulator
    number, trials = session.record({3: "skip", 7: "fail_save", 9: "pull_port"})
    session.resave_kept(trials)                # the samples of failed saves, saved unlabelled
    report = check_session(hub, trials)        # report["mislabelled"], report["lost"], ...
    session.close()

Faults: skip (no electrode enabled), fail_save (the file write fails part-way under a file-size
limit), silent (the board sends nothing for the trial), short (the board falls silent after a
fraction of a second), pull_port (the port vanishes mid-trial; the board is released and opened
again on a new emulator), restart (the recording is started twice), clock_back and
clock_forward (time.time steps 120 s before the save, and stays stepped), second_recorder (another
process tries to open a session on the same base directory mid-trial), full_disk (no file may
grow past one byte during the save: the save fails, the log cannot be rewritten), no_files (no
file can be opened during the save: neither the file nor the label's removal can be written, and
the session stops).
"""

import contextlib
import dataclasses
import os
import subprocess
import sys
import time

import mne
import numpy as np

from corvane.facts import ACTION_LABELS, BOARD_EEG_CHANNELS, ELECTRODES, SAMPLING_RATE
from corvane.standins.cyton_emulator import CytonEmulator
from tests.support.crash_points import no_new_files
from tests.support.testbed import file_size_limit

FAULTS = ("skip", "fail_save", "silent", "short", "pull_port", "restart", "clock_back", "clock_forward",
          "second_recorder", "full_disk")
CLOCK_STEP = 120.0
TRIAL_STEP = 10.0
# A trial's FIF file is larger than this, the annotations file smaller.
FAILING_SIZE = 16 * 1024
# Limits during a failing save, as (context, error expected) per fault.
FAILING_SAVES = {
    "fail_save": (lambda: file_size_limit(FAILING_SIZE), OSError),
    "full_disk": (lambda: file_size_limit(1), OSError),
    "no_files": (no_new_files, RuntimeError),
}
SHORT_SAMPLES = 60


class CueSignal:
    """Emulator signal: FCz carries `trial` * TRIAL_STEP microvolts (within one), the other
    channels independent noise."""

    def __init__(self):
        self.trial = 0

    def __call__(self, first_sample, count):
        rng = np.random.default_rng(first_sample)
        data = rng.normal(0.0, 20.0, (count, BOARD_EEG_CHANNELS))
        data[:, 0] = self.trial * TRIAL_STEP + rng.uniform(-1.0, 1.0, count)
        return data


def second_recorder(hub):
    """Another process opens a CaptureHub on the hub's base directory and tries a session. Returns
    the refusal it printed, after checking that it wrote nothing."""
    def state():
        listing = sorted(os.listdir(hub.raw_dir))
        with open(hub.annotation_file, "rb") as log:
            return listing, log.read()

    before = state()
    env = dict(os.environ, CORVANE_PATH=os.path.dirname(hub.data_dir),
               CORVANE_SERIAL_PORT=os.path.join(hub.data_dir, "no-port"))
    script = ("from capture_hub import CaptureHub\nhub = CaptureHub()\n"
              "try:\n    hub.initialize_session(hub.next_session_number)\nexcept RuntimeError as e:\n"
              "    print('refused:', e)\n")
    out = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=120).stdout
    assert state() == before, "the second recorder wrote into the base directory"
    return next((line for line in out.splitlines() if line.startswith("refused: ")), out)


def trial_numbers(fcz):
    return np.rint(np.asarray(fcz) / TRIAL_STEP).astype(np.int64)


@dataclasses.dataclass
class Trial:
    number: int
    action: str
    fault: str = None
    saved: bool = False
    # The samples a failed save left in current_eeg_data, and the error it raised.
    kept: object = None
    error: str = None


class FaultySession:
    def __init__(self, hub, speed=10.0, trial_samples=5 * SAMPLING_RATE, rest_seconds=3.0, timeout=60.0):
        self.hub = hub
        self.speed = speed
        self.trial_samples = trial_samples
        self.rest = rest_seconds / speed
        self.timeout = timeout
        self.signal = CueSignal()
        self.reopened = 0
        # What each second recorder was told.
        self.refusals = []
        # A context around the next saves (a crash point, say).
        self.crash_point = None
        self._open_board()

    def _open_board(self):
        self.emulator = CytonEmulator(signal=self.signal, speed=self.speed).start()
        if not self.hub.initialize_board(port=self.emulator.port):
            raise RuntimeError("the board did not open on the emulator")

    def close(self):
        self.hub.stop_stream()
        self.emulator.stop()

    def _wait_for(self, samples):
        deadline = time.monotonic() + self.timeout
        while self.hub.board.get_board_data_count() < samples:
            if time.monotonic() > deadline:
                raise RuntimeError(f"the board sent fewer than {samples} samples in {self.timeout} s")
            time.sleep(0.002)

    def record(self, faults, number=None, first=1, count=None):
        """Records `count` trials (all the session hands out when None) numbered from `first` with
        `faults` (trial number -> fault) into session `number` (next_session_number when None);
        returns the number and the trials played. A session stopped by the hub ends the loop."""
        hub = self.hub
        number = hub.next_session_number if number is None else number
        real_time, self.clock_offset, self.stopped = time.time, 0.0, False
        time.time = lambda: real_time() + self.clock_offset
        trials = []
        try:
            hub.initialize_session(number)
            while not self.stopped and (count is None or len(trials) < count) and (task := hub.get_next_task()):
                number_played = first + len(trials)
                trials.append(self._trial(Trial(number_played, task[0], faults.get(number_played))))
            if not self.stopped:
                hub.stop_session()
        finally:
            time.time = real_time
        return number, trials

    def _trial(self, trial):
        hub, fault = self.hub, trial.fault
        self.signal.trial = trial.number
        self.emulator.responsive = fault != "silent"
        time.sleep(self.rest)
        if fault == "skip":
            for name in ELECTRODES:
                hub.set_channel_state(name, False)
        before = set(os.listdir(hub.raw_dir))
        assert hub.start_recording()
        if fault == "restart":
            self._wait_for(SHORT_SAMPLES)
            assert hub.start_recording()
        if fault == "second_recorder":
            self.refusals.append(second_recorder(hub))
        if fault == "silent":
            time.sleep(self.trial_samples / (SAMPLING_RATE * self.speed))
        elif fault == "short":
            self._wait_for(SHORT_SAMPLES)
            self.emulator.responsive = False
            time.sleep(0.05)
        elif fault == "pull_port":
            self._wait_for(self.trial_samples // 2)
            self.emulator.stop()
        else:
            self._wait_for(self.trial_samples)
        if fault in ("clock_back", "clock_forward"):
            self.clock_offset += CLOCK_STEP if fault == "clock_forward" else -CLOCK_STEP
        try:
            if fault in FAILING_SAVES:
                limit, expected = FAILING_SAVES[fault]
                try:
                    with limit():
                        hub.stop_recording()
                except expected as error:
                    trial.kept, trial.error = np.array(hub.current_eeg_data), str(error)
                    self.stopped = fault == "no_files"
                else:
                    raise AssertionError(f"a save under {fault} did not fail")
            else:
                with self.crash_point() if self.crash_point else contextlib.nullcontext():
                    hub.stop_recording()
        finally:
            for name in ELECTRODES:
                hub.set_channel_state(name, True)
            self.emulator.responsive = True
        if fault == "pull_port":
            self._reopen()
        trial.saved = len(set(os.listdir(hub.raw_dir)) - before) == 1
        return trial

    def _reopen(self):
        # The port is gone: stopping fails, yet the board is released and opens on a new port.
        if self.hub.stop_stream() or self.hub.is_streaming or self.hub.board is not None:
            raise AssertionError("stop_stream on a vanished port did not fail and release the board")
        self._open_board()
        self.reopened += 1

    def resave_kept(self, trials):
        """Saves the samples of every failed save into the session, after its labelled trials."""
        for trial in trials:
            if trial.kept is not None:
                self.hub.save_to_fif(trial.kept)


def label_errors(raw, trials, short=True):
    """Checks each annotation of `raw` against the trial whose samples it spans. Returns
    (mislabelled annotations, trial numbers labelled, in order)."""
    played = {trial.number: trial for trial in trials}
    fcz = raw.get_data(picks=["FCz"])[0]
    sfreq = raw.info["sfreq"]
    mislabelled, labelled = 0, []
    for onset, duration, label in zip(raw.annotations.onset, raw.annotations.duration, raw.annotations.description):
        first = int(round(onset * sfreq))
        numbers = set(trial_numbers(fcz[first : first + int(round(duration * sfreq))]).tolist())
        trial = played.get(numbers.pop()) if len(numbers) == 1 else None
        expected = None if trial is None else (ACTION_LABELS[trial.action] if short else trial.action)
        if label != expected:
            mislabelled += 1
        elif trial is not None:
            labelled.append(trial.number)
    return mislabelled, labelled


def stored_trials(hub, session):
    """The trial number of each recording of `session` in raw_dir, in recording order (None for
    a file mixing trials)."""
    names = sorted(n for n in os.listdir(hub.raw_dir) if n.startswith(f"session{session}_"))
    numbers = []
    for name in names:
        raw = mne.io.read_raw_fif(os.path.join(hub.raw_dir, name), preload=True, verbose="error")
        found = set(trial_numbers(raw.get_data(picks=["FCz"])[0]).tolist())
        numbers.append(found.pop() if len(found) == 1 else None)
    return names, numbers


def check_session(hub, session, trials):
    """Combines and analyses the session and checks both against the played trials."""
    hub.current_session_num = session
    names, stored = stored_trials(hub, session)
    saved = [trial.number for trial in trials if trial.saved]
    kept = [trial.number for trial in trials if trial.kept is not None]
    combined = mne.io.read_raw_fif(hub.combine_fif_files(), preload=True, verbose="error")
    mislabelled, labelled = label_errors(combined, trials)
    hub.analyze_session(session)
    analysis_mislabelled, analysis_labelled = label_errors(hub.raw_data, trials, short=False)
    # A recorder killed mid-save loses that trial unless its file was in place.
    with_samples = {trial.number for trial in trials
                    if trial.fault not in ("skip", "silent") and (trial.fault != "killed" or trial.saved)}
    return {
        "trials": len(trials),
        "saved": len(saved),
        "kept": len(kept),
        # Annotations whose label is not the cue of the trial whose samples they span, in the
        # combined file and in the analysis.
        "mislabelled": mislabelled + analysis_mislabelled,
        "unlabelled saved trials": len(set(saved) - set(labelled)) + len(set(saved) - set(analysis_labelled)),
        "out of order": int(labelled != sorted(labelled)),
        # Trials with samples that are neither in a file of their own nor kept for the host.
        "lost": len(with_samples - set(stored) - set(kept)),
        "mixed files": stored.count(None),
        "stray files": len([n for n in os.listdir(hub.raw_dir) if not n.endswith("_raw.fif") or n.startswith(".")]),
        "unlabelled files": len(names) - len(labelled),
    }
