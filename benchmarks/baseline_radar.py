"""The radar written the natural way in pure Python: the yardstick.

What a Python shop would write without the native module: orjson for the
JSON, a dict of per-symbol states, deques for the rolling histories. It does
the same work as the radar (decodes and type-checks every event, keeps the
same rolling state, evaluates the same indicators with the same arithmetic,
ranks and cuts the same way, writes the reply with orjson) so that its
timings are a fair comparison. Its alerts carry the same values as the
radar's; its error texts and number formatting are its own.
"""

from __future__ import annotations

import math
from collections import deque

import orjson

DENOMINATOR_FLOOR = 1e-12
QUANTUM = 1e-8
OK = '{"ok":true}'
LOOKBACK_KINDS = ("oi_delta", "liq_cluster", "oi_price_divergence")

DERIVATIVES_FIELDS = ("ts", "open_interest", "funding_rate", "mark_price")
ORDERBOOK_FIELDS = ("ts", "bid_volume", "ask_volume", "best_bid", "best_ask")
LIQUIDATION_FIELDS = ("ts", "side", "qty", "price")


class CommandError(Exception):
    pass


def quantise(x: float) -> float:
    q = x / QUANTUM
    if not math.isfinite(q):
        return q * QUANTUM
    # Halves away from zero; floor() and the subtraction are exact.
    a = abs(q)
    r = math.floor(a)
    if a - r >= 0.5:
        r += 1
    return math.copysign(r, q) * QUANTUM


def lookback(param: float) -> int:
    if not param > 0 or math.isinf(param):
        return 0
    return int(param)


def floored(x: float) -> float:
    return x if x > DENOMINATOR_FLOOR else DENOMINATOR_FLOOR


def normalise(b: float) -> float:
    if not math.isfinite(b) or b < 0:
        return 0.0
    return 1.0 if b > 1 else b


def key_number(q: float) -> str:
    text = repr(q)
    if "e" in text:
        text = format(q, "f") if abs(q) >= 1 else f"{q:.30f}".rstrip("0")
    return text[:-2] if text.endswith(".0") else text


def signal_key(signal: dict) -> str:
    params = ",".join(key_number(quantise(float(p))) for p in signal["params"])
    return f"{signal['kind']}({params})"


def number(value, name: str) -> float:
    if type(value) is float or type(value) is int:
        return float(value)
    raise CommandError(f"invalid type for {name}, expected f64")


def integer(value, name: str) -> int:
    if type(value) is int and -(2 ** 63) <= value < 2 ** 63:
        return value
    raise CommandError(f"invalid type for {name}, expected i64")


def decode_event(event) -> tuple:
    """(kind, ts, a, b, ...): the event's fields in declaration order."""
    if type(event) is list:
        if not event:
            raise CommandError("missing field `kind`")
        event = dict(zip(_FIELDS.get(event[0], ()), event[1:], strict=False), kind=event[0])
    elif type(event) is not dict:
        raise CommandError("invalid type, expected internally tagged enum Event")
    kind = event.get("kind")
    try:
        if kind == "derivatives":
            return ("derivatives", integer(event["ts"], "ts"),
                    number(event["open_interest"], "open_interest"),
                    number(event["funding_rate"], "funding_rate"),
                    number(event["mark_price"], "mark_price"))
        if kind == "orderbook":
            return ("orderbook", integer(event["ts"], "ts"),
                    number(event["bid_volume"], "bid_volume"),
                    number(event["ask_volume"], "ask_volume"),
                    number(event["best_bid"], "best_bid"),
                    number(event["best_ask"], "best_ask"))
        if kind == "liquidation":
            side = event["side"]
            if side != "buy" and side != "sell":
                raise CommandError("unknown variant, expected `buy` or `sell`")
            return ("liquidation", integer(event["ts"], "ts"), side,
                    number(event["qty"], "qty"), number(event["price"], "price"))
    except KeyError as missing:
        raise CommandError(f"missing field `{missing.args[0]}`") from None
    if kind is None:
        raise CommandError("missing field `kind`")
    raise CommandError(f"unknown variant `{kind}`")


_FIELDS = {"derivatives": DERIVATIVES_FIELDS, "orderbook": ORDERBOOK_FIELDS,
           "liquidation": LIQUIDATION_FIELDS}


class State:
    __slots__ = ("open_interests", "funding_rates", "mark_prices", "liquidation_qtys",
                 "book", "last_ts")

    def __init__(self, window: int):
        self.open_interests = deque(maxlen=window)
        self.funding_rates = deque(maxlen=window)
        self.mark_prices = deque(maxlen=window)
        self.liquidation_qtys = deque(maxlen=window)
        self.book = None
        self.last_ts = -(2 ** 63)

    def apply(self, event: tuple) -> None:
        kind = event[0]
        if kind == "derivatives":
            self.open_interests.append(event[2])
            self.funding_rates.append(event[3])
            self.mark_prices.append(event[4])
        elif kind == "orderbook":
            self.book = (event[2], event[3])
        else:
            self.liquidation_qtys.append(event[3])
        if event[1] > self.last_ts:
            self.last_ts = event[1]


def oi_delta(params, state: State) -> float:
    n = lookback(params[0])
    oi = state.open_interests
    if len(oi) <= n:
        return 0.0
    then = oi[-1 - n]
    return normalise(abs((oi[-1] - then) / floored(then)) / params[1])


def funding_flip(params, state: State) -> float:
    rates = state.funding_rates
    if len(rates) < 2:
        return 0.0
    k, p = rates[-1], rates[-2]
    b = abs(k) / params[0]
    if k * p < 0:
        b = b * 2.0
    return normalise(b)


def book_imbalance(params, state: State) -> float:
    if state.book is None:
        return 0.0
    bid, ask = state.book
    return normalise(abs((bid - ask) / floored(bid + ask)) / params[0])


def liq_cluster(params, state: State) -> float:
    qtys = state.liquidation_qtys
    if not qtys:
        return 0.0
    m = min(lookback(params[0]), len(qtys))
    total = -0.0
    for i in range(len(qtys) - m, len(qtys)):
        total = total + qtys[i]
    return normalise(total / params[1])


def oi_price_divergence(params, state: State) -> float:
    n = lookback(params[0])
    oi, px = state.open_interests, state.mark_prices
    if len(oi) <= n:
        return 0.0
    r_oi = (oi[-1] - oi[-1 - n]) / floored(oi[-1 - n])
    r_px = (px[-1] - px[-1 - n]) / floored(px[-1 - n])
    x = r_px * -r_oi
    s = params[1]
    return normalise((x if x > 0 else 0.0) / (s * s))


INDICATORS = {"oi_delta": oi_delta, "funding_flip": funding_flip,
              "book_imbalance": book_imbalance, "liq_cluster": liq_cluster,
              "oi_price_divergence": oi_price_divergence}


class BaselineRadar:
    def __init__(self, spec_json: str):
        self._set_spec(orjson.loads(spec_json))
        self.states: dict[str, State] = {}

    def _set_spec(self, spec: dict) -> None:
        signals = spec["signals"]
        if not signals:
            raise ValueError("at least one signal is required")
        self.signals = [(INDICATORS[s["kind"]], [float(p) for p in s.get("params", [])],
                         float(s.get("weight", 1.0)), signal_key(s)) for s in signals]
        self.threshold = float(spec.get("threshold", 0.0))
        self.limit = spec.get("limit")
        lookbacks = [lookback(float(s["params"][0])) for s in signals
                     if s["kind"] in LOOKBACK_KINDS and s.get("params")]
        self.window = max(max(lookbacks, default=0) + 1, 2)
        self.key_order = sorted({key for *_, key in self.signals})

    def command(self, text: str) -> str:
        try:
            doc = orjson.loads(text)
            if type(doc) is not dict or type(doc.get("cmd")) is not str:
                raise CommandError('missing "cmd"')
            cmd = doc["cmd"]
            if cmd == "feed":
                state = self._state(self._symbol(doc))
                state.apply(decode_event(self._member(doc, "event")))
                return OK
            if cmd == "feed_batch":
                symbol = self._symbol(doc)
                events = self._member(doc, "events")
                if type(events) is not list:
                    raise CommandError("invalid type, expected a sequence")
                decoded = [decode_event(e) for e in events]
                if decoded:
                    state = self._state(symbol)
                    for event in decoded:
                        state.apply(event)
                return OK
            if cmd == "alerts":
                return self._reply(self.states.items())
            if cmd == "scan":
                return self._scan(self._member(doc, "events"))
            if cmd == "reset":
                self.states.clear()
                return OK
            if cmd == "version":
                return '{"version":"0.2.0"}'
            if cmd == "set_spec":
                self._set_spec(self._member(doc, "spec"))
                self.states.clear()
                return OK
            raise CommandError(f"unknown cmd: {cmd}")
        except CommandError as error:
            return orjson.dumps({"error": str(error), "ok": False}).decode()
        except orjson.JSONDecodeError as error:
            return orjson.dumps({"error": f"parse: {error}", "ok": False}).decode()

    @staticmethod
    def _member(doc: dict, name: str):
        if name not in doc:
            raise CommandError(f'missing "{name}"')
        return doc[name]

    @staticmethod
    def _symbol(doc: dict) -> str:
        symbol = doc.get("symbol")
        if type(symbol) is not str:
            raise CommandError('missing string "symbol"')
        return symbol

    def _state(self, symbol: str) -> State:
        state = self.states.get(symbol)
        if state is None:
            state = self.states[symbol] = State(self.window)
        return state

    def _scan(self, events) -> str:
        if type(events) is not dict:
            raise CommandError("invalid type, expected a map")
        decoded = {symbol: [decode_event(e) for e in list_] for symbol, list_ in events.items()}
        states = {}
        for symbol, list_ in decoded.items():
            state = states[symbol] = State(self.window)
            for event in list_:
                state.apply(event)
        return self._reply(states.items())

    def _reply(self, candidates) -> str:
        alerts = []
        scanned = 0
        for symbol, state in sorted(candidates):
            scanned += 1
            weighted = 0.0
            total = 0.0
            factors = {}
            for indicator, params, weight, key in self.signals:
                v = indicator(params, state)
                weighted = weighted + v * weight
                total = total + weight
                factors[key] = quantise(v)
            severity = quantise(weighted / total) if total > 0 else 0.0
            if severity >= self.threshold:
                ordered = {key: factors[key] for key in self.key_order}
                ordered["severity"] = severity
                alerts.append({"symbol": symbol, "severity": severity, "factors": ordered,
                               "ts": state.last_ts})
        alerts.sort(key=lambda alert: (-alert["severity"], alert["symbol"]))
        if self.limit is not None:
            del alerts[self.limit:]
        return orjson.dumps({"alerts": alerts, "scanned": scanned}).decode()
