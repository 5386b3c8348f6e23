"""The studio's request guard, an ASGI middleware in front of every route:

- Host, Origin and fetch metadata are checked as every local service checks them
  (corvane.web.local_http.request_refusal);
- every request carries the run's token: in the URL the studio prints (`?token=...`, answered by a
  redirect that keeps it in a same-site, script-invisible cookie), in that cookie, or in an
  X-Studio-Token header;
- state changes are POSTs with a JSON body only, so a plain HTML form elsewhere cannot make one;
- while another studio holds the base directory, every POST is refused with that message.
"""
import json
import secrets
from http.cookies import SimpleCookie
from urllib.parse import parse_qsl, urlencode

from corvane.web.local_http import request_refusal

COOKIE = "corvane_studio_token"
HEADER = "x-studio-token"


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
        query = dict(parse_qsl(scope.get("query_string", b"").decode("latin-1")))
        if "token" in query and self._valid(query["token"]) and scope.get("method") == "GET":
            rest = {k: v for k, v in query.items() if k != "token"}
            location = scope["path"] + (f"?{urlencode(rest)}" if rest else "")
            cookie = f"{COOKIE}={self.token}; Path=/; HttpOnly; SameSite=Strict"
            return await _answer(send, 303, {"redirect": location},
                                 [(b"location", location.encode()), (b"set-cookie", cookie.encode())])
        if not self._valid(_cookie(values("cookie")) or next(iter(values(HEADER)), "")):
            return await _answer(send, 403, {"error": "This studio needs its token: open the URL it printed "
                                                      "(http://127.0.0.1:<port>/?token=...)."})
        if scope.get("method") not in (None, "GET", "HEAD", "POST"):
            return await _answer(send, 405, {"error": "only GET and POST are served"})
        if scope.get("method") == "POST":
            content_type = next(iter(values("content-type")), "").split(";")[0].strip().lower()
            if content_type != "application/json":
                return await _answer(send, 415, {"error": "changes are sent as JSON"})
            blocked = self.blocked()
            if blocked:
                return await _answer(send, 409, {"error": blocked})
        return await self.app(scope, receive, send)

    def _valid(self, token):
        return bool(token) and secrets.compare_digest(token.encode(), self.token.encode())


def _cookie(headers):
    for header in headers:
        jar = SimpleCookie()
        try:
            jar.load(header)
        except Exception:
            continue
        if COOKIE in jar:
            return jar[COOKIE].value
    return ""


async def _answer(send, status, body, extra=()):
    payload = json.dumps(body).encode()
    await send({"type": "http.response.start", "status": status,
                "headers": [(b"content-type", b"application/json"), (b"content-length", str(len(payload)).encode()),
                            (b"cache-control", b"no-store"), *extra]})
    await send({"type": "http.response.body", "body": payload})
