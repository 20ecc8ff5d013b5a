"""``--serve HOST:PORT``: the live page, served by aiohttp on its own thread.

Three addresses: ``/`` the page (one file, nothing else to load), ``/state``
the board as JSON, ``/events`` the board again as server-sent events, one
event each time it changes. A client that falls behind (a replay makes
checkpoints faster than a browser draws) gets the latest board, not every
one in between.

The page is read-only: it takes no input and serves nothing but the board.
It listens on 127.0.0.1 unless another address is asked for; then anyone who
reaches that address sees the alerts, the symbols watched and the feed
health. Requests naming another host than the one served are refused, so a
web page elsewhere cannot read the board through a name it points at this
machine (DNS rebinding).
"""

from __future__ import annotations

import asyncio
import contextlib
import json
import threading
from importlib import resources
from typing import Any

from fenmor_radar import optional
from fenmor_radar.feeds.health import SymbolHealth
from fenmor_radar.page.board import Board
from fenmor_radar.replay.items import Checkpoint

LOOPBACK = "127.0.0.1"
# Nothing but this page's own script, styles and event stream.
POLICY = (
    "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
    "connect-src 'self'; img-src data:; base-uri 'none'; form-action 'none'; "
    "frame-ancestors 'none'"
)


class MissingWebStack(optional.MissingExtra):
    """aiohttp is not installed."""


def parse_address(text: str) -> tuple[str, int]:
    """``HOST:PORT``, ``:PORT`` or ``PORT`` (host 127.0.0.1); ValueError says what is wrong."""
    host, sep, port_text = text.rpartition(":")
    if not sep:
        host, port_text = "", text
    host = host.strip("[]") or LOOPBACK
    try:
        port = int(port_text)
    except ValueError:
        raise ValueError(f"--serve: not HOST:PORT: {text!r} (for example 127.0.0.1:8000)") from None
    if not 0 <= port <= 65535:
        raise ValueError(f"--serve: port {port} is not between 0 and 65535")
    return host, port


class LivePage:
    """The page's server; ``checkpoint`` may be called from any thread."""

    def __init__(self, host: str, port: int, board: Board) -> None:
        try:
            import aiohttp  # noqa: F401
        except ImportError as err:
            raise MissingWebStack(
                optional.missing_message("--serve", "web", err), name=err.name
            ) from err
        self.host = host
        self.port = port
        self.board = board
        self._lock = threading.Lock()
        self._loop = asyncio.new_event_loop()
        self._changed: asyncio.Condition | None = None
        self._thread = threading.Thread(target=self._loop.run_forever, name="fenmor-page", daemon=True)
        self._runner: Any = None
        self.url = ""

    def start(self) -> str:
        """Listen; the page's URL. OSError when the address cannot be bound."""
        self._thread.start()
        future = asyncio.run_coroutine_threadsafe(self._start(), self._loop)
        try:
            future.result(30)
        except BaseException:
            self.close()
            raise
        return self.url

    def checkpoint(
        self,
        item: Checkpoint,
        stale: list[str] | None = None,
        health: list[SymbolHealth] | None = None,
    ) -> None:
        with self._lock:
            self.board.checkpoint(item, stale, health)
        if self._changed is not None and not self._loop.is_closed():
            asyncio.run_coroutine_threadsafe(self._wake(), self._loop)

    def close(self) -> None:
        if self._thread.is_alive():
            if self._runner is not None:
                future = asyncio.run_coroutine_threadsafe(self._runner.cleanup(), self._loop)
                # Ending anyway: a client cut off mid-stream has nothing more to hear.
                with contextlib.suppress(Exception):
                    future.result(5)
            self._loop.call_soon_threadsafe(self._loop.stop)
            self._thread.join(5)

    # --- on the server's loop ---

    def _state_text(self) -> str:
        with self._lock:
            return json.dumps(self.board.state(), allow_nan=False, separators=(",", ":"))

    async def _wake(self) -> None:
        assert self._changed is not None
        async with self._changed:
            self._changed.notify_all()

    async def _start(self) -> None:
        from aiohttp import web

        self._changed = asyncio.Condition()
        async def guard(request: Any, handler: Any) -> Any:
            return await self._guard(request, handler)

        app = web.Application(middlewares=[web.middleware(guard)])
        app.on_response_prepare.append(self._headers)
        app.router.add_get("/", self._page)
        app.router.add_get("/state", self._state)
        app.router.add_get("/events", self._events)
        self._runner = web.AppRunner(
            app, access_log=None, handle_signals=False, shutdown_timeout=1.0
        )
        await self._runner.setup()
        site = web.TCPSite(self._runner, self.host, self.port)
        await site.start()
        port = self._runner.addresses[0][1]  # the one bound, when 0 was asked
        shown = f"[{self.host}]" if ":" in self.host else self.host
        self.url = f"http://{shown}:{port}/"
        self._hosts = {f"{shown}:{port}", f"localhost:{port}"}

    def _allowed_host(self, host: str | None) -> bool:
        if self.host not in (LOOPBACK, "localhost", "::1"):
            return True  # served on purpose to other machines, under whatever name they use
        return host in self._hosts

    async def _guard(self, request: Any, handler: Any) -> Any:
        from aiohttp import web

        if not self._allowed_host(request.host):
            return web.Response(status=421, text="this page is served under another name\n")
        return await handler(request)

    @staticmethod
    async def _headers(request: Any, response: Any) -> None:
        response.headers["Content-Security-Policy"] = POLICY
        response.headers["X-Content-Type-Options"] = "nosniff"
        response.headers["Cache-Control"] = "no-store"

    async def _page(self, request: Any) -> Any:
        from aiohttp import web

        text = resources.files("fenmor_radar.page").joinpath("page.html").read_text("utf-8")
        return web.Response(text=text, content_type="text/html", charset="utf-8")

    async def _state(self, request: Any) -> Any:
        from aiohttp import web

        return web.Response(text=self._state_text(), content_type="application/json")

    async def _events(self, request: Any) -> Any:
        from aiohttp import web

        assert self._changed is not None
        response = web.StreamResponse(
            headers={"Content-Type": "text/event-stream", "Cache-Control": "no-store"}
        )
        await response.prepare(request)
        board = self.board
        sent = -1

        def changed() -> bool:
            return board.version != sent

        try:
            while True:
                async with self._changed:
                    await self._changed.wait_for(changed)
                with self._lock:
                    sent = board.version
                await response.write(f"data: {self._state_text()}\n\n".encode())
        except (ConnectionResetError, asyncio.CancelledError):
            pass
        return response
