"""The Plasticity environment: draws, rewards, episode ends."""
import pickle
import random

import numpy as np
import pytest


@pytest.fixture(scope="module")
def Plasticity(policy_forge):
    return policy_forge.Plasticity


def labelled(n, labels):
    return np.arange(n * 2 * 3, dtype=float).reshape(n, 2, 3), np.asarray(labels)


def test_class_and_attributes(Plasticity, policy_forge):
    import gym

    assert issubclass(Plasticity, gym.Env)
    assert (Plasticity.__module__, Plasticity.__qualname__) == ("policy_forge", "Plasticity")
    assert pickle.loads(pickle.dumps(Plasticity)) is Plasticity
    env = Plasticity(images_per_episode=1, dataset=labelled(3, [0, 1, 2]), random=False, ncomp=2,
                     global_shape_length=3, n_actions=3)
    assert list(vars(env)) == ["action_space", "observation_space", "images_per_episode", "step_count", "x", "y",
                               "random", "dataset_idx"]
    assert env.action_space.n == 3 and env.observation_space.shape == (2, 3)
    assert env.observation_space.dtype == np.float32 and env.observation_space.low.min() == -np.inf
    assert not hasattr(env, "expected_action")
    with pytest.raises(AttributeError, match="expected_action"):
        env.step(0)


def test_in_order_draws_wrap_and_rewards_score_the_observation_just_seen(Plasticity):
    x, y = labelled(3, [0, 1, 2])
    env = Plasticity(2, (x, y), False, 2, 3, 3)
    assert np.array_equal(env.reset(), x[0]) and env.expected_action == 0
    obs, reward, done, info = env.step(0)
    assert (reward, done, info) == (1.0, False, {}) and np.array_equal(obs, x[1])
    obs, reward, done, _ = env.step(0)  # label of sample 1 is 1
    assert (reward, done) == (-1.0, True) and np.array_equal(obs, x[2])
    assert type(done) is bool and type(reward) is float
    # The cursor runs on across episodes and wraps after the last sample.
    seen = [env.reset(), env._next_obs()]
    assert np.array_equal(seen[0], x[0]) and np.array_equal(seen[1], x[1]) and env.expected_action == 1
    assert env.dataset_idx == 2


def test_episode_length_with_numpy_counters_and_float_labels(Plasticity):
    env = Plasticity(np.int64(3), labelled(2, [2.0, 2.0]), 0, 2, 3, 3)
    env.reset()
    assert env.expected_action == 2 and type(env.expected_action) is int
    dones = [env.step(np.int64(2))[1:3] for _ in range(4)]
    assert dones == [(1.0, False), (1.0, False), (1.0, True), (1.0, True)]
    env.reset()
    assert env.step_count == 0


def test_random_draws_cover_every_index_and_no_other(Plasticity):
    x, y = labelled(5, [0, 1, 2, 3, 4])
    env = Plasticity(1, (x, y), True, 2, 3, 5)
    random.seed(7)
    drawn = set()
    for _ in range(200):
        obs = env.reset()
        index = int(obs[0, 0] // 6)
        assert np.array_equal(obs, x[index]) and env.expected_action == index
        drawn.add(index)
    assert drawn == {0, 1, 2, 3, 4}
    assert env.dataset_idx == 0


def test_bad_datasets(Plasticity):
    x, y = labelled(2, [0, 1])
    with pytest.raises(ValueError, match="too many values to unpack"):
        Plasticity(1, (x, y, y), True, 2, 3, 2)
    with pytest.raises(ValueError, match="not enough values to unpack"):
        Plasticity(1, (x,), True, 2, 3, 2)
    empty = Plasticity(1, (x[:0], y[:0]), True, 2, 3, 2)
    with pytest.raises(ValueError):
        empty.reset()
    with pytest.raises(IndexError):
        Plasticity(1, (x[:0], y[:0]), False, 2, 3, 2).reset()
