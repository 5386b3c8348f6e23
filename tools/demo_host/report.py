"""The end of a run: report.json, the figures, and the summary on the terminal with the agent and
the standard decoder side by side."""
import json

from tools.demo_host import figures
from tools.demo_host.errors import first_line


def finish_report(host):
    r, base = host.report, host.base
    if host.browser is not None:
        try:
            state = host.browser.evaluate("window.simulatorState()")
            r["page_screenshot"] = str(host.browser.screenshot(base / "simulator_page.png"))
            r["page_received"] = state["received"]
        except Exception as exc:   # the page is only there to watch
            r["page_screenshot_skipped"] = first_line(exc)
    r["log"] = str(base / "demo.log")
    r["figures"] = figures.write(r, base)
    with open(base / "report.json", "w") as f:
        json.dump(r, f, indent=2)
    for line in summary(r, base):
        host.say(line)


def summary(r, base):
    s = r["standard_decoder"]
    lines = [
        "", "Report",
        f"  recorded        {r['trials']} trials, session {r['session']} -> {r['combined_file']}",
        f"  trained         {r['steps']} steps on {r['epochs'] - r['held_out']} epochs "
        f"({r['training_items']} items) in {r['training_seconds']:.0f} s",
        f"  accuracy        {'agent':>9}  {'CSP + LDA':>9}   (chance {1 / len(r['classes']):.2f})",
        f"    cross-valid.  {'-':>9}  {s['cv_accuracy']:9.2f}   {s['cv_folds']}-fold over the training epochs",
        f"    held-out      {r['held_out_accuracy']:9.2f}  {s['held_out_accuracy']:9.2f}   "
        f"{r['held_out']} epochs, decoded as live windows ({r['held_out_decided']} decided by the agent)",
        f"    live          {r['live_accuracy']:9.2f}  {'-':>9}   {r['live_windows']} windows against the "
        f"played cues ({r['live_accuracy_clean_windows']:.2f} over the {r['live_clean_windows']} "
        f"inside one cue; {r['live_decided']} decided)",
        f"  latency         window to simulator command: p50 {r['latency_p50_ms']:.1f} ms, "
        f"p99 {r['latency_p99_ms']:.1f} ms over the {r['latency_windows']} windows keeping the command; "
        f"p50 {r['changed_latency_p50_ms']:.1f} ms over the {r['changed_windows']} changing it (the actuator "
        "hears the change first: stop, a 0.5 s pause, the new command)",
        f"  simulator       {r['simulator_commands']} commands"
        + (f"; the page showed {r['page_received']} in all" if "page_received" in r else ""),
        f"  run time        {r['run_seconds']:.0f} s",
        "  files", f"    base          {r['base_dir']}",
        f"    recordings    {r['raw_dir']}",
        f"    annotations   {r['annotations_file']}",
        f"    sample        {r['sample_recording']}",
        f"    artefacts     {r['artefact_dir']}",
        f"    report        {base / 'report.json'}",
    ]
    lines += [f"    {name:<13} {path}" for name, path in r["figures"].items()]
    lines.append(f"    log           {r['log']}")
    if "page_screenshot" in r:
        lines.append(f"    page          {r['page_screenshot']}")
    elif "page_screenshot_skipped" in r:
        lines.append(f"    page          skipped ({r['page_screenshot_skipped']})")
    return lines
