"""Sessions: each kept in a combined recording of its own with the subject's name, training
combining the sessions chosen; and in Chromium on the emulator, Pause and Resume, subject screens
that are never stale, and a second session that leaves the first's recording as it was."""
import mne
import pytest

from corvane.facts import COMBINED_FILE
from corvane.pipeline import combine
from corvane.pipeline.combining import boardless_hub, combine_session, recorded_sessions
from corvane.studio.errors import StudioError
from corvane.studio.session_settings import subject_name
from corvane.web.browser import HeadlessBrowser
from tests.support.studio_client import request, studio_served
from tests.support.studio_session import record_cued_session

SPEED = 10.0
OVER = "Session over — thank you"


def read(path):
    return mne.io.read_raw_fif(str(path), preload=False, verbose="error")


def test_subject_names():
    for given, expected in (("P07", "P07"), (" s-1_b ", "s-1_b"), ("", None), (None, None), ("../x", None),
                            ("a b", None), ("-p", None), ("x" * 33, None), (7, None)):
        if expected is None and given not in ("", None):
            with pytest.raises(StudioError, match="letters, digits"):
                subject_name(given)
        else:
            assert subject_name(given) == expected


@pytest.mark.slow
def test_each_session_keeps_its_own_recording_and_training_combines_the_chosen(tmp_path):
    base = tmp_path / "base"
    for _ in range(2):
        record_cued_session(base, trials_per_class=1)   # sessions 1 and 2, five trials each
    formatted = base / "data" / "formatted"
    before = (formatted / COMBINED_FILE).read_bytes()
    hub = boardless_hub(base)
    for session, subject in ((1, "P07"), (2, None)):
        hub.current_session_num = session
        own = combine_session(hub, subject=subject)
        assert own.file == str(formatted / f"session{session}_combined.fif") and sum(own.counts.values()) == 5
        assert (read(own.file).info["subject_info"] or {}).get("his_id") == subject
    assert (formatted / COMBINED_FILE).read_bytes() == before   # S03.fif untouched
    assert recorded_sessions(base) == [{"session": 1, "trials": 5, "subject": "P07"},
                                       {"session": 2, "trials": 5, "subject": None}]
    firsts = list(read(formatted / "session1_combined.fif").annotations.description)
    for chosen, trials, subject in ((None, 10, None), ([2], 5, None), ([1], 5, "P07"), ([2, 1], 10, None)):
        combined = combine(base=base, sessions=chosen)
        raw = read(combined.file)
        assert combined.file == str(formatted / COMBINED_FILE) and len(raw.annotations) == trials, chosen
        assert set(raw.annotations.description) <= {"left", "right", "blinking", "jaw", "relax"}
        assert (raw.info["subject_info"] or {}).get("his_id") == subject
        if chosen == [2, 1]:
            assert list(raw.annotations.description)[:5] == firsts   # joined in session order


def wait(page, expression, seconds):
    """Waits for `expression`; an error the page shows meanwhile fails the test at once."""
    page.wait_for_function(f"({expression}) || !!document.querySelector('#message.error')", timeout=seconds * 1000)
    error = page.evaluate("(document.querySelector('#message.error') || {}).textContent || ''")
    assert not error, error


def subject_screen(page):
    with page.expect_popup() as popup:
        page.click("#subject")
    screen = popup.value
    screen.wait_for_function("window.studioConnected")
    return screen


def run_session(page, subject, repetitions, actions=None):
    page.fill("#subject-name", subject)
    page.fill("#repetitions", str(repetitions))
    page.fill("#record_duration", "10")
    page.fill("#break_duration", "2")
    if actions is not None:
        for box in page.query_selector_all("[data-action]"):
            box.set_checked(box.get_attribute("data-action") in actions)
    page.click("#start")


@pytest.mark.slow
def test_pause_resume_and_a_second_session_in_the_browser(tmp_path):
    with studio_served(tmp_path / "base", speed=SPEED, emulator=True) as (studio, server), \
            HeadlessBrowser(width=1200, height=900, timeout=60) as browser:
        assert request(server, "POST", "/api/board/connect", body={"emulator": True})[0] == 200
        assert request(server, "POST", "/api/session/pause", body={"paused": True})[0] == 200   # nothing running
        page = browser.page
        browser.open(server.entry_url, wait_for="window.studioConnected")
        browser.open(f"{server.url}/session", wait_for="window.studioConnected")
        wait(page, "document.getElementById('length').textContent.includes('105 trials')", 10)
        first_screen = subject_screen(page)
        assert first_screen.inner_text("#word") == "Waiting for the session"

        # Session 1: paused while a trial records; the trial ends, then the subject sees "Paused".
        run_session(page, "P07", 1)
        wait(page, "(window.trialState || {}).phase === 'cue'", 60)
        assert page.is_disabled("#subject-name") and page.is_disabled("#repetitions")
        assert "recording" in page.get_attribute("#rec", "class") and page.inner_text("#rec-state") == "REC"
        assert page.inner_text("#rec-trial") == "Trial 1 of 5"
        page.click("#pause")
        wait(page, "window.sessionState.paused", 10)
        first_screen.wait_for_function("document.getElementById('word').textContent === 'Paused'", timeout=30000)
        wait(page, "document.getElementById('rec-state').textContent === 'Paused'", 10)
        assert first_screen.evaluate("window.cuesShown.length") == 1   # no trial started meanwhile
        page.click("#pause")   # Resume
        wait(page, "window.sessionState.state === 'done'", 120)
        first = window_combined(page)
        assert first_screen.inner_text("#word") == OVER and len(first_screen.evaluate("window.cuesShown")) == 5
        assert not page.is_disabled("#repetitions")

        # Session 2: a screen opened now waits; the one that showed session 1 leaves its "over".
        second_screen = page.context.new_page()   # the button would reload the screen already open
        second_screen.goto(f"{server.url}/subject")
        second_screen.wait_for_function("window.studioConnected")
        assert second_screen.inner_text("#word") == "Waiting for the session"
        run_session(page, "P08", 1, actions=("Left_Hand", "Right_Hand"))
        wait(page, "window.sessionState.state === 'done' && window.sessionState.session === 2", 120)
        second = window_combined(page)
        first_words, second_words = (s.evaluate("window.wordsShown") for s in (first_screen, second_screen))
        assert first_words.count(OVER) == 2 and first_words[first_words.index(OVER) + 1] == "Get ready", first_words
        assert second_words.count(OVER) == 1 and second_words[-1] == first_words[-1] == OVER, second_words
        assert len(first_screen.evaluate("window.cuesShown")) == 7 and len(second_screen.evaluate("window.cuesShown")) == 2

        # Both recordings, each with its own trials and subject; no session wrote S03.fif.
        for path, trials, subject in ((first, 5, "P07"), (second, 2, "P08")):
            raw = read(path)
            assert len(raw.annotations) == trials and raw.info["subject_info"]["his_id"] == subject
        assert first != second and not (studio.base / "data" / "formatted" / COMBINED_FILE).exists()

        # Train offers both; too few trials is said plainly, the internal file names kept apart.
        browser.open(f"{server.url}/train", wait_for="window.studioConnected")
        wait(page, "document.querySelectorAll('[data-session]').length === 2", 20)
        assert "P08" in page.inner_text("#sessions-list")
        page.uncheck("[data-session='1']")
        page.click("#train")
        page.wait_for_function("(window.trainState || {}).state === 'failed'", timeout=120000)
        assert page.inner_text("#message").startswith("Too few trials to train")


def window_combined(page):
    return page.evaluate("window.sessionState.combined")
