"""The distributed replay's parts, run in one process without Dask.

The shards here are the real ``Shard`` objects called directly, so the
routing, judging, checkpoint placement and merging are exactly the ones a
cluster runs; only the transport is missing. Every replay is compared with
the single replay (one radar per spec) on the same file, item by item.
"""

import gzip
import json
import random
import subprocess
import sys

import pytest

from fenmor_radar import Radar
from fenmor_radar.cli.checkpoints import CheckpointPolicy
from fenmor_radar.cli.event_line import prepare_line
from fenmor_radar.cli.events import DamagedInput, read_events
from fenmor_radar.cli.replay import ReplayStats
from fenmor_radar.cli.replay import replay as single_replay
from fenmor_radar.distributed.chunks import PilePayload, ShardPile
from fenmor_radar.distributed.driver import (
    BadEventLine,
    MergedCheckpoint,
    check_specs,
    replay_on,
)
from fenmor_radar.distributed.merge import merge_replies, spec_limit
from fenmor_radar.distributed.routing import ShardRouter, line_symbol, symbol_hash
from fenmor_radar.distributed.shard import Shard
from fenmor_radar.distributed.verdicts import quick_stamps, quick_ts

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


class InProcessShards:
    """The shards of a cluster, called directly on this thread."""

    def __init__(self, count, specs, every_ts):
        self.count = count
        self.shards = [Shard(tuple(specs), every_ts) for _ in range(count)]

    def step(self, round_number, plan, piles):
        return [
            shard.step(round_number, plan, piles[k] if piles is not None else None)
            for k, shard in enumerate(self.shards)
        ]

    def collect(self, calls, round_number):
        return calls


def sharded(paths, specs, policy, shards, strict=False, chunk_lines=50):
    specs, limits = check_specs(specs)
    stats = ReplayStats()
    sources = [(path, read_events(path)) for path in paths]
    shard_set = InProcessShards(shards, specs, policy.every_ts)
    items = list(replay_on(shard_set, sources, limits, policy, strict, stats, chunk_lines))
    return items, stats


def single(path, spec, policy, strict=False):
    stats = ReplayStats()
    items = list(single_replay(Radar(spec), read_events(path), policy, strict=strict, stats=stats))
    return items, stats


def per_spec(items, spec):
    return [
        item.checkpoint(spec) if isinstance(item, MergedCheckpoint) else item.bad_line()
        for item in items
    ]


def assert_same_stats(got, want):
    for name in ("lines", "events", "bad_lines", "checkpoints", "first_bad", "stopped_at",
                 "symbols", "ts"):
        assert getattr(got, name) == getattr(want, name), name


SPECS = [spec_text(0.0), spec_text(0.3, limit=3), spec_text(0.45, limit=1), spec_text(2.0)]


@pytest.mark.parametrize(
    ("seed", "shards", "chunk_lines", "policy", "strict"),
    [
        (1, 1, 50, CheckpointPolicy(every_events=13), False),
        (2, 2, 7, CheckpointPolicy(every_ts=50), False),
        (3, 3, 64, CheckpointPolicy(every_events=1, every_ts=20), False),
        (4, 5, 1000, CheckpointPolicy(), False),
        (5, 4, 33, CheckpointPolicy(every_events=40, every_ts=100), False),
        (6, 7, 1, CheckpointPolicy(every_ts=1), False),
        (7, 2, 50, CheckpointPolicy(every_events=13, every_ts=50), True),
        (8, 3, 9, CheckpointPolicy(every_ts=30), True),
    ],
)
def test_every_checkpoint_equals_one_radar_per_spec(tmp_path, seed, shards, chunk_lines, policy,
                                                     strict):
    lines = recording(seed, 700, bad=0.0 if strict and seed == 8 else 0.03)
    path = write_lines(tmp_path / "events.jsonl", lines, compress=seed % 2 == 0)
    items, stats = sharded([path], SPECS, policy, shards, strict, chunk_lines)
    for number, spec in enumerate(SPECS):
        want, want_stats = single(path, spec, policy, strict)
        assert per_spec(items, number) == want
        assert_same_stats(stats, want_stats)
    assert any(isinstance(item, MergedCheckpoint) and '"alerts":[{' in item.replies[1]
               for item in items)
    for item in items:
        if isinstance(item, BadEventLine):
            assert item.source == path


def test_files_replay_as_one_input_in_order(tmp_path):
    first = write_lines(tmp_path / "a.jsonl.gz", recording(11, 150), compress=True)
    second = write_lines(tmp_path / "b.jsonl", recording(12, 150))
    both = write_lines(tmp_path / "ab.jsonl", recording(11, 150) + recording(12, 150))
    policy = CheckpointPolicy(every_events=25, every_ts=200)
    items, stats = sharded([first, second], SPECS[1], policy, shards=3)
    want, want_stats = single(both, SPECS[1], policy)
    assert [item.checkpoint() for item in items if isinstance(item, MergedCheckpoint)] == [
        item for item in want if not hasattr(item, "number")
    ]
    # Bad lines are named by their own file and line number.
    bad = [(item.source, item.number) for item in items if isinstance(item, BadEventLine)]
    first_count = len(recording(11, 150))
    assert bad == [
        (first, item.number) if item.number <= first_count else (second, item.number - first_count)
        for item in want
        if hasattr(item, "number")
    ]
    assert stats.events == want_stats.events


def test_empty_input_has_one_checkpoint(tmp_path):
    path = write_lines(tmp_path / "empty.jsonl", [b"", b"   "])
    items, stats = sharded([path], SPECS[0], CheckpointPolicy(every_events=5), shards=3)
    assert items == [MergedCheckpoint(0, None, ('{"alerts":[],"scanned":0}',))]
    assert stats.lines == 0 and stats.checkpoints == 1


def test_strict_stops_at_the_first_bad_line_of_any_shard(tmp_path):
    good = recording(21, 120, bad=0.0)
    lines = good[:90] + [b'{"symbol":"BTCUSDT","event":{"kind":"swap","ts":1}}'] + good[90:]
    path = write_lines(tmp_path / "events.jsonl", lines)
    policy = CheckpointPolicy(every_events=10)
    items, stats = sharded([path], SPECS[0], policy, shards=4, strict=True, chunk_lines=16)
    want, want_stats = single(path, SPECS[0], policy, strict=True)
    assert per_spec(items, 0) == want
    assert isinstance(items[-1], BadEventLine) and items[-1].number == 91
    assert stats.stopped_at == want_stats.stopped_at and stats.lines == 91


def test_an_input_that_breaks_off_fails_after_the_checkpoints_before_it(tmp_path):
    data = gzip.compress(b"".join(line + b"\n" for line in recording(22, 4000)))
    path = tmp_path / "cut.jsonl.gz"
    path.write_bytes(data[: len(data) // 2])
    policy = CheckpointPolicy(every_events=300)
    stats = ReplayStats()
    want = []
    with pytest.raises(DamagedInput) as single_error:
        for item in single_replay(Radar(SPECS[0]), read_events(str(path)), policy, stats=stats):
            want.append(item)
    got = []
    with pytest.raises(DamagedInput) as sharded_error:
        specs, limits = check_specs(SPECS[0])
        sharded_stats = ReplayStats()
        shard_set = InProcessShards(3, specs, None)
        for item in replay_on(shard_set, [(str(path), read_events(str(path)))], limits, policy,
                              False, sharded_stats, 400):
            got.append(item)
    assert per_spec(got, 0) == want and len(want) > 3
    assert str(sharded_error.value) == str(single_error.value)
    assert sharded_stats.lines == stats.lines


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
    router = ShardRouter(shards)
    random_states(rng, lambda symbol: radars[router.shard(symbol)], single_radar, 400)
    alerts = '{"cmd":"alerts"}'
    replies = [radar.command(alerts) for radar in radars]
    limit_read = spec_limit(spec)
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


@pytest.mark.parametrize(
    ("spec", "limit"),
    [
        ('{"signals":[]}', None),
        ('{"signals":[], "limit": null}', None),
        ('{"limit": 3, "signals":[]}', 3),
        ('[[], [], [], 0.5]', None),
        ('[[], [], [], 0.5, 18446744073709551615]', 18446744073709551615),
        ('[[], [], [], 0.5, null]', None),
    ],
)
def test_spec_limit(spec, limit):
    assert spec_limit(spec) == limit


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


@pytest.mark.parametrize("text", TRICKY_LINES + USUAL_LINES)
def test_quick_reads_agree_with_the_replays_reading_on_accepted_lines(text):
    radar = Radar(spec_text(0.0))
    prepared = prepare_line(text)
    assert radar.command(prepared.command) == '{"ok":true}'
    for ts in (quick_ts(text), quick_stamps(text, 1, lambda: [text])[0]):
        assert ts is None or ts == prepared.ts
    assert line_symbol(text) == prepared.symbol


def test_usual_lines_are_read_in_bulk_even_beside_others():
    texts = USUAL_LINES + TRICKY_LINES + BAD_LINES + USUAL_LINES
    stamps = quick_stamps("\n".join(texts), len(texts), lambda: texts)
    radar = Radar(spec_text(0.0))
    for text, ts in zip(texts, stamps, strict=True):
        prepared = prepare_line(text)
        if radar.command(prepared.command) == '{"ok":true}':
            assert ts is None or ts == prepared.ts
    assert stamps[:3] == stamps[-3:] == [7, -3, 1700000000000]


def test_symbol_hash_is_stable_across_processes():
    code = ("from fenmor_radar.distributed.routing import symbol_hash;"
            "print([symbol_hash(s) for s in ['BTCUSDT', 'btcusdt', '币安', '']])")
    runs = {subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                           check=True).stdout for _ in range(2)}
    assert runs == {f"{[symbol_hash(s) for s in ['BTCUSDT', 'btcusdt', '币安', '']]}\n"}


def test_pile_texts_survive_line_breaks_of_their_own():
    pile = ShardPile()
    for index, text in enumerate(["a", "b\nc", "", "d\n"]):
        pile.indices.append(index)
        pile.texts.append(text)
    payload = pile.payload()
    assert payload.lengths is not None
    assert payload.index_list() == [0, 1, 2, 3]
    assert payload.texts() == ["a", "b\nc", "", "d\n"]
    assert PilePayload(0, b"", "").texts() == []


def test_importing_the_package_does_not_import_dask():
    code = ("import sys, fenmor_radar, fenmor_radar.cli, fenmor_radar.distributed;"
            "print(sorted(m for m in sys.modules if m.split('.')[0] in ('dask', 'distributed')))")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert result.stdout == "[]\n"
