"""The Keras DQN policy, the progress callback, setup_training, and a real train/save/load cycle."""
import contextlib
import io
import os
import pickle
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from corvane.facts import FEATURE_ROW_LENGTH as ROW
from tests.support.testbed import environment


def separable_trainer(policy_forge, tmp_path, n=40, classes=2):
    """A trainer holding scaled-looking features where the class shows in the first columns."""
    rng = np.random.default_rng(0)
    y = np.arange(n) % classes
    x = rng.standard_normal((n, 4, ROW)) * 0.5
    x[:, :, :8] += (y[:, None, None] * 3.0 - 1.5)
    with environment(CORVANE_PATH=tmp_path):
        forge = policy_forge.PolicyForge()
    forge.X_train, forge.X_test, forge.y_train, forge.y_test = x[:32], x[32:], y[:32], y[32:]
    forge.GLOBAL_SHAPE_LENGTH = ROW
    return forge, x, y


def policy_arguments():
    import gymnasium

    observation = gymnasium.spaces.Box(-np.inf, np.inf, shape=(4, ROW), dtype=np.float32)
    return observation, gymnasium.spaces.Discrete(3), lambda _: 0.001


def test_policy_requires_its_size_keywords_before_the_base_class(policy_forge):
    Policy = policy_forge.KerasDQNPolicy
    assert Policy.__doc__ == "\n    Top-level class so that cloudpickle can serialize it.\n    "
    assert (Policy.__module__, Policy.__qualname__) == ("policy_forge", "KerasDQNPolicy")
    assert pickle.loads(pickle.dumps(Policy)) is Policy
    # No positional arguments at all: the base class would fail differently if it were reached.
    with pytest.raises(ValueError, match="^Missing required parameter: ncomp$"):
        Policy()
    with pytest.raises(ValueError, match="^Missing required parameter: n_actions$"):
        Policy(ncomp=4, global_shape_length=ROW)
    with pytest.raises(ValueError, match="^Missing required parameter: global_shape_length$"):
        Policy(*policy_arguments(), ncomp=4, n_actions=3)


def test_keras_network_shapes(policy_forge):
    import keras

    policy = policy_forge.KerasDQNPolicy(*policy_arguments(), ncomp=4, global_shape_length=ROW, n_actions=3)
    assert (policy.ncomp, policy.global_shape_length, policy.n_actions) == (4, ROW, 3)
    model = policy.keras_model
    assert len(model.layers) == 23
    shapes, x = [], keras.ops.convert_to_tensor(np.random.default_rng(0).standard_normal((2, 4, ROW)))
    for layer in model.layers:
        x = layer(x, training=False) if "training" in layer.call.__code__.co_varnames else layer(x)
        shapes.append(tuple(x.shape[1:]))
    conv1, pool1 = ROW - 2, (ROW - 2) // 2  # valid convolutions of width 3, pooling by 2
    conv2, pool2 = pool1 - 2, (pool1 - 2) // 2
    assert shapes == [(ROW, 4), (ROW, 4), (conv1, 32), (conv1, 32), (conv1, 32), (pool1, 32), (pool1, 32), (conv2, 64),
                      (conv2, 64), (conv2, 64), (pool2, 64), (pool2, 64), (pool2, 64), (pool2, 64), (64,), (64,), (64,),
                      (64,), (64,), (32,), (32,), (32,), (3,)]
    with contextlib.redirect_stdout(io.StringIO()):
        assert policy.q_values(np.zeros((5, 4, ROW))).shape == (5, 3)
    regularisers = [model.layers[12].recurrent_regularizer, model.layers[16].kernel_regularizer]
    assert regularisers[0] is not regularisers[1] and regularisers[0].get_config() == {"l1": 0.01, "l2": 0.01}


def test_callback_prints_every_thousand_calls(policy_forge):
    callback = policy_forge.CustomCallback()
    assert callback.verbose == 0 and policy_forge.CustomCallback(verbose=2).verbose == 2
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        for calls in range(1, 3001):
            callback.n_calls = calls
            assert callback._on_step() is True
    assert out.getvalue() == "Step: 1000\nStep: 2000\nStep: 3000\n"


def test_setup_training_checks_leave_the_trainer_unchanged(policy_forge, tmp_path):
    forge, _, _ = separable_trainer(policy_forge, tmp_path)
    with pytest.raises(ValueError, match=r"^Number of tasks \(3\) doesn't match number of classes in training "
                                         r"data \(2\)$"):
        forge.setup_training(["a", "b", "c"])
    forge.ncomp = 3
    with pytest.raises(ValueError, match=r"^Training data shape \(4\) doesn't match number of components \(3\)$"):
        forge.setup_training(["a", "b"])
    assert forge.task_names == []
    with pytest.raises(AttributeError):
        policy_forge.PolicyForge().setup_training(["one"])


def test_setup_training_on_processed_epochs(processed):
    forge = processed[0]
    names = ["blinking", "jaw", "left", "relax", "right"]
    with contextlib.redirect_stdout(io.StringIO()):
        model, callbacks = forge.setup_training(names)
    assert forge.task_names is names
    # The names travel with the agent, as texts, in a list of its own.
    assert model.class_names == names and model.class_names is not names
    assert model.num_timesteps == 0 and model.learning_rate == 0.0005 and model.buffer_size == 50000
    assert (model.learning_starts, model.batch_size, model.gamma, model.target_update_interval) == (100, 32, 0.99, 200)
    assert model.policy_kwargs == {"ncomp": 4, "global_shape_length": ROW, "n_actions": 5}
    assert type(model.policy).__name__ == "KerasDQNPolicy" and model.action_space.n == 5
    env = model.get_env().envs[0].unwrapped
    assert len(env.x) == len(forge.X_train) + len(forge.X_test) and env.images_per_episode == 1 and env.random
    assert [type(c).__name__ for c in callbacks] == ["CustomCallback"] and callbacks[0].verbose == 0


@pytest.mark.slow
def test_agent_learns_saves_and_loads_in_a_fresh_process(policy_forge, tmp_path):
    import torch
    from stable_baselines3.common.callbacks import BaseCallback

    class ThreadsSeen(BaseCallback):
        def _on_step(self):
            seen.add(torch.get_num_threads())
            return True

    forge, x, y = separable_trainer(policy_forge, tmp_path)
    out, seen, threads = io.StringIO(), set(), torch.get_num_threads()
    with contextlib.redirect_stdout(out):
        model, callbacks = forge.setup_training(["left", "right"])
        model.learn(total_timesteps=2000, callback=callbacks + [ThreadsSeen()], log_interval=10**9)
    assert "Step: 1000\n" in out.getvalue() and "Step: 2000\n" in out.getvalue()
    # One torch thread while training ran, the host's setting again afterwards.
    assert seen == {1} and torch.get_num_threads() == threads
    predicted, _ = model.predict(x, deterministic=True)
    assert (predicted == y).mean() >= 0.8
    path = tmp_path / "agent"
    model.save(str(path))
    np.save(tmp_path / "x.npy", x)
    np.save(tmp_path / "predicted.npy", predicted)
    script = textwrap.dedent(f"""
        import numpy as np
        from stable_baselines3 import DQN
        model = DQN.load({str(path)!r})
        assert type(model.policy).__module__ == "policy_forge", type(model.policy)
        assert type(model.policy).__qualname__ == "KerasDQNPolicy"
        predicted, _ = model.predict(np.load({str(tmp_path / "x.npy")!r}), deterministic=True)
        assert (predicted == np.load({str(tmp_path / "predicted.npy")!r})).all()
        assert model.class_names == ["left", "right"], model.class_names
        print("loaded", model.policy.n_actions)
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300,
                          env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert done.returncode == 0, done.stderr[-3000:]
    assert done.stdout.strip().endswith("loaded 2")


@pytest.mark.slow
def test_agent_trained_through_the_pipeline_decodes_held_out_epochs_the_live_way(policy_forge, tmp_path):
    from stable_baselines3.common.utils import set_random_seed

    from corvane.standins.make_sample_recording import make_sample_recording
    from tests.support.testbed import held_out_decisions, train_on_training_items

    _, recording, _ = make_sample_recording(str(tmp_path), seed=5, trials_per_class=15)
    with environment(CORVANE_PATH=tmp_path):
        forge = policy_forge.PolicyForge()
    with contextlib.redirect_stdout(io.StringIO()):
        forge.setup_eeg(recording)
        names = sorted(forge.events[1])
        forge.process_epochs([forge.events[1][name] for name in names])
        model, callbacks = forge.setup_training(names)
        train_on_training_items(model, forge)
        set_random_seed(0)
        model.learn(total_timesteps=4000, callback=callbacks)
    decisions = held_out_decisions(model, forge)
    assert len(decisions) == 15   # a fifth of 74 epochs (the first starts before the recording)
    accuracy = np.mean([decided == cue for decided, cue in decisions])
    # Chance is 0.2; rows made by each epoch's own-class filter alone score about that here.
    assert accuracy >= 0.5, decisions
