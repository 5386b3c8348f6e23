"""Stages 3 and 4: the agent trained by policy_forge's own flow (process_epochs, setup_training,
learn), both decoders scored on repeated splits, and the artefacts placed where live_pilot loads
them."""
import os
import time

from corvane.demo import fair_scoring, standard_decoder
from corvane.demo.agent_blocks import held_out_candidates, train_on_training_items
from corvane.demo.constants import class_order
from corvane.facts import AGENT_ARCHIVE, AGENT_ARCHIVE_FILE, FILTERS_FILE, SCALER_FILE


def train(host, combined, splits=None):
    """Trains the agent whose artefacts live_pilot loads, then scores both decoders on `splits`
    repeated splits (the host's --splits unless given; 0 leaves them out)."""
    o, console = host.o, host.console
    host.say("\n[3/5] Training")
    began = time.monotonic()
    with console.capture():
        import policy_forge
        forge = policy_forge.PolicyForge()
        forge.setup_eeg(combined)
        ids = forge.events[1]
        labels = class_order(list(ids))
        forge.process_epochs([ids[label] for label in labels])
        model, callbacks = forge.setup_training(labels)
        # Held-out epochs stay unseen: the agent learns from the training items only.
        train_on_training_items(model, forge)
    per_epoch = len(forge.csp_filter_objects)
    n_train, n_test = len(forge.y_train) // per_epoch, len(forge.y_test) // per_epoch
    host.say(f"  {n_train + n_test} epochs ({n_train} for training, {n_test} held out), "
             f"{per_epoch} items each (one per CSP filter), classes "
             f"{', '.join(f'{k}={name}' for k, name in enumerate(labels))}; "
             f"ready in {time.monotonic() - began:.0f} s")

    learn_began = time.monotonic()
    # Python's, NumPy's and torch's generators (the environment draws with Python's):
    # repeatable training for a given seed.
    from stable_baselines3.common.utils import set_random_seed
    set_random_seed(o.seed)
    model.action_space.seed(o.seed)
    with console.capture():
        # A host may add its own learn callbacks (the studio's progress events).
        model.learn(total_timesteps=o.steps, callback=callbacks + [progress_bar(console, o.steps)]
                    + list(getattr(host, "learn_callbacks", ())))
    host.report["training_seconds"] = round(time.monotonic() - learn_began, 1)

    # The agent's held-out decisions are taken with live_pilot's rule once it is imported.
    host.held_out_candidates = held_out_candidates(model, forge)
    with console.capture():
        standard = standard_decoder.evaluate(forge, labels)
    host.say(f"  CSP + LDA: {standard['cv_accuracy']:.2f} cross-validated ({standard['cv_folds']}-fold, "
             f"training epochs), {standard['held_out_accuracy']:.2f} on the same held-out epochs")
    host.report.update(classes=labels, epochs=n_train + n_test, held_out=n_test, steps=o.steps,
                       training_items=len(forge.y_train), standard_decoder=standard)
    splits = o.splits if splits is None else splits
    host.split_results = score_on_splits(host, forge, labels, splits) if splits else []
    return model, forge, labels


def score_on_splits(host, forge, labels, count):
    """Both decoders on `count` repeated splits, everything refitted within each split; the
    standard decoder is scored here, the agent once live_pilot's rules are imported."""
    o, console = host.o, host.console
    began = time.monotonic()

    def progress(k, total, seconds):
        console.progress(f"  split {k}/{total} scored ({seconds:.0f} s)", final=k == total)

    host.say(f"  scoring both decoders on {count} repeated splits (filters, scaler, agent and "
             f"LDA refitted on each split's training epochs; {o.steps} steps per agent)")
    with console.capture():
        results = fair_scoring.score_splits(forge, labels, count, o.steps, o.seed, progress=progress)
    standard = fair_scoring.standard_scores(results, labels)
    host.report["standard_decoder"]["splits"] = standard
    host.report.update(splits=count, split_seconds=round(time.monotonic() - began, 1))
    host.say(f"  CSP + LDA (8-30 Hz): {standard['mean']:.2f} ± {standard['sd']:.2f} over the splits")
    return results


def score_rules_on_splits(host, module):
    """The agent's held-out epochs of every split decided by live_pilot's rules (the default
    conservative choice, and the sum of the kept blocks' Q-values)."""
    if not getattr(host, "split_results", None):
        return
    labels = host.report["classes"]
    rules = {"conservative": lambda p, c, q: module.get_conservative_prediction(p, c)[0],
             "q_sum": lambda p, c, q: module.get_summed_prediction(q)[0]}
    scores = {name: fair_scoring.rule_scores(host.split_results, labels, decide)
              for name, decide in rules.items()}
    host.report["agent_splits"] = scores
    host.report["decision_rule_live"] = str(module.decision_rule)
    for name, s in scores.items():
        host.say(f"  agent, {name} rule: {s['mean']:.2f} ± {s['sd']:.2f} over the splits")


def progress_bar(console, total):
    from stable_baselines3.common.callbacks import BaseCallback

    class ProgressBar(BaseCallback):
        def _on_training_start(self):
            self._began = time.monotonic()

        def _on_step(self):
            if self.num_timesteps % 250 == 0 or self.num_timesteps == total:
                done = self.num_timesteps / total
                rate = self.num_timesteps / max(1e-9, time.monotonic() - self._began)
                bar = "#" * int(30 * done)
                console.progress(f"  learn [{bar:<30}] {self.num_timesteps}/{total} steps "
                                 f"{rate:.0f}/s", final=self.num_timesteps >= total)
            return True

    return ProgressBar()


def place_artefacts(host, model, forge):
    host.say("\n[4/5] Placing the artefacts")
    (host.artefacts / AGENT_ARCHIVE).parent.mkdir(parents=True, exist_ok=True)
    os.replace(forge.csp_filters_path, host.artefacts / FILTERS_FILE)
    os.replace(forge.scaler_path, host.artefacts / SCALER_FILE)
    with host.console.capture():
        model.save(str(host.artefacts / AGENT_ARCHIVE))
    os.environ["CORVANE_ARTEFACT_DIR"] = str(host.artefacts)
    for name in (FILTERS_FILE, SCALER_FILE, AGENT_ARCHIVE_FILE):
        host.say(f"  {host.artefacts / name}")
    host.report["artefact_dir"] = str(host.artefacts)


def score_held_out(host, decide):
    """The agent's held-out epochs decided by `decide` (live_pilot's rule over a block's kept
    candidates), scored against their classes."""
    labels = host.report["classes"]
    held_out = []
    for (predictions, confidences), cls in host.held_out_candidates:
        choice = decide(predictions, confidences)
        held_out.append((None if choice is None else labels[choice], labels[cls]))
    accuracy = sum(d == c for d, c in held_out) / len(held_out)
    decided = sum(d is not None for d, _ in held_out)
    host.say(f"  agent: held-out accuracy {accuracy:.2f} over {len(held_out)} epochs decoded as live "
             f"windows ({decided} decided; chance {1 / len(labels):.2f})")
    host.report.update(held_out_accuracy=round(accuracy, 3), held_out_decided=decided,
                       held_out_decisions=held_out)
