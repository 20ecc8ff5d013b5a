"""The Python surface of the native line feeder: arguments, threads, ends, counters.

What the feeder decides about each line is proven against the command route
in the C++ differential test; here only what the binding adds is tested.
"""

from __future__ import annotations

import threading

import pytest

from fenmor_radar import Radar
from fenmor_radar._native import LineFeeder

SPEC = '{"signals":[{"kind":"funding_flip","params":[0.0001]}],"threshold":0.1}'
LINE = b'{"symbol":"BTC","event":["derivatives",%d,100,%s,5]}\n'


def lines(count: int, start: int = 0) -> bytes:
    return b"".join(LINE % (ts, b"0.0003" if ts % 2 else b"-0.0002")
                    for ts in range(start, start + count))


def test_arguments_are_checked_like_the_radar_does() -> None:
    with pytest.raises(ValueError) as bad:
        LineFeeder([SPEC, '{"signals":[]}'])
    with pytest.raises(ValueError) as by_radar:
        Radar('{"signals":[]}')
    assert bad.value.args == (str(by_radar.value), 1)
    with pytest.raises(TypeError):
        LineFeeder(SPEC)  # a single text, not a sequence of them
    with pytest.raises(ValueError):
        LineFeeder([])
    for value in (0, -5):
        with pytest.raises(ValueError, match="every_events must be greater than zero"):
            LineFeeder([SPEC], every_events=value)
        with pytest.raises(ValueError, match="every_ts must be greater than zero"):
            LineFeeder([SPEC], every_ts=value)
    with pytest.raises(TypeError):
        LineFeeder([SPEC], every_ts="10")  # type: ignore[arg-type]
    feeder = LineFeeder([SPEC])
    with pytest.raises(TypeError):
        feeder.feed("not bytes")  # type: ignore[arg-type]


def feeder_alerts_after(events: int) -> tuple[str, str]:
    radar = Radar(SPEC)
    for line in lines(events).splitlines():
        radar.command(line.decode()[:-1] + ',"cmd":"feed"}')
    reply = radar.command('{"cmd":"alerts"}')
    return (reply, reply)


def test_counters_and_items_follow_the_input() -> None:
    feeder = LineFeeder([SPEC, SPEC], every_events=3)
    assert (feeder.lines, feeder.events, feeder.ts, feeder.symbols) == (0, 0, None, 0)
    data = lines(4) + b"\n" + b'{"symbol":"ETH"}\n' + lines(1, start=10)[:-1]
    items = feeder.feed(data)
    assert [item[0] for item in items] == ["checkpoint", "bad"]
    assert items[0] == ("checkpoint", 3, 2, feeder_alerts_after(3))
    assert items[1] == ("bad", 6, 'bad spec: missing "event"', "event")
    assert (feeder.lines, feeder.events, feeder.bad_lines, feeder.checkpoints) == (6, 4, 1, 1)
    end = feeder.finish()
    assert [item[:3] for item in end] == [("checkpoint", 5, 10)]
    radar = Radar(SPEC)
    for line in (lines(4) + lines(1, start=10)).splitlines():
        radar.command(line.decode()[:-1] + ',"cmd":"feed"}')
    assert end[0][3] == (radar.command('{"cmd":"alerts"}'),) * 2 == feeder.alerts()
    assert (feeder.lines, feeder.symbols, feeder.ts, feeder.stopped) == (7, 1, 10, False)


def test_finish_ends_the_input_once() -> None:
    feeder = LineFeeder([SPEC])
    assert feeder.feed(lines(1)[:-5]) == []
    assert [item[1] for item in feeder.finish(complete=False)] == [0]  # the cut line is dropped
    with pytest.raises(ValueError):
        feeder.finish()
    with pytest.raises(ValueError):
        feeder.feed(b"")
    assert feeder.lines == 0


def test_a_strict_stop_ignores_the_rest() -> None:
    feeder = LineFeeder([SPEC], strict=True)
    items = feeder.feed(lines(2) + b"[]\n" + lines(2, start=5))
    message = 'an event line must be a JSON object with "symbol" and "event" members'
    assert items == [("bad", 3, message, None)]
    assert feeder.stopped and feeder.feed(lines(1)) == [] and feeder.finish() == []
    assert feeder.events == 2


def test_any_thread_may_use_it_one_call_at_a_time() -> None:
    feeder = LineFeeder([SPEC])
    block = lines(200_000)
    outcomes: list[str] = []

    def feed_elsewhere() -> None:
        feeder.feed(block)
        outcomes.append("fed")

    worker = threading.Thread(target=feed_elsewhere)
    worker.start()
    # Feeding releases the interpreter lock: this thread runs meanwhile, and
    # finds the feeder busy instead of racing with it.
    busy = 0
    while worker.is_alive():
        try:
            _ = feeder.events
        except RuntimeError as err:
            assert "in use" in str(err)
            busy += 1
    worker.join()
    assert outcomes == ["fed"] and busy > 0
    assert feeder.events == 200_000
    assert feeder.finish()[0][1] == 200_000


def test_a_call_stops_at_its_room_and_resume_gives_the_rest() -> None:
    whole = LineFeeder([SPEC], every_events=1)
    expected = whole.feed(lines(2_000))
    feeder = LineFeeder([SPEC], every_events=1, room=10_000)
    block = lines(2_000)
    items = feeder.feed(block)
    del block  # the feeder keeps what its pending lines refer to
    calls = 1
    while feeder.pending:
        with pytest.raises(ValueError, match="call resume"):
            feeder.feed(b"")
        with pytest.raises(ValueError, match="call resume"):
            feeder.finish()
        more = feeder.resume()
        assert sum(len(reply) for item in more[:-1] for reply in item[3]) < 10_000
        items += more
        calls += 1
    assert items == expected and calls > 10
    assert feeder.resume() == [] and feeder.finish() == whole.finish()
    with pytest.raises(ValueError, match="room must be greater than zero"):
        LineFeeder([SPEC], room=0)
    # Crossings and peaks come in the same order, whatever the room.
    watched = {"every_events": 7, "crossings": True, "peaks": True}
    expected = LineFeeder([SPEC], **watched).feed(lines(2_000))
    feeder = LineFeeder([SPEC], room=500, **watched)
    items = feeder.feed(lines(2_000))
    while feeder.pending:
        items += feeder.resume()
    assert items == expected and {item[0] for item in items} == {"checkpoint", "crossing", "peaks"}
