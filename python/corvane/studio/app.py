"""The studio: its state (base directory, token, event bus, one object per page) and the Starlette
app serving the pages and their JSON actions behind the guard."""
import fcntl
import os
import secrets
from pathlib import Path

import anyio
from starlette.applications import Starlette
from starlette.responses import FileResponse, JSONResponse, RedirectResponse
from starlette.routing import Mount, Route
from starlette.staticfiles import StaticFiles

from corvane.studio.board import BoardService
from corvane.studio.errors import StudioError
from corvane.studio.events import EventBus, event_stream
from corvane.studio.guard import Guard
from corvane.studio.live_page import LivePage
from corvane.studio.output import OutputRouter
from corvane.studio.session import SessionRunner
from corvane.studio.train_page import TrainingPage

STATIC = Path(__file__).parent / "static"
PAGES = ("board", "session", "subject", "train", "live")
LOCK_NAME = ".studio.lock"


class Studio:
    def __init__(self, base, *, speed=1.0, live_speed=None, emulator=False, steps=None, seed=0, token=None):
        self.base = Path(base).resolve()
        self.base.mkdir(parents=True, exist_ok=True)
        os.environ["CORVANE_PATH"] = str(self.base)
        self.artefact_dir = self.base / "artefacts"
        os.environ["CORVANE_ARTEFACT_DIR"] = str(self.artefact_dir)
        self.speed, self.emulator_default, self.steps, self.seed = float(speed), emulator, steps, seed
        self.live_speed = float(live_speed) if live_speed else min(self.speed, 2.0)
        self.token = token or secrets.token_urlsafe(24)
        self.bus = EventBus()
        self.output = OutputRouter(self.base / "studio.log").install()
        self.blocked = self._take_lock()
        self.board = BoardService(self)
        self.session = SessionRunner(self)
        self.training = TrainingPage(self)
        self.live = LivePage(self)

    def _take_lock(self):
        """None when this studio holds the base directory, else the page's message why not."""
        self._lock_file = open(self.base / LOCK_NAME, "a")
        try:
            fcntl.flock(self._lock_file.fileno(), fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            self._lock_file.close()
            self._lock_file = None
            return (f"Another studio is already using {self.base}. Use that one, or start this one with "
                    "another --base; nothing here can change its recordings.")
        return None

    def status(self):
        return {"base": str(self.base), "blocked": self.blocked, "emulator_default": self.emulator_default,
                "speed": self.speed, "steps": self.steps, "board": self.board.status(), "controller": self.live.controller_url(),
                "live_running": self.live.running, "session_running": self.session.running,
                "training_running": self.training.running}

    def close(self):
        for part in (self.live.close, self.session.stop, self.training.cancel, self.board.close):
            try:
                part()
            except Exception:
                pass
        self.output.remove()
        if self._lock_file is not None:
            self._lock_file.close()
            self._lock_file = None


def action(work):
    """A POST endpoint: the JSON body to `work(body)` in a worker thread; a StudioError is the
    page's message (400)."""
    async def endpoint(request):
        try:
            body = await request.json()
        except ValueError:
            return JSONResponse({"error": "the body is not JSON"}, status_code=400)
        if not isinstance(body, dict):
            return JSONResponse({"error": "the body must be a JSON object"}, status_code=400)
        try:
            result = await anyio.to_thread.run_sync(work, body)
        except StudioError as exc:
            return JSONResponse({"error": str(exc)}, status_code=400)
        except Exception as exc:
            return JSONResponse({"error": f"{type(exc).__name__}: {exc}"}, status_code=500)
        return JSONResponse(result if result is not None else {"ok": True})
    return endpoint


def page(name):
    async def endpoint(request):
        return FileResponse(STATIC / f"{name}.html", headers={"Cache-Control": "no-store"})
    return endpoint


def create_app(studio):
    async def status(request):
        return JSONResponse(studio.status())

    async def profile(request):
        settings = await anyio.to_thread.run_sync(studio.session.settings)
        return JSONResponse(settings.to_dict())

    async def root(request):
        return RedirectResponse("/board", status_code=303)

    s = studio
    routes = [Route("/", root), *[Route(f"/{name}", page(name)) for name in PAGES],
              Route("/api/status", status), Route("/api/events", event_stream(studio.bus)),
              Route("/api/session/profile", profile),
              *[Route(path, action(work), methods=["POST"]) for path, work in {
                  "/api/stop": lambda b: s.live.stop(),
                  "/api/board/connect": lambda b: s.board.connect(b.get("port"), bool(b.get("emulator"))),
                  "/api/board/disconnect": lambda b: s.board.disconnect(),
                  "/api/session/profile": s.session.save,
                  "/api/session/load": lambda b: s.session.load(b.get("session")),
                  "/api/session/start": s.session.start,
                  "/api/session/pause": lambda b: s.session.pause(bool(b.get("paused", True))),
                  "/api/session/skip": lambda b: s.session.skip(),
                  "/api/session/stop": lambda b: s.session.stop(),
                  "/api/train/start": s.training.start,
                  "/api/train/cancel": lambda b: s.training.cancel(),
                  "/api/live/start": s.live.start,
              }.items()],
              Mount("/static", StaticFiles(directory=STATIC))]
    return Guard(Starlette(routes=routes), studio.token, lambda: studio.blocked)
