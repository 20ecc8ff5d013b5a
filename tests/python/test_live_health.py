"""Notices of a stale symbol wait until it is fresh, then go out if it still alerts."""

from fenmor_radar.cli.live_health import LiveExtras, StaleNow
from fenmor_radar.cli.novelty import NewOnlyFilter
from fenmor_radar.crossing import Crossing
from fenmor_radar.feeds.health import FeedHealth
from fenmor_radar.replay.items import Checkpoint
from fenmor_radar.replay.replies import parse_alerts_reply


class Clock:
    now = 0.0

    def __call__(self):
        return self.now


class Notices:
    def __init__(self):
        self.sent = []

    def news(self, changes, spec, weights=None):
        self.sent.append([(c.change, c.alert.symbol, c.alert.severity) for c in changes])


def reply(*alerts):
    items = ",".join(
        f'{{"symbol":"{s}","severity":{v},"factors":{{"severity":{v}}},"ts":1}}' for s, v in alerts
    )
    return f'{{"alerts":[{items}],"scanned":2}}'


def test_a_stale_symbol_is_notified_once_fresh_with_its_current_alert():
    clock = Clock()
    health = FeedHealth(["A", "B"], ["funding"], 10.0, clock=clock)
    extras = LiveExtras(["spec"])
    notices = Notices()
    extras.notifier = notices
    extras.watch(health, StaleNow())
    news = NewOnlyFilter()

    def checkpoint(at, *alerts):
        clock.now = at
        item = Checkpoint(1, int(at), reply(*alerts))
        extras.checkpoint(item)
        extras.news(news.changes(parse_alerts_reply(item.reply).alerts, item.ts))

    health.seen("A", "funding", 0)
    health.seen("B", "funding", 0)
    checkpoint(1, ("B", 0.5), ("A", 0.25))
    clock.now = 5
    health.seen("A", "funding", 5)
    checkpoint(12, ("B", 0.75), ("A", 0.25))  # B silent for 12 s: stale, its news held
    checkpoint(13, ("B", 0.875), ("A", 0.25))  # still stale: the newer news replaces the held
    clock.now = 14
    health.seen("B", "funding", 14)
    checkpoint(14, ("B", 0.875), ("A", 0.25))  # fresh: its alert goes out now
    checkpoint(15, ("B", 0.875), ("A", 0.25))
    sent = [batch for batch in notices.sent if batch]
    assert sent == [
        [("new", "B", 0.5), ("new", "A", 0.25)],
        [("severity", "B", 0.875)],
    ]
    assert health.counts.gaps == 1


def test_an_upward_crossing_of_a_stale_symbol_waits_until_it_is_fresh():
    clock = Clock()
    health = FeedHealth(["A", "B"], ["funding"], 10.0, clock=clock)
    extras = LiveExtras(["spec"])
    notices = Notices()
    extras.notifier = notices
    extras.watch(health, StaleNow())

    def crossing(direction, symbol, severity):
        alert = f'{{"symbol":"{symbol}","severity":{severity},"factors":{{"severity":{severity}}},"ts":1}}'
        extras.crossing_notice(Crossing(direction, 1, symbol, 1, severity, alert))

    health.seen("A", "funding", 0)
    health.seen("B", "funding", 0)
    extras.checkpoint(Checkpoint(1, 1, reply()))
    clock.now = 12
    health.seen("A", "funding", 12)
    extras.checkpoint(Checkpoint(2, 12, reply()))  # B stale
    crossing("up", "A", 0.5)  # fresh: told at once
    crossing("up", "B", 0.5)  # stale: held
    crossing("up", "B", 0.75)
    crossing("down", "A", 0.25)
    health.seen("B", "funding", 13)
    clock.now = 13
    extras.checkpoint(Checkpoint(3, 13, reply(("B", 0.75))))  # fresh again: B's crossing told
    extras.checkpoint(Checkpoint(4, 14, reply(("B", 0.75))))
    clock.now = 30
    extras.checkpoint(Checkpoint(5, 30, reply()))  # both stale
    crossing("up", "A", 0.5)
    crossing("down", "A", 0.25)  # ended while held: neither is told
    health.seen("A", "funding", 31)
    clock.now = 31
    extras.checkpoint(Checkpoint(6, 31, reply()))
    assert [batch for batch in notices.sent if batch] == [
        [("up", "A", 0.5)],
        [("down", "A", 0.25)],
        [("up", "B", 0.75)],
    ]
