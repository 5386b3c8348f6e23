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
    steps: int
    seed: int
    epochs: int            # epochs cut from the recording
    held_out: int          # of them held out by process_epochs
    items_per_epoch: int   # one per CSP filter
    prepare_seconds: float
    learn_seconds: float

    @property
    def training_items(self):
        return len(self.forge.y_train)


def train(combined, *, work_dir, steps, seed, callbacks=(), progress=None, output=None) -> TrainedAgent:
    """The agent trained on the combined recording `combined` for `steps` steps with `seed`
    (Python's, NumPy's and torch's generators, and the action space: repeatable for a seed).

    work_dir: where the trainer writes its filters and scaler as it goes (place_artefacts moves
    them); callbacks: stable-baselines3 callbacks added to learn. Progress: stage "prepare" (0 of
    1, then 1 of 1) and stage "learn" (steps done of `steps`, after every step)."""
    prepare = Reporter(progress, "prepare")
    prepare(0, 1, "preparing the epochs (filtering, ICA, CSP, features)")
    with module_environment(base=work_dir), module_output(output):
        import policy_forge
        forge = policy_forge.PolicyForge()
    with module_output(output):
        forge.setup_eeg(str(combined))
        ids = forge.events[1]
        labels = class_order(list(ids))
        forge.process_epochs([ids[label] for label in labels])
        model, own_callbacks = forge.setup_training(labels)
        train_on_training_items(model, forge)
    per_epoch = len(forge.csp_filter_objects)
    epochs, held_out = (len(forge.y_train) + len(forge.y_test)) // per_epoch, len(forge.y_test) // per_epoch
    prepare_seconds = prepare.seconds
    prepare(1, 1, f"{epochs} epochs ({epochs - held_out} for training, {held_out} held out)")

    from stable_baselines3.common.utils import set_random_seed
    set_random_seed(seed)
    model.action_space.seed(seed)
    began = time.monotonic()
    with module_output(output):
        model.learn(total_timesteps=steps, callback=own_callbacks + [learn_progress(progress, steps)] + list(callbacks))
    return TrainedAgent(model, forge, labels, steps, seed, epochs, held_out, per_epoch, prepare_seconds,
                        time.monotonic() - began)


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
