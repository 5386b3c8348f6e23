"""Training the agent by policy_forge's own flow: setup_eeg, process_epochs, setup_training, then
learn on the training items alone (the held-out epochs stay unseen)."""
import time
from dataclasses import dataclass

from corvane.pipeline.agent_blocks import train_on_training_items
from corvane.pipeline.constants import class_order
from corvane.pipeline.environment import module_environment
from corvane.pipeline.events import Reporter, module_output


@dataclass
class TrainedAgent:
    model: object          # the DQN agent (stable-baselines3)
    forge: object          # the PolicyForge that prepared its items (its filters, scaler, splits)
    labels: list           # class names; action k of the agent is class labels[k]
    epochs: int            # epochs cut from the recording
    held_out: int          # of them held out by process_epochs
    items_per_epoch: int   # one per CSP filter
    prepare_seconds: float
    callbacks: list        # setup_training's own learn callbacks
    steps: int = 0         # learned so far (0: prepared, not trained)
    seed: int = None
    learn_seconds: float = 0.0

    @property
    def training_items(self):
        return len(self.forge.y_train)


def train(combined, *, work_dir, steps, seed, callbacks=(), progress=None, output=None) -> TrainedAgent:
    """prepare() then learn(): the agent trained on the combined recording `combined`."""
    prepared = prepare(combined, work_dir=work_dir, progress=progress, output=output)
    return learn(prepared, steps=steps, seed=seed, callbacks=callbacks, progress=progress, output=output)


def prepare(combined, *, work_dir, progress=None, output=None) -> TrainedAgent:
    """The trainer's epochs and items from the combined recording `combined` (setup_eeg,
    process_epochs with the classes in class_order) and its agent (setup_training), not yet
    trained. work_dir: where the trainer writes its filters and scaler as it goes
    (place_artefacts moves them). Progress: stage "prepare", 0 of 1 then 1 of 1."""
    report = Reporter(progress, "prepare")
    report(0, 1, "preparing the epochs (filtering, ICA, CSP, features)")
    with module_environment(base=work_dir), module_output(output):
        import policy_forge
        forge = policy_forge.PolicyForge()
    with module_output(output):
        forge.setup_eeg(str(combined))
        ids = forge.events[1]
        labels = class_order(list(ids))
        forge.process_epochs([ids[label] for label in labels])
        model, callbacks = forge.setup_training(labels)
        # Held-out epochs stay unseen: the agent learns from the training items only.
        train_on_training_items(model, forge)
    per_epoch = len(forge.csp_filter_objects)
    epochs, held_out = (len(forge.y_train) + len(forge.y_test)) // per_epoch, len(forge.y_test) // per_epoch
    prepared = TrainedAgent(model, forge, labels, epochs, held_out, per_epoch, report.seconds, list(callbacks))
    report(1, 1, f"{epochs} epochs ({epochs - held_out} for training, {held_out} held out)")
    return prepared


def learn(agent, *, steps, seed, callbacks=(), progress=None, output=None) -> TrainedAgent:
    """`agent` (see prepare) trained for `steps` steps with `seed` (Python's, NumPy's and torch's
    generators, and the action space: repeatable for a seed); callbacks: stable-baselines3 learn
    callbacks added to its own. Progress: stage "learn", steps done of `steps`, after every step."""
    from stable_baselines3.common.utils import set_random_seed

    set_random_seed(seed)
    agent.model.action_space.seed(seed)
    began = time.monotonic()
    with module_output(output):
        agent.model.learn(total_timesteps=steps,
                          callback=agent.callbacks + [learn_progress(progress, steps)] + list(callbacks))
    agent.steps, agent.seed = agent.steps + steps, seed
    agent.learn_seconds += time.monotonic() - began
    return agent


def learn_progress(callback, total):
    """A learn callback sending Progress("learn", steps done, total) after every step."""
    from stable_baselines3.common.callbacks import BaseCallback

    class LearnProgress(BaseCallback):
        def _on_training_start(self):
            self.report = Reporter(callback, "learn")

        def _on_step(self):
            self.report(self.num_timesteps, total, f"{self.num_timesteps}/{total} steps")
            return True

    return LearnProgress()
