"""Every dependency imports together in this interpreter, so a broken pin fails here first."""
import importlib

import pytest

MODULES = [
    "numpy", "scipy.signal", "scipy.stats", "mne", "brainflow.board_shim", "sklearn.preprocessing",
    "sklearn.model_selection", "pywt", "gym", "stable_baselines3", "shimmy", "keras", "tensorflow",
    "torch", "joblib", "requests", "playwright.sync_api", "starlette", "uvicorn", "pylsl", "mne_bids", "pybv",
]


@pytest.mark.parametrize("name", MODULES)
def test_imports(name):
    importlib.import_module(name)


def test_stable_baselines3_accepts_a_gym_env():
    import gym
    import numpy as np
    from stable_baselines3 import DQN

    class Env(gym.Env):
        def __init__(self):
            self.action_space = gym.spaces.Discrete(2)
            self.observation_space = gym.spaces.Box(low=-1.0, high=1.0, shape=(3,), dtype=np.float32)

        def reset(self):
            return np.zeros(3, dtype=np.float32)

        def step(self, action):
            return np.zeros(3, dtype=np.float32), 1.0, True, {}

    model = DQN("MlpPolicy", Env(), learning_starts=1, buffer_size=100, verbose=0)
    model.learn(total_timesteps=4)


def test_keras_runs_on_a_backend():
    import keras

    assert keras.backend.backend() in ("tensorflow", "torch", "jax")
    layer = keras.layers.Dense(2)
    assert tuple(layer(keras.ops.ones((1, 3))).shape) == (1, 2)
