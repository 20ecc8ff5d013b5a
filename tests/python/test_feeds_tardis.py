"""Vendor CSV datasets into recordings: `convert`, `replay --from tardis` and the block reader.

The files are small, written here in the vendor's documented layout, with the
rows that go wrong in practice: empty fields, files whose time ranges overlap,
a symbol seen only in liquidations, extra and reordered columns, bad rows.
"""

import gzip
import json
import subprocess
import sys
import zlib

import pytest

from fenmor_radar.cli import main
from fenmor_radar.feeds import tardis_blocks

TICKER = (
    "exchange,symbol,timestamp,local_timestamp,funding_timestamp,funding_rate,"
    "predicted_funding_rate,open_interest,last_price,index_price,mark_price\n"
    "binance-futures,BTCUSDT,1000000,1000500,8000000,0.0001,,500.5,100,100,100.5\n"
    # Only the last price moved: empty fields are unchanged, so no event.
    "binance-futures,BTCUSDT,3000000,3000500,,,,,101,,\n"
    "binance-futures,BTCUSDT,5000999,5001500,,-0.0002,,,,,\n"
    # A bad row: a non-number.
    "binance-futures,BTCUSDT,6000000,6000500,,abc,,,,,\n"
    # A bad row: a missing column.
    "binance-futures,BTCUSDT,7000000\n"
)
# Extra columns, in another order than the vendor's.
LIQUIDATIONS = (
    "side,symbol,amount,price,timestamp,note,local_timestamp,exchange,id\n"
    "sell,ETHUSDT,1.5,2300.25,2000000,x,2000100,binance-futures,\n"
    "buy,ETHUSDT,0.5,2301,4000000,,4000100,binance-futures,abc\n"
    "short,ETHUSDT,0.5,2301,4500000,,4000100,binance-futures,abc\n"
)
BOOK = (
    "exchange,symbol,timestamp,local_timestamp,asks[0].price,asks[0].amount,bids[0].price,"
    "bids[0].amount,asks[1].price,asks[1].amount,bids[1].price,bids[1].amount\n"
    "binance-futures,BTCUSDT,2500000,2500100,101,1,100,2,102,3,99,4\n"
    # A thin book: the second bid level is empty.
    "binance-futures,BTCUSDT,4500000,4500100,101,1,100,2,102,3,,\n"
    # No bid at all: no best bid, no event.
    "binance-futures,BTCUSDT,4600000,4600100,101,1,,,102,3,,\n"
)


def event(symbol, kind, ts, **fields):
    return {"symbol": symbol, "event": {"kind": kind, "ts": ts, **fields}}


EXPECTED = [
    event("BTCUSDT", "derivatives", 1000, open_interest=500.5, funding_rate=0.0001, mark_price=100.5),
    event("ETHUSDT", "liquidation", 2000, side="sell", qty=1.5, price=2300.25),
    event("BTCUSDT", "orderbook", 2500, bid_volume=6.0, ask_volume=4.0, best_bid=100.0, best_ask=101.0),
    event("ETHUSDT", "liquidation", 4000, side="buy", qty=0.5, price=2301.0),
    event("BTCUSDT", "orderbook", 4500, bid_volume=2.0, ask_volume=4.0, best_bid=100.0, best_ask=101.0),
    event("BTCUSDT", "derivatives", 5000, open_interest=500.5, funding_rate=-0.0002, mark_price=100.5),
]


@pytest.fixture
def files(tmp_path):
    ticker = tmp_path / "binance-futures_derivative_ticker_2024-01-01_BTCUSDT.csv.gz"
    with gzip.open(ticker, "wt", encoding="utf-8") as file:
        file.write(TICKER)
    liquidations = tmp_path / "binance-futures_liquidations_2024-01-01_ETHUSDT.csv"
    liquidations.write_text(LIQUIDATIONS, encoding="utf-8")
    book = tmp_path / "binance-futures_book_snapshot_5_2024-01-01_BTCUSDT.csv"
    book.write_text(BOOK, encoding="utf-8")
    return [str(ticker), str(liquidations), str(book)]


def test_convert_merges_files_by_time_and_reports_bad_rows(tmp_path, files, capsys):
    out = tmp_path / "out.jsonl.gz"
    assert main(["convert", "--from", "tardis", *files, "-o", str(out)]) == 3
    with gzip.open(out, "rt", encoding="utf-8") as file:
        lines = file.read().splitlines()
    assert [json.loads(line) for line in lines] == EXPECTED
    err = capsys.readouterr().err
    assert f"skipped {files[0]}:5: not a number: 'abc'" in err
    assert f"skipped {files[0]}:6: missing columns: 3 fields, the header has 11" in err
    assert f"skipped {files[1]}:4: side must be \"buy\" or \"sell\", got 'short'" in err
    assert "converted 8 rows of 3 files into 6 events for 2 symbols" in err
    assert "time already written" not in err  # files that overlap in time are no disorder

    # A file whose own rows go back in time is kept in its order, with a warning.
    unordered = tmp_path / "binance-futures_liquidations_unordered.csv"
    unordered.write_text(LIQUIDATIONS.replace("4500000", "1500000").replace("short,", "buy,"),
                         encoding="utf-8")
    assert main(["convert", "--from", "tardis", str(unordered), "-o", str(tmp_path / "u.jsonl")]) == 0
    assert f"1 row came before a time already written (first at {unordered}:4)" in capsys.readouterr().err

    # The same files straight into replay give the alerts of the converted recording.
    spec = tmp_path / "spec.json"
    spec.write_text(
        '{"signals":[{"kind":"funding_flip","params":[0.0001]},'
        '{"kind":"liq_cluster","params":[3,1]}],"threshold":0}',
        encoding="utf-8",
    )
    replay = ["replay", "--spec", str(spec), "--every-ts", "2000", "--format", "json", "-q"]
    assert main([*replay, str(out)]) == 0
    converted = capsys.readouterr().out
    assert main([*replay, "--from", "tardis", *files]) == 3
    assert capsys.readouterr().out == converted
    assert converted.count("\n") == 3

    # The block reader gives the same recording, cut at line ends only.
    blocks = list(tardis_blocks(files, block_bytes=100))
    assert len(blocks) > 1 and all(block.endswith(b"\n") for block in blocks)
    assert b"".join(blocks).decode("utf-8").splitlines() == lines


def test_depth_quotes_and_symbol_names(tmp_path, capsys):
    book = tmp_path / "book_snapshot_25.csv"
    book.write_text(BOOK, encoding="utf-8")
    quotes = tmp_path / "okex-swap_quotes_2024-01-01_BTC-USDT-SWAP.csv"
    quotes.write_text(
        "exchange,symbol,timestamp,local_timestamp,ask_amount,ask_price,bid_price,bid_amount\n"
        "okex-swap,BTC-USDT-SWAP,1000000,1000001,3,101.5,101,7\n",
        encoding="utf-8",
    )
    out = tmp_path / "out.jsonl"
    args = ["convert", "--from", "tardis", str(book), str(quotes), "-o", str(out), "-q"]
    assert main([*args, "--depth", "1", "--normalise-symbols"]) == 0
    assert [json.loads(line) for line in out.read_text().splitlines()] == [
        event("BTCUSDT", "orderbook", 1000, bid_volume=7.0, ask_volume=3.0, best_bid=101.0, best_ask=101.5),
        event("BTCUSDT", "orderbook", 2500, bid_volume=2.0, ask_volume=1.0, best_bid=100.0, best_ask=101.0),
        event("BTCUSDT", "orderbook", 4500, bid_volume=2.0, ask_volume=1.0, best_bid=100.0, best_ask=101.0),
    ]


def test_files_that_cannot_be_converted_stop_before_writing(tmp_path, capsys):
    trades = tmp_path / "binance-futures_trades_2024-01-01_BTCUSDT.csv"
    trades.write_text(
        "exchange,symbol,timestamp,local_timestamp,id,side,price,amount\n", encoding="utf-8"
    )
    unknown = tmp_path / "other.csv"
    unknown.write_text("a,b\x1b[31m\n1,2\n", encoding="utf-8")
    out = tmp_path / "out.jsonl"
    for path, message in [
        (trades, "trades are not a radar event"),
        (unknown, "not a derivative_ticker, liquidations, book_snapshot or quotes file"),
        (tmp_path / "missing.csv", "cannot read"),
    ]:
        assert main(["convert", "--from", "tardis", str(path), "-o", str(out)]) == 1
        err = capsys.readouterr().err
        assert message in err and "\x1b" not in err
        assert not out.exists()


def test_a_file_that_breaks_off_is_an_error_not_a_short_recording(tmp_path, files, capsys):
    broken = tmp_path / "binance-futures_derivative_ticker_2024-01-02_BTCUSDT.csv.gz"
    header, rows = TICKER.split("\n", 1)
    rows = "".join(rows.replace("BTCUSDT", f"S{i % 7}") for i in range(2000))  # every row news
    whole = gzip.compress(f"{header}\n{rows}".encode())
    broken.write_bytes(whole[: len(whole) // 2])
    out = tmp_path / "out.jsonl"
    assert main(["convert", "--from", "tardis", str(broken), files[1], "-o", str(out), "-q"]) == 1
    assert "conversion failed, " in capsys.readouterr().err and not out.exists()
    # What the path named before stays as it was: a file, a link and the file it points to.
    out.write_text("kept\n")
    link = tmp_path / "link.jsonl"
    link.symlink_to(out)
    for target in (out, link):
        assert main(["convert", "--from", "tardis", str(broken), "-o", str(target), "-q"]) == 1
        assert link.is_symlink() and out.read_text() == "kept\n"
    assert sorted(path.name for path in tmp_path.iterdir() if path.name.startswith(".")) == []
    capsys.readouterr()

    # Every complete row is converted before the damage is reported.
    readable = zlib.decompressobj(31).decompress(broken.read_bytes()).decode()
    complete = tmp_path / "binance-futures_derivative_ticker_complete.csv"
    complete.write_text(readable[: readable.rindex("\n") + 1])
    converted = []
    with pytest.raises(EOFError, match=f"^{broken}: Compressed file ended"):
        for block in tardis_blocks([str(broken), files[1]]):
            converted.append(block)
    assert b"".join(converted) == b"".join(tardis_blocks([str(complete), files[1]]))
    assert len(converted) > 2
    spec = tmp_path / "spec.json"
    spec.write_text('{"signals":[{"kind":"funding_flip","params":[0.0001]}]}', encoding="utf-8")
    assert main(["replay", "--spec", str(spec), "--from", "tardis", str(broken), "-q"]) == 1
    assert "cannot read" in capsys.readouterr().err


def test_convert_to_standard_output_writes_the_recording_there(tmp_path, files):
    out = tmp_path / "out.jsonl"
    assert main(["convert", "--from", "tardis", *files, "-o", str(out), "-q"]) == 3
    result = subprocess.run(
        [sys.executable, "-m", "fenmor_radar", "convert", "--from", "tardis", *files, "-o", "-", "-q"],
        capture_output=True,
        cwd=tmp_path,
        timeout=60,
    )
    assert result.returncode == 3 and result.stdout == out.read_bytes()
    assert not (tmp_path / "-").exists()


def test_a_csv_file_replayed_as_a_recording_says_to_use_from_tardis(tmp_path, files, capsys):
    spec = tmp_path / "spec.json"
    spec.write_text('{"signals":[{"kind":"funding_flip","params":[0.0001]}]}', encoding="utf-8")
    assert main(["replay", "--spec", str(spec), files[1], "-q"]) == 1
    assert "it looks like a CSV file: replay the vendor's CSV files with --from tardis" in (
        capsys.readouterr().err
    )


def test_the_sample_csv_files_convert_back_to_the_sample_recording(tmp_path, capsys):
    """`sample --tardis` writes each kind in the layout the converter reads: its rows give
    back the demo's events (books: the best prices; the volumes are sums of levels)."""
    from fenmor_radar._native import event_schema
    from fenmor_radar.sample import sample_events

    fields = event_schema()["kinds"]
    assert main(["sample", "--tardis", str(tmp_path)]) == 0
    assert "wrote 36,932 rows in 3 CSV files" in capsys.readouterr().err
    converted = [json.loads(line) for block in tardis_blocks(sorted(map(str, tmp_path.iterdir())))
                 for line in block.decode().splitlines()]
    expected, last = [], {}
    for symbol, event in sample_events():
        if event[0] == "derivatives":  # a row that changes nothing is no event
            if last.get(symbol) == event[2:]:
                continue
            last[symbol] = event[2:]
        expected.append((symbol, list(event)))

    def key(pair):
        symbol, event = pair
        return event[1], symbol, event[0]

    got = sorted(((line["symbol"], [line["event"]["kind"]] + [
        line["event"][name] for name, _ in fields[line["event"]["kind"]]]) for line in converted), key=key)
    assert len(got) == len(expected)
    for (symbol, event), (want_symbol, want) in zip(got, sorted(expected, key=key), strict=True):
        assert (symbol, event[:2]) == (want_symbol, want[:2])
        if event[0] == "orderbook":
            assert event[4:] == want[4:] and event[2:4] == pytest.approx(want[2:4], rel=1e-6)
        else:
            assert event == want
