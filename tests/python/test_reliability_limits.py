"""Inputs at the sizes users reach: huge commands, batches, scans and symbols.

Each answers correctly, with memory in proportion to the input, and leaves the
radar usable. The heaviest cases run only with FENMOR_HEAVY=1 (CI runs them
once); every test stops itself after its own time limit.
"""

import ctypes
import json
import os
import subprocess
import sys
from contextlib import contextmanager, suppress

import pytest

from fenmor_radar import Radar
from radar_helpers import OK, VERSION, VERSION_REPLY, resident, time_limit

MB = 1 << 20
HEAVY = os.environ.get("FENMOR_HEAVY") == "1"
heavy = pytest.mark.skipif(not HEAVY, reason="heavy input-limit test: set FENMOR_HEAVY=1")
# Under a sanitizer, memory figures say nothing about the radar.
SANITIZED = os.environ.get("FENMOR_SANITIZED") == "1"
needs_proc = pytest.mark.skipif(not os.path.exists("/proc/self/clear_refs"),
                                reason="memory figures come from /proc")



def held():
    """Resident memory once the C allocator has handed back what it merely
    caches: freed blocks of a large scan stay in glibc's heap otherwise."""
    with suppress(AttributeError):  # not glibc
        ctypes.CDLL(None).malloc_trim(0)
    return resident()


@contextmanager
def peak_growth():
    """Measures how far resident memory rose above its level at entry."""
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")  # resets the high-water mark
    start = resident()
    measured = {}
    yield measured
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                measured["peak"] = int(line.split()[1]) * 1024 - start


def check_memory(measured, limit):
    if not SANITIZED:
        assert measured["peak"] <= limit, f"{measured['peak'] / MB:.0f} MB"


def alerts_of(radar):
    return json.loads(radar.command('{"cmd":"alerts"}'))


def derivatives(ts, open_interest, funding_rate, mark_price):
    return f'["derivatives",{ts},{open_interest!r},{funding_rate!r},{mark_price!r}]'


def feed_batch(symbol, events):
    return ('{"cmd":"feed_batch","symbol":' + json.dumps(symbol) + ',"events":['
            + ",".join(events) + "]}")


def stays_usable(radar):
    assert radar.command(VERSION) == VERSION_REPLY
    stored = alerts_of(radar)["scanned"]
    assert radar.command('{"cmd":"feed","symbol":"usable?","event":["orderbook",1,3,1,1,1]}') == OK
    assert alerts_of(radar)["scanned"] == stored + 1


# A spec every symbol passes, with signals of every kind.
ALL_KINDS = json.dumps({"signals": [
    {"kind": "oi_delta", "params": [3, 0.05]},
    {"kind": "funding_flip", "params": [0.0001]},
    {"kind": "book_imbalance", "params": [0.2]},
    {"kind": "liq_cluster", "params": [5, 1000]},
    {"kind": "oi_price_divergence", "params": [2, 0.01]},
], "threshold": 0.0})


@needs_proc
@pytest.mark.parametrize("padding", [
    pytest.param("x", id="plain"),
    pytest.param("\\n", id="escapes", marks=heavy),
    pytest.param("\u00e9\U0001d11e", id="multibyte", marks=heavy),
])
def test_a_100_mb_command_answers_and_gives_its_memory_back(padding):
    radar = Radar(ALL_KINDS)
    with time_limit(120):
        start = held()
        count = 100 * MB // len(padding.encode())
        command = '{"cmd":"version","padding":"' + padding * count + '"}'
        with peak_growth() as measured:
            assert radar.command(command) == VERSION_REPLY
        # The text's UTF-8 copy and the document's copy of the string.
        check_memory(measured, 3 * len(command.encode()) + 64 * MB)
        del command
        # The next command lets go of what the huge one needed.
        stays_usable(radar)
        if not SANITIZED:
            kept = held() - start
            assert kept <= 32 * MB, f"{kept / MB:.0f} MB kept"


@needs_proc
def test_a_100_mb_command_that_fails_reports_its_position():
    radar = Radar(ALL_KINDS)
    with time_limit(120):
        command = '{"cmd":"version","padding":"' + "y" * (100 * MB) + '" x'
        reply = json.loads(radar.command(command))
        assert reply == {"error": f"parse: expected `,` or `}}` at line 1 column {len(command)}",
                         "ok": False}
        stays_usable(radar)


@needs_proc
def test_a_feed_batch_of_a_million_events_keeps_only_the_window():
    radar = Radar(ALL_KINDS)
    with time_limit(180):
        events = [derivatives(ts, 1000.0 + ts % 7, 0.0001 * (-1) ** ts, 50.0 + ts % 5)
                  if ts % 3 else f'["liquidation",{ts},"sell",{ts % 11}.5,1]'
                  for ts in range(1_000_000)]
        events[-1] = '["orderbook",999999,40,10,1,1]'
        command = feed_batch("BTCUSDT", events)
        with peak_growth() as measured:
            assert radar.command(command) == OK
        check_memory(measured, 4 * len(command) + 64 * MB)
        # The state holds only the last few samples of each history (window 6),
        # so the same result comes from the last events alone.
        tail = Radar(ALL_KINDS)
        assert tail.command(feed_batch("BTCUSDT", events[-40:])) == OK
        assert alerts_of(radar) == alerts_of(tail)
        assert alerts_of(radar)["alerts"][0]["ts"] == 999_999
        del command, events
        stays_usable(radar)


@needs_proc
def test_many_radars_hold_no_working_buffers_after_a_large_batch():
    # Working memory belongs to the thread, not to each radar: 50 radars that
    # each took one 3.7 MB batch and a reset hold (almost) nothing between them.
    with time_limit(120):
        events = [derivatives(ts, 1000.0 + ts % 7, 0.0001, 50.0) for ts in range(95_000)]
        command = feed_batch("BTCUSDT", events)
        assert 3.5 * MB < len(command) < 4 * MB
        radars = [Radar(ALL_KINDS) for _ in range(50)]
        start = held()
        for radar in radars:
            assert radar.command(command) == OK
            assert radar.command('{"cmd":"reset"}') == OK
        if not SANITIZED:
            # One thread's set of buffers (the batch's document) at most.
            assert held() - start <= 24 * MB, f"{(held() - start) / MB:.0f} MB"
        stays_usable(radars[-1])


@needs_proc
def test_a_feed_batch_whose_last_event_is_bad_changes_nothing():
    radar = Radar(ALL_KINDS)
    with time_limit(120):
        assert radar.command(feed_batch("S", [derivatives(0, 1.0, 0.1, 1.0)])) == OK
        before = alerts_of(radar)
        events = [derivatives(ts, 2.0, -0.1, 2.0) for ts in range(1, 1_000_000)]
        events.append('["derivatives",1000000,1,1]')
        reply = json.loads(radar.command(feed_batch("S", events)))
        assert reply["error"] == ("parse: invalid length 3, expected struct variant "
                                  "Event::Derivatives with 4 elements")
        assert alerts_of(radar) == before


def scan_command(symbols):
    return ('{"cmd":"scan","events":{'
            + ",".join(json.dumps(symbol) + ":[" + ",".join(events) + "]"
                       for symbol, events in symbols.items())
            + "}}")


def scan_symbols(count):
    """Symbols with a few events each, of all severities."""
    symbols = {}
    for i in range(count):
        sign = -1 if i % 97 == 0 else 1
        symbols[f"SYM{i:06d}"] = [
            derivatives(i, 100.0 + i % 13, 0.00002, 10.0),
            derivatives(i + 1, 100.0 + i % 17, 0.00002 * sign, 10.5),
            f'["orderbook",{i + 2},{i % 50},{50 - i % 50},1,1]',
        ]
    return symbols


@needs_proc
def test_a_scan_of_100000_symbols_equals_feeding_them():
    spec = json.dumps({"signals": [
        {"kind": "funding_flip", "params": [0.0001]},
        {"kind": "book_imbalance", "params": [0.5]},
        {"kind": "oi_delta", "params": [1, 0.5]},
    ], "threshold": 0.35})
    radar = Radar(spec)
    with time_limit(240):
        symbols = scan_symbols(100_000)
        command = scan_command(symbols)
        with peak_growth() as measured:
            reply = radar.command(command)
        check_memory(measured, 8 * len(command) + 64 * MB)
        scanned = json.loads(reply)
        assert scanned["scanned"] == 100_000
        assert 0 < len(scanned["alerts"]) < 100_000
        ranks = [(-alert["severity"], alert["symbol"]) for alert in scanned["alerts"]]
        assert ranks == sorted(ranks)
        # The stored dataset took no part and is still empty.
        assert alerts_of(radar) == {"alerts": [], "scanned": 0}

        fed = Radar(spec)
        for symbol, events in symbols.items():
            assert fed.command(feed_batch(symbol, events)) == OK
        assert fed.command('{"cmd":"alerts"}') == reply
        stays_usable(radar)


@heavy
@needs_proc
def test_heavy_a_scan_reply_with_100000_alerts():
    radar = Radar(ALL_KINDS)
    with time_limit(240):
        start = held()
        command = scan_command(scan_symbols(100_000))
        with peak_growth() as measured:
            reply = radar.command(command)
        check_memory(measured, 16 * len(command) + 64 * MB)
        scanned = json.loads(reply)
        assert scanned["scanned"] == len(scanned["alerts"]) == 100_000
        ranks = [(-alert["severity"], alert["symbol"]) for alert in scanned["alerts"]]
        assert ranks == sorted(ranks)
        # The same again: the pool's split of the work changes nothing.
        assert radar.command(command) == reply
        del command, reply, scanned, ranks
        # A reply of tens of megabytes is not kept once a small one follows.
        stays_usable(radar)
        if not SANITIZED:
            kept = held() - start
            assert kept <= 32 * MB, f"{kept / MB:.0f} MB kept"


def quantise(value):
    """round(value / 1e-8) * 1e-8 with halves away from zero, as the radar does."""
    scaled = value / 1e-8
    whole = float(int(abs(scaled) + 0.5)) if abs(scaled) < 2.0 ** 52 else abs(scaled)
    return (whole if scaled >= 0 else -whole) * 1e-8


@needs_proc
def test_a_lookback_of_1e30_fed_a_million_events():
    spec = json.dumps({"signals": [
        {"kind": "oi_delta", "params": [1e30, 0.05]},
        {"kind": "liq_cluster", "params": [1e30, 1000]},
    ], "threshold": 0.0})
    radar = Radar(spec)
    with time_limit(240):
        quantities = [(i % 10) * 0.0001 + 0.0005 for i in range(500_000)]
        start = resident()
        for part in range(10):
            events = []
            for i in range(part * 100_000, (part + 1) * 100_000):
                if i % 2:
                    events.append(f'["liquidation",{i},"buy",{quantities[i // 2]!r},1]')
                else:
                    events.append(derivatives(i, 1000.0 + i, 0.0001, 50.0))
            assert radar.command(feed_batch("S", events)) == OK
        grown = resident() - start
        # Histories grow with the data, not with the window of 2^64 - 1:
        # 500,000 rows of three doubles and 500,000 quantities.
        if not SANITIZED:
            assert grown <= 96 * MB, f"{grown / MB:.0f} MB"
        (alert,) = alerts_of(radar)["alerts"]
        total = -0.0
        for quantity in quantities:
            total += quantity
        assert alert["factors"] == {
            # Never more samples than the lookback: no change measured.
            "oi_delta(1000000000000000000000000000000,0.05)": 0.0,
            "liq_cluster(1000000000000000000000000000000,1000)": quantise(total / 1000),
            "severity": alert["severity"],
        }
        assert alert["ts"] == 999_999
        # A scan with the same spec builds small states for small lists.
        with peak_growth() as measured:
            reply = json.loads(radar.command(scan_command(
                {f"s{i}": ['["liquidation",1,"buy",1,1]'] for i in range(1000)})))
        assert reply["scanned"] == 1000
        check_memory(measured, 32 * MB)
        stays_usable(radar)


@pytest.mark.parametrize("unit", [
    pytest.param("S", id="ascii"),
    pytest.param("\u00e9\u20ac\U0001d11e", id="multibyte"),
    pytest.param("\x01\"\\", id="escaped"),
])
def test_symbols_of_1_mb(unit):
    radar = Radar(ALL_KINDS)
    with time_limit(120):
        count = MB // len(unit.encode())
        symbols = [unit * count + suffix for suffix in ("b", "a", "c")]
        for symbol in symbols:
            command = ('{"cmd":"feed","symbol":' + json.dumps(symbol)
                       + ',"event":["orderbook",7,1,1,1,1]}')
            assert radar.command(command) == OK
        stored = alerts_of(radar)
        assert [alert["symbol"] for alert in stored["alerts"]] == sorted(symbols)
        assert all(alert["ts"] == 7 for alert in stored["alerts"])
        # The same through a scan, and echoed back in an error.
        scanned = json.loads(radar.command(scan_command(
            {symbol: ['["orderbook",7,1,1,1,1]'] for symbol in symbols})))
        assert scanned == stored
        unknown = json.loads(radar.command(json.dumps({"cmd": symbols[0]})))
        assert unknown["error"] == "bad spec: unknown cmd: " + symbols[0]
        stays_usable(radar)


def test_a_parameter_that_quantises_beyond_the_largest_double():
    spec = {"signals": [{"kind": "book_imbalance", "params": [1e301]},
                        {"kind": "oi_delta", "params": [3, -1e301]}], "threshold": 0.0}
    radar = Radar(json.dumps(spec))
    assert radar.command('{"cmd":"feed","symbol":"S","event":["orderbook",1,5,0,1,1]}') == OK
    (alert,) = alerts_of(radar)["alerts"]
    assert list(alert["factors"]) == ["book_imbalance(inf)", "oi_delta(3,-inf)", "severity"]
    spec["signals"].append({"kind": "book_imbalance", "params": [1e302]})
    with pytest.raises(ValueError, match=r"^bad spec: duplicate signal: book_imbalance\(inf\)$"):
        Radar(json.dumps(spec))


def run_python(code, timeout):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=timeout)


@pytest.mark.parametrize("depth", [1_000, 1_000_000])
def test_deep_nesting_never_overflows_the_stack(depth):
    # In a child process: a stack overflow would end it, not the test run.
    code = f"""
import json
from fenmor_radar import Radar
deep = "[" * {depth} + "]" * {depth}
radar = Radar('{{"ignored":' + deep + ',"signals":[{{"kind":"funding_flip","params":[1]}}]}}')
print(radar.command('{{"cmd":"version","ignored":' + deep + '}}'))
print(radar.command('{{"cmd":"set_spec","spec":{{"ignored":' + deep + '}}}}'))
"""
    result = run_python(code, timeout=120)
    assert result.returncode == 0, result.stderr
    limit = '{"error":"parse: recursion limit exceeded at line 1 column %d","ok":false}'
    assert result.stdout.splitlines() == [limit % 154, limit % 162]
