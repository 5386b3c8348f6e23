"""A misbehaving session store on 127.0.0.1, and what a client left open towards a server."""
import json
import os
import threading
import time

from corvane.web.local_http import LocalHandler, LocalService


class MisbehavingStore(LocalService):
    """An HTTP server on 127.0.0.1 answering every GET and POST in one bad way, recording each
    request as (method, path, body bytes).

    trickle=seconds: a 200 JSON answer {"session_data": "<data>"} sent one byte at a time,
    that many seconds apart. redirect=url: a `status` answer whose Location is url + the path.
    huge=bytes: a 200 JSON answer whose "session_data" holds that many bytes of Base64 text, made
    as it is sent; declared=False leaves out its Content-Length (the body ends with the connection)."""

    def __init__(self, trickle=None, redirect=None, status=307, data="", huge=None, declared=True):
        super().__init__()
        self.requests = []
        self.trickle, self.redirect, self.status, self.data = trickle, redirect, status, data
        self.huge, self.declared = huge, declared
        self.start()

    @property
    def url(self):
        return super().url + "/api"

    class handler(LocalHandler):
        def answer(self):
            server = self.server.owner
            length = int(self.headers.get("Content-Length") or 0)
            server.requests.append((self.command, self.path, self.rfile.read(length)))
            body = json.dumps({"session_data": server.data}).encode()
            try:
                if server.redirect is not None:
                    self.send_response(server.status)
                    self.send_header("Location", server.redirect + self.path)
                    self.send_header("Content-Length", "0")
                    self.end_headers()
                    return
                if server.huge is not None:
                    self._send_huge(server.huge, server.declared)
                    return
                self.send_response(200)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                for k in range(len(body)):
                    self.wfile.write(body[k : k + 1])
                    self.wfile.flush()
                    time.sleep(server.trickle)
            except OSError:
                pass  # the client hung up

        def _send_huge(self, huge, declared):
            head, tail, chunk = b'{"session_data": "', b'"}', b"QUJD" * (1 << 18)
            self.send_response(200)
            self.send_header("Content-Type", "application/json")
            if declared:
                self.send_header("Content-Length", str(len(head) + huge + len(tail)))
            else:
                self.send_header("Connection", "close")
                self.close_connection = True
            self.end_headers()
            self.wfile.write(head)
            for start in range(0, huge, len(chunk)):
                self.wfile.write(chunk[: min(len(chunk), huge - start)])
            self.wfile.write(tail)

        do_GET = do_POST = answer


def client_sockets_to(port):
    """Sockets of this process connected to `port` on this machine (by /proc's TCP tables)."""
    inodes = set()
    for fd in os.listdir("/proc/self/fd"):
        try:
            target = os.readlink(f"/proc/self/fd/{fd}")
        except OSError:
            continue
        if target.startswith("socket:["):
            inodes.add(target[len("socket:["):-1])
    found = 0
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        with open(table) as f:
            for row in f.readlines()[1:]:
                fields = row.split()
                if int(fields[2].rsplit(":", 1)[1], 16) == port and fields[9] in inodes:
                    found += 1
    return found


def request_threads():
    """Threads a store request left running (by name; the client is to leave none)."""
    return [thread for thread in threading.enumerate() if thread.name == "store-request"]
