"""Stages 3 and 4: the agent trained by the pipeline (policy_forge's own flow: process_epochs,
setup_training, learn), both decoders scored on repeated splits, and the artefacts placed where
live_pilot loads them."""
from corvane import pipeline


def train(host, combined):
    """Trains the agent whose artefacts live_pilot loads, then scores both decoders on the host's
    --splits repeated splits (0 leaves them out). Returns the trained agent."""
    o, console = host.o, host.console
    host.say("\n[3/5] Training")
    with console.capture() as stream:
        trained = pipeline.prepare(combined, work_dir=host.base, output=stream)
    labels = trained.labels
    host.say(f"  {trained.epochs} epochs ({trained.epochs - trained.held_out} for training, {trained.held_out} "
             f"held out), {trained.items_per_epoch} items each (one per CSP filter), classes "
             f"{', '.join(f'{k}={name}' for k, name in enumerate(labels))}; "
             f"ready in {trained.prepare_seconds:.0f} s")
    with console.capture() as stream:
        pipeline.learn(trained, steps=o.steps, seed=o.seed, progress=learn_bar(console), output=stream)
    host.report["training_seconds"] = round(trained.learn_seconds, 1)

    # The agent's held-out decisions are taken with live_pilot's rule once it is imported.
    with console.capture() as stream:
        host.held_out = pipeline.score_held_out(trained, output=stream)
    standard = host.held_out.standard
    host.say(f"  CSP + LDA: {standard['cv_accuracy']:.2f} cross-validated ({standard['cv_folds']}-fold, "
             f"training epochs), {standard['held_out_accuracy']:.2f} on the same held-out epochs")
    host.report.update(classes=labels, epochs=trained.epochs, held_out=trained.held_out, steps=o.steps,
                       training_items=trained.training_items, standard_decoder=standard)
    host.split_scores = score_on_splits(host, trained, o.splits) if o.splits else None
    return trained


def score_on_splits(host, trained, count):
    """Both decoders on `count` repeated splits, everything refitted within each split; the
    standard decoder is scored here, the agent once live_pilot's rules are imported."""
    console = host.console

    def progress(event):
        console.progress(f"  {event.text}", final=event.final)

    host.say(f"  scoring both decoders on {count} repeated splits (filters, scaler, agent and "
             f"LDA refitted on each split's training epochs; {trained.steps} steps per agent)")
    with console.capture() as stream:
        scores = pipeline.score_splits(trained, count, progress=progress, output=stream)
    host.report["standard_decoder"]["splits"] = scores.standard
    host.report.update(splits=count, split_seconds=round(scores.seconds, 1))
    host.say(f"  CSP + LDA (8-30 Hz): {scores.standard['mean']:.2f} ± {scores.standard['sd']:.2f} over the splits")
    return scores


def score_rules_on_splits(host, module):
    """The agent's held-out epochs of every split decided by live_pilot's rules (the default
    conservative choice, and the sum of the kept blocks' Q-values)."""
    if not getattr(host, "split_scores", None):
        return
    labels = host.report["classes"]
    rules = {"conservative": lambda p, c, q: module.get_conservative_prediction(p, c)[0],
             "q_sum": lambda p, c, q: module.get_summed_prediction(q)[0]}
    scores = {name: host.split_scores.agent(labels, decide) for name, decide in rules.items()}
    host.report["agent_splits"] = scores
    host.report["decision_rule_live"] = str(module.decision_rule)
    for name, s in scores.items():
        host.say(f"  agent, {name} rule: {s['mean']:.2f} ± {s['sd']:.2f} over the splits")


def learn_bar(console):
    """The learn stage as a bar on the terminal, redrawn every 250 steps."""
    def show(event):
        if event.stage != "learn" or not (event.done % 250 == 0 or event.final):
            return
        rate = event.done / max(1e-9, event.seconds)
        bar = "#" * int(30 * event.done / event.total)
        console.progress(f"  learn [{bar:<30}] {event.done}/{event.total} steps {rate:.0f}/s", final=event.final)
    return show


def place_artefacts(host, trained):
    host.say("\n[4/5] Placing the artefacts")
    with host.console.capture() as stream:
        placed = pipeline.place_artefacts(trained, host.artefacts, output=stream)
    for path in placed.files:
        host.say(f"  {path}")
    host.report["artefact_dir"] = placed.directory


def score_held_out(host, decide):
    """The agent's held-out epochs decided by `decide` (live_pilot's rule over a block's kept
    candidates), scored against their classes."""
    labels = host.report["classes"]
    held_out = pipeline.decide_held_out(host.held_out, labels, decide)
    accuracy = sum(d == c for d, c in held_out) / len(held_out)
    decided = sum(d is not None for d, _ in held_out)
    host.say(f"  agent: held-out accuracy {accuracy:.2f} over {len(held_out)} epochs decoded as live "
             f"windows ({decided} decided; chance {1 / len(labels):.2f})")
    host.report.update(held_out_accuracy=round(accuracy, 3), held_out_decided=decided,
                       held_out_decisions=held_out)
