"""Live exchange data through cryptofeed, turned into recording lines.

cryptofeed (the ``live`` extra) connects to an exchange, normalises its
messages into its own data types and hands them to callbacks. The adapter
here registers one callback per channel and turns what it receives into the
radar's events (see ``fenmor_radar.feeds`` for the rules):

- ``OPEN_INTEREST`` (``OpenInterest.open_interest``) and ``FUNDING``
  (``Funding.rate`` and ``Funding.mark_price``) update ``DerivativesState``;
  a derivatives event follows each change once all three are known.
- ``L2_BOOK`` (``OrderBook``): bid and ask volume over the top ``depth``
  levels, best bid and ask.
- ``LIQUIDATIONS`` (``Liquidation``): quantity and price as reported; the
  side as the liquidation order's side, whatever the exchange's convention
  (``liquidation_side``).

``Ticker`` is not used: it holds no volumes, so it cannot make an order-book
event, and the radar has no use for the last price.

Timestamps: cryptofeed gives the exchange's time in float seconds, or None
when the exchange sends none; then the message's arrival time (also
seconds) is used. A few of its exchange adapters pass the exchange's integer
milliseconds through instead; a value above ``MS_THRESHOLD`` is taken as
milliseconds already.

cryptofeed is imported only when a session starts, so the package works
without it.
"""

from __future__ import annotations

from collections.abc import Awaitable, Callable, Iterable, Sequence
from decimal import Decimal
from typing import TYPE_CHECKING, Any

from fenmor_radar import optional
from fenmor_radar.feeds.book import DEFAULT_DEPTH, check_depth, side_summary
from fenmor_radar.feeds.derivatives import DerivativesState
from fenmor_radar.feeds.events import (
    derivatives_line,
    liquidation_line,
    ms_from_seconds,
    orderbook_line,
    symbol_json,
)
from fenmor_radar.feeds.liquidation_repeats import RecentLiquidations
from fenmor_radar.feeds.liquidation_side import order_side
from fenmor_radar.feeds.symbols import keep_symbol, normalise_symbol

if TYPE_CHECKING:
    from fenmor_radar.feeds.health import FeedHealth

INSTALL_HINT = optional.install_command("live")
MS_THRESHOLD = 1e11  # seconds since the epoch stay below this until the year 5138

# cryptofeed's channel names (cryptofeed.defines), kept here so that choosing
# channels needs no import of cryptofeed.
OPEN_INTEREST = "open_interest"
FUNDING = "funding"
L2_BOOK = "l2_book"
LIQUIDATIONS = "liquidations"

# What each indicator of a spec reads, as cryptofeed channels.
DERIVATIVES_CHANNELS = (OPEN_INTEREST, FUNDING)
CHANNELS_BY_INDICATOR: dict[str, tuple[str, ...]] = {
    "oi_delta": DERIVATIVES_CHANNELS,
    "funding_flip": DERIVATIVES_CHANNELS,
    "oi_price_divergence": DERIVATIVES_CHANNELS,
    "book_imbalance": (L2_BOOK,),
    "liq_cluster": (LIQUIDATIONS,),
}

Callback = Callable[[Any, float], Awaitable[None]]


class MissingCryptofeed(ImportError):
    """cryptofeed is not installed."""


def channels_for(indicators: Iterable[str]) -> list[str]:
    """The cryptofeed channels a spec's indicators need, in a fixed order.

    An indicator kind this module does not know asks for every channel.
    """
    wanted: set[str] = set()
    for kind in indicators:
        wanted.update(CHANNELS_BY_INDICATOR.get(kind, (OPEN_INTEREST, FUNDING, L2_BOOK, LIQUIDATIONS)))
    return [c for c in (OPEN_INTEREST, FUNDING, L2_BOOK, LIQUIDATIONS) if c in wanted]


def event_ms(timestamp: float | None, receipt_timestamp: float) -> int:
    """The event time in milliseconds from cryptofeed's timestamps (see the module's rules)."""
    if timestamp is None:
        timestamp = receipt_timestamp
    if timestamp > MS_THRESHOLD:
        return int(timestamp)
    return ms_from_seconds(float(timestamp))


def _float(value: Decimal | float | None) -> float | None:
    return None if value is None else float(value)


class LiveAdapter:
    """cryptofeed callbacks that hand every event, as a recording line, to ``sink``.

    ``sink`` is called on cryptofeed's event loop thread, one line at a time,
    in the order the messages arrived. Every message is told to ``health``
    (when given) before it becomes an event; a liquidation seen lately is
    left out (``liquidation_repeats``).
    """

    def __init__(
        self,
        sink: Callable[[str], None],
        *,
        depth: int = DEFAULT_DEPTH,
        normalise: bool = False,
        exchange: str = "",
        health: FeedHealth | None = None,
    ) -> None:
        self.sink = sink
        self.exchange = exchange
        self.health = health
        self._recent = RecentLiquidations()
        self._names: dict[str, str] = {}
        self.depth = check_depth(depth)
        self._name = normalise_symbol if normalise else keep_symbol
        self._symbol_text: dict[str, str] = {}
        self._derivatives = DerivativesState()

    def _symbol(self, raw: str) -> str:
        text = self._symbol_text.get(raw)
        if text is None:
            text = self._symbol_text[raw] = symbol_json(self.radar_name(raw))
        return text

    def radar_name(self, raw: str) -> str:
        """The symbol as the radar (and its alerts) name it."""
        name = self._names.get(raw)
        if name is None:
            name = self._names[raw] = self._name(raw)
        return name

    def _seen(self, raw: str, channel: str, ts: int) -> None:
        if self.health is not None:
            self.health.seen(self.radar_name(raw), channel, ts)

    def callbacks(self, channels: Sequence[str]) -> dict[str, Callback]:
        """The callbacks to give cryptofeed for ``channels``."""
        by_channel: dict[str, Callback] = {
            OPEN_INTEREST: self.on_open_interest,
            FUNDING: self.on_funding,
            L2_BOOK: self.on_book,
            LIQUIDATIONS: self.on_liquidation,
        }
        return {channel: by_channel[channel] for channel in channels}

    def _derivatives_update(
        self, symbol: str, ts: int, oi: float | None, rate: float | None, mark: float | None
    ) -> None:
        event = self._derivatives.update(symbol, oi, rate, mark)
        if event is not None:
            self.sink(derivatives_line(self._symbol(symbol), ts, *event))

    async def on_open_interest(self, data: Any, receipt_timestamp: float) -> None:
        ts = event_ms(data.timestamp, receipt_timestamp)
        self._seen(data.symbol, OPEN_INTEREST, ts)
        self._derivatives_update(data.symbol, ts, _float(data.open_interest), None, None)

    async def on_funding(self, data: Any, receipt_timestamp: float) -> None:
        ts = event_ms(data.timestamp, receipt_timestamp)
        self._seen(data.symbol, FUNDING, ts)
        self._derivatives_update(
            data.symbol, ts, None, _float(data.rate), _float(data.mark_price)
        )

    async def on_liquidation(self, data: Any, receipt_timestamp: float) -> None:
        ts = event_ms(data.timestamp, receipt_timestamp)
        self._seen(data.symbol, LIQUIDATIONS, ts)
        side = order_side(self.exchange, str(data.side))
        qty, price = float(data.quantity), float(data.price)
        if not self._recent.first_time((self.radar_name(data.symbol), ts, side, qty, price)):
            if self.health is not None:
                self.health.repeated_liquidation()
            return
        self.sink(liquidation_line(self._symbol(data.symbol), ts, side, qty, price))

    async def on_book(self, data: Any, receipt_timestamp: float) -> None:
        ts = event_ms(data.timestamp, receipt_timestamp)
        self._seen(data.symbol, L2_BOOK, ts)
        book = data.book
        bids = side_summary(_levels(book.bids, self.depth), self.depth)
        asks = side_summary(_levels(book.asks, self.depth), self.depth)
        if bids is None or asks is None:
            return  # an empty side: no best price to report
        self.sink(orderbook_line(self._symbol(data.symbol), ts, bids[1], asks[1], bids[0], asks[0]))


def _levels(side: Any, depth: int) -> list[tuple[float, float]]:
    """The best ``depth`` (price, size) levels of one side of cryptofeed's book, best first."""
    levels = []
    for i in range(min(depth, len(side))):
        price, size = side.index(i)
        levels.append((float(price), float(size)))
    return levels


def make_feed_handler(watch: Any = None) -> Any:
    """cryptofeed's FeedHandler, configured to log to standard error only.

    ``watch`` is given cryptofeed's raw-data hook (``ConnectionWatch``). The
    one place the live session meets cryptofeed's engine; tests replace it.
    """
    try:
        FeedHandler = optional.require("cryptofeed", "the live command", "live").FeedHandler
    except optional.MissingExtra as err:
        raise MissingCryptofeed(str(err)) from err
    return FeedHandler(
        config={"uvloop": False, "log": {"disabled": True}}, raw_data_collection=watch
    )


def forget_watch() -> None:
    """Unhook the raw-data hook cryptofeed keeps for every connection of the process."""
    try:
        from cryptofeed.connection import Connection  # type: ignore[import-not-found, import-untyped, unused-ignore]
    except ImportError:
        return
    Connection.raw_data_callback = None


class ConnectionWatch:
    """cryptofeed's raw-data hook, used only to see each stream connect again.

    cryptofeed reconnects on its own and says so only in its log; every
    websocket connection it opens calls this hook with ``connect`` first, and
    a reconnect opens the same connection (the same ``uuid``) again.
    """

    def __init__(self, on_reconnect: Callable[[str], None]) -> None:
        self.on_reconnect = on_reconnect
        self._connected: set[str] = set()

    async def __call__(
        self, data: Any, timestamp: float, uuid: str, connect: str | None = None, **_: Any
    ) -> None:
        if connect is None:
            return
        if uuid in self._connected:
            self.on_reconnect(_host(connect))
        self._connected.add(uuid)

    def sync_callback(self, *args: Any, **kwargs: Any) -> None:
        pass  # the symbol list read at start: not a stream

    def write_header(self, *args: Any) -> None:
        pass

    def stop(self) -> None:
        pass


def _host(address: str) -> str:
    """An address without its path (the streams' list is long and says nothing)."""
    scheme, _, rest = address.partition("://")
    return f"{scheme}://{rest.split('/', 1)[0]}"


def exchange_feed(exchange: str) -> Any:
    """cryptofeed's feed class for an exchange name such as BINANCE_FUTURES."""
    try:
        EXCHANGE_MAP = optional.require("cryptofeed.exchanges", "the live command", "live").EXCHANGE_MAP
    except optional.MissingExtra as err:
        raise MissingCryptofeed(str(err)) from err
    feed = EXCHANGE_MAP.get(exchange.upper())
    if feed is None:
        known = ", ".join(sorted(EXCHANGE_MAP))
        raise ValueError(f"unknown exchange {exchange!r}; cryptofeed knows: {known}")
    return feed
