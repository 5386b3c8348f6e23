"""The installed type stubs describe the modules as they are (live_pilot's: tests/live_pilot)."""
import ast
import importlib

import pytest

from tools import stubs

MODULES = ["run_profile", "capture_hub", "policy_forge", "corvane._facts"]


@pytest.mark.parametrize("name", MODULES)
def test_stub_matches_module(name):
    module = importlib.import_module(name)
    stub = stubs.installed_stub(module)
    assert stub is not None, f"no stub installed beside {module.__file__}"
    ast.parse(stub)
    assert stub == stubs.render(module), f"{name}.pyi is out of date: run python -m tools.stubs"


def _add_method(module):
    module.CaptureHub.extra_method = lambda self, value=1: value


def _add_global(module):
    module.EXTRA = 1


def _change_docstring(module):
    module.CaptureHub.__doc__ = "A different text."


@pytest.mark.parametrize("change", [_add_method, _add_global, _change_docstring])
def test_a_change_without_its_stub_is_seen(change):
    module = importlib.import_module("capture_hub")
    saved = dict(vars(module)), dict(vars(module.CaptureHub))
    try:
        change(module)
        assert stubs.render(module) != stubs.installed_stub(module)
    finally:
        for name in set(vars(module)) - set(saved[0]):
            delattr(module, name)
        for name in set(vars(module.CaptureHub)) - set(saved[1]):
            delattr(module.CaptureHub, name)
        module.CaptureHub.__doc__ = saved[1]["__doc__"]
