"""The whole studio flow in Chromium on the emulator: board, a short session, training, live and
the stop button. Screenshots of each page go beside the test's output (the README's pictures are
taken by tools/studio_screenshots.py)."""
import sys
import time

import mne
import pytest

from corvane.web.browser import HeadlessBrowser
from tests.support.board_faults import electrode_fault
from tests.support.studio_client import studio_served
from tests.support.studio_session import record_cued_session

SPEED = 10.0
TRIALS_PER_CLASS = 2
EARLIER_TRIALS_PER_CLASS = 3   # an earlier session, so training has the five per class it asks for
STEPS = 300
RAILED_CHANNEL = 1   # C3


def shot(browser, name, folder):
    path = folder / f"{name}.png"
    browser.page.screenshot(path=str(path), full_page=True)


def wait(browser, expression, seconds):
    """Waits for `expression`; an error the page shows meanwhile fails the test at once."""
    browser.page.wait_for_function(f"({expression}) || !!document.querySelector('#message.error')",
                                   timeout=seconds * 1000)
    error = browser.evaluate("(document.querySelector('#message.error') || {}).textContent || ''")
    assert not error, error


@pytest.mark.slow
def test_the_whole_flow_on_the_emulator(tmp_path):
    record_cued_session(tmp_path / "base", trials_per_class=EARLIER_TRIALS_PER_CLASS)
    with studio_served(tmp_path / "base", speed=SPEED, live_speed=2.0, emulator=True, steps=STEPS) as (studio, server), \
            HeadlessBrowser(width=1280, height=900, timeout=60) as browser:
        page = browser.page
        browser.open(server.entry_url, wait_for="window.studioConnected")
        assert page.url.endswith("/board")

        # Board: six traces, then a channel pinned to full scale is flagged.
        page.click("#emulator")
        wait(browser, "window.boardState.traces === 6 && window.boardState.updates > 2", 30)
        emulator = studio.board.emulator
        healthy = emulator.signal
        emulator.signal = electrode_fault(healthy, RAILED_CHANNEL, "railed", emulator.samples_sent)
        wait(browser, "(window.boardState.verdicts.C3 || {}).state === 'bad'", 20)
        assert browser.evaluate("window.boardState.verdicts.C3.text") == "C3: railed — check the electrode"
        assert browser.evaluate("Object.values(window.boardState.verdicts).filter(v => v.state === 'bad').length") == 1
        shot(browser, "board", tmp_path)
        emulator.signal = healthy
        wait(browser, "window.boardState.verdicts.C3.state !== 'bad'", 20)

        # Session: 2 trials per class, the subject screen in its own window.
        browser.open(f"{server.url}/session", wait_for="window.studioConnected")
        wait(browser, "document.getElementById('repetitions').value !== ''", 10)
        with page.expect_popup() as popup:
            page.click("#subject")
        subject = popup.value
        subject.wait_for_function("window.studioConnected")
        page.fill("#repetitions", str(TRIALS_PER_CLASS))
        page.click("#start")
        wait(browser, "(window.sessionState.n || 0) >= 3", 60)
        shot(browser, "session", tmp_path)
        subject.screenshot(path=str(tmp_path / "subject.png"))
        wait(browser, "window.sessionState.state === 'done' || window.sessionState.state === 'failed'", 120)
        assert browser.evaluate("window.sessionState.state") == "done", browser.evaluate("window.sessionState.message")
        shown = subject.evaluate("window.cuesShown")
        combined = mne.io.read_raw_fif(browser.evaluate("window.sessionState.combined"), preload=False, verbose="error")
        assert list(combined.annotations.description) == shown
        assert len(shown) == 5 * TRIALS_PER_CLASS
        subject.close()

        # Train: both decoders in the result.
        browser.open(f"{server.url}/train", wait_for="window.studioConnected")
        page.click("#train")
        wait(browser, "window.trainState.state === 'done' || window.trainState.state === 'failed'", 600)
        assert browser.evaluate("window.trainState.state") == "done", browser.evaluate("window.trainState.error")
        assert page.inner_text("#score-agent").endswith("%") and page.inner_text("#score-csp-lda").endswith("%")
        assert page.locator("#confusion-agent tr").count() == page.locator("#confusion-csp_lda tr").count() == 6
        assert page.inner_text("#stage") == "Training finished" and "rough figure" in page.inner_text("#spread")
        assert page.inner_text("#used").startswith(f"Trained on: Sessions 1 ({5 * EARLIER_TRIALS_PER_CLASS} trials), "
                                                   f"2 ({5 * TRIALS_PER_CLASS} trials)")
        stages = browser.evaluate("window.stagesSeen")
        assert [name.split(" ")[0] for name in stages[-6:]] == ["Combining", "Preparing", "Training", "Scoring",
                                                                "Placing", "Training"], stages
        shot(browser, "train", tmp_path)

        # Live: ten windows, then the stop button's "S" at the controller stand-in within a second.
        browser.open(f"{server.url}/live", wait_for="window.studioConnected")
        page.click("#start-live")
        wait(browser, "window.liveState.windows >= 10", 180)
        assert page.inner_text("#live-controller") == studio.live.run.controller_url
        shot(browser, "live", tmp_path)
        controller = studio.live.controller
        before = len(controller.requests)
        clicked = time.monotonic()
        page.click("#stop")
        while not any(path == "/S" for path in list(controller.requests)[before:]):
            assert time.monotonic() - clicked < 5, "no S reached the controller"
            time.sleep(0.001)
        took = time.monotonic() - clicked
        wait(browser, "window.stopResult && window.stopResult.acknowledged", 10)
        assert took < 1.0, f"S reached the controller {took:.3f} s after the click"
        print(f"stop: S at the controller stand-in {took * 1000:.0f} ms after the click", file=sys.__stderr__)
