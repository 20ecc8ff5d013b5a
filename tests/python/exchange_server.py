"""Two exchanges' public futures interfaces on 127.0.0.1, as cryptofeed uses them.

Each server answers cryptofeed's own requests: the instrument list it reads at
start, and the streams it subscribes to. Messages follow the exchanges' public
API documentation (Binance USDⓈ-M futures: markPrice, forceOrder and
depthUpdate streams, the depth snapshot and the openInterest endpoint; Bybit
v5: tickers, liquidation and orderbook topics on the linear public stream).

cryptofeed only opens ``wss://`` addresses, so the websocket is served over
TLS with a certificate from a throwaway authority (trustme) that the client
trusts through ``SSL_CERT_FILE``; the REST endpoints are plain HTTP.
``feed_class`` is cryptofeed's own feed class with only its addresses
changed, so every message goes through cryptofeed's parsing.

A test drives a server from its own thread: ``send`` a message, ``set_open_
interest`` for the next polls, ``disconnect`` the stream, ``wait_*`` for the
client. The server runs on its own event loop thread.
"""

from __future__ import annotations

import asyncio
import json
import threading
import time
from typing import Any

import trustme
from aiohttp import WSMsgType, web

T0 = 1_700_000_000_000  # ms: the fixtures' market time starts here
SYMBOLS = {"BTC-USDT-PERP": "BTCUSDT", "ETH-USDT-PERP": "ETHUSDT"}
_CLOSE = object()


class ExchangeServer:
    exchange = ""

    def __init__(self, tmp_path):
        self.ca = trustme.CA()
        self.ca_file = tmp_path / "fixture-ca.pem"
        self.ca.cert_pem.write_to_path(str(self.ca_file))
        self.connections = 0
        self.subscriptions: list[str] = []
        self.polls: dict[str, int] = {}
        self.open_interest: dict[str, tuple[str, int]] = {}
        self._changed = threading.Condition()
        self._loop = asyncio.new_event_loop()
        self._outbox: asyncio.Queue[Any] | None = None
        self._thread = threading.Thread(target=self._loop.run_forever, daemon=True)

    # --- the test's side (any thread) ---

    def __enter__(self):
        self._thread.start()
        asyncio.run_coroutine_threadsafe(self._start(), self._loop).result(10)
        return self

    def __exit__(self, *exc):
        self.disconnect()  # a stream handler waits for its next message until told to end
        asyncio.run_coroutine_threadsafe(self._runner.cleanup(), self._loop).result(10)
        self._loop.call_soon_threadsafe(self._loop.stop)
        self._thread.join(10)

    def send(self, *messages: dict) -> None:
        """Queue messages for the stream, in order (sent on the current or next connection)."""
        for message in messages:
            self._loop.call_soon_threadsafe(self._outbox.put_nowait, json.dumps(message))

    def disconnect(self) -> None:
        """Close the stream after what is queued; cryptofeed reconnects after its pause."""
        self._loop.call_soon_threadsafe(self._outbox.put_nowait, _CLOSE)

    def set_open_interest(self, symbol: str, value: str, ts: int) -> None:
        with self._changed:
            self.open_interest[symbol] = (value, ts)

    def wait_for(self, what, timeout: float = 20.0) -> None:
        deadline = time.monotonic() + timeout
        with self._changed:
            while not what(self):
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError(f"{self.exchange} fixture: timed out waiting")
                self._changed.wait(left)

    def wait_connected(self, count: int = 1) -> None:
        self.wait_for(lambda s: s.connections >= count and s._subscribed())

    def wait_drained(self) -> None:
        """Until every queued message has been written to the socket."""
        self.wait_for(lambda s: s._outbox.empty())

    def wait_polls(self, symbol: str, more: int = 1) -> None:
        start = self.polls.get(symbol, 0)
        self.wait_for(lambda s: s.polls.get(symbol, 0) >= start + more)

    def _subscribed(self) -> bool:
        return True

    def _note(self, change) -> None:
        with self._changed:
            change()
            self._changed.notify_all()

    # --- the server's side (its event loop) ---

    async def _start(self) -> None:
        self._outbox = asyncio.Queue()
        app = web.Application()
        self.routes(app)
        self._runner = web.AppRunner(app)
        await self._runner.setup()
        server_context = self._server_context()
        tls = web.TCPSite(self._runner, "127.0.0.1", 0, ssl_context=server_context)
        plain = web.TCPSite(self._runner, "127.0.0.1", 0)
        await tls.start()
        await plain.start()
        self.wss = f"wss://127.0.0.1:{tls._server.sockets[0].getsockname()[1]}"
        self.http = f"http://127.0.0.1:{plain._server.sockets[0].getsockname()[1]}"

    def _server_context(self):
        import ssl

        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        self.ca.issue_cert("127.0.0.1").configure_cert(context)
        return context

    async def _stream(self, request: web.Request) -> web.WebSocketResponse:
        ws = web.WebSocketResponse()
        await ws.prepare(request)
        reader = asyncio.ensure_future(self._read_requests(ws))
        self._note(lambda: setattr(self, "connections", self.connections + 1))
        try:
            while True:
                item = await self._outbox.get()
                if item is _CLOSE:
                    break
                await ws.send_str(item)
                if self._outbox.empty():
                    self._note(lambda: None)
        finally:
            reader.cancel()
            await ws.close()
            self._note(lambda: None)
        return ws

    async def _read_requests(self, ws: web.WebSocketResponse) -> None:
        async for message in ws:
            if message.type == WSMsgType.TEXT:
                await self.on_request(ws, json.loads(message.data))

    async def on_request(self, ws: web.WebSocketResponse, request: dict) -> None:
        pass

    def routes(self, app: web.Application) -> None:
        raise NotImplementedError

    def feed_class(self):
        raise NotImplementedError


class BinanceFuturesServer(ExchangeServer):
    exchange = "BINANCE_FUTURES"

    def routes(self, app):
        app.router.add_get("/fapi/v1/exchangeInfo", self._exchange_info)
        app.router.add_get("/fapi/v1/depth", self._depth)
        app.router.add_get("/fapi/v1/openInterest", self._open_interest)
        app.router.add_get("/stream", self._stream)

    async def _exchange_info(self, request):
        return web.json_response(
            {
                "symbols": [
                    {
                        "symbol": raw,
                        "status": "TRADING",
                        "contractType": "PERPETUAL",
                        "baseAsset": raw[:-4],
                        "quoteAsset": "USDT",
                        "filters": [{"filterType": "PRICE_FILTER", "tickSize": "0.10"}],
                    }
                    for raw in SYMBOLS.values()
                ]
            }
        )

    async def _depth(self, request):
        # The snapshot cryptofeed reads before the first depth update it applies.
        return web.json_response(
            {
                "lastUpdateId": 100,
                "E": T0 + 1999,
                "T": T0 + 1999,
                "bids": [["64000.0", "1.0"], ["63999.9", "2.0"]],
                "asks": [["64000.1", "1.0"], ["64000.2", "1.0"]],
            }
        )

    async def _open_interest(self, request):
        symbol = request.query["symbol"]
        with self._changed:
            value, ts = self.open_interest[symbol]
        self._note(lambda: self.polls.__setitem__(symbol, self.polls.get(symbol, 0) + 1))
        return web.json_response({"openInterest": value, "symbol": symbol, "time": ts})

    def feed_class(self):
        from cryptofeed.connection import RestEndpoint, Routes, WebsocketEndpoint
        from cryptofeed.exchanges import BinanceFutures

        rest = BinanceFutures.rest_endpoints[0]
        routes = Routes(**vars(rest.routes))
        return type(
            "LocalBinanceFutures",
            (BinanceFutures,),
            {
                "websocket_endpoints": [
                    WebsocketEndpoint(self.wss, options=BinanceFutures.websocket_endpoints[0].options)
                ],
                "rest_endpoints": [RestEndpoint(self.http, routes=routes)],
            },
        )


def binance_mark_price(raw: str, ts: int, mark: str, rate: str) -> dict:
    data = {
        "e": "markPriceUpdate", "E": ts, "s": raw, "p": mark, "i": mark, "P": mark,
        "r": rate, "T": ts + 3_600_000,
    }
    return {"stream": f"{raw.lower()}@markPrice", "data": data}


def binance_force_order(raw: str, ts: int, side: str, qty: str, price: str) -> dict:
    order = {
        "s": raw, "S": side, "o": "LIMIT", "f": "IOC", "q": qty, "p": price, "ap": price,
        "X": "FILLED", "l": qty, "z": qty, "T": ts,
    }
    return {"stream": f"{raw.lower()}@forceOrder", "data": {"e": "forceOrder", "E": ts, "o": order}}


def binance_depth(raw: str, ts: int, first: int, last: int, previous: int, bids, asks) -> dict:
    data = {
        "e": "depthUpdate", "E": ts, "T": ts, "s": raw, "U": first, "u": last, "pu": previous,
        "b": bids, "a": asks,
    }
    return {"stream": f"{raw.lower()}@depth@100ms", "data": data}


class BybitServer(ExchangeServer):
    exchange = "BYBIT"

    def __init__(self, tmp_path, topics=()):
        super().__init__(tmp_path)
        self.expected_topics = set(topics)

    def routes(self, app):
        app.router.add_get("/v5/market/instruments-info", self._instruments)
        app.router.add_get("/v5/public/linear", self._stream)

    async def _instruments(self, request):
        listed = []
        if request.query.get("category") == "linear":
            listed = [
                {
                    "symbol": raw,
                    "contractType": "LinearPerpetual",
                    "status": "Trading",
                    "baseCoin": raw[:-4],
                    "quoteCoin": "USDT",
                    "priceFilter": {"tickSize": "0.10"},
                }
                for raw in SYMBOLS.values()
            ]
        category = request.query.get("category")
        return web.json_response(
            {"retCode": 0, "retMsg": "OK", "result": {"category": category, "list": listed}}
        )

    async def on_request(self, ws, request):
        if request.get("op") == "subscribe":
            self._note(lambda: self.subscriptions.extend(request["args"]))
            await ws.send_str(
                json.dumps({"success": True, "ret_msg": "", "op": "subscribe", "conn_id": "fixture"})
            )

    def _subscribed(self) -> bool:
        return self.expected_topics <= set(self.subscriptions)

    def feed_class(self):
        from cryptofeed.exchanges import Bybit

        endpoints = []
        for endpoint in Bybit.websocket_endpoints:
            local = f"{self.wss}/{endpoint.address.split('/', 3)[3]}"
            endpoints.append(type(endpoint)(**{**vars(endpoint), "address": local, "sandbox": None}))
        rest = Bybit.rest_endpoints[0]
        return type(
            "LocalBybit",
            (Bybit,),
            {
                "websocket_endpoints": endpoints,
                "rest_endpoints": [type(rest)(**{**vars(rest), "address": self.http})],
            },
        )


def bybit_ticker(raw: str, ts: int, kind: str, **fields: str) -> dict:
    return {"topic": f"tickers.{raw}", "type": kind, "data": {"symbol": raw, **fields}, "cs": ts, "ts": ts}


def bybit_liquidation(raw: str, ts: int, side: str, size: str, price: str) -> dict:
    data = {"updatedTime": ts, "symbol": raw, "side": side, "size": size, "price": price}
    return {"topic": f"liquidation.{raw}", "type": "snapshot", "ts": ts, "data": data}


def bybit_book(raw: str, ts: int, kind: str, update: int, bids, asks) -> dict:
    data = {"s": raw, "b": bids, "a": asks, "u": update, "seq": update}
    return {"topic": f"orderbook.200.{raw}", "type": kind, "ts": ts, "data": data, "cts": ts}
