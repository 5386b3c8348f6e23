"""live_pilot's installed stub describes the module as imported (the other modules': tests/)."""
from pathlib import Path

from tools import stubs


def test_stub_matches_module(live_pilot, simulator):
    assert (Path(live_pilot.__file__).parent / "py.typed").exists()
    assert stubs.installed_stub(live_pilot) == stubs.render_live_pilot(live_pilot, simulator.url), (
        "live_pilot/__init__.pyi is out of date: run python -m tools.stubs live_pilot"
    )
