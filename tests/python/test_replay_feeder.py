"""The native line feeder against feeding the same lines one "feed" command at a time.

The oracle is ``reference_feeder.LineFeeder``: the replay as it was before the
feeder, one ``Radar.command`` per line. Both get the same hostile recording,
cut into blocks at every kind of place, and must agree on every checkpoint
reply, every rejected line and every counter.
"""

import json
import random

import pytest

import reference_feeder

native = pytest.importorskip(
    "fenmor_radar._native",
    reason="the native module fenmor_radar._native is not built in this install",
)

BOOK_SPEC = '{"signals":[{"kind":"book_imbalance","params":[1.0]}],"threshold":0.1}'
FUNDING_SPEC = '{"signals":[{"kind":"funding_flip","params":[0.0001]}],"threshold":0.5,"limit":2}'


def book(symbol, ts, bid=3, ask=1, escaped=False):
    return (
        f'{{"symbol":{json.dumps(symbol, ensure_ascii=escaped)},"event":{{"kind":"orderbook","ts":{ts},'
        f'"bid_volume":{bid},"ask_volume":{ask},"best_bid":1,"best_ask":2}}}}'
    )


def funding(symbol, ts, rate):
    return f'{{"symbol":"{symbol}","event":["derivatives",{ts},100.0,{rate},50.0]}}'


HOSTILE = [
    b'{"symbol":"A","event":{"kind":"derivatives","ts":"1","open_interest":1,"funding_rate":1,"mark_price":1}}',
    b'{"symbol":"A","event":{"kind":"derivatives","ts":3,"open_interest":1,"funding_rate":"0.000134","mark_price":1}}',
    b'{"symbol":"A","event":{"kind":"swap","ts":4}}',
    b'{"symbol":"A","event":{"kind":"\\u001b]0;title\\u0007\\u001b[2J","ts":4}}',
    b'{"symbol":"A","event":{"kind":"liquidation","ts":5,"side":"\x1b[2J","qty":1,"price":1}}',
    b'{"symbol":"A","event":{"kind":"liquidation","ts":6,"side":"sideways","qty":1,"price":1}}',
    b'{"symbol":"A","event":["derivatives",7,1,2]}',
    b'{"symbol":"A","event":["derivatives",7,1,2,3,4]}',
    b'{"symbol":"A","event":["orderbook",8,1e999,1,1,2]}',
    b'{"symbol":"A","event":{"kind":"liquidation","ts":99999999999999999999,"side":"buy","qty":1,"price":1}}',
    b'{"symbol":"A","event":{"kind":"liquidation","ts":-9223372036854775809,"side":"buy","qty":1,"price":1}}',
    b'{"symbol":"A","event":{"kind":"derivatives","ts":9,"open_interest":NaN,"funding_rate":1,"mark_price":1}}',
    b'{"symbol":"A","event":5}',
    b'{"symbol":5,"event":["liquidation",10,"buy",1.0,2.0]}',
    b'{"symbol":"A"}',
    b'{"event":["liquidation",10,"buy",1.0,2.0]}',
    b"{}",
    b"  { }  ",
    b"[1, 2]",
    b'"just a string"',
    b"42",
    b"null",
    b"nope",
    b'{"symbol":"A","event":',
    b'{"a":1,}',
    b"[" * 200 + b"]" * 200,
    b'{"symbol":"A\xff","event":[]}',
    b"\xc3\x28 broken",
    b"\xed\xa0\x80 surrogate",
    b'{"symbol":"A","event":["liquidation",11,"buy",1.0,2.0],"cmd":"reset"}',
    b'{"cmd":"set_spec","spec":{},"symbol":"A","event":["liquidation",12,"buy",1.0,2.0]}',
    b'{"symbol":"B","symbol":"A","event":["liquidation",1,"buy",1.0,2.0],"event":["liquidation",13,"buy",1.0,2.0]}',
    b'{"symbol":"A","event":{"kind":"liquidation","ts":14,"ts":15,"side":"buy","qty":1,"price":1}}',
    b'{"symbol":"A","event":["liquidation",16,"buy",1.0,2.0],"extra":[1,{"x":null}]}',
]

GOOD = [
    book("BTCUSDT", 1, 3, 1).encode(),
    funding("BTCUSDT", 2, 0.0003).encode(),
    funding("BTCUSDT", 3, -0.0002).encode(),
    book('ETHé"q\x01', 4, 4, 1, escaped=True).encode(),
    book("SOL€𝄞", 5, 1, 5).encode(),
    book("😀", 6, 2, 1, escaped=True).encode(),
    book("BTCUSDT", 2, 1, 1).encode(),  # an older ts: the clock stays
    funding("XRP", 20, 0.0004).encode() + b"\r",
    b"\t" + book("ADA", 21, 5, 1).encode() + b"  \r",
    funding("XRP", 35, -0.0004).encode(),
    book("DOGE", 70, 9, 1).encode(),
]
BLANK = [b"", b"   ", b"\t\r", b"\r"]


def recording(seed, lines=400, clean_lines=0):
    """A recording mixing good, hostile and blank lines, with a BOM in front.

    The first ``clean_lines`` lines are good or blank.
    """
    rng = random.Random(seed)
    out = []
    ts = 100
    for number in range(lines):
        roll = rng.random()
        if number < clean_lines and 0.7 <= roll < 0.9:
            roll = 0.0
        if roll < 0.5:
            ts += rng.choice([0, 1, 7, 30, -5])
            symbol = rng.choice(["BTCUSDT", "ETHUSDT", "SOL€", "x\x1by"])
            if rng.random() < 0.5:
                out.append(book(symbol, ts, rng.randint(1, 9), rng.randint(1, 9)).encode())
            else:
                out.append(funding(symbol.replace("\x1b", ""), ts, rng.choice([0.0003, -0.0003, 0.0])).encode())
        elif roll < 0.7:
            out.append(rng.choice(GOOD))
        elif roll < 0.9:
            out.append(rng.choice(HOSTILE))
        else:
            out.append(rng.choice(BLANK))
    return b"\xef\xbb\xbf" + b"\n".join(out) + rng.choice([b"", b"\n", b"\r\n"])


def cuts(data, seed):
    """The data in blocks: single bytes, small random pieces, whole lines, one block."""
    rng = random.Random(seed)
    yield [data[i : i + 1] for i in range(len(data))]
    pieces, at = [], 0
    while at < len(data):
        step = rng.randint(0, 97)
        pieces.append(data[at : at + step])
        at += step
    yield pieces
    yield [line + b"\n" for line in data.split(b"\n")[:-1]] + [data.split(b"\n")[-1]]
    yield [data]


def run(module, blocks, specs, complete=True, **options):
    feeder = module.LineFeeder(specs, **options)
    items = []
    for block in blocks:
        items += feeder.feed(block)
    items += feeder.finish(complete=complete)
    counters = (feeder.lines, feeder.events, feeder.bad_lines, feeder.checkpoints, feeder.symbols, feeder.ts, feeder.stopped)
    return items, counters, feeder.alerts()


def comparable(items):
    # The field is a hint added by the native side; the message must be the radar's.
    return [item[:3] if item[0] == "bad" else item for item in items]


OPTIONS = [
    {},
    {"every_events": 1},
    {"every_events": 7},
    {"every_ts": 10},
    {"every_ts": 3, "every_events": 5},
    {"every_ts": 10, "strict": True},
]


@pytest.mark.parametrize("options", OPTIONS, ids=lambda o: ",".join(f"{k}={v}" for k, v in o.items()) or "end")
@pytest.mark.parametrize("seed", [1, 2])
def test_native_feeder_matches_feeding_line_by_line(seed, options):
    data = recording(seed)
    specs = [BOOK_SPEC, FUNDING_SPEC]
    expected_items, expected_counters, expected_alerts = run(reference_feeder, [data], specs, **options)
    assert any(item[0] == "bad" for item in expected_items)
    for blocks in cuts(data, seed):
        items, counters, alerts = run(native, blocks, specs, **options)
        assert comparable(items) == comparable(expected_items)
        assert (counters, alerts) == (expected_counters, expected_alerts)
        for item in items:
            if item[0] == "bad":
                assert item[3] is None or isinstance(item[3], str)


@pytest.mark.parametrize("tail", [b"", b"\n", b'{"symbol":"A","event":["liquidation",99', b"\xef\xbb"])
def test_an_input_that_breaks_off_drops_only_its_partial_line(tail):
    data = b"\n".join(GOOD) + b"\n" + tail
    for complete in (True, False):
        expected = run(reference_feeder, [data], [BOOK_SPEC], complete, every_events=3)
        assert run(native, cuts(data, 3).__next__(), [BOOK_SPEC], complete, every_events=3) == expected
        assert run(native, [data], [BOOK_SPEC], complete, every_events=3) == expected


def test_bad_specs_and_options_are_refused_as_the_radar_refuses_them():
    from fenmor_radar import Radar

    bad = '{"signals":[]}'
    with pytest.raises(ValueError) as radar_error:
        Radar(bad)
    with pytest.raises(ValueError) as feeder_error:
        native.LineFeeder([BOOK_SPEC, bad])
    assert feeder_error.value.args[:2] == (str(radar_error.value), 1)
    for options in ({"every_events": 0}, {"every_ts": -1}):
        with pytest.raises(ValueError):
            native.LineFeeder([BOOK_SPEC], **options)
    feeder = native.LineFeeder([BOOK_SPEC])
    feeder.finish()
    with pytest.raises(ValueError):
        feeder.feed(b"")


def test_the_field_names_the_member_at_fault():
    lines = [
        b'{"symbol":"A","event":{"kind":"derivatives","ts":3,"open_interest":1,"funding_rate":"0.000134","mark_price":1}}',
        b'{"symbol":"A","event":{"kind":"derivatives","open_interest":1,"funding_rate":1,"mark_price":1}}',
        b'{"symbol":"A","event":{"kind":"swap","ts":4}}',
    ]
    feeder = native.LineFeeder([BOOK_SPEC])
    bad = [item for item in feeder.feed(b"\n".join(lines) + b"\n") if item[0] == "bad"]
    assert [item[1] for item in bad] == [1, 2, 3]
    assert bad[0][3] in ("event.funding_rate", "event")
    assert bad[1][3] in ("event", "event.ts")
    assert bad[2][3] in ("event.kind", "event")


@pytest.mark.parametrize("options", [{"every_events": 7}, {"every_ts": 10, "strict": True}], ids=str)
def test_long_blocks_read_ahead_agree_with_line_by_line(options):
    # Blocks of many thousand lines are read in runs on several threads while
    # earlier runs are fed: the first bad line (strict stops there) falls in
    # a later run, and escaped symbols must outlive the thread that read them.
    data = recording(3, lines=30_000, clean_lines=9_000)
    specs = [BOOK_SPEC, FUNDING_SPEC]
    expected = run(reference_feeder, [data], specs, **options)
    third = len(data) // 3
    for blocks in ([data], [data[:third], data[third : 2 * third], data[2 * third :]]):
        items, counters, alerts = run(native, blocks, specs, **options)
        assert (comparable(items), counters, alerts) == (comparable(expected[0]), expected[1], expected[2])
