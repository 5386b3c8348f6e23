import importlib.util
import json
import os
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

import pytest

from corvane.demo.console import Console
from corvane.demo.host import DemoHost, parse_args
from corvane.demo.services import start_browser
from corvane.facts import AGENT_ARCHIVE_FILE, CLASS_ORDER, FILTERS_FILE, SCALER_FILE
from corvane.standins.movement_simulator import MovementSimulator

REPO = Path(__file__).resolve().parents[2]
MODULES = ("capture_hub", "policy_forge", "live_pilot")
have_hub = importlib.util.find_spec("capture_hub") is not None
have_modules = all(importlib.util.find_spec(m) is not None for m in MODULES)


def demo(base, *args, env=None, cwd=REPO):
    env = dict(env or os.environ)   # the installed package, from any folder
    env.pop("CORVANE_SERIAL_PORT", None)   # set, it names a real board to record from
    return subprocess.Popen([sys.executable, "-m", "corvane.demo", "--base", str(base), *args],
                            cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=env)


def test_module_output_goes_to_the_log_and_key_lines_to_the_terminal(tmp_path, capsys):
    console = Console(tmp_path / "demo.log")
    heard = []
    before = os.fstat(2)
    with console.capture(lambda line, when: heard.append(line)):
        print("Board initialized successfully")
        print("Writing /x/y_raw.fif", end="")
        print(" ... done")
        os.write(2, b"native library chatter\n")   # what TensorFlow or a driver writes
    after = os.fstat(2)
    console.say("own line")
    console.close()
    terminal = capsys.readouterr().out
    log = (tmp_path / "demo.log").read_text()
    assert heard == ["Board initialized successfully", "Writing /x/y_raw.fif ... done"]
    assert "native library chatter" in log and "Writing /x/y_raw.fif ... done" in log
    assert terminal == "    | Board initialized successfully\nown line\n"
    assert (before.st_ino, before.st_dev) == (after.st_ino, after.st_dev)   # stderr restored


def test_port_in_use_is_reported_before_anything_starts(tmp_path):
    with socket.socket() as busy:
        busy.bind(("127.0.0.1", 0))
        busy.listen()
        port = busy.getsockname()[1]
        proc = demo(tmp_path, "--port", str(port), "--no-browser")
        out, _ = proc.communicate(timeout=120)
    assert proc.returncode == 2, out
    assert f"Port {port} on 127.0.0.1 is in use" in out
    assert not (tmp_path / "data").exists()


def test_missing_browser_is_reported(tmp_path):
    env = dict(os.environ, PATH=str(tmp_path))   # no chromium anywhere on PATH
    proc = demo(tmp_path / "base", env=env)
    out, _ = proc.communicate(timeout=120)
    assert proc.returncode == 2
    assert "Chromium was not found" in out and "--no-browser" in out
    assert not (tmp_path / "base").exists()


def test_a_browser_that_cannot_start_is_skipped_in_one_line(tmp_path, monkeypatch, capsys):
    fake = tmp_path / "bin" / "chromium"
    fake.parent.mkdir()
    fake.write_text("#!/bin/sh\nexit 1\n")
    fake.chmod(0o755)
    monkeypatch.setenv("PATH", f"{fake.parent}{os.pathsep}{os.environ['PATH']}")
    console = Console(tmp_path / "demo.log")
    host = DemoHost(parse_args(["--base", str(tmp_path)]), console)
    with MovementSimulator(port=0) as host.simulator:
        assert start_browser(host) is None
    console.close()
    out = capsys.readouterr().out.splitlines()
    assert len(out) == 1 and out[0].startswith("Browser: headless Chromium did not start ("), out
    assert host.report["page_screenshot_skipped"].startswith("the browser did not start: ")


@pytest.mark.slow
@pytest.mark.skipif(not have_hub, reason="needs the built capture_hub module")
def test_interrupt_stops_everything_and_releases_the_board(tmp_path):
    proc = demo(tmp_path, "--port", "0", "--no-browser", "--record-speed", "1")
    lines = []
    deadline = time.monotonic() + 180
    for line in proc.stdout:
        lines.append(line)
        if "Board initialized successfully" in line:
            break
        assert time.monotonic() < deadline, "".join(lines)
    time.sleep(1.0)
    proc.send_signal(signal.SIGINT)
    out = "".join(lines) + proc.communicate(timeout=60)[0]
    assert proc.returncode == 130, out
    assert "Interrupted." in out and "Board streaming stopped" in out
    assert "\"S\" was sent to the simulator" in out
    log = (tmp_path / "demo.log").read_text()
    assert "clean-up step" not in log, log[-2000:]


@pytest.mark.slow
@pytest.mark.skipif(not have_modules, reason="needs the built modules")
def test_shortened_demo_runs_end_to_end_from_a_deeply_nested_folder(tmp_path):
    # Chromium once aborted when its profile lay under a path of 40 characters or more.
    base = tmp_path / "a-folder-nested-quite-deeply" / "inside-another-one-with-a-long-name" / "demo_output"
    base.mkdir(parents=True)
    assert len(str(base)) >= 100
    args = ["--port", "0", "--trials-per-class", "5", "--steps", "1500", "--windows", "6", "--splits", "2",
            "--record-speed", "20", "--live-speed", "3", "--segment-seconds", "6"]
    browser = subprocess.run(["which", "chromium"], capture_output=True).returncode == 0
    if not browser:
        args.append("--no-browser")
    proc = demo(base, *args, cwd=base)
    out, _ = proc.communicate(timeout=900)
    assert proc.returncode == 0, out[-4000:]
    report = json.loads((base / "report.json").read_text())
    assert report["trials"] == 25 and report["live_windows"] == 6
    assert report["simulator_commands"] >= 6
    assert 0 <= report["held_out_accuracy"] <= 1 and 0 <= report["live_accuracy"] <= 1
    standard = report["standard_decoder"]
    assert 0 <= standard["cv_accuracy"] <= 1 and 0 <= standard["held_out_accuracy"] <= 1
    assert len(standard["held_out_decisions"]) == len(report["held_out_decisions"]) == report["held_out"]
    for scores in (standard["splits"], *report["agent_splits"].values()):
        assert len(scores["per_split"]) == 2 and len(scores["decisions"]) == 2 * report["held_out"]
    assert set(report["agent_splits"]) == {"conservative", "q_sum"} and report["decision_rule_live"] == "conservative"
    # Relaxing stops the vehicle (class 4 maps to "S"), hand imagery turns it to that side.
    assert report["classes"] == list(CLASS_ORDER)
    assert report["latency_windows"] + report["changed_windows"] == min(report["live_windows"],
                                                                       report["simulator_commands"])
    for kind, p50 in (("latency_windows", "latency_p50_ms"), ("changed_windows", "changed_latency_p50_ms")):
        assert report[kind] == 0 or 0 < report[p50] < 5000  # no figure where no window was of that kind
    assert not report["latency_windows"] or report["latency_p50_ms"] <= report["latency_p99_ms"]
    for path in ["data/formatted/S03.fif", "sample_data/formatted/S03.fif", "sample_data/annotations.txt",
                 *(f"artefacts/{name}" for name in (FILTERS_FILE, SCALER_FILE, AGENT_ARCHIVE_FILE)), "demo.log"]:
        assert (base / path).is_file(), path
    for path in report["figures"].values():
        assert open(path, "rb").read(4) == b"\x89PNG", path
    # The artefacts were moved, not copied: live_pilot's directory holds the only copies.
    assert not (base / FILTERS_FILE).exists()
    if browser:
        assert report["page_received"] >= report["simulator_commands"]
        assert (base / "simulator_page.png").read_bytes()[:4] == b"\x89PNG"
    assert "Report" in out and "CSP + LDA" in out and "latency" in out
