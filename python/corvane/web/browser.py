"""A headless Chromium driven through Playwright, to look at the movement simulator's page: open a
URL, evaluate JavaScript, wait for a condition, take a screenshot.

It runs Debian's `chromium` (Playwright's own browser builds are not used). The profile and the
browser's temporary files go to a short private directory under /tmp, removed at stop: Chromium
keeps Unix sockets there and aborts when their paths grow long, as under a deeply nested project.
The browser resolves no host except 127.0.0.1, so a page it shows cannot reach the network.
"""
import os
import shutil
import tempfile
from pathlib import Path

BROWSER_NAMES = ("chromium", "chromium-browser")
SHORT_TMP = "/tmp"


class BrowserMissing(RuntimeError):
    pass


def find_browser():
    for name in BROWSER_NAMES:
        path = shutil.which(name)
        if path:
            return path
    raise BrowserMissing("Chromium was not found on PATH; install it with scripts/setup-browser "
                         "(Debian's chromium package)")


def short_private_dir():
    """A new directory only this user can enter, with a short path."""
    return tempfile.mkdtemp(prefix="cv-", dir=SHORT_TMP if os.path.isdir(SHORT_TMP) else None)


class HeadlessBrowser:
    """`with HeadlessBrowser() as browser: browser.open(url); browser.evaluate("1 + 1")`.

    `requested` lists the URL of every request the page made."""

    def __init__(self, width=800, height=600, timeout=30.0):
        self.width, self.height, self.timeout = width, height, timeout
        self.requested = []
        self.page = None
        self._playwright = self._context = self._dir = None

    def start(self):
        from playwright.sync_api import sync_playwright

        binary = find_browser()
        self._dir = short_private_dir()
        try:
            self._playwright = sync_playwright().start()
            self._context = self._playwright.chromium.launch_persistent_context(
                os.path.join(self._dir, "profile"), executable_path=binary, headless=True,
                args=["--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1",
                      "--disable-background-networking", "--disable-component-update",
                      "--no-first-run", "--mute-audio"],
                env=dict(os.environ, TMPDIR=self._dir), timeout=self.timeout * 1000,
                viewport={"width": self.width, "height": self.height})
            self.page = self._context.pages[0] if self._context.pages else self._context.new_page()
            self.page.set_default_timeout(self.timeout * 1000)
            self.page.on("request", lambda request: self.requested.append(request.url))
        except BaseException:
            self.stop()
            raise
        return self

    def stop(self):
        """Closes the browser and removes its directory; safe to call twice."""
        context, self._context, self.page = self._context, None, None
        playwright, self._playwright = self._playwright, None
        for close in (context and context.close, playwright and playwright.stop):
            if close:
                try:
                    close()
                except Exception:   # a browser that already died: the rest is still cleaned up
                    pass
        if self._dir is not None:
            shutil.rmtree(self._dir, ignore_errors=True)
            self._dir = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def open(self, url, wait_for=None):
        """Loads `url`; with `wait_for`, waits until that JavaScript expression is truthy."""
        self.page.goto(url)
        if wait_for:
            self.wait_until(wait_for)

    def evaluate(self, expression):
        """The value of a JavaScript expression (a promise is awaited)."""
        return self.page.evaluate(expression)

    def wait_until(self, expression):
        self.page.wait_for_function(expression)

    def screenshot(self, path):
        """The page as a PNG file at `path`; returns the path."""
        self.page.screenshot(path=str(path))
        return Path(path)
