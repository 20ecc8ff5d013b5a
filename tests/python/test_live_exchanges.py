"""`live` against two exchanges' own message formats, served on 127.0.0.1.

cryptofeed's feed classes, with only their addresses changed, connect to the
fixture servers of ``exchange_server``: every message goes through
cryptofeed's parsing, its open-interest polling and reconnects, then through
our adapter and the radar. The servers are driven from a thread while
``live`` runs on the main thread; the driver ends the session as a user does,
with Ctrl-C.
"""

import gzip
import json
import os
import signal
import socket
import threading
import time
import urllib.request

import pytest

pytest.importorskip("cryptofeed")
from exchange_server import (  # noqa: E402 - after the skip
    T0,
    BinanceFuturesServer,
    BybitServer,
    binance_depth,
    binance_force_order,
    binance_mark_price,
    bybit_book,
    bybit_liquidation,
    bybit_ticker,
)
from fenmor_radar.cli import main  # noqa: E402

SPEC = {
    "signals": [
        {"kind": "funding_flip", "params": [0.0001]},
        {"kind": "oi_delta", "params": [2, 0.05]},
        {"kind": "book_imbalance", "params": [0.2]},
        {"kind": "liq_cluster", "params": [3, 1]},
    ],
    "threshold": 0,
}
SYMBOLS = "BTC-USDT-PERP,ETH-USDT-PERP"
SETTLE = 0.3  # s: for the client to take in what the server has written

# The radar events the same market gives on either exchange: open interest 1000,
# funding 0.0003 at mark 64000; a long of 0.5 liquidated at 63900; a book of
# 3 bid and 2 ask (Binance's snapshot, Bybit's first message) then 7 and 1.5;
# open interest 1100; funding turned to -0.0002 at 63000.
EXPECTED = [
    '{"symbol":"BTCUSDT","event":["derivatives",1700000001000,1000.0,0.0003,64000.0]}',
    '{"symbol":"BTCUSDT","event":["liquidation",1700000001500,"sell",0.5,63900.0]}',
    '{"symbol":"BTCUSDT","event":["orderbook",1700000001999,3.0,2.0,64000.0,64000.1]}',
    '{"symbol":"BTCUSDT","event":["orderbook",1700000002000,7.0,1.5,64000.0,64000.1]}',
    '{"symbol":"BTCUSDT","event":["derivatives",1700000002500,1100.0,0.0003,64000.0]}',
    '{"symbol":"BTCUSDT","event":["derivatives",1700000003000,1100.0,-0.0002,63000.0]}',
]


def binance_market(server):
    server.set_open_interest("BTCUSDT", "1000.0", T0)
    server.set_open_interest("ETHUSDT", "5000.0", T0)
    server.wait_connected()
    server.wait_polls("BTCUSDT")
    server.send(
        binance_mark_price("BTCUSDT", T0 + 1000, "64000.0", "0.00030000"),
        binance_force_order("BTCUSDT", T0 + 1500, "SELL", "0.5", "63900"),
        # The first depth update makes cryptofeed read the snapshot, then apply it.
        binance_depth("BTCUSDT", T0 + 2000, 95, 105, 94, [["64000.0", "5.0"]], [["64000.1", "0.5"]]),
    )
    server.wait_drained()
    time.sleep(SETTLE)
    server.set_open_interest("BTCUSDT", "1100.0", T0 + 2500)
    server.wait_polls("BTCUSDT", 2)
    time.sleep(SETTLE)
    server.send(binance_mark_price("BTCUSDT", T0 + 3000, "63000.0", "-0.00020000"))
    server.wait_drained()


BYBIT_TOPICS = {
    "tickers.BTCUSDT", "tickers.ETHUSDT", "liquidation.BTCUSDT", "orderbook.200.BTCUSDT",
}


def bybit_market(server):
    server.wait_connected()
    server.send(
        bybit_ticker(
            "BTCUSDT", T0 + 1000, "snapshot", markPrice="64000.0", fundingRate="0.0003",
            openInterest="1000.0", nextFundingTime=str(T0 + 3_600_000), indexPrice="64000.0",
        ),
        # Bybit names the liquidated position: Buy is a long, sold by force.
        bybit_liquidation("BTCUSDT", T0 + 1500, "Buy", "0.5", "63900"),
        bybit_book(
            "BTCUSDT", T0 + 1999, "snapshot", 1,
            [["64000.0", "1.0"], ["63999.9", "2.0"]], [["64000.1", "1.0"], ["64000.2", "1.0"]],
        ),
        bybit_book("BTCUSDT", T0 + 2000, "delta", 2, [["64000.0", "5.0"]], [["64000.1", "0.5"]]),
        bybit_ticker("BTCUSDT", T0 + 2500, "delta", openInterest="1100.0"),
        bybit_ticker("BTCUSDT", T0 + 3000, "delta", markPrice="63000.0", fundingRate="-0.0002"),
    )
    server.wait_drained()


def run_live(tmp_path, monkeypatch, server, script, *options):
    """``live`` against ``server`` while ``script(server)`` plays the market; Ctrl-C at the end."""
    from cryptofeed import exchanges

    monkeypatch.setitem(exchanges.EXCHANGE_MAP, server.exchange, server.feed_class())
    monkeypatch.setenv("SSL_CERT_FILE", str(server.ca_file))
    spec = tmp_path / "spec.json"
    spec.write_text(json.dumps(SPEC), encoding="utf-8")
    record = tmp_path / f"{server.exchange}.jsonl.gz"
    failure = []

    def drive():
        try:
            script(server)
            time.sleep(SETTLE)
        except BaseException as err:
            failure.append(err)
        finally:
            os.kill(os.getpid(), signal.SIGINT)  # the user's Ctrl-C

    common = [
        "--spec", str(spec), "--every-ts", "1000", "--format", "json", "--normalise-symbols", *options
    ]
    driver = threading.Thread(target=drive, daemon=True)
    driver.start()
    code = main(
        ["live", *common, "--exchange", server.exchange, "--symbols", SYMBOLS, "--record", str(record)]
    )
    driver.join(30)
    if failure:
        raise failure[0]
    with gzip.open(record, "rt", encoding="utf-8") as file:
        recorded = file.read().splitlines()
    return code, recorded, record, common


@pytest.mark.parametrize(
    ("server_class", "script"),
    [(BinanceFuturesServer, binance_market), (BybitServer, bybit_market)],
    ids=["binance-futures", "bybit"],
)
def test_an_exchange_market_reaches_the_radar_and_replays_byte_for_byte(
    tmp_path, monkeypatch, capsys, server_class, script
):
    args = (tmp_path, BYBIT_TOPICS) if server_class is BybitServer else (tmp_path,)
    with server_class(*args) as server:
        code, recorded, record, common = run_live(tmp_path, monkeypatch, server, script, "-q")
    captured = capsys.readouterr()
    assert code == 0, captured.err
    # The same market gives the same events whichever exchange's format it came in.
    assert recorded == EXPECTED
    live_out = captured.out
    last = json.loads(live_out.splitlines()[-1])
    assert [a["symbol"] for a in last["alerts"]] == ["BTCUSDT"]
    assert last["alerts"][0]["factors"]["funding_flip(0.0001)"] == 1.0
    assert main(["replay", *common, "-q", "--no-progress", str(record)]) == 0
    assert capsys.readouterr().out == live_out.replace('"stale":[],', "")


def bybit_trouble(server):
    """A disconnect, a symbol silent past the limit, a repeated burst, an old message."""
    server.wait_connected()
    full = {"markPrice": "64000.0", "fundingRate": "0.0003", "nextFundingTime": str(T0 + 3_600_000)}
    server.send(
        bybit_ticker("BTCUSDT", T0 + 1000, "snapshot", openInterest="1000.0", **full),
        bybit_ticker("ETHUSDT", T0 + 1000, "snapshot", openInterest="5000.0", **full),
        bybit_book("BTCUSDT", T0 + 1000, "snapshot", 1, [["64000.0", "1.0"]], [["64000.1", "1.0"]]),
        bybit_book("ETHUSDT", T0 + 1000, "snapshot", 1, [["3000.0", "1.0"]], [["3000.1", "1.0"]]),
        bybit_liquidation("BTCUSDT", T0 + 1500, "Sell", "2", "64010"),
    )
    server.wait_drained()
    # ETH falls silent for longer than the limit while BTC goes on.
    for step in range(2, 8):
        server.send(bybit_ticker("BTCUSDT", T0 + step * 1000, "delta", openInterest=f"{1000 + step}.0"))
        server.send(bybit_book("BTCUSDT", T0 + step * 1000, "delta", step, [["64000.0", "2.0"]], []))
        time.sleep(0.4)
    server.disconnect()
    server.wait_connected(2)  # cryptofeed's own reconnect, which subscribes again
    server.send(
        # The exchange repeats its latest liquidation on connect, then a new one comes.
        bybit_ticker("BTCUSDT", T0 + 8000, "snapshot", openInterest="1100.0", **full),
        bybit_ticker("ETHUSDT", T0 + 8000, "snapshot", openInterest="5100.0", **full),
        bybit_book("BTCUSDT", T0 + 8000, "snapshot", 9, [["64000.0", "1.0"]], [["64000.1", "1.0"]]),
        bybit_book("ETHUSDT", T0 + 8000, "snapshot", 9, [["3000.0", "1.0"]], [["3000.1", "1.0"]]),
        bybit_liquidation("BTCUSDT", T0 + 1500, "Sell", "2", "64010"),
        bybit_liquidation("BTCUSDT", T0 + 8100, "Sell", "1", "63990"),
        # A message older than the one before on its channel.
        bybit_ticker("BTCUSDT", T0 + 7900, "delta", openInterest="1090.0"),
    )
    server.wait_drained()


def free_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def test_feed_health_reports_stale_symbols_reconnects_and_repeats(tmp_path, monkeypatch, capsys):
    port = free_port()
    pages = []

    def market(server):
        bybit_trouble(server)
        time.sleep(SETTLE)
        with urllib.request.urlopen(f"http://127.0.0.1:{port}/state", timeout=10) as answer:
            pages.append(json.load(answer))

    with BybitServer(tmp_path, BYBIT_TOPICS) as server:
        code, recorded, _, _ = run_live(
            tmp_path, monkeypatch, server, market, "--max-staleness", "1s",
            "--serve", f"127.0.0.1:{port}",
        )
    captured = capsys.readouterr()
    assert code == 0, captured.err
    err = captured.err
    assert "fenmor-radar: feed: ETHUSDT is stale: no " in err
    assert "fenmor-radar: feed: ETHUSDT is fresh again after a gap of " in err
    assert f"fenmor-radar: feed: reconnected to {server.wss} (reconnect 1)" in err
    assert "BTCUSDT is stale" not in err
    summary = (
        "fenmor-radar: feed health: 1 reconnect, 1 gap, 0 stale at the end, "
        # The late ticker is late for two channels: open interest and funding.
        "1 repeated liquidations left out, 2 messages older than the one before"
    )
    assert summary in err
    assert "  ETHUSDT " in err and " ok" in err  # the per-symbol table
    # The repeated liquidation is fed once; the new one and the late message are fed.
    liquidations = [line for line in recorded if '"liquidation"' in line]
    assert len(liquidations) == 2 and ",1700000008100," in liquidations[1]
    assert ",1700000007900," in recorded[-1]
    lines = [json.loads(line) for line in captured.out.splitlines()]
    assert ["ETHUSDT"] in [line["stale"] for line in lines]
    assert lines[-1]["stale"] == []
    # The live page showed the same checkpoint, with the feed health per symbol.
    page = pages[0]
    assert page["title"] == "BYBIT live"
    assert [a["symbol"] for a in page["alerts"]] == [a["symbol"] for a in lines[-1]["alerts"]]
    assert [row["symbol"] for row in page["health"]] == ["BTCUSDT", "ETHUSDT"]
    assert "ETHUSDT" in [onset["symbol"] for onset in page["onsets"]]
