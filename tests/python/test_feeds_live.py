"""The live feed: cryptofeed's own data objects through the adapter, and `live` end to end.

No exchange is reachable from the tests: the FeedHandler is replaced by a
stand-in that hands scripted cryptofeed objects to the callbacks the session
registered, exactly as cryptofeed's feeds do (``await callback(obj, receipt)``).
"""

import asyncio
import gzip
import json
import os
import re
import signal
import sys
import threading
import time
from decimal import Decimal
from typing import ClassVar

import pytest

cryptofeed_types = pytest.importorskip("cryptofeed.types")
from cryptofeed.defines import BUY, FILLED, SELL  # noqa: E402 - after the skip

from fenmor_radar.cli import main  # noqa: E402
from fenmor_radar.feeds import live, session  # noqa: E402

EXCHANGE = "BINANCE_FUTURES"
SPEC = (
    '{"signals":[{"kind":"funding_flip","params":[0.0001]},'
    '{"kind":"book_imbalance","params":[0.2]},{"kind":"liq_cluster","params":[3,1]}],'
    '"threshold":0}'
)


def oi(symbol, value, ts):
    return cryptofeed_types.OpenInterest(EXCHANGE, symbol, Decimal(value), ts)


def funding(symbol, rate, mark, ts):
    return cryptofeed_types.Funding(EXCHANGE, symbol, Decimal(mark), Decimal(rate), None, ts)


def liquidation(symbol, side, qty, price, ts):
    return cryptofeed_types.Liquidation(
        EXCHANGE, symbol, side, Decimal(qty), Decimal(price), None, FILLED, ts
    )


def book(symbol, bids, asks, ts):
    data = cryptofeed_types.OrderBook(
        EXCHANGE,
        symbol,
        bids={Decimal(p): Decimal(q) for p, q in bids},
        asks={Decimal(p): Decimal(q) for p, q in asks},
    )
    data.timestamp = ts
    return data


def collect(adapter, calls):
    async def go():
        for channel, obj, receipt in calls:
            await adapter.callbacks([channel])[channel](obj, receipt)

    asyncio.run(go())


def test_adapter_turns_cryptofeed_objects_into_events():
    lines = []
    adapter = live.LiveAdapter(lines.append, depth=2, normalise=True)
    collect(
        adapter,
        [
            # Derivatives: nothing until open interest, funding and mark price are all known.
            (live.OPEN_INTEREST, oi("BTC-USDT-PERP", "1000", 1700000000.5), 1700000000.6),
            (live.FUNDING, funding("BTC-USDT-PERP", "0.0001", "64000.5", 1700000001.2509), 0.0),
            # The same values again: no new event.
            (live.FUNDING, funding("BTC-USDT-PERP", "0.0001", "64000.5", 1700000002.0), 0.0),
            (live.OPEN_INTEREST, oi("BTC-USDT-PERP", "1001.5", 1700000003123), 0.0),
            # Depth 2: the third level is left out.
            (
                live.L2_BOOK,
                book("BTC-USDT-PERP", [("100", "1"), ("99", "2"), ("98", "4")],
                     [("101", "0.5"), ("102", "0.25")], 1700000004.0),
                0.0,
            ),
            (live.L2_BOOK, book("BTC-USDT-PERP", [], [("101", "1")], 1700000005.0), 0.0),
            (live.LIQUIDATIONS, liquidation("ETH-USDT-PERP", SELL, "2.5", "2300.5", 1700000006.0), 0.0),
            (live.LIQUIDATIONS, liquidation("ETH-USDT-PERP", BUY, "1", "2301", 1700000007.0), 0.0),
        ],
    )
    assert lines == [
        # Seconds become milliseconds, truncated.
        '{"symbol":"BTCUSDT","event":["derivatives",1700000001250,1000.0,0.0001,64000.5]}',
        # An integer millisecond timestamp is passed through.
        '{"symbol":"BTCUSDT","event":["derivatives",1700000003123,1001.5,0.0001,64000.5]}',
        '{"symbol":"BTCUSDT","event":["orderbook",1700000004000,3.0,0.75,100.0,101.0]}',
        '{"symbol":"ETHUSDT","event":["liquidation",1700000006000,"sell",2.5,2300.5]}',
        '{"symbol":"ETHUSDT","event":["liquidation",1700000007000,"buy",1.0,2301.0]}',
    ]
    assert live.channels_for(["liq_cluster", "oi_delta"]) == [
        live.OPEN_INTEREST, live.FUNDING, live.LIQUIDATIONS
    ]


SCRIPT = [
    (live.OPEN_INTEREST, oi("BTC-USDT-PERP", "1000", 1700000000.0)),
    (live.FUNDING, funding("BTC-USDT-PERP", "0.0003", "64000", 1700000000.5)),
    (live.L2_BOOK, book("ETH-USDT-PERP", [("10", "5")], [("11", "1")], 1700000001.0)),
    (live.FUNDING, funding("BTC-USDT-PERP", "-0.0004", "64010", 1700000002.0)),
    (live.LIQUIDATIONS, liquidation("ETH-USDT-PERP", SELL, "4", "10.5", 1700000002.5)),
    (live.L2_BOOK, book("ETH-USDT-PERP", [("10", "1")], [("11", "6")], 1700000003.5)),
]


class StandInHandler:
    """cryptofeed's FeedHandler as far as the session uses it."""

    instances: ClassVar[list["StandInHandler"]] = []

    def __init__(self, interrupt):
        self.interrupt = interrupt
        self.feeds = []
        StandInHandler.instances.append(self)

    def add_feed(self, feed, **kwargs):
        self.feeds.append((feed, kwargs))

    def run(self, start_loop=True, install_signal_handlers=True):
        assert not install_signal_handlers  # not the main thread: signals are the session's
        loop = asyncio.get_event_loop()
        callbacks = self.feeds[0][1]["callbacks"]
        for channel, obj in SCRIPT:
            loop.run_until_complete(callbacks[channel](obj, 0.0))
        if self.interrupt:
            os.kill(os.getpid(), signal.SIGINT)  # the user's Ctrl-C
            loop.run_forever()  # until the session stops the loop, as cryptofeed's run does
        loop.close()


def test_a_recording_on_a_full_disk_is_named(tmp_path, monkeypatch, capsys):
    if not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full")
    monkeypatch.setattr(live, "make_feed_handler", lambda hook: StandInHandler(True))
    spec = tmp_path / "spec.json"
    spec.write_text(SPEC, encoding="utf-8")
    code = main(["live", "--spec", str(spec), "-q", "--exchange", "binance_futures",
                 "--symbols", "BTC-USDT-PERP", "--record", "/dev/full"])
    assert code == 1
    assert "cannot write to /dev/full: No space left on device" in capsys.readouterr().err


@pytest.mark.parametrize("verbose", [False, True])
def test_cryptofeed_tracebacks_only_with_verbose(tmp_path, monkeypatch, capsys, verbose):
    import logging

    from fenmor_radar.cli import live_command

    def unreachable(exchange):  # as cryptofeed fails to fetch an exchange's symbols
        try:
            raise ConnectionError("Temporary failure in name resolution")
        except ConnectionError as err:
            logging.getLogger("feedhandler").error("%s: Failed to parse symbol information: %s",
                                                  exchange, err, exc_info=True)
            raise

    monkeypatch.setattr(live_command, "exchange_feed", unreachable)
    spec = tmp_path / "spec.json"
    spec.write_text(SPEC, encoding="utf-8")
    code = main(["live", "--spec", str(spec), "--exchange", "binance_futures",
                 "--symbols", "BTC-USDT-PERP", *(["--verbose"] if verbose else [])])
    err = capsys.readouterr().err
    assert code == 1
    assert "cryptofeed: binance_futures: Failed to parse symbol information: Temporary failure" in err
    assert "cannot start the binance_futures feed: ConnectionError" in err
    assert ("Traceback (most recent call last)" in err) == verbose
    assert all(line.startswith("fenmor-radar: ") for line in err.splitlines())


@pytest.mark.parametrize(
    ("interrupt", "watch"),
    [(True, []), (False, []), (True, ["--crossings", "--peaks"])],
    ids=["ctrl-c", "feed-ends", "crossings"],
)
def test_live_session_prints_alerts_and_records_a_replayable_session(
    tmp_path, monkeypatch, capsys, interrupt, watch
):
    StandInHandler.instances.clear()
    monkeypatch.setattr(live, "make_feed_handler", lambda hook: StandInHandler(interrupt))
    spec = tmp_path / "spec.json"
    spec.write_text(SPEC, encoding="utf-8")
    record = tmp_path / "session.jsonl.gz"
    options = ["--spec", str(spec), "--every-ts", "1000", "--format", "json", "-q", *watch]
    code = main(
        ["live", *options, "--exchange", "binance_futures",
         "--symbols", "BTC-USDT-PERP,ETH-USDT-PERP", "--record", str(record)]
    )
    live_out = capsys.readouterr().out
    assert code == (0 if interrupt else 1)  # a feed that ends by itself has failed
    (feed, kwargs), = StandInHandler.instances[0].feeds
    assert feed == EXCHANGE
    assert kwargs["symbols"] == ["BTC-USDT-PERP", "ETH-USDT-PERP"]
    assert kwargs["channels"] == [live.OPEN_INTEREST, live.FUNDING, live.L2_BOOK, live.LIQUIDATIONS]
    with gzip.open(record, "rt", encoding="utf-8") as file:  # complete: gzip checks its trailer
        recorded = file.read().splitlines()
    assert len(recorded) == 5  # the first open interest alone makes no event
    assert main(["replay", *options, "--no-progress", str(record)]) == 0
    # The same lines (crossings and peaks included) but for live's feed health.
    assert capsys.readouterr().out == live_out.replace('"stale":[],', "")
    crossings = live_out.count('{"crossing":"up"')  # threshold 0: each symbol's first event
    assert live_out.count("\n") - crossings == 4 and '"symbol":"ETH-USDT-PERP"' in live_out
    assert crossings == (2 if watch else 0) and ('"peaks":[' in live_out) == bool(watch)


class FloodHandler:
    """A feed faster than the radar: liquidations without pause, Ctrl-C twice meanwhile."""

    def __init__(self):
        self.feeds = []
        self.sent = 0
        self.first_interrupt = None

    def add_feed(self, feed, **kwargs):
        self.feeds.append((feed, kwargs))

    def run(self, start_loop=True, install_signal_handlers=True):
        loop = asyncio.get_event_loop()
        callback = self.feeds[0][1]["callbacks"][live.LIQUIDATIONS]

        async def flood():
            while True:
                obj = liquidation("BTC-USDT-PERP", SELL, "1", "10", 1700000000.0 + self.sent)
                await callback(obj, 0.0)
                self.sent += 1
                if self.sent == 3000:
                    self.first_interrupt = time.monotonic()
                    os.kill(os.getpid(), signal.SIGINT)
                elif self.sent == 3500:
                    os.kill(os.getpid(), signal.SIGINT)  # impatient: the recording must survive
                if self.sent % 50 == 0:
                    await asyncio.sleep(0)

        task = loop.create_task(flood())
        loop.run_forever()  # until the session stops the loop
        task.cancel()
        loop.run_until_complete(asyncio.gather(task, return_exceptions=True))
        loop.close()


def test_live_under_load_drops_ends_on_ctrl_c_and_leaves_a_whole_recording(
    tmp_path, monkeypatch, capsys
):
    handler = FloodHandler()
    monkeypatch.setattr(live, "make_feed_handler", lambda watch: handler)
    monkeypatch.setattr(session, "QUEUE_LINES", 200)
    spec = tmp_path / "spec.json"
    spec.write_text(SPEC, encoding="utf-8")
    record = tmp_path / "session.jsonl.gz"
    code = main(
        ["live", "--spec", str(spec), "--every", "1", "--format", "json",
         "--exchange", "binance_futures", "--symbols", "BTC-USDT-PERP", "--record", str(record)]
    )
    ended = time.monotonic()
    captured = capsys.readouterr()
    assert code == 0, captured.err
    # A queue's worth at most, then the end. The handler runs once the main thread
    # holds the interpreter lock, which the flooding thread keeps most of the time:
    # on a loaded machine that alone took 3 to 9 s, so the bound says the session
    # ends under an endless flood, not how soon.
    assert ended - handler.first_interrupt < 30
    dropped = int(re.search(r"warning: dropped ([\d,]+) events", captured.err).group(1).replace(",", ""))
    with gzip.open(record, "rt", encoding="utf-8") as file:  # complete: gzip checks every trailer
        recorded = file.read().splitlines()
    # Every event fed is recorded; the rest were dropped.
    assert len(recorded) == json.loads(captured.out.splitlines()[-1])["events"]
    assert dropped > 0 and len(recorded) + dropped <= handler.sent


def test_live_without_cryptofeed_says_how_to_install(tmp_path, monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "cryptofeed", None)
    monkeypatch.setitem(sys.modules, "cryptofeed.exchanges", None)
    spec = tmp_path / "spec.json"
    spec.write_text(SPEC, encoding="utf-8")
    code = main(["live", "--spec", str(spec), "--exchange", "BINANCE_FUTURES", "--symbols", "X"])
    assert code == 1
    assert "pip install 'fenmor-radar[live]'" in capsys.readouterr().err


def test_ctrl_c_never_waits_for_a_lock_the_main_thread_may_hold():
    # SIGINT's handler runs on the main thread between any two bytecodes: also
    # while that thread holds the queue's lock inside get(). A handler taking
    # that lock (as qsize() does) would wait for itself forever.
    live_session = session.LiveSession(
        EXCHANGE, ["BTC-USDT-PERP"], [live.LIQUIDATIONS], depth=5, normalise=False,
        handler_factory=lambda watch: StandInHandler(False),
    )

    def interrupted_inside_the_queue():
        with live_session._queue.mutex:
            live_session._on_sigint(signal.SIGINT, None)
            live_session._on_sigint(signal.SIGINT, None)

    worker = threading.Thread(target=interrupted_inside_the_queue, daemon=True)
    worker.start()
    worker.join(5)
    assert not worker.is_alive()
    assert live_session.interrupted
