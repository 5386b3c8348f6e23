"""Artefacts that do not fit together, or that carry code, fail the import before the board opens."""
import base64
import json
import os
import pickle
import shutil
import subprocess
import sys
import zipfile
from collections import deque

import gymnasium
import joblib
import numpy as np
import pytest
import torch
from sklearn.preprocessing import StandardScaler
from stable_baselines3 import DQN

from corvane.facts import AGENT_ARCHIVE, AGENT_ARCHIVE_FILE as ARCHIVE, FILTERS_FILE, SCALER_FILE
from corvane.facts import FEATURE_ROW_LENGTH as ROW

IMPORT_EACH = """
import importlib, os, sys
for directory in sys.argv[1:]:
    os.environ["CORVANE_ARTEFACT_DIR"], os.environ["CORVANE_SERIAL_PORT"] = directory, "/dev/null"
    try:
        importlib.import_module("live_pilot")
        print("RESULT imported -")
    except Exception as error:
        print("RESULT", type(error).__name__, str(error).replace(chr(10), " "))
"""


class Planted:
    """Pickles as a call of `function` with `args`: what a planted file would run when loaded."""

    def __init__(self, function, *args):
        self.function, self.args = function, args

    def __reduce__(self):
        return self.function, self.args


def replace_in_archive(source, target, member, content):
    with zipfile.ZipFile(source) as old, zipfile.ZipFile(target, "w") as new:
        for name in old.namelist():
            new.writestr(name, content if name == member else old.read(name))


def with_serialized_entries(**payloads):
    def change(folder, artefacts):
        with zipfile.ZipFile(artefacts / ARCHIVE) as archive:
            data = json.loads(archive.read("data"))
        for key, payload in payloads.items():
            data[key] = {":serialized:": base64.b64encode(pickle.dumps(payload)).decode()}
        replace_in_archive(artefacts / ARCHIVE, folder / ARCHIVE, "data", json.dumps(data))
    return change


def with_class_names(names):
    def change(folder, artefacts):
        with zipfile.ZipFile(artefacts / ARCHIVE) as archive:
            data = json.loads(archive.read("data"))
        data["class_names"] = names
        replace_in_archive(artefacts / ARCHIVE, folder / ARCHIVE, "data", json.dumps(data))
    return change


def trained_entries():
    """What an agent's archive holds after learning: episode records, a seeded action space and
    the last observations."""
    actions = gymnasium.spaces.Discrete(5)
    actions.seed(1)
    return {"ep_info_buffer": deque([{"r": 1.5, "l": 3, "t": 0.25}], maxlen=100), "action_space": actions,
            "_last_obs": np.zeros((1, 4, ROW), np.float32), "_last_episode_starts": np.zeros(1, bool)}


def with_policy_tensors(payload):
    def change(folder, artefacts):
        tensors = folder / "planted.pth"
        torch.save(payload, tensors)
        replace_in_archive(artefacts / ARCHIVE, folder / ARCHIVE, "policy.pth", tensors.read_bytes())
    return change


def with_joblib(name, value):
    return lambda folder, artefacts: joblib.dump(value, folder / name)


def with_filters(change_filters):
    def change(folder, artefacts):
        filters = joblib.load(artefacts / FILTERS_FILE)
        change_filters(filters)
        joblib.dump(filters, folder / FILTERS_FILE)
    return change


class WideObservations(gymnasium.Env):
    observation_space = gymnasium.spaces.Box(-1, 1, (4, 100), dtype=np.float32)
    action_space = gymnasium.spaces.Discrete(5)

    def reset(self, seed=None, options=None):
        return np.zeros((4, 100), np.float32), {}

    def step(self, action):
        return np.zeros((4, 100), np.float32), 0.0, True, False, {}


def with_wide_agent(folder, artefacts):
    DQN("MlpPolicy", WideObservations(), buffer_size=10, learning_starts=1, device="cpu").save(folder / ARCHIVE)


def with_nan(name, attribute):
    """The artefact `name` with a NaN in its (first filter's) fitted array `attribute`."""
    def change(folder, artefacts):
        fitted = joblib.load(artefacts / name)
        getattr(next(iter(fitted.values())) if isinstance(fitted, dict) else fitted, attribute).flat[3] = np.nan
        joblib.dump(fitted, folder / name)
    return change


def narrow_last_filter(filters):
    list(filters.values())[-1].n_components = 3


@pytest.mark.slow
def test_mismatched_or_planted_artefacts_fail_the_import(subprocess_env, artefacts, tmp_path):
    marker = tmp_path / "planted-code-ran"
    code = f"open({str(marker)!r}, 'w').close()"
    scaler = StandardScaler().fit(np.zeros((3, 100)))
    refused = "UnpicklingError", "refusing to load"
    cases = {
        "filters that run code": (with_joblib(FILTERS_FILE, {1: Planted(exec, code)}), *refused,
                                  f"{FILTERS_FILE}: refusing to load builtins.exec"),
        "scaler that runs a command": (with_joblib(SCALER_FILE, Planted(os.system, f"touch {marker}")), *refused,
                                       f"{SCALER_FILE}: refusing to load {os.name}.system"),
        "agent space that runs code": (with_serialized_entries(observation_space=Planted(exec, code)), *refused,
                                       "(observation_space): refusing to load builtins.exec"),
        "agent policy that runs code": (with_serialized_entries(policy_class=Planted(exec, code)), *refused,
                                        "only the known policy classes are allowed"),
        # The loader supplies the schedules itself: the planted one is never read.
        "agent schedule that runs code": (with_serialized_entries(lr_schedule=Planted(exec, code)),
                                          "BrainFlowError", "unable to prepare streaming session", ""),
        "agent tensors that run code": (with_policy_tensors(Planted(exec, code)), "UnpicklingError",
                                        "Weights only load failed", ""),
        "agent after training": (with_serialized_entries(**trained_entries()), "BrainFlowError",
                                 "unable to prepare streaming session", ""),
        "scaler of another width": (with_joblib(SCALER_FILE, scaler), "ValueError",
                                    f"{SCALER_FILE}: the scaler takes 100 features, a feature row has {ROW}", ""),
        "filters missing a class": (with_filters(lambda f: f.pop(next(iter(f)))), "ValueError",
                                    f"{FILTERS_FILE}: 4 filters for an agent choosing among 5 classes", ""),
        "filter with fewer rows": (with_filters(narrow_last_filter), "ValueError", "gives 3 rows, the first filter 4", ""),
        "filter with NaN": (with_nan("csp_filters_ovr.pkl", "filters_"), "ValueError", "csp_filters_ovr.pkl: the filter",
                            "holds non-finite numbers in filters_"),
        "scaler with NaN means": (with_nan("scaler.pkl", "mean_"), "ValueError",
                                  "scaler.pkl: the scaler holds non-finite numbers in mean_", ""),
        "agent naming too few classes": (with_class_names(["left", "right"]), "ValueError",
                                         f"{os.path.basename(AGENT_ARCHIVE)}: the agent names 2 classes",
                                         "but chooses among 5"),
        "agent naming its classes by number": (with_class_names([1, 2, 3, 4, 5]), "ValueError",
                                               "the agent's class names must be a list of texts", ""),
        "agent for another shape": (with_wide_agent, "ValueError",
                                    f"{os.path.basename(AGENT_ARCHIVE)}: the agent observes (4, 100), the filters and "
                                    f"features give (4, {ROW})", ""),
    }
    folders = []
    for number, (change, *_) in enumerate(cases.values()):
        folder = tmp_path / f"case{number}"
        shutil.copytree(artefacts, folder, ignore=shutil.ignore_patterns("*.fif"))
        change(folder, artefacts)
        folders.append(str(folder))
    result = subprocess.run([sys.executable, "-c", IMPORT_EACH, *folders], env=subprocess_env,
                            capture_output=True, text=True, timeout=240)
    outcomes = [line.split(" ", 2)[1:] for line in result.stdout.splitlines() if line.startswith("RESULT ")]
    assert len(outcomes) == len(cases), result.stderr[-3000:]
    for (case, (_, kind, *texts)), (raised, message) in zip(cases.items(), outcomes):
        assert raised == kind and all(text in message for text in texts), (case, raised, message)
    assert not marker.exists()
