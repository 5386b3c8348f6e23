import subprocess
import sys
import time

import mne
import numpy as np
import pytest
from brainflow.board_shim import BoardShim

from tests.capture_hub.helpers import command_line_tool
from corvane.demo.console import Console
from corvane.demo.errors import DemoError
from corvane.demo.host import DemoHost, parse_args
from corvane.demo.playback import open_recording
from corvane.facts import BOARD_ID, ELECTRODES, SAMPLING_RATE as FS
from corvane.standins.cyton_emulator import MICROVOLTS_PER_COUNT, CytonEmulator
from corvane.standins.recording_playback import RecordingPlayback
from tests.support.testbed import open_board, write_edf


def write_fif(path, microvolts, names, rate, annotations=(), volts_per_unit=1e-6):
    info = mne.create_info(list(names), rate, "eeg")
    raw = mne.io.RawArray(np.asarray(microvolts) * volts_per_unit, info, verbose="error")
    if annotations:
        onset, duration, description = zip(*annotations)
        raw.set_annotations(mne.Annotations(onset, duration, description))
    raw.save(path, overwrite=True, verbose="error")
    return path


def sines(rate, seconds, count):
    """Channel c: a 3 Hz sine of 20 (c + 1) µV, so each value tells its channel."""
    t = np.arange(int(rate * seconds)) / rate
    return 20.0 * np.arange(1, count + 1)[:, None] * np.sin(2 * np.pi * 3 * t)


@pytest.mark.parametrize("fmt, rate, channels", [
    ("fif", 500, {"EEG FCz": "FCz", "c3": "C3", "Cz-REF": "Cz", "CPz..": "CPz", "EEG C2-A2": "C2", "C4": "C4",
                  "O1": None}),
    ("fif-µV", 250, {e: e for e in ELECTRODES}),   # microvolts stored as they are, as capture_hub saves them
    ("edf", 500, {"EEG O1-REF": None} | {f"EEG {e}-REF": e for e in ELECTRODES}),
    ("bdf", 256, {e: e for e in ELECTRODES[::-1]}),
])
def test_wired_electrodes_are_found_by_name_resampled_and_played_in_microvolts(tmp_path, fmt, rate, channels):
    # The amplitude tells the electrode: the file's channel order is not the board's.
    rank = [ELECTRODES.index(e) if e else 8 for e in channels.values()]
    data = sines(rate, 8, 9)[rank]
    path = str(tmp_path / f"r.{fmt[:3]}")
    if fmt.startswith("fif"):
        write_fif(path, data, channels, rate, volts_per_unit=1.0 if fmt == "fif-µV" else 1e-6)
    else:
        write_edf(path, data, list(channels), rate, bdf=fmt == "bdf")
    played = RecordingPlayback(path)(0, 8 * FS)
    middle = slice(FS, 7 * FS)   # resampling rings a little at the file's edges
    np.testing.assert_allclose(played[middle, :len(ELECTRODES)], sines(FS, 8, 6).T[middle], atol=0.5)
    assert np.abs(played[:, len(ELECTRODES):]).max() < 5   # unwired inputs: a quiet few µV


def test_a_file_lacking_wired_electrodes_or_matching_one_twice_is_refused(tmp_path):
    lacking = write_fif(str(tmp_path / "lacking_raw.fif"), sines(FS, 2, 5), ["FCz", "C3", "Cz", "C2", "O1"], FS)
    with pytest.raises(ValueError, match=r"lacks the wired electrode\(s\) CPz, C4; its channels are FCz, C3"):
        RecordingPlayback(lacking)
    twice = write_fif(str(tmp_path / "twice_raw.fif"), sines(FS, 2, 7), list(ELECTRODES[:5]) + ["C4-REF", "EEG C4"], FS)
    with pytest.raises(ValueError, match=r"more than one channel matches C4 \(C4-REF, EEG C4\)"):
        RecordingPlayback(twice)
    # An exact name wins over a loose one.
    exact = write_fif(str(tmp_path / "exact_raw.fif"), sines(FS, 2, 7), list(ELECTRODES) + ["EEG C4"], FS)
    np.testing.assert_allclose(RecordingPlayback(exact)(0, 10)[:, 5], sines(FS, 2, 6)[5][:10], rtol=1e-6)



def test_cues_follow_what_streams_through_the_board_across_seeks_loops_and_kept_stretches(tmp_path):
    # Inside annotation k every electrode reads 100 (k + 1) µV, elsewhere 0: each streamed
    # sample tells which annotation it was cut from.
    marks = [(1.0, 2.0, "left"), (4.0, 0.0, "right"), (6.0, 1.5, "relax"), (8.0, 1.0, "left")]
    level = np.zeros(10 * FS)
    for k, (onset, duration, _) in enumerate(marks):
        end = onset + duration if duration else marks[k + 1][0]   # an event lasts until the next
        level[int(onset * FS):int(end * FS)] = 100.0 * (k + 1)
    path = write_fif(str(tmp_path / "cues_raw.fif"), np.tile(level, (6, 1)), ELECTRODES, FS, marks)
    playback = RecordingPlayback(path)
    assert [(c.name, c.onset, c.duration) for c in playback.annotations] == [
        ("left", FS, 2 * FS), ("right", 4 * FS, 2 * FS), ("relax", 6 * FS, int(1.5 * FS)), ("left", 8 * FS, FS)]

    with CytonEmulator(signal=playback, speed=20) as emulator:
        board = open_board(emulator.port)
        try:
            board.start_stream()
            time.sleep(0.2)
            cue = playback.play_next("left")           # the first "left", then the other one
            assert (cue.name, cue.onset, cue.duration) == ("left", 1.0, 2.0)
            assert playback.wait_played(5) and playback.play_next(["left"]).onset == 8.0
            playback.wait_played(5)
            while playback.loops < 1:                   # the file runs out and starts over
                time.sleep(0.05)
            playback.play_only([1, 2])                  # then only "right" and "relax", looping
            while playback.loops < 4:
                time.sleep(0.05)
            # The driver reads the pseudo-terminal on a thread of its own, which a busy machine
            # holds back: let it catch up past the kept stretches before the stream stops.
            deadline = time.monotonic() + 30
            while board.get_board_data_count() <= 12 * FS and time.monotonic() < deadline:
                time.sleep(0.05)
            board.stop_stream()
            data = board.get_board_data()
        finally:
            board.release_session()
            del board
    streamed = data[BoardShim.get_eeg_channels(BOARD_ID)[0]]
    assert streamed.size > 12 * FS
    for k, value in enumerate(streamed):
        cue = playback.cue_at(k)
        expected = 0 if cue is None else 100.0 * (cue.index + 1)
        assert abs(value - expected) < MICROVOLTS_PER_COUNT, (k, value, cue)
    # The stretches play_only keeps are played back to back: no gap between them any more.
    assert [name for _, name in playback.cue_changes()][-4:] in (["right", "relax"] * 2, ["relax", "right"] * 2)
    assert playback.cue_at(streamed.size + 10 ** 6) is None   # not streamed yet


def test_the_emulator_command_line_streams_a_recording_or_refuses_it(tmp_path):
    good = write_fif(str(tmp_path / "good_raw.fif"), sines(FS, 20, 6), ELECTRODES, FS)
    with command_line_tool("corvane.standins.cyton_emulator", "--recording", good, "--speed", "4") as (port, _):
        board = open_board(port)
        try:
            board.start_stream()
            while board.get_board_data_count() < FS:
                time.sleep(0.05)
            data = board.get_board_data()[BoardShim.get_eeg_channels(BOARD_ID)[:len(ELECTRODES)]]
        finally:
            board.release_session()
            del board
    np.testing.assert_allclose(data, sines(FS, 20, 6)[:, :data.shape[1]], atol=MICROVOLTS_PER_COUNT)
    lacking = write_fif(str(tmp_path / "lacking_raw.fif"), sines(FS, 2, 2), ["C3", "C4"], FS)
    refused = subprocess.run([sys.executable, "-m", "corvane.standins.cyton_emulator", "--recording", lacking],
                             capture_output=True, text=True, timeout=120)
    assert refused.returncode == 2 and "lacks the wired electrode(s) FCz, Cz, CPz, C2" in refused.stderr


def host_for(tmp_path, *args):
    console = Console(tmp_path / "demo.log")
    return DemoHost(parse_args(["--base", str(tmp_path), "--no-browser", *args]), console)


def test_the_demo_refuses_a_recording_it_cannot_label_or_fill(tmp_path):
    marks = [(7.0 * k, 6.0, name) for k, name in enumerate(["T1", "T2"] * 6 + ["T0"])]
    path = write_fif(str(tmp_path / "t_raw.fif"), sines(FS, 7 * len(marks), 6), ELECTRODES, FS, marks)
    cases = [
        ([], "annotations of at least two classes are needed, found none"),
        (["--classes", "T1=left,T9=right"], "has no annotation named T9; its annotations are named T0, T1, T2"),
        (["--classes", "T1=left,T2=left"], "at least two classes are needed, found left"),
        (["--classes", "T1=left,T2=right", "--trials-per-class", "7"], "too few trials for 7 per class: left 6, right 6"),
        (["--classes", "T1=left,T0=relax,T2=right"], "too few trials for 5 per class: relax 1"),
    ]
    for args, message in cases:
        with pytest.raises(DemoError, match=message):
            open_recording(host_for(tmp_path, "--recording", path, *args))
    host = host_for(tmp_path, "--recording", path, "--classes", "T2=right, T1=left")
    open_recording(host)
    assert host.playback.classes == ["left", "right"] and host.playback.trials == 6
    for bad in ("T1", "T1=up", "=left"):
        with pytest.raises(SystemExit):
            parse_args(["--recording", path, "--classes", bad])


@pytest.mark.slow
def test_demo_records_trains_and_decodes_a_played_recording_with_its_classes_mapped(tmp_path):
    import json

    from tests.demo.test_demo_host import demo
    from corvane.standins.make_sample_recording import make_sample_recording

    # The demo's own kind of recording, five trials per class, with two classes renamed and two
    # left unmapped (so not cued).
    source = make_sample_recording(str(tmp_path / "source"), trials_per_class=5)[1]
    raw = mne.io.read_raw_fif(source, preload=True, verbose="error")
    raw.annotations.rename({"left": "T1", "right": "T2"})
    path = str(tmp_path / "renamed_raw.fif")
    raw.save(path, verbose="error")
    proc = demo(tmp_path / "base", "--recording", path, "--classes", "T1=left,T2=right,relax=relax",
                "--port", "0", "--no-browser", "--steps", "1000", "--windows", "4",
                "--record-speed", "20", "--live-speed", "4")
    out, _ = proc.communicate(timeout=900)
    assert proc.returncode == 0, out[-4000:]
    report = json.loads((tmp_path / "base" / "report.json").read_text())
    assert report["classes"] == ["left", "right", "relax"] and report["trials"] == 15
    assert report["live_windows"] == 4 and report["played_recording"]["live_replays_recorded"]
    # Every recorded trial is a stretch the file labels with the trial's class.
    names = {"left": "T1", "right": "T2", "relax": "relax"}
    recorded = mne.io.read_raw_fif(report["combined_file"], verbose="error")
    source_data, marks = raw.get_data(), raw.annotations
    for onset, label in zip(recorded.annotations.onset, recorded.annotations.description):
        trial = recorded.get_data(start=int(onset * FS), stop=int(onset * FS) + 4 * FS)[1]
        best = max(np.corrcoef(trial, source_data[1, int(o * FS) + lag:int(o * FS) + lag + 4 * FS])[0, 1]
                   for o, name in zip(marks.onset, marks.description) if name == names[label]
                   for lag in range(0, FS // 2))
        assert best > 0.99, (onset, label, best)


def edf_claiming(path, **fields):
    """A 4 s EDF of the wired electrodes whose header then claims other values: records (their
    count), seconds (each record's) or samples (each channel's per record)."""
    write_edf(path, sines(FS, 4, 6), ELECTRODES, FS)
    where = {"records": [236], "seconds": [244], "samples": [256 + 216 * 6 + 8 * c for c in range(6)]}
    with open(path, "r+b") as f:
        for name, value in fields.items():
            for offset in where[name]:
                f.seek(offset)
                f.write(str(value).ljust(8).encode())
    return path


def fif_with(units, *spots):
    """A 4 s FIF of sines (in volts, or microvolts as they are) with (electrode, sample, µV) set."""
    def write(path):
        data = sines(FS, 4, 6)
        for electrode, sample, value, _ in spots:
            data[electrode, sample] = value
        return write_fif(path, data, ELECTRODES, FS, volts_per_unit=1.0 if units == "µV" else 1e-6)
    return write, spots


PLAYBACK_FILES = [   # (file, (how it is written, [(electrode, sample, µV written, µV played)]) or the refusal)
    ("nan_µV_raw.fif", fif_with("µV", (2, 100, np.nan, 0.0))),
    ("outlier_V_raw.fif", fif_with("V", (2, 100, 1.5e6, 1.5e6), (3, 200, np.nan, 0.0))),
    ("long_records.edf", (lambda p: edf_claiming(p, seconds=100000), r"long_records.edf: its header claims a "
                          r"sampling rate of 0.0025 Hz")),
    ("huge_records.edf", (lambda p: edf_claiming(p, samples=10**7), r"huge_records.edf: its header claims a "
                          r"sampling rate of 1e\+07 Hz")),
    ("long_records_at_250_Hz.edf", (lambda p: edf_claiming(p, seconds=100000, samples=25 * 10**6),
                                    r"long_records_at_250_Hz.edf holds no samples \(not one whole record")),
]


@pytest.mark.parametrize("name, case", PLAYBACK_FILES, ids=[name for name, _ in PLAYBACK_FILES])
def test_stray_values_do_not_sway_the_unit_and_lying_headers_are_refused_before_loading(tmp_path, name, case):
    write, expected = case
    path = write(str(tmp_path / name))
    if isinstance(expected, str):
        with pytest.raises(ValueError, match=expected):
            RecordingPlayback(path)
        return
    played = RecordingPlayback(path)(0, 4 * FS)[:, :len(ELECTRODES)]
    wanted = sines(FS, 4, 6).T
    for electrode, sample, _, value in expected:
        wanted[sample, electrode] = value
    np.testing.assert_allclose(played, wanted, rtol=1e-5, atol=1e-3)


def test_thousands_of_point_annotations_each_last_until_the_next(tmp_path):
    onsets = np.arange(2000) * 0.1
    path = write_fif(str(tmp_path / "events_raw.fif"), np.zeros((6, 201 * FS)), ELECTRODES, FS,
                     list(zip(onsets, [0.0] * len(onsets), ["left", "right"] * 1000)))
    cues = RecordingPlayback(path).annotations
    assert [(c.name, c.onset, c.duration) for c in cues] == [
        (("left", "right")[k % 2], k * FS // 10, FS // 10 if k < 1999 else FS + FS // 10) for k in range(2000)]
