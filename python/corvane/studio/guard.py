"""The studio's request guard, an ASGI middleware in front of every route:

- Host, Origin and fetch metadata are checked as every local service checks them
  (corvane.web.local_http.request_refusal);
- the pages and their static files hold nothing secret and are served without the token; every
  /api/ request carries the run's token in an X-Studio-Token header. The page takes the token from
  the URL the studio prints and keeps it in its origin's storage (the port's own: another studio
  or another app on 127.0.0.1 cannot read or replace it). Cookies are never read, so no cookie,
  however malformed and whoever set it, changes what is served;
- state changes are POSTs with a JSON body of at most MAX_BODY bytes (413 before more is read),
  so a plain HTML form elsewhere cannot make one;
- while another studio holds the base directory, every POST but STOP is refused with that message
  (STOP still sends "S" to the controller this studio was given).
"""
import json
import secrets

from corvane.web.local_http import request_refusal

HEADER = "x-studio-token"
MAX_BODY = 64 * 1024
STOP_PATH = "/api/stop"


class Guard:
    def __init__(self, app, token, blocked=lambda: None):
        self.app, self.token, self.blocked = app, token, blocked

    async def __call__(self, scope, receive, send):
        if scope["type"] == "websocket":   # none is served: live data goes over server-sent events
            return await send({"type": "websocket.close", "code": 1008})
        if scope["type"] != "http":
            return await self.app(scope, receive, send)
        headers = [(k.decode("latin-1").lower(), v.decode("latin-1")) for k, v in scope["headers"]]
        values = lambda name: [v for k, v in headers if k == name]
        port = (scope.get("server") or (None, 0))[1]
        site = values("sec-fetch-site")
        refusal = request_refusal(port, values("host"), values("origin"), site[0] if site else None)
        if refusal is not None:
            return await _answer(send, refusal[0], refusal[1])
        method = scope.get("method")
        if method not in ("GET", "HEAD", "POST"):
            return await _answer(send, 405, {"error": "only GET and POST are served"})
        if method != "POST" and not scope["path"].startswith("/api/"):
            return await self.app(scope, receive, send)   # a page or a static file
        tokens = values(HEADER)
        if len(tokens) != 1 or not self._valid(tokens[0]):
            return await _answer(send, 403, {"error": "This studio needs its token: open the URL it printed "
                                                      "(http://127.0.0.1:<port>/?token=...)."})
        if method == "POST":
            content_type = next(iter(values("content-type")), "").split(";")[0].strip().lower()
            if content_type != "application/json":
                return await _answer(send, 415, {"error": "changes are sent as JSON"})
            blocked = self.blocked()
            if blocked and scope["path"] != STOP_PATH:
                return await _answer(send, 409, {"error": blocked})
            body = await _bounded_body(values("content-length"), receive)
            if body is None:
                return await _answer(send, 413, {"error": f"the body is larger than {MAX_BODY} bytes"},
                                     [(b"connection", b"close")])
            receive = _replay(body, receive)
        return await self.app(scope, receive, send)

    def _valid(self, token):
        return bool(token) and secrets.compare_digest(token.encode(), self.token.encode())


async def _bounded_body(lengths, receive):
    """The whole body when it is at most MAX_BODY bytes, else None: a declared length over it is
    refused before anything is read, an undeclared one once the bytes read pass it."""
    if any(not n.strip().isdigit() or int(n) > MAX_BODY for n in lengths):
        return None
    chunks, size = [], 0
    while True:
        message = await receive()
        if message["type"] != "http.request":   # the client went away
            return b""
        chunks.append(message.get("body", b""))
        size += len(chunks[-1])
        if size > MAX_BODY:
            return None
        if not message.get("more_body"):
            return b"".join(chunks)


def _replay(body, receive):
    """A receive() that gives the body already read, then waits as the server's does."""
    sent = False

    async def replay():
        nonlocal sent
        if not sent:
            sent = True
            return {"type": "http.request", "body": body, "more_body": False}
        return await receive()
    return replay


async def _answer(send, status, body, extra=()):
    payload = json.dumps(body).encode()
    await send({"type": "http.response.start", "status": status,
                "headers": [(b"content-type", b"application/json"), (b"content-length", str(len(payload)).encode()),
                            (b"cache-control", b"no-store"), (b"referrer-policy", b"no-referrer"), *extra]})
    await send({"type": "http.response.body", "body": payload})
