"""DataFrames in and out of the Screener, and numbers of numpy and pandas."""

import pytest

pa = pytest.importorskip("pyarrow")
np = pytest.importorskip("numpy")
pd = pytest.importorskip("pandas")
pl = pytest.importorskip("polars")

from fenmor_radar import Screener  # noqa: E402
from fenmor_radar.screener import RadarError  # noqa: E402

SPEC = {"signals": [{"kind": "funding_flip", "params": [0.0001]},
                    {"kind": "book_imbalance", "params": [0.2]},
                    {"kind": "liq_cluster", "params": [2, 1]}], "threshold": 0.0}

ROWS = [
    {"symbol": "BTC", "kind": "derivatives", "ts": 1, "open_interest": 100.0, "funding_rate": 0.0003, "mark_price": 5.0},
    {"symbol": "ETH", "kind": "orderbook", "ts": 2, "bid_volume": 3.0, "ask_volume": 1.0, "best_bid": 9.5, "best_ask": 10.0},
    {"symbol": "BTC", "kind": "derivatives", "ts": 3, "open_interest": 101.0, "funding_rate": -0.0002, "mark_price": 5.1},
    {"symbol": "ETH", "kind": "liquidation", "ts": 4, "side": "sell", "qty": 2.0, "price": 9.7},
    {"symbol": "ETH", "kind": "liquidation", "ts": 5, "side": "buy", "qty": 0.1, "price": 9.8},
]
COLUMNS = ["symbol", "kind", "ts", "open_interest", "funding_rate", "mark_price", "bid_volume",
           "ask_volume", "best_bid", "best_ask", "side", "qty", "price"]


def fed_one_by_one(rows):
    screener = Screener(SPEC)
    for row in rows:
        screener.feed(row["symbol"], {k: v for k, v in row.items() if k != "symbol"})
    return screener.alerts()


def frames():
    frame = pd.DataFrame(ROWS, columns=COLUMNS)
    table = pa.Table.from_pandas(frame, preserve_index=False)
    return {
        "arrow": table,
        "pandas": frame,
        "pandas, datetime ts": frame.assign(ts=pd.to_datetime(frame["ts"], unit="ms")),
        "polars": pl.from_arrow(table),
        "arrow, dictionary symbol": table.set_column(0, "symbol", table.column("symbol").dictionary_encode()),
    }


@pytest.mark.parametrize("name", list(frames()))
def test_a_frame_feeds_as_its_rows_do(name):
    screener = Screener(SPEC)
    screener.feed_frame(frames()[name])
    assert screener.alerts() == fed_one_by_one(ROWS)


def test_a_refused_row_is_named_and_nothing_is_fed():
    rows = [dict(row) for row in ROWS]
    rows[3]["side"] = "up"
    screener = Screener(SPEC)
    with pytest.raises(RadarError) as caught:
        screener.feed_frame(pd.DataFrame(rows, columns=COLUMNS))
    assert caught.value.message == "parse: unknown variant `up`, expected `buy` or `sell`"
    assert (caught.value.row, caught.value.field) == (4, "event.side")
    assert screener.alerts() == []
    with pytest.raises(TypeError, match="pandas or polars DataFrame"):
        screener.feed_frame([ROWS])


def test_alerts_frame_converts_to_pandas_and_polars():
    screener = Screener(SPEC)
    screener.feed_frame(pd.DataFrame(ROWS, columns=COLUMNS))
    table = screener.alerts_frame()
    alerts = screener.alerts()
    assert table.column_names == ["rank", "symbol", "severity", "ts", "factors"]
    assert table.column("symbol").to_pylist() == [alert.symbol for alert in alerts]
    assert table.to_pandas()["factors"][0] == dict(alerts[0].factors)
    assert pl.from_arrow(table)["severity"].to_list() == [alert.severity for alert in alerts]


def test_numbers_of_numpy_and_pandas_are_taken_as_ints_and_floats():
    plain = fed_one_by_one(ROWS)
    screener = Screener(SPEC)
    for row in ROWS:
        event = {k: v for k, v in row.items() if k != "symbol"}
        event["ts"] = np.int64(event["ts"])
        for name in ("open_interest", "mark_price", "bid_volume", "qty"):
            if name in event:
                event[name] = np.float64(event[name])
        if "best_bid" in event:
            event["best_bid"] = np.float32(event["best_bid"])  # 9.5 is exact in 32 bits
        screener.feed(row["symbol"], event)
    assert screener.alerts() == plain
    # A Timestamp as ts is its millisecond; as a tuple, through the general way too.
    stamped = Screener(SPEC)
    for row in ROWS:
        fields = [row[k] for k in COLUMNS[2:] if k in row]
        fields[0] = pd.Timestamp(fields[0], unit="ms")
        stamped.feed(row["symbol"], (row["kind"], *fields))
    assert stamped.alerts() == plain
    # What the radar refuses stays refused: a bool, a NaN, a float ts.
    for event in (("derivatives", np.bool_(True), 1.0, 1.0, 1.0), ("derivatives", 1, np.float64("nan"), 1.0, 1.0),
                  ("derivatives", np.float64(1.0), 1.0, 1.0, 1.0), ("derivatives", 1, np.bool_(False), 1.0, 1.0)):
        with pytest.raises(RadarError):
            Screener(SPEC).feed("X", event)
