"""A studio served in this process for tests, and raw HTTP requests to it (headers exactly as
given, so a test can send a foreign Host or Origin)."""
import contextlib
import http.client
import json

from corvane.studio.app import Studio
from corvane.studio.server import StudioServer


@contextlib.contextmanager
def studio_served(base, **options):
    """(studio, server) on a free port."""
    studio = Studio(base, **options)
    server = StudioServer(studio, 0).start()
    try:
        yield studio, server
    finally:
        server.stop()


def request(server, method, path, headers=None, body=None, token=True, timeout=60):
    """(status, headers, JSON or text). Host is the server's own unless given (None: no Host); with
    `token` the studio's token goes in its header. A bytes body is sent as it is, a list of bytes
    in chunks (no Content-Length)."""
    headers = dict(headers or {})
    headers.setdefault("Host", f"127.0.0.1:{server.port}")
    if token:
        headers.setdefault("X-Studio-Token", server.studio.token)
    payload, chunked = None, isinstance(body, list) and all(isinstance(part, bytes) for part in body)
    if body is not None:
        headers.setdefault("Content-Type", "application/json")
    if chunked:
        payload = iter(body)
        headers.setdefault("Transfer-Encoding", "chunked")
    elif body is not None:
        payload = body if isinstance(body, bytes) else json.dumps(body).encode()
        headers.setdefault("Content-Length", str(len(payload)))
    connection = http.client.HTTPConnection("127.0.0.1", server.port, timeout=timeout)
    try:
        connection.putrequest(method, path, skip_host=True, skip_accept_encoding=True)
        for name, value in headers.items():
            if value is not None:
                connection.putheader(name, value)
        connection.connect()
        try:
            connection.endheaders(payload, encode_chunked=chunked)
        except OSError:   # refused before it was all sent: the answer is still there to read
            pass
        answer = connection.getresponse()
        text = answer.read().decode()
        try:
            content = json.loads(text)
        except ValueError:
            content = text
        return answer.status, dict(answer.getheaders()), content
    finally:
        connection.close()
