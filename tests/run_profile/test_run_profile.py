import os
import pickle
import subprocess
import sys
import textwrap

import pytest

import run_profile
from run_profile import RunProfile

DEFAULTS = {
    "actions": {},
    "repetitions": 21,
    "break_duration": 3,
    "record_duration": 5,
    "lowcut": 0.5,
    "highcut": 45.0,
    "channel_configs": {},
}


@pytest.fixture
def base(tmp_path, monkeypatch):
    monkeypatch.setenv("CORVANE_PATH", str(tmp_path / "env_base"))
    return str(tmp_path / "base")


def config_path(base, name):
    return os.path.join(base, "data", "configs", name)


def write_record(base, name, payload):
    os.makedirs(os.path.join(base, "data", "configs"), exist_ok=True)
    with open(config_path(base, name), "wb") as f:
        pickle.dump(payload, f)


def test_is_a_compiled_extension_with_given_docstrings():
    assert run_profile.__file__.endswith(".so")
    assert RunProfile.__module__ == "run_profile"
    assert RunProfile.to_dict.__doc__ == "Convert the object into a plain dictionary that can be pickled safely."
    assert RunProfile.from_dict.__doc__ == "Reconstruct a RunProfile object from a dictionary"
    assert RunProfile.save.__doc__ == "Save configuration to file (as a dict)."
    assert RunProfile.load.__doc__ == "Load configuration from file and rebuild the RunProfile object."
    assert RunProfile.load_last_config.__doc__ == "Load most recent configuration."


def test_new_profile_has_defaults_in_order_and_its_own_dicts(base):
    profile = RunProfile()
    assert list(vars(profile)) == list(DEFAULTS) + ["base_path"]
    data = profile.to_dict()
    assert data == DEFAULTS and list(data) == list(DEFAULTS)
    assert profile.base_path == os.environ["CORVANE_PATH"]
    other = RunProfile()
    other.actions["left"] = 1
    assert profile.actions == {}
    # to_dict hands out the attribute objects themselves, in a new dict each time.
    assert profile.to_dict()["channel_configs"] is profile.channel_configs
    assert profile.to_dict() is not data


def test_save_and_load_round_trip(base, monkeypatch):
    profile = RunProfile()
    profile.base_path = base
    profile.actions = {"left": ["Imagine left", 21]}
    profile.repetitions = 7
    profile.lowcut = 1.0
    profile.channel_configs = {"C3": True, "C4": False}
    assert profile.save(3) is None
    assert os.listdir(os.path.join(base, "data", "configs")) == ["session3_config.pkl"]

    monkeypatch.setenv("CORVANE_PATH", "/elsewhere")
    loaded = RunProfile.load(3, base)
    assert type(loaded) is RunProfile
    assert loaded.to_dict() == profile.to_dict()
    assert loaded.base_path == "/elsewhere"
    assert RunProfile.load(4, base) is None
    with open(config_path(base, "session3_config.pkl"), "rb") as f:
        assert pickle.load(f) == profile.to_dict()


def test_from_dict_fills_missing_keys_ignores_others_and_keeps_subclass(base):
    class Sub(RunProfile):
        pass

    obj = Sub.from_dict({"repetitions": 5, "extra": 1})
    assert type(obj) is Sub
    assert obj.repetitions == 5 and obj.lowcut == 0.5 and not hasattr(obj, "extra")
    with pytest.raises(AttributeError):
        RunProfile.from_dict([1, 2])


# (record names, the one loaded): the highest session number; names without one rank below every
# numbered name and go by string order among themselves.
LAST_RECORDS = [
    (["session2", "session10", "session9"], "session10"),
    (["session9", "sessionX", "session-3", "zzz"], "session9"),
    (["session-3", "sessionX"], "session-3"),
    (["sessionX", "notes", "session-"], "sessionX"),
    (["session007", "session7"], "session7"),
    (["session1", f"session{2**70}"], f"session{2**70}"),
]


def test_last_config_is_the_highest_session_number(base):
    assert RunProfile.load_last_config(base) is None
    folder = os.path.join(base, "data", "configs")
    os.makedirs(folder)
    assert RunProfile.load_last_config(base) is None
    for names, expected in LAST_RECORDS:
        for name in os.listdir(folder):
            os.remove(os.path.join(folder, name))
        for name in names:
            write_record(base, f"{name}_config.pkl", {"repetitions": names.index(name)})
        write_record(base, "session99_notes.txt", {"repetitions": -1})
        assert RunProfile.load_last_config(base).repetitions == names.index(expected), (names, expected)


def test_loader_defaults_are_read_at_import_objects_read_at_construction(tmp_path):
    script = textwrap.dedent(
        """
        import os, sys
        import run_profile
        os.environ["CORVANE_PATH"] = sys.argv[2]
        profile = run_profile.RunProfile()
        assert profile.base_path == sys.argv[2], profile.base_path
        profile.base_path = sys.argv[1]
        profile.repetitions = 4
        profile.save(1)
        # The loaders still look under the directory named when the module was imported.
        assert run_profile.RunProfile.load(1).repetitions == 4
        assert run_profile.RunProfile.load_last_config().repetitions == 4
        """
    )
    import_base, later_base = str(tmp_path / "at_import"), str(tmp_path / "later")
    env = dict(os.environ, CORVANE_PATH=import_base)
    subprocess.run([sys.executable, "-c", script, import_base, later_base], env=env, check=True)


def test_failed_save_keeps_the_previous_record_and_leaves_no_temporary_file(base):
    profile = RunProfile()
    profile.base_path = base
    profile.save(1)
    folder = os.path.join(base, "data", "configs")
    before = open(config_path(base, "session1_config.pkl"), "rb").read()

    profile.actions = {"bad": lambda: None}
    with pytest.raises((pickle.PicklingError, AttributeError, TypeError)):
        profile.save(1)
    assert open(config_path(base, "session1_config.pkl"), "rb").read() == before
    assert os.listdir(folder) == ["session1_config.pkl"]
    with pytest.raises((pickle.PicklingError, AttributeError, TypeError)):
        profile.save(2)
    assert os.listdir(folder) == ["session1_config.pkl"]


class Payload:
    def __reduce__(self):
        return (os.system, ("touch should-not-exist",))


def test_loader_refuses_code_but_reads_every_plain_value(base, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    write_record(base, "session1_config.pkl", {"actions": Payload()})
    with pytest.raises(pickle.UnpicklingError) as raised:
        RunProfile.load(1, base)
    assert "session1_config.pkl" in str(raised.value)
    assert "system" in str(raised.value)
    with pytest.raises(pickle.UnpicklingError):
        RunProfile.load_last_config(base)
    assert not (tmp_path / "should-not-exist").exists()

    plain = {
        "actions": {"a": [1, 2.5, None, True], "b": (b"\x00\xff", "t")},
        "channel_configs": {"s": {1, 2}, "f": frozenset({3}), "c": 1 + 2j, "big": 2**80},
    }
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        with open(config_path(base, "session2_config.pkl"), "wb") as f:
            pickle.dump(plain, f, protocol=protocol)
        loaded = RunProfile.load(2, base)
        assert (loaded.actions, loaded.channel_configs) == (plain["actions"], plain["channel_configs"])


def test_bad_records_raise_and_leave_files_untouched(base):
    folder = os.path.join(base, "data", "configs")
    os.makedirs(folder)
    with open(config_path(base, "session1_config.pkl"), "wb") as f:
        f.write(b"not a pickle at all")
    with pytest.raises(Exception):
        RunProfile.load(1, base)
    # A corrupt last record is not skipped in favour of an earlier one.
    write_record(base, "session0_config.pkl", {"repetitions": 1})
    with pytest.raises(Exception):
        RunProfile.load_last_config(base)
    os.makedirs(config_path(base, "session2_config.pkl"))
    with pytest.raises(IsADirectoryError):
        RunProfile.load_last_config(base)
    assert sorted(os.listdir(folder)) == ["session0_config.pkl", "session1_config.pkl", "session2_config.pkl"]
    assert open(config_path(base, "session1_config.pkl"), "rb").read() == b"not a pickle at all"


def test_session_numbers_that_would_leave_the_folder_are_refused(base):
    profile = RunProfile()
    profile.base_path = base
    for number in ["/../../x", "../x", "a\\b", "..", ""]:
        with pytest.raises(ValueError, match=r"^Invalid session number: "):
            profile.save(number)
        with pytest.raises(ValueError, match=r"^Invalid session number: "):
            RunProfile.load(number, base)
    assert not os.path.exists(os.path.join(base, "data"))


@pytest.mark.parametrize("umask", [0o027, 0o002])
def test_a_saved_record_gets_the_mode_a_plain_open_gives(base, umask):
    profile = RunProfile()
    profile.base_path = base
    previous = os.umask(umask)
    try:
        profile.save(1)
        assert os.umask(umask) == umask
    finally:
        os.umask(previous)
    assert os.stat(config_path(base, "session1_config.pkl")).st_mode & 0o777 == 0o666 & ~umask
