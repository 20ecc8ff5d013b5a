"""The distributed replay's pieces without Dask: merging, specs, routing.

Also the recordings and the single replay (one radar per spec) that every
distributed test compares with, item by item.
"""

import gzip
import json
import random
import subprocess
import sys

import pytest

import reference_feeder
from fenmor_radar import Radar
from fenmor_radar._native import ShardReader, symbol_hash
from fenmor_radar.distributed.driver import MergedCheckpoint, check_specs
from fenmor_radar.distributed.merge import merge_replies
from fenmor_radar.replay import CheckpointReplies, replay_files
from fenmor_radar.replay.items import ReplayStats

# Symbols that differ only in case, in normalisation or in bytes beyond ASCII,
# the empty symbol, and symbols that need escapes in JSON.
SYMBOLS = [
    "BTCUSDT", "btcusdt", "BtcUsdt", "ETHUSDT", "ÉTHUSDT", "éthusdt", "e\u0301thusdt",
    "币安USDT", "😀", "", 'A"B', "X\\Y", "tab\there", "Z",
]
SIGNALS = [
    {"kind": "book_imbalance", "params": [0.5]},
    {"kind": "funding_flip", "params": [0.0005]},
    {"kind": "oi_delta", "params": [3, 0.05], "weight": 0.5},
    {"kind": "liq_cluster", "params": [4, 10]},
]
BAD_LINES = [
    '{"symbol":"BTCUSDT","event":{"kind":"trade","ts":5}}',
    '{"symbol":"BTCUSDT","event":{"kind":"orderbook","ts":5,"bid_volume":1}}',
    '{"symbol":"BTCUSDT","event":["orderbook",1.5,1,1,1,1]}',
    '{"symbol":"BTCUSDT","event":["orderbook",-0,1,1,1,1]}',
    '{"symbol":5,"event":["orderbook",5,1,1,1,1]}',
    '{"symbol":"BTCUSDT"}',
    "{}",
    "[1,2]",
    "garbage",
    '{"symbol":"BTCUSDT","event":["orderbook",5,1,1,1,1]',
]


def spec_text(threshold, limit=None, signals=SIGNALS):
    spec = {"signals": signals, "threshold": threshold}
    if limit is not None:
        spec["limit"] = limit
    return json.dumps(spec)


def event(rng, ts):
    kind = rng.choice(("derivatives", "orderbook", "orderbook", "liquidation"))
    if kind == "derivatives":
        fields = {"open_interest": rng.choice((100.0, 101.5, 97.0, 1e-8)),
                  "funding_rate": rng.choice((0.0003, -0.0002, 0.00000005, -0.001)),
                  "mark_price": rng.choice((50000.0, 49990.5, 50010.25))}
    elif kind == "orderbook":
        # Few distinct volumes, so that many symbols tie on severity.
        fields = {"bid_volume": rng.choice((1, 2, 3, 8)), "ask_volume": rng.choice((1, 2, 3)),
                  "best_bid": 1.0, "best_ask": 1.5}
    else:
        fields = {"side": rng.choice(("buy", "sell")), "qty": rng.choice((0.5, 3, 7.25)),
                  "price": 100.0}
    return kind, {"kind": kind, "ts": ts, **fields}


def line_text(rng, symbol, ts):
    kind, body = event(rng, ts)
    ascii_only = rng.random() < 0.3
    form = rng.randrange(10)
    if form == 0:
        value = [kind, *list(body.values())[1:]]
        separators = rng.choice(((",", ":"), (", ", ": ")))
        return json.dumps({"symbol": symbol, "event": value}, ensure_ascii=ascii_only,
                          separators=separators)
    if form == 1:  # spaced, as json.dumps writes by default
        return json.dumps({"symbol": symbol, "event": body}, ensure_ascii=ascii_only)
    if form == 2:  # symbol last, an extra member, trailing blanks
        text = json.dumps({"event": body, "venue": "x", "symbol": symbol}, ensure_ascii=ascii_only)
        return text + " \r"
    if form == 3:  # the symbol repeated: the last one counts
        rest = json.dumps({"symbol": symbol, "event": body}, ensure_ascii=ascii_only)[1:]
        return '{"symbol":"decoy",' + rest
    if form == 4:  # the member name spelled with an escape
        rest = json.dumps({"event": body}, separators=(",", ":"))[1:]
        return '{"s\\u0079mbol":' + json.dumps(symbol) + "," + rest
    if form == 5:  # ts repeated, and a ts inside an ignored member
        inner = json.dumps(body, separators=(",", ":"))
        inner = '{"ts":1,"extra":{"ts":99},' + inner[1:]
        return '{"symbol":' + json.dumps(symbol) + ',"event":' + inner + "}"
    if form == 6:  # a line of its own "cmd" stays a feed
        return json.dumps({"cmd": "reset", "symbol": symbol, "event": body}, separators=(",", ":"))
    return json.dumps({"symbol": symbol, "event": body}, separators=(",", ":"),
                      ensure_ascii=ascii_only)


def recording(seed, count, symbols=SYMBOLS, bad=0.05):
    """Lines of a recording as bytes: mostly good, some bad, a few blank or not UTF-8."""
    rng = random.Random(seed)
    ts = 1000
    lines = []
    for _ in range(count):
        ts += rng.choice((0, 1, 3, 7, 20))
        roll = rng.random()
        if roll < bad:
            lines.append(rng.choice(BAD_LINES).encode())
        elif roll < bad + 0.01:
            lines.append(rng.choice((b"", b"  ", b'{"symbol":"\xff","event":[]}')))
        else:
            when = ts - rng.choice((0, 0, 0, 0, 40)) if roll > 0.9 else ts  # some late events
            lines.append(line_text(rng, rng.choice(symbols), when).encode("utf-8"))
    return lines


def write_lines(path, lines, compress=False):
    data = b"".join(line + b"\n" for line in lines)
    path.write_bytes(gzip.compress(data) if compress else data)
    return str(path)


def single(path, spec, policy, strict=False):
    """The single (native) replay's items and counts."""
    stats = ReplayStats()
    items = [
        item.checkpoint() if isinstance(item, CheckpointReplies) else item
        for item in replay_files(path, spec, policy, strict=strict, stats=stats)
    ]
    return items, stats


def per_spec(items, spec):
    return [
        item.checkpoint(spec) if isinstance(item, MergedCheckpoint) else item.bad_line()
        for item in items
    ]


def assert_same_stats(got, want):
    for name in ("lines", "events", "bad_lines", "checkpoints", "first_bad", "stopped_at",
                 "symbol_count", "ts"):
        assert getattr(got, name) == getattr(want, name), name


SPECS = [spec_text(0.0), spec_text(0.3, limit=3), spec_text(0.45, limit=1), spec_text(2.0)]


def random_states(rng, radars_by_symbol, single_radar, count):
    for _ in range(count):
        symbol = rng.choice(SYMBOLS)
        _, body = event(rng, rng.randrange(1000))
        command = json.dumps({"cmd": "feed", "symbol": symbol, "event": body})
        assert single_radar.command(command) == '{"ok":true}'
        assert radars_by_symbol(symbol).command(command) == '{"ok":true}'


@pytest.mark.parametrize("shards", [2, 3, 6])
@pytest.mark.parametrize(("threshold", "limit"), [(0.0, None), (0.0, 1), (0.3, 4), (0.5, None),
                                                  (-1.0, 2), (1.5, None)])
def test_merged_reply_is_the_single_radars(shards, threshold, limit):
    spec = spec_text(threshold, limit)
    rng = random.Random(shards * 100 + int(threshold * 10))
    single_radar = Radar(spec)
    radars = [Radar(spec) for _ in range(shards)]
    random_states(rng, lambda symbol: radars[symbol_hash(symbol) % shards], single_radar, 400)
    alerts = '{"cmd":"alerts"}'
    replies = [radar.command(alerts) for radar in radars]
    (_, (limit_read,)) = check_specs(spec)
    assert merge_replies(replies, limit_read) == single_radar.command(alerts)


def test_merge_keeps_each_alert_text_and_ranks_by_utf8_bytes():
    def alert(symbol, severity):
        return (f'{{"symbol":{json.dumps(symbol, ensure_ascii=False)},"severity":{severity},'
                f'"factors":{{"x(1)":5e-8,"severity":{severity}}},"ts":-9223372036854775808}}')

    shard_a = '{"alerts":[' + alert("eth", "0.5") + "," + alert("Z", "5e-8") + '],"scanned":7}'
    shard_b = '{"alerts":[' + alert("ETH", "0.5") + "," + alert("é", "5e-8") + '],"scanned":2}'
    merged = merge_replies([shard_a, shard_b], None)
    assert merged == ('{"alerts":[' + ",".join([
        alert("ETH", "0.5"), alert("eth", "0.5"), alert("Z", "5e-8"), alert("é", "5e-8"),
    ]) + '],"scanned":9}')
    assert merge_replies([shard_a, '{"alerts":[],"scanned":0}'], 1) == (
        '{"alerts":[' + alert("eth", "0.5") + '],"scanned":7}'
    )


SIGNAL = '{"kind":"funding_flip","params":[0.1]}'


@pytest.mark.parametrize(
    ("spec", "limit"),
    [
        ('{"signals":[%s]}' % SIGNAL, None),
        ('{"signals":[%s], "limit": null}' % SIGNAL, None),
        ('{"limit": 3, "signals":[%s]}' % SIGNAL, 3),
        ("[[], [], [%s], 0.5]" % SIGNAL, None),
        ("[[], [], [%s], 0.5, 18446744073709551615]" % SIGNAL, 18446744073709551615),
        ('[[], [], [["funding_flip", [0.1]]], 0.5, null]', None),
    ],
)
def test_spec_limit(spec, limit):
    assert check_specs(spec) == ((spec,), (limit,))


def test_a_bad_spec_reports_the_radars_message_and_which_spec():
    with pytest.raises(ValueError, match="^bad spec: at least one signal is required$"):
        check_specs('{"signals":[]}')
    with pytest.raises(ValueError, match="^spec 2: parse: missing field `signals`"):
        check_specs([SPECS[0], "{}"])


TRICKY_LINES = [
    '{"symbol":"A","event":["orderbook",12,1,1,1,1]}',
    '{"symbol":"A","event": [ "orderbook" , -7 , 1,1,1,1]}',
    '{"symbol":"A","event":{"kind":"orderbook","ts":5,"ts":6,"bid_volume":1,"ask_volume":1,'
    '"best_bid":1,"best_ask":1}}',
    '{"symbol":"A","event":{"kind":"orderbook","extra":{"ts":9},"ts":5,"bid_volume":1,'
    '"ask_volume":1,"best_bid":1,"best_ask":1}}',
    '{"symbol":"A","event":{"kind":"orderbook","bid_volume":1,"ask_volume":1,"best_bid":1,'
    '"best_ask":1,"ts":8}}',
    '{"symbol":"A","event":{"kind":"orderbook","bid_volume":1,"ask_volume":1,"best_bid":1,'
    '"best_ask":1,"ts" :\t8 }}',
    '{"symbol":"A","ts":3,"event":["orderbook",4,1,1,1,1]}',
    '{"symbol":"A","event":["orderbook",4,1,1,1,1],"event":["orderbook",5,1,1,1,1]}',
    '{"event":["orderbook",4,1,1,1,1],"symbol":"A","symbol":"B"}',
    '{"symbol":"A","x":{"symbol":"B"},"event":["orderbook",4,1,1,1,1]}',
    '{"symbol":"A","s\\u0079mbol":"B","event":["orderbook",4,1,1,1,1]}',
    '{"symbol":"\\u0041","event":["orderbook",4,1,1,1,1]}',
    '{"symbol":"A","event":{"kind":"liquidation","side":"sell","qty":1,"price":1,"ts":9}}',
    '{"symbol":"A","event":{"kind":"liquidation","side":{"buy":null},"qty":1,"price":1,"ts":9}}',
]


USUAL_LINES = [
    '{"symbol":"BTCUSDT","event":{"kind":"orderbook","ts":7,"bid_volume":1,"ask_volume":1,'
    '"best_bid":1,"best_ask":1}}',
    '{"symbol": "BTCUSDT", "event": ["derivatives", -3, 100.0, 0.0001, 50000.0]}',
    '{"symbol":"币安","event":["liquidation",1700000000000,"sell",2.5,64000.5]}',
]


def radar_symbol(text):
    """The symbol whose state a radar feeds the line to; None when it rejects the line."""
    feeder = reference_feeder.LineFeeder([spec_text(0.0)])
    items = feeder.feed(text.encode() + b"\n") + feeder.finish()
    if any(item[0] == "bad" for item in items):
        return None
    (symbol,) = feeder._symbols
    return symbol


@pytest.mark.parametrize("shards", [2, 3])
def test_a_line_is_fed_by_the_shard_of_the_symbol_a_radar_reads(shards):
    # The shard reader finds most symbols without reading the line whole:
    # it must find the one the radar reads, or none; and a rejected line is
    # reported by exactly one shard.
    for text in TRICKY_LINES + USUAL_LINES + ['{"event":["orderbook",4,1,1,1,1]}', "[1]"]:
        symbol = radar_symbol(text)
        fed, bad = [], 0
        for shard in range(shards):
            reader = ShardReader([spec_text(0.0)], shard=shard, shards=shards, every_ts=None,
                                 unit_lines=10)
            reader.start_part(starts_file=True)
            assert not reader.read(text.encode())
            assert not reader.end_part(complete=True)
            lines, events, _, bad_lines, _ = reader.take_unit()
            assert lines == 1
            bad += len(bad_lines)
            reader.apply(1, 0)
            fed.append(reader.symbols())
        accepted = symbol is not None
        assert bad == (0 if accepted else 1), text
        if accepted:
            assert fed == [[symbol] if k == symbol_hash(symbol) % shards else []
                           for k in range(shards)]
        else:
            assert fed == [[]] * shards


def test_symbol_hash_is_fnv1a_mixed_and_the_same_in_every_process():
    def fnv1a_mixed(text):
        h = 0xcbf29ce484222325
        for byte in text.encode():
            h = ((h ^ byte) * 0x100000001b3) % 2**64
        for multiplier in (0xff51afd7ed558ccd, 0xc4ceb9fe1a85ec53):
            h = ((h ^ (h >> 33)) * multiplier) % 2**64
        return h ^ (h >> 33)

    symbols = ["BTCUSDT", "btcusdt", "币安", ""]
    assert [symbol_hash(s) for s in symbols] == [fnv1a_mixed(s) for s in symbols]
    code = ("from fenmor_radar._native import symbol_hash;"
            f"print([symbol_hash(s) for s in {symbols!r}])")
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert run.stdout == f"{[fnv1a_mixed(s) for s in symbols]}\n"


def test_importing_the_package_does_not_import_dask():
    code = ("import sys, fenmor_radar, fenmor_radar.cli, fenmor_radar.distributed;"
            "print(sorted(m for m in sys.modules if m.split('.')[0] in ('dask', 'distributed')))")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert result.stdout == "[]\n"
