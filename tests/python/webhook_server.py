"""A webhook receiver on 127.0.0.1 for the notify tests: counts, delays and fails requests."""

from __future__ import annotations

import json
import socket
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


class WebhookServer:
    """``answers`` is a list of (status, delay in seconds[, headers]) used in turn; then 200."""

    def __init__(self, answers=(), delay=0.0):
        self.answers = list(answers)
        self.delay = delay
        self.bodies = []
        self.paths = []
        self.lock = threading.Lock()
        owner = self

        class Handler(BaseHTTPRequestHandler):
            def do_POST(self):
                body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
                with owner.lock:
                    owner.bodies.append(json.loads(body))
                    owner.paths.append(self.path)
                    answer = owner.answers.pop(0) if owner.answers else (200, owner.delay)
                status, delay, headers = (*answer, {})[:3]
                time.sleep(delay)
                try:
                    self.send_response(status)
                    for name, value in headers.items():
                        self.send_header(name, value)
                    self.send_header("Content-Length", "2")
                    self.end_headers()
                    self.wfile.write(b"ok")
                except OSError:  # the client gave up waiting
                    pass

            def log_message(self, *args):
                pass

        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.url = f"http://127.0.0.1:{self.server.server_port}/hooks/secret-token"
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)

    @property
    def count(self):
        with self.lock:
            return len(self.bodies)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.server.shutdown()
        self.server.server_close()


class RawServer:
    """Answers each connection on 127.0.0.1 with the same raw bytes, then closes it."""

    def __init__(self, reply: bytes):
        self.reply = reply
        self.connections = 0
        self.socket = socket.create_server(("127.0.0.1", 0))
        self.url = f"http://127.0.0.1:{self.socket.getsockname()[1]}/hook"
        self.thread = threading.Thread(target=self._serve, daemon=True)

    def _serve(self):
        while True:
            try:
                connection, _ = self.socket.accept()
            except OSError:
                return
            with connection:
                self.connections += 1
                connection.settimeout(2)
                try:
                    connection.recv(65536)
                    connection.sendall(self.reply)
                except OSError:
                    pass

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.socket.close()


def refused_url():
    """A loopback URL on a port nothing listens on: every connection is refused."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    return f"http://127.0.0.1:{port}/hook"
