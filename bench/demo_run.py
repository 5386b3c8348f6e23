"""Runs the whole demo once and prints its figures against the targets.

    .venv/bin/python -m bench.demo_run [demo host options...]

Targets, on the demo's repeated splits: the agent under the conservative rule within 0.10 of 8-30 Hz
CSP + LDA, the agent under the q_sum rule at or above it; live accuracy clearly above chance; the
whole run under 360 s on a 2-core machine (after set-up). The run uses a
fresh base directory under the system's temporary directory unless --base is given.
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
    code = subprocess.call([sys.executable, "-m", "corvane.demo", *args], cwd=REPO)
    wall = time.monotonic() - began
    if code != 0:
        print(f"demo failed with exit code {code}")
        return code
    r = json.loads((base / "report.json").read_text())
    standard = r["standard_decoder"]["splits"]
    agent = r["agent_splits"]
    chance = 1 / len(r["classes"])
    rows = [
        *((f"agent, {name} rule (mean of splits)", a["mean"], chance, "ratio to chance") for name, a in agent.items()),
        ("CSP + LDA 8-30 Hz (mean of splits)", standard["mean"], chance, "ratio to chance"),
        ("agent live accuracy", r["live_accuracy"], chance, "ratio to chance"),
        ("agent live accuracy, windows inside one cue", r["live_accuracy_clean_windows"], chance,
         "ratio to chance"),
        ("run time (s)", wall, 360.0, "ratio to limit"),
    ]
    print("\nbenchmark: demo")
    for name, value, reference, meaning in rows:
        print(f"  {name:<44} {value:8.3f}   {meaning} {value / reference:6.2f}")
    print(f"  {'conservative minus CSP + LDA':<44} {agent['conservative']['mean'] - standard['mean']:+8.3f}   "
          "target above -0.10")
    print(f"  {'q_sum minus CSP + LDA':<44} {agent['q_sum']['mean'] - standard['mean']:+8.3f}   target at or above 0")
    print(f"  {'spreads (sd over splits)':<44} " + ", ".join(f"{n} {a['sd']:.3f}" for n, a in agent.items())
          + f", CSP + LDA {standard['sd']:.3f}")
    print(f"  {'latency p50 / p99 (ms)':<44} {r['latency_p50_ms']:8.1f} / {r['latency_p99_ms']:.1f}")
    print(f"  {'training steps / seconds; split scoring s':<44} {r['steps']:8d} / {r['training_seconds']:.0f}; "
          f"{r['split_seconds']:.0f}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
