"""Drives a headless Chromium through its DevTools protocol, with the standard library only.

Used to look at the movement simulator's page: open a URL, evaluate JavaScript, take a screenshot.
The browser listens for DevTools on a loopback port and is kept from resolving any host except
127.0.0.1, so a page it shows cannot reach the network.
"""
import base64
import json
import os
import shutil
import socket
import struct
import subprocess
import tempfile
import time
import urllib.request

BROWSER_NAMES = ("chromium", "chromium-browser")
# Chromium keeps Unix sockets in its profile and temporary directories and aborts when their
# paths pass the socket path limit (about 100 bytes); longer parents fall back to the system's.
_MAX_PARENT_LENGTH = 60
_SYSTEM_TMP = tempfile.gettempdir()


class BrowserMissing(RuntimeError):
    pass


def find_browser():
    for name in BROWSER_NAMES:
        path = shutil.which(name)
        if path:
            return path
    raise BrowserMissing("Chromium was not found on PATH; install it with scripts/setup-browser "
                         "(Debian's chromium package)")


class HeadlessChromium:
    """`with HeadlessChromium() as browser: browser.open(url); browser.evaluate("1 + 1")`."""

    def __init__(self, width=800, height=600, timeout=30.0, profile_parent=None):
        self.width, self.height, self.timeout = width, height, timeout
        self.profile_parent = profile_parent   # where the throw-away browser profile goes
        self.process = None
        self._profile = None
        self._ws = None
        self._next_id = 0
        self.events = []   # DevTools events received while waiting for replies

    def start(self):
        binary = find_browser()
        parent = self.profile_parent
        if parent is None or len(str(parent)) > _MAX_PARENT_LENGTH:
            parent = _SYSTEM_TMP
        self._profile = tempfile.mkdtemp(prefix="corvane-chromium-", dir=parent)
        args = [binary, "--headless=new", "--disable-gpu", "--no-first-run",
                "--no-default-browser-check", "--disable-background-networking",
                "--disable-component-update", "--disable-sync", "--disable-extensions",
                "--disable-default-apps", "--mute-audio", "--no-proxy-server",
                "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1",
                f"--window-size={self.width},{self.height}",
                f"--user-data-dir={self._profile}", "--remote-debugging-port=0", "about:blank"]
        if hasattr(os, "geteuid") and os.geteuid() == 0:
            args.insert(1, "--no-sandbox")  # Chromium refuses to sandbox as root
        env = dict(os.environ, TMPDIR=self._profile)   # its own temporary files go with the profile
        self.process = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                        env=env)
        try:
            port = self._wait_for_port()
            self._ws = _WebSocket.connect("127.0.0.1", port, self._page_path(port), self.timeout)
            self.call("Page.enable")
            self.call("Runtime.enable")
            self.call("Emulation.setDeviceMetricsOverride", {   # the page gets exactly this size
                "width": self.width, "height": self.height, "deviceScaleFactor": 1, "mobile": False})
        except BaseException:
            self.stop()
            raise
        return self

    def stop(self):
        """Closes the browser (politely first, so it removes its own temporary files)."""
        if self._ws is not None:
            try:
                self.call("Browser.close")
            except (OSError, RuntimeError, ValueError):
                pass
            self._ws.close()
            self._ws = None
        if self.process is not None:
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.process.terminate()
                try:
                    self.process.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    self.process.kill()
                    self.process.wait()
            self.process = None
        if self._profile is not None:
            shutil.rmtree(self._profile, ignore_errors=True)
            self._profile = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def _wait_for_port(self):
        marker = os.path.join(self._profile, "DevToolsActivePort")
        deadline = time.monotonic() + self.timeout
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError(f"Chromium exited at start (code {self.process.returncode})")
            try:
                with open(marker) as f:
                    first = f.readline().strip()
                if first:
                    return int(first)
            except (FileNotFoundError, ValueError):
                pass
            time.sleep(0.05)
        raise TimeoutError("Chromium did not open its DevTools port")

    def _page_path(self, port):
        with urllib.request.urlopen(f"http://127.0.0.1:{port}/json/list", timeout=self.timeout) as r:
            targets = json.load(r)
        for target in targets:
            if target.get("type") == "page":
                return target["webSocketDebuggerUrl"].split(str(port), 1)[1]
        raise RuntimeError("Chromium has no page to drive")

    def call(self, method, params=None):
        """Sends one DevTools command and returns its result; protocol errors raise RuntimeError."""
        self._next_id += 1
        ident = self._next_id
        self._ws.send(json.dumps({"id": ident, "method": method, "params": params or {}}))
        deadline = time.monotonic() + self.timeout
        while True:
            message = json.loads(self._ws.receive(deadline))
            if message.get("id") == ident:
                if "error" in message:
                    raise RuntimeError(f"{method}: {message['error'].get('message')}")
                return message.get("result", {})
            if "method" in message:
                self.events.append(message)

    def open(self, url, wait_for=None):
        """Navigates and waits for the load event, then (optionally) for a JS condition."""
        self.events.clear()
        self.call("Page.navigate", {"url": url})
        self.wait_until("document.readyState === 'complete'")
        if wait_for:
            self.wait_until(wait_for)

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate", {"expression": expression, "returnByValue": True,
                                                "awaitPromise": True})
        if "exceptionDetails" in result:
            details = result["exceptionDetails"]
            text = details.get("exception", {}).get("description") or details.get("text")
            raise RuntimeError(f"page script failed: {text}")
        return result["result"].get("value")

    def wait_until(self, expression, timeout=None):
        deadline = time.monotonic() + (timeout or self.timeout)
        while True:
            value = self.evaluate(f"Boolean({expression})")
            if value:
                return
            if time.monotonic() > deadline:
                raise TimeoutError(f"page condition never held: {expression}")
            time.sleep(0.05)

    def screenshot(self, path):
        data = self.call("Page.captureScreenshot", {"format": "png"})["data"]
        with open(path, "wb") as f:
            f.write(base64.b64decode(data))
        return path


class _WebSocket:
    """The client half of RFC 6455, enough for DevTools: text frames, pings, fragmented replies."""

    def __init__(self, sock):
        self.sock = sock
        self._buffer = b""

    @classmethod
    def connect(cls, host, port, path, timeout):
        sock = socket.create_connection((host, port), timeout=timeout)
        key = base64.b64encode(os.urandom(16)).decode()
        sock.sendall((f"GET {path} HTTP/1.1\r\nHost: {host}:{port}\r\nUpgrade: websocket\r\n"
                      f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\n"
                      "Sec-WebSocket-Version: 13\r\n\r\n").encode())
        ws = cls(sock)
        head = ws._read_until(b"\r\n\r\n")
        if not head.startswith(b"HTTP/1.1 101"):
            sock.close()
            raise RuntimeError(f"DevTools refused the connection: {head[:80]!r}")
        return ws

    def _read_until(self, marker):
        while marker not in self._buffer:
            self._fill()
        head, self._buffer = self._buffer.split(marker, 1)
        return head

    def _fill(self):
        chunk = self.sock.recv(65536)
        if not chunk:
            raise ConnectionError("DevTools connection closed")
        self._buffer += chunk

    def _read(self, n):
        while len(self._buffer) < n:
            self._fill()
        data, self._buffer = self._buffer[:n], self._buffer[n:]
        return data

    def send(self, text, opcode=0x1):
        payload = text.encode() if isinstance(text, str) else text
        n = len(payload)
        if n < 126:
            header = struct.pack("!BB", 0x80 | opcode, 0x80 | n)
        elif n < 1 << 16:
            header = struct.pack("!BBH", 0x80 | opcode, 0x80 | 126, n)
        else:
            header = struct.pack("!BBQ", 0x80 | opcode, 0x80 | 127, n)
        mask = os.urandom(4)
        masked = bytes(b ^ mask[i % 4] for i, b in enumerate(payload))
        self.sock.sendall(header + mask + masked)

    def receive(self, deadline):
        parts = []
        while True:
            self.sock.settimeout(max(0.01, deadline - time.monotonic()))
            first, second = self._read(2)
            n = second & 0x7F
            if n == 126:
                n = struct.unpack("!H", self._read(2))[0]
            elif n == 127:
                n = struct.unpack("!Q", self._read(8))[0]
            mask = self._read(4) if second & 0x80 else None
            payload = self._read(n)
            if mask:
                payload = bytes(b ^ mask[i % 4] for i, b in enumerate(payload))
            opcode = first & 0x0F
            if opcode == 0x8:
                raise ConnectionError("DevTools closed the connection")
            if opcode == 0x9:
                self.send(payload, opcode=0xA)
                continue
            if opcode in (0x0, 0x1, 0x2):
                parts.append(payload)
                if first & 0x80:
                    return b"".join(parts).decode()

    def close(self):
        try:
            self.send(b"", opcode=0x8)
        except OSError:
            pass
        self.sock.close()
