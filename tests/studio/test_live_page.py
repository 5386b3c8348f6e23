"""The Live page: plain error messages with their details apart, the class table read from
live_pilot's own line, and in Chromium on the emulator: STOP's "Stopping…" within 100 ms of the
click (measured in the page), its outcome in the alarm style, Start disabled while a run is live, a
stopped state afterwards, and each run starting on a clean page (a tab opened later included)."""
import json
import re
import shutil
import sys

import anyio
import pytest
from starlette.requests import Request

from corvane.facts import CLASS_COMMANDS, WINDOW_LINE
from corvane.pipeline.live import LiveError
from corvane.pipeline.live_events import LiveEvents
from corvane.studio.app import UNEXPECTED, action
from corvane.studio.errors import StudioError
from corvane.web.browser import HeadlessBrowser
from tests.support.studio_client import request, studio_served

RUNS = 2
WINDOWS = 4

# Sets window.stopTiming: when the STOP click was dispatched, when "Stopping…" entered the message
# box, the frame after that, and when the outcome replaced it (all performance.now(), in the page).
TIME_STOP = """() => {
  const timing = window.stopTiming = {};
  const box = document.getElementById('message');
  document.addEventListener('click', (e) => { if (e.target.id === 'stop') timing.clicked = performance.now(); },
                            {capture: true});
  const watch = new MutationObserver(() => {
    if (!timing.shown && box.textContent.startsWith('Stopping')) {
      timing.shown = performance.now();
      requestAnimationFrame(() => { timing.painted = performance.now(); });
    } else if (timing.shown && box.textContent.startsWith('Stopped')) {
      timing.answered = performance.now();
      watch.disconnect();
    }
  });
  watch.observe(box, {childList: true, characterData: true, subtree: true, attributes: true});
}"""


def answer(work):
    """(status, body) of the studio's action endpoint around `work`, on a real Starlette request."""
    async def call():
        async def receive():
            return {"type": "http.request", "body": b"{}", "more_body": False}
        response = await action(work)(Request({"type": "http", "method": "POST", "headers": []}, receive))
        return response.status_code, json.loads(response.body)
    return anyio.run(call)


def fail(exc):
    def work(body):
        raise exc
    return work


def test_errors_answer_in_plain_words_with_the_details_apart(tmp_path):
    cases = [
        (StudioError("No board.", details="/dev/ttyUSB0: gone"), 400,
         {"error": "No board.", "details": "/dev/ttyUSB0: gone"}),
        (LiveError("Live decoding could not start.", "live_pilot: OSError"), 400,
         {"error": "Live decoding could not start.", "details": "live_pilot: OSError"}),
        (StudioError("Plain only."), 400, {"error": "Plain only."}),
        (KeyError("board"), 500, {"error": UNEXPECTED, "details": "KeyError: 'board'"}),
    ]
    for exc, status, body in cases:
        assert answer(fail(exc)) == (status, body), exc
    with studio_served(tmp_path) as (studio, server):   # no trained decoder: the folder is a detail
        status, _, body = request(server, "POST", "/api/live/start", body={"port": 5})
    assert status == 400 and str(tmp_path) not in body["error"] and str(studio.artefact_dir) in body["details"]


@pytest.mark.parametrize("line, table", [
    ("Class commands: left -> L, right -> R, relax -> S", [["left", "L"], ["right", "R"], ["relax", "S"]]),
    ("Class commands by position (the agent names no classes): 0 -> L, 1 -> R", [["0", "L"], ["1", "R"]]),
    ("Class commands: left, right", None),
])
def test_the_legend_comes_from_live_pilots_class_table_line(line, table):
    events = LiveEvents().feed(line)
    assert events == ([{"kind": "classes", "commands": table}] if table else [])


@pytest.mark.parametrize("table, mapped, confidence", [
    (None, "Mapped Command: L [0, 2][0.7, 0.9]", 0.7),   # no table: class 0 drives L
    ("Class commands: Blinking -> F, Jaw_Clenching -> B, Left_Hand -> L, Relax -> S, Right_Hand -> R",
     "Mapped Command: L [2, 0][0.8, 0.95]", 0.8),          # sorted names: class 2 is Left_Hand
])
def test_a_decisions_confidence_is_of_the_blocks_that_chose_its_class(table, mapped, confidence):
    events = LiveEvents()
    for line in filter(None, [table, WINDOW_LINE + " (1, 6, 1250)"]):
        events.feed(line)
    assert [e["confidence"] for e in events.feed(mapped) if e["kind"] == "window"] == [confidence]


def rows(page):
    """([run, window number] of each row in the table, the count shown), read at one moment."""
    return page.evaluate("""() => [[...document.querySelectorAll('#windows tbody tr')]
                                      .map(r => [r.dataset.run, r.cells[0].textContent]),
                                   document.getElementById('count').textContent]""")


def wait(page, expression, seconds=120):
    page.wait_for_function(expression, timeout=seconds * 1000)


@pytest.mark.slow
def test_live_runs_start_clean_start_is_disabled_while_live_and_stop_answers_at_once(trained, tmp_path):
    base = tmp_path / "base"
    shutil.copytree(trained[2], base / "artefacts")
    with studio_served(base, speed=10.0, live_speed=2.0, emulator=True) as (studio, server), \
            HeadlessBrowser(width=1280, height=900, timeout=60) as browser:
        assert request(server, "POST", "/api/board/connect", body={"emulator": True})[0] == 200
        page = browser.page
        browser.open(server.entry_url, wait_for="window.studioConnected")
        browser.open(f"{server.url}/live", wait_for="window.studioConnected")
        wait(page, "document.getElementById('actuator').placeholder !== ''", 10)
        assert page.get_attribute("#actuator", "placeholder") == studio.live.status()["actuator_placeholder"]
        for name, letter in CLASS_COMMANDS:
            assert re.search(rf"\b{letter}\s{name}\b", page.inner_text("#legend")), (letter, name)
        for run in range(1, RUNS + 1):
            page.click("#start-live")
            wait(page, f"window.liveState.run === {run} && window.liveState.state === 'running'", 200)
            assert page.is_disabled("#start-live")
            if run > 1:   # a tab opened now shows nothing of the run before
                late = page.context.new_page()
                late.goto(f"{server.url}/live")
                wait(late, f"window.studioConnected && window.liveState.run === {run}", 20)
                shown, _ = rows(late)
                assert all(r == str(run) for r, _ in shown), shown
                late.close()
            wait(page, f"window.liveState.windows >= {WINDOWS} && window.liveState.judged >= 1")
            shown, count = rows(page)
            assert {r for r, _ in shown} == {str(run)} and len(shown) == int(count), (shown, count)
            assert sorted(int(i) for _, i in shown)[0] == 0
            assert page.inner_text("#agreement").endswith("%")
            assert page.get_attribute("#live-simulator", "href") == studio.live.simulator.url
            assert "stand-in" in page.inner_text("#standin")

            page.evaluate(TIME_STOP)
            page.click("#stop")
            wait(page, "window.stopResult && window.stopTiming.painted", 10)
            timing = page.evaluate("window.stopTiming")
            assert timing["painted"] - timing["clicked"] < 100, timing
            answered = timing.get("answered", float("nan")) - timing["clicked"]
            print(f"run {run}: Stopping… shown {timing['painted'] - timing['clicked']:.0f} ms, the outcome "
                  f"{answered:.0f} ms after the click", file=sys.__stderr__)
            assert "alarm" in page.get_attribute("#message", "class")
            assert page.inner_text("#message").startswith("Stopped (actuator acknowledged S in ")
            wait(page, "!document.getElementById('start-live').disabled", 30)
            assert "stopped" in page.get_attribute("#now", "class")
            assert page.inner_text("#gate") == "not checked (not running)"
