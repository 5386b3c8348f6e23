"""STOP always gets through: from two studios in one browser beside other apps' cookies, from any
of seven tabs, right after a start (which it cancels), against a hanging controller, and when the
studio itself is ended by a signal."""
import contextlib
import os
import shutil
import signal
import subprocess
import sys
import time
from types import SimpleNamespace

import pytest

from corvane.web.browser import HeadlessBrowser
from tests.support.board_faults import controlled_emulator_process
from tests.support.fault_standins import FaultyServer, simulator_answer
from tests.support.studio_client import request, studio_served

FOREIGN_COOKIES = ('prefs={"theme":"dark"}', "a[b]=1", "corvane_studio_token=stale")
START_TO_STOP_MS = (0, 2, 5, 10, 500)   # the last: a start well under way
TABS = 7   # one more than the connections a browser opens to one host


def paths(server):
    return [path for _, path, _ in server.log]


@contextlib.contextmanager
def standins(count=1, answer=None):
    made = [FaultyServer(answer) if answer else FaultyServer() for _ in range(count)]
    try:
        yield made
    finally:
        for server in made:
            server.close()


def stop_from(page, controller):
    """Clicks the page's STOP; "S" was acknowledged by `controller`, and only "S" reached it."""
    controller.clear()
    page.evaluate("window.stopResult = null")
    page.click("#stop")
    page.wait_for_function("window.stopResult && window.stopResult.acknowledged")
    assert paths(controller) == ["/S"]


def wait_until(check, seconds):
    deadline = time.monotonic() + seconds
    while not check():
        assert time.monotonic() < deadline
        time.sleep(0.05)


@pytest.mark.slow
def test_two_studios_in_one_browser_both_stop_whatever_cookies_other_apps_set(tmp_path, monkeypatch):
    with standins(2) as controllers, contextlib.ExitStack() as stack:
        served = []
        for k, controller in enumerate(controllers):
            monkeypatch.setenv("CORVANE_ACTUATOR_HOST", f"127.0.0.1:{controller.port}")
            served.append(stack.enter_context(studio_served(tmp_path / f"base{k}")))
        browser = stack.enter_context(HeadlessBrowser())
        first, second = browser.page, browser.page.context.new_page()
        first.goto(served[0][1].entry_url)
        first.wait_for_function("window.studioConnected")
        for cookie in FOREIGN_COOKIES:   # as any app on 127.0.0.1 may set them: every port gets them
            first.evaluate(f"document.cookie = {cookie!r} + '; path=/'")
        second.goto(served[1][1].entry_url)
        second.wait_for_function("window.studioConnected")
        assert all(cookie.split("=")[0] in second.evaluate("document.cookie") for cookie in FOREIGN_COOKIES)
        first.reload()   # the first studio's page, opened again without its URL's token
        first.wait_for_function("window.studioConnected")
        for page, controller, other in ((first, *controllers), (second, *reversed(controllers))):
            other.clear()
            stop_from(page, controller)
            assert paths(other) == []


@pytest.mark.slow
@pytest.mark.parametrize("shared_worker", [True, False])
def test_seven_tabs_share_one_event_stream_and_stop_is_answered_in_each(tmp_path, monkeypatch, shared_worker):
    with standins() as (controller,):
        monkeypatch.setenv("CORVANE_ACTUATOR_HOST", f"127.0.0.1:{controller.port}")
        with studio_served(tmp_path) as (studio, server), HeadlessBrowser() as browser:
            if not shared_worker:   # as in a browser without shared workers
                browser.page.context.add_init_script("delete window.SharedWorker")
            browser.open(server.entry_url, wait_for="window.studioConnected")
            tabs = [browser.page] + [browser.page.context.new_page() for _ in range(TABS - 1)]
            for tab, name in zip(tabs[1:], ("board", "session", "train", "live", "live", "board")):
                tab.goto(f"{server.url}/{name}")
                tab.wait_for_function("window.studioConnected")
            assert len(studio.bus._subscribers) == 1
            for tab in (tabs[-1], tabs[0]):
                stop_from(tab, controller)
                assert not tab.evaluate("window.stopLate")


def serves(port):
    try:
        return request(SimpleNamespace(port=port), "GET", "/live", token=False, timeout=5)[0] == 200
    except OSError:
        return False


def copy_trained(trained, base):
    shutil.copytree(trained[2], base / "artefacts")
    return base


@pytest.fixture
def live_studio(trained, tmp_path):
    """(studio, server, board, controller, simulator): a studio with a trained decoder and a board
    connected, and a controller and simulator of the test's."""
    with standins() as (controller,), standins(answer=simulator_answer) as (simulator,), \
            controlled_emulator_process(speed=4) as board, \
            studio_served(copy_trained(trained, tmp_path / "base")) as (studio, server):
        assert request(server, "POST", "/api/board/connect", body={"port": board.port})[0] == 200
        yield studio, server, board, controller, simulator


@pytest.mark.slow
def test_stop_just_after_start_cancels_it(live_studio):
    studio, server, board, controller, simulator = live_studio
    with HeadlessBrowser() as browser:
        browser.open(server.entry_url, wait_for="window.studioConnected")
        browser.open(f"{server.url}/live", wait_for="window.studioConnected")
        browser.page.fill("#actuator", f"127.0.0.1:{controller.port}")
        browser.page.fill("#simulator", simulator.url)
        for delay in START_TO_STOP_MS:
            controller.clear()
            browser.page.evaluate("""(delay) => {
                window.stopResult = null; window.liveStarted = undefined;
                document.getElementById('start-live').click();
                setTimeout(() => document.getElementById('stop').click(), delay);
            }""", delay)
            browser.page.wait_for_function("window.stopResult && window.liveStarted !== undefined", timeout=60_000)
            assert browser.evaluate("window.liveStarted") is None, delay   # the start was refused
            wait_until(lambda: not studio.live.running, 15)
            # "S" from the studio and from live_pilot's way out, when the stop found them started
            assert set(paths(controller)) <= {"/S"}, (delay, paths(controller))


@pytest.mark.slow
def test_stop_against_a_hanging_controller_answers_at_once_and_live_ends_after(live_studio):
    studio, server, board, controller, simulator = live_studio
    started = request(server, "POST", "/api/live/start",
                      body={"actuator_host": f"127.0.0.1:{controller.port}", "simulator_url": simulator.url})
    assert started[0] == 200, started
    controller.fail("hang")
    began = time.monotonic()
    status, _, answer = request(server, "POST", "/api/stop", body={})
    took = time.monotonic() - began
    assert status == 200 and not answer["acknowledged"] and took < 1.5, (answer, took)
    wait_until(lambda: studio.bus.latest["live"]["state"] == "ended", 20)


@contextlib.contextmanager
def studio_process(base, controller):
    """(process, printed URL) of `python -m corvane.studio` commanding `controller`, once it serves."""
    env = dict(os.environ, CORVANE_ACTUATOR_HOST=f"127.0.0.1:{controller.port}")
    process = subprocess.Popen([sys.executable, "-m", "corvane.studio", "--port", "0", "--base", str(base)],
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=env)
    try:
        line = ""
        while "Corvane Studio: http" not in line:
            line = process.stdout.readline()
            assert line, "the studio ended before serving"
        url = line.split("Corvane Studio: ")[1].strip()
        wait_until(lambda: serves(int(url.split("127.0.0.1:")[1].split("/")[0])), 30)
        yield process, url
    finally:
        if process.poll() is None:
            process.send_signal(signal.SIGCONT)
            process.kill()
            process.wait()


@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGHUP])
def test_a_studio_ended_by_a_signal_sends_its_own_stop(tmp_path, signum):
    with standins() as (controller,):
        with studio_process(tmp_path, controller) as (process, _):
            process.send_signal(signum)
            assert process.wait(timeout=30) == -signum
        assert paths(controller) == ["/S"]


@pytest.mark.slow
def test_the_page_warns_when_stop_is_not_answered_within_a_second(tmp_path):
    with standins() as (controller,), studio_process(tmp_path, controller) as (process, url), \
            HeadlessBrowser() as browser:
        browser.open(url, wait_for="window.studioConnected")
        process.send_signal(signal.SIGSTOP)
        browser.page.click("#stop")
        browser.wait_until("window.stopLate")
        assert "not been answered within 1 s" in browser.page.inner_text("#stop-late")
        process.send_signal(signal.SIGCONT)
        browser.wait_until("window.stopResult && window.stopResult.acknowledged")
        assert not browser.page.is_visible("#stop-late") and paths(controller) == ["/S"]
