"""The run's figures beside report.json: confusion matrices of both decoders on the held-out
epochs (pooled over the repeated splits) and of the agent live, and the live decisions against the
played cues over time."""
import numpy as np

from corvane.pipeline.constants import FS, WINDOW
from corvane.pipeline.scoring import NONE, confusion


def write(report, base):
    """Writes both PNG files; returns their paths by name."""
    import matplotlib
    matplotlib.use("Agg")
    paths = {"confusion": str(base / "confusion.png"), "live plot": str(base / "live_decisions.png")}
    confusion_figure(report, paths["confusion"])
    live_figure(report, paths["live plot"])
    return paths


def confusion_figure(report, path):
    import matplotlib.pyplot as plt

    classes = report["classes"]
    live = [(d["decoded"], d["cue"]) for d in report["live_decisions"]]
    standard = report["standard_decoder"]
    if report.get("agent_splits"):
        panels = [(f"agent, {name} rule ({s['mean']:.2f})", s["decisions"])
                  for name, s in report["agent_splits"].items()]
        panels.append((f"CSP + LDA ({standard['splits']['mean']:.2f})", standard["splits"]["decisions"]))
    else:
        panels = [(f"agent, held-out epochs ({report['held_out_accuracy']:.2f})", report["held_out_decisions"]),
                  (f"CSP + LDA, held-out epochs ({standard['held_out_accuracy']:.2f})",
                   standard["held_out_decisions"])]
    panels.append((f"agent, live windows ({report['live_accuracy']:.2f})", live))
    fig, axes = plt.subplots(1, len(panels), figsize=(5 * len(panels), 4.8), constrained_layout=True)
    for ax, (title, pairs) in zip(axes, panels):
        counts, columns = confusion(pairs, classes)
        shares = counts / np.maximum(1, counts.sum(axis=1, keepdims=True))
        ax.imshow(shares, cmap="Blues", vmin=0, vmax=1)
        for (i, j), n in np.ndenumerate(counts):
            if n:
                ax.text(j, i, str(n), ha="center", va="center",
                        color="white" if shares[i, j] > 0.6 else "black")
        ax.set_xticks(range(len(columns)), columns, rotation=30)
        ax.set_yticks(range(len(classes)), classes)
        ax.set_xlabel("decided")
        ax.set_ylabel("cue")
        ax.set_title(title)
    fig.suptitle("Confusion matrices (counts; held-out epochs pooled over the repeated splits; "
                 "shading: share of the cue's row)")
    fig.savefig(path, dpi=100)
    plt.close(fig)


def live_figure(report, path):
    import matplotlib.pyplot as plt

    classes = report["classes"]
    rows = {name: k for k, name in enumerate(classes + [NONE])}
    decisions = report["live_decisions"]
    half = WINDOW / FS / 2   # a decision is drawn at the middle of its window
    end = max(d["end_s"] for d in decisions) + 1
    fig, ax = plt.subplots(figsize=(14, 4.2), constrained_layout=True)
    # The played cues as a step line, each cue held until the next change.
    changes = report["cue_changes"]
    times = [start for start, _ in changes] + [end]
    levels = [rows[cue] for _, cue in changes]
    ax.step(times, levels + levels[-1:], where="post", color="0.6", linewidth=6, alpha=0.5,
            label="played cue")
    for correct, colour, label in ((True, "tab:green", "decision = cue"),
                                   (False, "tab:red", "decision differs")):
        picked = [d for d in decisions if (d["decoded"] == d["cue"]) == correct]
        ax.scatter([d["end_s"] - half for d in picked], [rows[d["decoded"] or NONE] for d in picked],
                   color=colour, s=28, zorder=3, label=label)
    ax.set_yticks(range(len(rows)), list(rows))
    ax.set_xlim(min(0, min(d["end_s"] for d in decisions) - 2 * half), end)
    ax.set_xlabel("stream time (s); each dot is one window's decision, drawn at the window's middle")
    ax.set_title(f"Live decisions against the played cues: {report['live_accuracy']:.2f} of "
                 f"{report['live_windows']} windows match the cue that covers most of their 5 s")
    ax.legend(loc="upper left", bbox_to_anchor=(1.0, 1.0), fontsize=9)
    fig.savefig(path, dpi=100)
    plt.close(fig)
