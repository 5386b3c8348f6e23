"""The studio: its state (base directory, token, event bus, one object per page) and the Starlette
app serving the pages and their JSON actions behind the guard."""
import fcntl
import json
import secrets
import threading
from pathlib import Path

import anyio
from anyio import CapacityLimiter
from starlette.applications import Starlette
from starlette.responses import FileResponse, JSONResponse, RedirectResponse
from starlette.routing import Mount, Route
from starlette.staticfiles import StaticFiles

from corvane.pipeline.live import LiveError
from corvane.studio.board import BoardService
from corvane.studio.errors import StudioError, error_body
from corvane.studio.events import EventBus, event_stream
from corvane.studio.guard import Guard
from corvane.studio.live_page import LivePage
from corvane.studio.output import OutputRouter
from corvane.studio.session import SessionRunner
from corvane.studio.train_page import TrainingPage

STATIC = Path(__file__).parent / "static"
PAGES = ("board", "session", "subject", "train", "live")
LOCK_NAME = ".studio.lock"
MAX_DEPTH = 8          # the pages' bodies nest two deep
MAX_FIELD = 2000       # characters in any one string of a body
MAX_IDS = 16           # start ids one STOP cancels
UNEXPECTED = ("The studio could not do that: something unexpected went wrong. Try again; if it happens again, "
              "report it with the details.")


class Studio:
    def __init__(self, base, *, speed=1.0, live_speed=None, emulator=False, steps=None, seed=0, token=None):
        self.base = Path(base).resolve()
        self.base.mkdir(parents=True, exist_ok=True)
        self.artefact_dir = self.base / "artefacts"
        self.speed, self.emulator_default, self.steps, self.seed = float(speed), emulator, steps, seed
        self.live_speed = float(live_speed) if live_speed else min(self.speed, 2.0)
        self.token = token or secrets.token_urlsafe(24)
        self.bus = EventBus()
        self.output = OutputRouter(self.base / "studio.log").install()
        self.blocked = self._take_lock()
        self._starting = threading.Lock()   # a session, training or live run is being started
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
                "training_running": self.training.running,
                "live": self.live.status()}

    def one_at_a_time(self, start):
        """`start(body)` run only when no session, training or live run is going or being started:
        each is checked and started under one lock, so two starts cannot both pass the check."""
        def work(body):
            if not self._starting.acquire(blocking=False):
                raise StudioError("Something is being started already; wait for it, then try again.")
            try:
                for name, running in (("A session", self.session.running), ("Training", self.training.running),
                                      ("Live decoding", self.live.running)):
                    if running:
                        raise StudioError(f"{name} is running: wait for it to end, or stop it, first.")
                return start(body)
            finally:
                self._starting.release()
        return work

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


def action(work, limiter=None):
    """A POST endpoint: the JSON body (a bounded object, see plain_body) to `work(body)` in a worker
    thread (of `limiter`'s, when given); a StudioError or LiveError is the page's message (400)."""
    async def endpoint(request):
        try:
            body = plain_body(await request.body())
        except StudioError as exc:
            return JSONResponse(error_body(exc), status_code=400)
        try:
            result = await anyio.to_thread.run_sync(work, body, limiter=limiter)
        except (StudioError, LiveError) as exc:
            return JSONResponse(error_body(exc), status_code=400)
        except Exception as exc:
            return JSONResponse({"error": UNEXPECTED, "details": f"{type(exc).__name__}: {exc}"}, status_code=500)
        return JSONResponse(result if result is not None else {"ok": True})
    return endpoint


def plain_body(raw):
    """The body as a JSON object nested at most MAX_DEPTH deep with strings of at most MAX_FIELD
    characters; StudioError otherwise."""
    try:
        body = json.loads(raw)
    except RecursionError:
        raise StudioError("the body is nested too deeply") from None
    except ValueError:
        raise StudioError("the body is not JSON") from None
    if not isinstance(body, dict):
        raise StudioError("the body must be a JSON object")
    pending = [(body, 1)]
    while pending:
        value, depth = pending.pop()
        if isinstance(value, dict):
            pending.extend((part, depth + 1) for pair in value.items() for part in pair)
        elif isinstance(value, list):
            pending.extend((part, depth + 1) for part in value)
        elif isinstance(value, str) and len(value) > MAX_FIELD:
            raise StudioError(f"a field is longer than {MAX_FIELD} characters")
        if depth > MAX_DEPTH:
            raise StudioError("the body is nested too deeply")
    return body


def start_ids(value):
    """The start ids a STOP names (strings), at most MAX_IDS of them."""
    if not isinstance(value, list) or not all(isinstance(v, str) for v in value):
        return []
    return value[:MAX_IDS]


def page(name):
    async def endpoint(request):
        return FileResponse(STATIC / f"{name}.html", headers={"Cache-Control": "no-store"})
    return endpoint


def create_app(studio):
    async def status(request):
        return JSONResponse(studio.status())

    async def profile(request):
        return JSONResponse(await anyio.to_thread.run_sync(studio.session.view))

    async def train_sessions(request):
        return JSONResponse(await anyio.to_thread.run_sync(studio.training.sessions))

    async def root(request):
        # The printed URL's token goes on to the page, which keeps it and takes it out of the URL.
        query = request.url.query
        return RedirectResponse("/board" + (f"?{query}" if query else ""), status_code=303)

    s = studio
    stop_threads = CapacityLimiter(4)   # STOP never waits for a thread another action holds
    one = s.one_at_a_time
    routes = [Route("/", root), *[Route(f"/{name}", page(name)) for name in PAGES],
              Route("/api/status", status), Route("/api/events", event_stream(studio.bus)),
              Route("/api/session/profile", profile), Route("/api/train/sessions", train_sessions),
              Route("/api/stop", action(lambda b: s.live.stop(start_ids(b.get("cancel"))), stop_threads),
                    methods=["POST"]),
              *[Route(path, action(work), methods=["POST"]) for path, work in {
                  "/api/board/connect": lambda b: s.board.connect(b.get("port"), bool(b.get("emulator"))),
                  "/api/board/disconnect": lambda b: s.board.disconnect(),
                  "/api/board/view": s.board.view,
                  "/api/session/profile": s.session.save,
                  "/api/session/load": lambda b: s.session.load(b.get("session")),
                  "/api/session/start": one(s.session.start),
                  "/api/session/pause": lambda b: s.session.pause(bool(b.get("paused", True))),
                  "/api/session/skip": lambda b: s.session.skip(),
                  "/api/session/stop": lambda b: s.session.stop(),
                  "/api/train/start": one(s.training.start),
                  "/api/train/cancel": lambda b: s.training.cancel(),
                  "/api/live/start": one(s.live.start),
              }.items()],
              Mount("/static", StaticFiles(directory=STATIC))]
    return Guard(Starlette(routes=routes), studio.token, lambda: studio.blocked)
