"""Runs the whole demo once and prints its figures against the targets.

    .venv/bin/python -m bench.demo_run [demo host options...]

Targets: held-out accuracy >= 0.6 over five classes (chance 0.2), live accuracy clearly above
chance, the whole run under 600 s on a 2-core machine (after set-up). The run uses a fresh base
directory under the system's temporary directory unless --base is given.
"""
import json
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]


def main(argv):
    args = list(argv)
    base = None
    if "--base" in args:
        base = Path(args[args.index("--base") + 1])
    else:
        base = Path(tempfile.mkdtemp(prefix="corvane-demo-bench-"))
        args += ["--base", str(base)]
    began = time.monotonic()
    code = subprocess.call([sys.executable, "-m", "tools.demo_host", *args], cwd=REPO)
    wall = time.monotonic() - began
    if code != 0:
        print(f"demo failed with exit code {code}")
        return code
    r = json.loads((base / "report.json").read_text())
    chance = 1 / len(r["classes"])
    rows = [
        ("held-out accuracy", r["held_out_accuracy"], 0.6, "ratio to target"),
        ("held-out accuracy, process_epochs rows", r["held_out_rows_accuracy"], 0.6, "ratio to target"),
        ("live accuracy", r["live_accuracy"], chance, "ratio to chance"),
        ("live accuracy, windows inside one cue", r["live_accuracy_clean_windows"], chance,
         "ratio to chance"),
        ("run time (s)", wall, 600.0, "ratio to limit"),
    ]
    print("\nbenchmark: demo")
    for name, value, reference, meaning in rows:
        print(f"  {name:<40} {value:8.3f}   {meaning} {value / reference:6.2f}")
    print(f"  {'latency p50 / p99 (ms)':<40} {r['latency_p50_ms']:8.1f} / {r['latency_p99_ms']:.1f}")
    print(f"  {'training steps / seconds':<40} {r['steps']:8d} / {r['training_seconds']:.0f}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
