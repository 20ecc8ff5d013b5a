"""The Screener against the radar fed the json.dumps texts of the same events."""

import json
import math
import random
import re

import pytest

from fenmor_radar import Derivatives, Liquidation, Orderbook, Radar, RadarError, Screener
from fenmor_radar import screener as screener_module

SPEC = {
    "signals": [
        {"kind": "oi_delta", "params": [3, 0.05]},
        {"kind": "funding_flip", "params": [0.0001]},
        {"kind": "book_imbalance", "params": [0.5]},
        {"kind": "liq_cluster", "params": [3, 10]},
    ],
    "threshold": 0.0,
}
NUMBERS = [0.0, -0.0, 1, 2**60, 5e-324, 1.7976931348623157e308, 0.1, 1e22, 123.456, -8.267e-05]
POSITION = re.compile(r" at line \d+ column \d+$")


def random_event(rng):
    def number():
        return rng.choice(NUMBERS) if rng.random() < 0.3 else rng.uniform(-1e6, 1e6)
    ts = rng.randrange(-(2**63), 2**63) if rng.random() < 0.1 else rng.randrange(10**13)
    kind = rng.choice(["derivatives", "orderbook", "liquidation"])
    if kind == "derivatives":
        event = Derivatives(ts, number(), number(), number())
    elif kind == "orderbook":
        event = Orderbook(ts, number(), number(), number(), number())
    else:
        event = Liquidation(ts, rng.choice(["buy", "sell"]), number(), number())
    values = [getattr(event, name) for name in event.__slots__]
    form = rng.choice(["dataclass", "tuple", "list", "dict"])
    if form == "tuple":
        return event, (kind, *values)
    if form == "list":
        return event, [kind, *values]
    if form == "dict":
        return event, {"kind": kind, **dict(zip(event.__slots__, values, strict=False))}
    return event, event


def dumped(event):
    return [event.kind, *(getattr(event, name) for name in event.__slots__)]


def test_the_writer_agrees_value_for_value():
    rng = random.Random(11)
    for _ in range(5000):
        event, form = random_event(rng)
        loaded = json.loads(screener_module.event_text(form))
        if isinstance(loaded, dict):  # the object form, as json.dumps writes a dict
            loaded = [loaded.pop("kind"), *loaded.values()]
        assert list(map(repr, loaded)) == list(map(repr, dumped(event)))  # -0.0 too


def test_every_form_means_what_json_dumps_would_have_sent():
    rng = random.Random(7)
    screener, radar = Screener(SPEC), Radar(json.dumps(SPEC))
    for step in range(3000):
        symbol = rng.choice(["BTCUSDT", "ETH\u00e9", 'quote"s', "\u001b[2J"])
        event, form = random_event(rng)
        if step % 7 == 0:
            batch = [random_event(rng) for _ in range(5)]
            screener.feed_batch(symbol, [form for _, form in batch])
            command = {"cmd": "feed_batch", "symbol": symbol, "events": [dumped(e) for e, _ in batch]}
        else:
            screener.feed(symbol, form)
            command = {"cmd": "feed", "symbol": symbol, "event": dumped(event)}
        assert radar.command(json.dumps(command)) == '{"ok":true}'
    reply = json.loads(radar.command('{"cmd":"alerts"}'))
    alerts = screener.alerts()
    assert [(a.symbol, a.severity, a.ts) for a in alerts] == [
        (a["symbol"], a["severity"], a["ts"]) for a in reply["alerts"]
    ]
    assert dict(alerts[0].factors) == {k: v for k, v in reply["alerts"][0]["factors"].items() if k != "severity"}
    events = {"SOLUSDT": [Derivatives(1, 1.0, 0.0003, 1.0), ("derivatives", 2, 1.0, -0.0003, 1.0)]}
    scanned = json.loads(radar.command(json.dumps({"cmd": "scan", "events": {
        "SOLUSDT": [dumped(events["SOLUSDT"][0]), list(events["SOLUSDT"][1])]}})))
    assert [(a.symbol, a.severity) for a in screener.scan(events)] == [
        (a["symbol"], a["severity"]) for a in scanned["alerts"]
    ]


@pytest.mark.parametrize(
    "event",
    [
        Derivatives(1, True, 0.1, 1.0),
        Derivatives(1, math.nan, 0.1, 1.0),
        Orderbook(1, 1.0, math.inf, 1.0, 1.0),
        Liquidation(1, "up", 1.0, -math.inf),
        Liquidation(1, None, 1.0, 1.0),
        {"kind": "derivatives", "ts": "1", "open_interest": 1.0, "funding_rate": 0.1, "mark_price": 1.0},
        {"kind": "orderbook", "ts": 1},
        ("swap", 1),
        ["derivatives", 1.5, 1.0, 1.0, 1.0],
    ],
)
def test_a_refused_event_raises_the_radars_own_message(event):
    screener, radar = Screener(SPEC), Radar(json.dumps(SPEC))
    screener.feed("A", Derivatives(1, 1.0, 0.1, 1.0))
    before = screener.alerts()
    raw = event if isinstance(event, (dict, tuple, list)) else dumped(event)
    expected = json.loads(radar.command(json.dumps({"cmd": "feed", "symbol": "A", "event": raw})))
    with pytest.raises(RadarError) as caught:
        screener.feed("A", event)
    assert isinstance(caught.value, ValueError)
    assert POSITION.sub("", caught.value.message) == POSITION.sub("", expected["error"])
    assert screener.alerts() == before  # a refused command changes nothing


def test_spec_changes_and_refusals():
    with pytest.raises(RadarError, match="^bad spec: at least one signal is required$"):
        Screener({"signals": []})
    screener = Screener(json.dumps(SPEC))
    screener.feed("A", Orderbook(1, 3.0, 1.0, 1.0, 2.0))
    assert [a.symbol for a in screener.alerts()] == ["A"]
    screener.reset()
    assert screener.alerts() == []
    screener.feed("A", Orderbook(1, 3.0, 1.0, 1.0, 2.0))
    screener.set_spec('{"signals":[{"kind":"funding_flip","params":[0.5]}],"threshold":0.5}')
    assert screener.alerts() == []
    with pytest.raises(RadarError, match="^parse: trailing characters at line 1 column 53$"):
        screener.set_spec('{"signals":[{"kind":"funding_flip","params":[0.5]}]}, "cmd": "reset"')
    with pytest.raises(TypeError):
        screener.feed("A", 42)  # type: ignore[arg-type]


class Ratio(float):
    pass


class Exact(Derivatives):
    pass


HOSTILE = [True, False, None, "1", 1.5, -0.0, 2**53, 2**53 + 1, -(2**53) - 1, 2**63 - 1, 2**63,
           -(2**63), -(2**63) - 1, math.nan, -math.inf, Ratio(0.25), 7]


def test_hostile_values_give_the_radars_result_in_every_form():
    # Each value in each field of each form, alone and in a batch: accepted
    # or refused with the radar's message, exactly as for the json.dumps
    # text, and every accepted event stored as the radar reads it.
    screener, radar = Screener(SPEC), Radar(json.dumps(SPEC))
    base = {"kind": "orderbook", "ts": 5, "bid_volume": 3.0, "ask_volume": 1.0, "best_bid": 1.0, "best_ask": 2.0}
    cases = []
    for field in list(base)[1:]:
        for value in HOSTILE:
            event = {**base, field: value}
            cases += [event, json.loads(json.dumps(event)), tuple(event.values()), list(event.values())]
    cases += [
        {**base, "extra": 1}, {k: v for k, v in base.items() if k != "best_ask"},
        Exact(1, 1.0, 0.5, 1.0), Liquidation(1, "sell", 2**60, 1.0), Liquidation(1, "Sell", 1.0, 1.0),
        ("liquidation", 1, "buy\x00", 1.0, 1.0), ["derivatives", 1, 1.0, 1.0], ("Orderbook", 1, 1.0, 1.0, 1.0, 1.0),
    ]
    for number, event in enumerate(cases):
        symbol = f"S{number % 7}"
        raw = dumped(event) if isinstance(event, Derivatives | Liquidation) else event
        for name, member, feed in (("feed", "event", screener.feed), ("feed_batch", "events", screener.feed_batch)):
            batched = name == "feed_batch"
            command = {"cmd": name, "symbol": symbol, member: [raw, raw] if batched else raw}
            reply = json.loads(radar.command(json.dumps(command)))
            try:
                feed(symbol, (e for e in [event, event]) if batched else event)
                outcome = {"ok": True}
            except RadarError as err:
                outcome = {"error": POSITION.sub("", err.message), "ok": False}
            if "error" in reply:
                reply["error"] = POSITION.sub("", reply["error"])
            assert outcome == reply, (name, event)
    assert screener.radar.command('{"cmd":"alerts"}') == radar.command('{"cmd":"alerts"}')


def test_calls_by_keyword_and_faults_of_the_arguments():
    screener = Screener(SPEC)
    screener.feed(event=("derivatives", 1, 1.0, 0.1, 1.0), symbol="A")
    screener.feed_batch("A", events=iter([("derivatives", 2, 1.0, -0.1, 1.0)]))
    assert [(a.symbol, a.ts) for a in screener.alerts()] == [("A", 2)]
    with pytest.raises(TypeError, match="unexpected keyword argument 'ev'"):
        screener.feed("A", ev=1)  # type: ignore[call-arg]
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'events'"):
        screener.feed_batch("A")  # type: ignore[call-arg]
    with pytest.raises(TypeError, match="not iterable"):
        screener.feed_batch("A", 3)  # type: ignore[arg-type]


def test_a_spec_file_a_text_that_is_no_spec_and_lone_surrogates(tmp_path):
    path = tmp_path / "spec.json"
    path.write_text(json.dumps(SPEC))
    event = Orderbook(1, 3.0, 1.0, 1.0, 2.0)
    for spec in (str(path), path):
        screener = Screener(spec)
        screener.feed("A", event)
        screener.set_spec(spec)  # the same spec: the states are dropped
        assert screener.alerts() == []
    with pytest.raises(RadarError, match="'missing.json' is neither JSON nor a file that exists"):
        Screener("missing.json")
    # No UTF-8 text holds a lone surrogate: the screener says so as for any refused value.
    screener = Screener(SPEC)
    lone = "A\udc80"
    calls = [
        lambda: screener.feed(lone, event),
        lambda: screener.feed("A", {"kind": "orderbook", "ts": 1, "side": lone}),
        lambda: screener.feed_batch(lone, [event]),
        lambda: screener.scan({lone: [event]}),
        lambda: screener.set_spec({"signals": [{"kind": lone, "params": [1]}]}),
    ]
    for call in calls:
        with pytest.raises(RadarError, match="lone surrogate, U\\+DC80"):
            call()
    assert screener.alerts() == []
