"""The end of a run: report.json, the figures, and the summary on the terminal with the agent and
the standard decoder side by side."""
import json

from corvane.demo import figures
from corvane.demo.errors import first_line


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


def accuracy_lines(r):
    """Both decoders on the repeated splits (mean ± sd), the live figures, and the artefact agent
    on process_epochs' own held-out epochs (its filters fitted on every epoch, them included)."""
    s = r["standard_decoder"]
    lines = [f"  accuracy        (chance {1 / len(r['classes']):.2f})"]
    agent = r.get("agent_splits")
    if agent:
        lines += [f"    agent, {name + ' rule':<21} {a['mean']:.2f} ± {a['sd']:.2f}" for name, a in agent.items()]
        lines.append(f"    CSP + LDA (8-30 Hz)         {s['splits']['mean']:.2f} ± {s['splits']['sd']:.2f}")
        lines.append(f"      mean ± sd over {r['splits']} repeated stratified splits, {r['held_out']} epochs held "
                     "out each; filters, scaler, agent and LDA fitted on each split's training epochs")
    lines += [
        f"    live, all windows           {r['live_accuracy']:.2f}   {r['live_windows']} windows against the played "
        f"cues ({r['live_decided']} decided; {r.get('decision_rule_live', 'conservative')} rule)",
        f"    live, inside one cue        {r['live_accuracy_clean_windows']:.2f}   the {r['live_clean_windows']} "
        "windows lying inside one cue",
        f"    live artefacts, held out    {r['held_out_accuracy']:.2f}   agent on process_epochs' {r['held_out']} "
        f"held-out epochs (filters fitted on all epochs); CSP + LDA {s['held_out_accuracy']:.2f}",
    ]
    return lines


def summary(r, base):
    lines = [
        "", "Report",
        f"  recorded        {r['trials']} trials, session {r['session']} -> {r['combined_file']}",
        f"  trained         {r['steps']} steps on {r['epochs'] - r['held_out']} epochs "
        f"({r['training_items']} items) in {r['training_seconds']:.0f} s",
        *accuracy_lines(r),
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
