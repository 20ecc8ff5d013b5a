"""Long runs through one radar, and many radars: memory stops growing and
reference counts come back to where they were.

Resident memory is read from /proc after a warm-up, so that the radar's reused
buffers and the interpreter's caches have reached their steady size; what is
measured afterwards is growth per command. Every test stops itself after its
own time limit.
"""

import gc
import json
import os
import sys
from itertools import cycle, islice

import pytest

from fenmor_radar import Radar
from radar_helpers import resident, time_limit

MB = 1 << 20
SANITIZED = os.environ.get("FENMOR_SANITIZED") == "1"
# Under a sanitizer every call is many times slower and memory is the
# sanitizer's: the leak checker at exit judges leaks there instead.
SCALE = 10 if SANITIZED else 1
needs_proc = pytest.mark.skipif(not os.path.exists("/proc/self/statm"),
                                reason="resident memory comes from /proc")


def fails(error, call, *args, **kwargs):
    """Whether the call raises `error`; holds no reference to the exception
    afterwards (a UnicodeEncodeError holds its str)."""
    try:
        call(*args, **kwargs)
    except error:
        return True
    return False


def steady(run, rounds, slack):
    """Runs `run` once to warm up, then `rounds` more times; the growth over
    the later rounds must stay within `slack` bytes."""
    run()
    gc.collect()
    levels = []
    for _ in range(rounds):
        run()
        gc.collect()
        levels.append(resident())
    if not SANITIZED:
        grown = levels[-1] - levels[0]
        assert grown <= slack, f"grew {grown / MB:.2f} MB: {[level >> 10 for level in levels]} KiB"


SPEC = json.dumps({"signals": [
    {"kind": "oi_delta", "params": [5, 0.05]},
    {"kind": "funding_flip", "params": [0.0001]},
    {"kind": "book_imbalance", "params": [0.3], "weight": 2},
    {"kind": "liq_cluster", "params": [10, 1000]},
    {"kind": "oi_price_divergence", "params": [3, 0.02]},
], "threshold": 0.2, "limit": 50})
OTHER_SPEC = json.dumps({"signals": [{"kind": "funding_flip", "params": [0.0002]}]})


def mixed_commands():
    """Valid, invalid and scanning commands of every kind, over 40 symbols."""
    commands = []
    for i in range(40):
        symbol = json.dumps(f"SYM{i}\u00e9")
        commands += [
            '{"cmd":"feed","symbol":%s,"event":["derivatives",%d,%d.5,%s,%d]}'
            % (symbol, i, 1000 + i * 7, "0.0003" if i % 2 else "-0.0002", 50 + i),
            '{"cmd":"feed","symbol":%s,"event":{"kind":"orderbook","ts":%d,"bid_volume":%d,'
            '"ask_volume":10,"best_bid":1,"best_ask":2}}' % (symbol, i, i),
            '{"cmd":"feed_batch","symbol":%s,"events":[["liquidation",%d,"buy",%d,1],'
            '["liquidation",%d,"sell",7,1]]}' % (symbol, i, i * 11, i + 1),
        ]
    commands += [
        '{"cmd":"alerts"}',
        '{"cmd":"version"}',
        '{"cmd":"scan","events":{"A":[["derivatives",1,100,0.0004,50],["derivatives",2,105,'
        '-0.0003,52]],"B":[["orderbook",3,300,100,1,1]],"C":[]}}',
        '{"cmd":"scan","events":[]}',
        '{"cmd":"feed","symbol":"X","event":{"kind":"derivatives","ts":1.5}}',
        '{"cmd":"feed_batch","symbol":"X","events":[["orderbook",1,1,1,1,1],["orderbook"]]}',
        '{"cmd":"feed","symbol":5}',
        '{"cmd":"launch","payload":[1,2,{"a":"\\u0001"}]}',
        '{"cmd":"version"} trailing',
        '[' * 200,
        '  ',
        '{"cmd":"set_spec","spec":{"signals":[]}}',
        '{"cmd":"set_spec","spec":{"signals":[{"kind":"nope"}]}}',
    ]
    return commands


@needs_proc
def test_200000_mixed_commands_through_one_radar():
    radar = Radar(SPEC)
    commands = mixed_commands()
    # Every 500 commands the spec changes or the state is emptied, as a long
    # running session would now and then.
    resets = ['{"cmd":"reset"}', '{"cmd":"set_spec","spec":%s}' % OTHER_SPEC,
              '{"cmd":"set_spec","spec":%s}' % SPEC]
    counts = [sys.getrefcount(command) for command in commands + resets]
    stream = cycle(commands)
    replies = {}

    def run():
        for block in range(40 // SCALE):
            for command in islice(stream, 500):  # noqa: F821 - deleted after the last run
                reply = radar.command(command)
                # Each command always gets the same kind of reply.
                assert replies.setdefault(command, reply[:8])  # noqa: F821 == reply[:8], (command, reply)
            assert radar.command(resets[block % 3]) == '{"ok":true}'

    with time_limit(300):
        # One warm-up round and nine measured: 10 x 20,000 = 200,000 commands.
        steady(run, rounds=9, slack=2 * MB)
    assert {reply[:8] for reply in replies.values()} == {
        '{"ok":tr', '{"alerts', '{"versio', '{"error"'}
    del stream, replies
    gc.collect()
    assert [sys.getrefcount(command) for command in commands + resets] == counts


@needs_proc
def test_100000_radars_built_and_dropped():
    good = [SPEC, OTHER_SPEC, '[[],[],[["book_imbalance",[0.5]]],0.1,3]']
    bad = ['{}', '{"signals":[]}', '{"signals":[{"kind":"oi_delta","params":[1]}]}',
           '{"signals": [], "signals": []}', '[' * 300, '{"signals":[{"kind":"funding_flip",'
           '"params":[1],"weight":-1}]}', '\u00e9']
    # None and small integers are shared by the whole interpreter: their
    # counts move with everything else, so they are passed but not counted.
    wrong = [b"{}", None, 5]
    arguments = good + bad + [wrong[0]]
    gc.collect()
    counts = [sys.getrefcount(argument) for argument in arguments]
    type_count = sys.getrefcount(Radar)

    def run():
        for i in range(10_000 // SCALE):
            spec = good[i % 3]
            radar = Radar(spec)
            if i % 2:
                radar.command('{"cmd":"feed","symbol":"S","event":["orderbook",1,1,2,3,4]}')
            assert fails(ValueError, Radar, bad[i % len(bad)])
            if i % 10 == 0:
                assert fails(TypeError, Radar, wrong[i % 3])
                assert fails(TypeError, Radar, spec, spec_json=spec)
            del radar

    with time_limit(300):
        # One warm-up round and four measured: 50,000 good and 50,000 bad.
        steady(run, rounds=4, slack=2 * MB)
    gc.collect()
    assert [sys.getrefcount(argument) for argument in arguments] == counts
    # Every instance held a reference to its class and gave it back.
    assert sys.getrefcount(Radar) == type_count


def test_failed_calls_keep_reference_counts():
    radar = Radar(SPEC)
    wrong = [b'{"cmd":"version"}', 5, None, ["x"], "\ud800"]
    counted = [wrong[0], wrong[3], wrong[4]]  # not the shared None and 5
    counts = [sys.getrefcount(argument) for argument in counted]
    keyword = "cmd_json"
    keyword_count = sys.getrefcount(keyword)
    with time_limit(120):
        for _ in range(20_000 // SCALE):
            for argument in wrong:
                assert fails((TypeError, UnicodeEncodeError), radar.command, argument)
            assert fails(TypeError, radar.command, '{"cmd":"version"}', **{keyword: "x"})
            assert fails(TypeError, radar.command)
        del argument
    gc.collect()
    assert [sys.getrefcount(argument) for argument in counted] == counts
    assert sys.getrefcount(keyword) == keyword_count
    assert radar.command('{"cmd":"version"}') == '{"version":"0.2.0"}'
