"""The Board page in Chromium on the emulator: the µV scale control and its Auto button, and a board
that fell silent or was released (disconnected, or taken by live decoding) never shown as current."""
import shutil

import numpy as np
import pytest

from corvane.facts import SAMPLING_RATE
from corvane.studio.traces import TraceColumns
from corvane.web.browser import HeadlessBrowser
from tests.support.studio_client import request, studio_served

GREEN = "document.querySelectorAll('#quality .good, #quality [data-state=good]').length"


@pytest.mark.parametrize("chunks", [[1], [7], [97, 1, 250], [2500]])
def test_trace_columns_read_piecemeal_match_one_read(chunks):
    """However the reads split the stream, each column goes out once, in order, as in one read."""
    signal = np.random.default_rng(1).standard_normal((2, 2500)) * 20 + 40000   # EEG on a large offset
    whole = TraceColumns(2, SAMPLING_RATE, width=900, seconds=4).feed(signal)
    columns, events, at, k = TraceColumns(2, SAMPLING_RATE, width=900, seconds=4), [], 0, 0
    while at < signal.shape[1]:
        size = chunks[k % len(chunks)]
        events += [e for e in [columns.feed(signal[:, at:at + size])] if e]
        at, k = at + size, k + 1
    assert [e["first"] for e in events] == list(np.cumsum([0] + [len(e["min"][0]) for e in events])[:-1])
    assert [e["reset"] for e in events] == [True] + [False] * (len(events) - 1)
    for key in ("min", "max"):
        assert np.hstack([e[key] for e in events]).tolist() == whole[key]
    assert np.abs(whole["max"]).max() < 100 * whole["per_uv"]   # the offset is filtered out from the first column


def scale_label(page):
    return page.inner_text("#scale-label"), page.locator("#traces .scale").first.inner_text()


def released_page_is_not_current(browser):
    page = browser.page
    browser.wait_until("!window.boardState.connected && window.boardState.stale")
    assert browser.evaluate(GREEN) == 0 and browser.evaluate("Object.keys(boardState.verdicts).length") == 0
    assert page.is_visible("#signals-state") and page.inner_text("#signals-state") == "Not connected"
    assert page.is_visible("#spectrum-state") and "Not connected" in page.inner_text("#quality tbody")


def wait_streaming(browser):
    browser.wait_until(f"window.boardState.updates > 3 && !window.boardState.stale && {GREEN} > 0")


@pytest.mark.slow
def test_scale_control_and_a_released_board_is_not_shown_as_current(trained, tmp_path):
    shutil.copytree(trained[2], tmp_path / "base" / "artefacts")
    with studio_served(tmp_path / "base", speed=10.0, live_speed=2.0, emulator=True) as (studio, server), \
            HeadlessBrowser(width=1280, height=900, timeout=60) as browser:
        page = browser.page
        browser.open(server.entry_url, wait_for="window.studioConnected")
        page.click("#emulator")
        wait_streaming(browser)

        # A chosen scale is drawn and labelled; Auto picks one that fits the simulated EEG.
        for uv in ("1", "50", "500"):
            page.select_option("#uv-per-div", uv)
            assert scale_label(page) == (f"{uv} µV/div · 1 s/div · 4 s shown · notch off", f"±{2 * int(uv)} µV")
        page.select_option("#notch", "50")
        browser.wait_until("document.getElementById('scale-label').textContent.endsWith('notch 50 Hz')")
        page.click("#auto-scale")
        chosen = browser.evaluate("boardState.scale")
        assert 2 <= chosen <= 100 and scale_label(page)[0].startswith(f"{chosen} µV/div")
        assert page.input_value("#uv-per-div") == str(chosen)

        # A board that falls silent is shown as such, and its traces come back when it sends again.
        studio.board.emulator.responsive = False
        browser.wait_until("window.boardState.stale === 'No data from the board'")
        assert browser.evaluate(GREEN) == 0 and page.inner_text("#signals-state") == "No data from the board"
        studio.board.emulator.responsive = True
        wait_streaming(browser)

        # Released by the operator, then by live decoding: on the open page and on one opened after.
        release = {"disconnect": lambda: page.click("#disconnect"),
                   "live decoding": lambda: request(server, "POST", "/api/live/start", body={"emulator": True})}
        for case, act in release.items():
            if case != "disconnect":
                page.click("#emulator")
                wait_streaming(browser)
            status = act()
            assert status is None or status[0] == 200, (case, status)
            released_page_is_not_current(browser)
            browser.open(f"{server.url}/board", wait_for="document.getElementById('state').textContent === 'Not connected.'")
            released_page_is_not_current(browser)
        request(server, "POST", "/api/stop", body={})
