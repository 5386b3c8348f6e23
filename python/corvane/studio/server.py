"""Serving a studio on 127.0.0.1 with uvicorn, in the foreground (the command) or in a thread
(tests)."""
import socket
import threading
import time

import uvicorn

from corvane.web.local_http import LOOPBACK
from corvane.studio.app import create_app


class StudioServer:
    def __init__(self, studio, port=0):
        self.studio = studio
        self.socket = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.socket.bind((LOOPBACK, port))   # OSError when the port is taken
        self.port = self.socket.getsockname()[1]
        config = uvicorn.Config(create_app(studio), log_level="warning", access_log=False,
                                timeout_graceful_shutdown=2, lifespan="off")
        self.server = uvicorn.Server(config)
        self._thread = None

    @property
    def url(self):
        return f"http://{LOOPBACK}:{self.port}"

    @property
    def entry_url(self):
        return f"{self.url}/?token={self.studio.token}"

    def run(self):
        """Serves until the server is told to exit (Ctrl-C in the foreground)."""
        self.server.run(sockets=[self.socket])

    def start(self):
        self._thread = threading.Thread(target=self.run, name="studio-server", daemon=True)
        self._thread.start()
        deadline = time.monotonic() + 10
        while not self.server.started:
            if time.monotonic() > deadline or not self._thread.is_alive():
                raise RuntimeError("the studio's server did not start")
            time.sleep(0.02)
        return self

    def stop(self):
        self.server.should_exit = True
        if self._thread is not None:
            self._thread.join(timeout=5)
        self.studio.close()
