"""The reusable pieces behind the command line, in-process."""

import gzip
import io
import json

import pytest

from fenmor_radar import Radar
from fenmor_radar.cli.novelty import NewOnlyFilter
from fenmor_radar.cli.pipe_command import input_lines
from fenmor_radar.cli.progress import Progress
from fenmor_radar.cli.table import printable, severity_bar, strongest_factors
from fenmor_radar.replay.checkpoints import CheckpointClock, CheckpointPolicy
from fenmor_radar.replay.recording import read_events
from fenmor_radar.replay.replies import AlertView, alert_texts, parse_alerts_reply

BOOK_SPEC = '{"signals":[{"kind":"book_imbalance","params":[1.0]}],"threshold":0.0}'


def run_clock(policy, stamps):
    """Feed stamps through a clock; the (events, ts) of every checkpoint taken."""
    clock = CheckpointClock(policy)
    taken = []
    for ts in stamps:
        if clock.due_before(ts):
            taken.append((clock.events, clock.ts))
            clock.taken()
        if clock.fed(ts):
            taken.append((clock.events, clock.ts))
            clock.taken()
    if clock.due_at_end():
        taken.append((clock.events, clock.ts))
    return taken


@pytest.mark.parametrize(
    ("policy", "stamps", "expected"),
    [
        (CheckpointPolicy(), [1, 2, 3], [(3, 3)]),
        (CheckpointPolicy(), [], [(0, None)]),
        (CheckpointPolicy(every=2), [1, 2, 3, 4], [(2, 2), (4, 4)]),
        (CheckpointPolicy(every=2), [1, 2, 3], [(2, 2), (3, 3)]),
        # A gap over several periods gives one checkpoint, not one per period.
        (CheckpointPolicy(every_ts=10), [3, 9, 10, 55, 56], [(2, 9), (3, 10), (5, 56)]),
        # Negative stamps: periods are floor divisions, -1 and 0 lie in different ones.
        (CheckpointPolicy(every_ts=10), [-11, -1, 0], [(1, -11), (2, -1), (3, 0)]),
        # Older stamps never move the clock back.
        (CheckpointPolicy(every_ts=10), [15, 3, 18, 21], [(3, 18), (4, 21)]),
        # Events without a ts (not seen in valid lines) count but never cross.
        (CheckpointPolicy(every_ts=10, every=3), [5, None, 25, 26], [(2, 5), (3, 25), (4, 26)]),
    ],
)
def test_checkpoint_clock(policy, stamps, expected):
    assert run_clock(policy, stamps) == expected


@pytest.mark.parametrize("field", ["every", "every_ts"])
def test_checkpoint_policy_rejects_non_positive_periods(field):
    with pytest.raises(ValueError, match=field):
        CheckpointPolicy(**{field: 0})


def alert(symbol, severity, rank=1):
    return AlertView(rank, symbol, severity, {"severity": severity}, 0, "{}")


def test_new_only_filter_holds_news_back_during_the_cooldown_only():
    news = NewOnlyFilter(cooldown=10)

    def seen(alerts, clock):
        return [(c.change, c.alert.symbol) for c in news.changes(alerts, clock)]

    assert seen([alert("A", 0.5), alert("B", 0.4, 2)], 0) == [("new", "A"), ("new", "B")]
    assert seen([alert("A", 0.6)], 5) == []  # A changed and B left, both while cooling
    assert seen([alert("A", 0.6), alert("B", 0.4, 2)], 9) == []
    # Cooldown over: A's change is reported; B left and came back, which is news again.
    assert seen([alert("A", 0.6), alert("B", 0.4, 2)], 10) == [("severity", "A"), ("new", "B")]
    assert seen([alert("A", 0.6), alert("B", 0.4, 2)], 30) == []


def test_alert_texts_are_the_radars_own_text_even_with_tricky_symbols():
    radar = Radar(BOOK_SPEC)
    symbols = ['a"}]{', "b\\", "c\n}", "é{"]
    for symbol in symbols:
        event = {"kind": "orderbook", "ts": 1, "bid_volume": 1, "ask_volume": 0.00000005, "best_bid": 1, "best_ask": 2}
        radar.command(json.dumps({"cmd": "feed", "symbol": symbol, "event": event}))
    reply = radar.command('{"cmd":"alerts"}')
    texts = alert_texts(reply)
    assert reply == '{"alerts":[' + ",".join(texts) + '],"scanned":4}'
    parsed = parse_alerts_reply(reply)
    assert [a.symbol for a in parsed.alerts] == sorted(symbols)  # equal severities: byte order
    assert [json.loads(t)["symbol"] for t in texts] == sorted(symbols)
    assert [a.rank for a in parsed.alerts] == [1, 2, 3, 4]


def test_parse_alerts_reply_rejects_an_error_reply():
    with pytest.raises(ValueError, match="bad spec"):
        parse_alerts_reply('{"error":"bad spec: x","ok":false}')


def test_read_events_numbers_lines_and_reads_gzip(tmp_path):
    path = tmp_path / "e.jsonl.gz"
    path.write_bytes(gzip.compress(b'{"a":1}\n\n  \n{"b":2}\r\n{"c":3}'))
    lines = list(read_events(str(path)))
    assert [(line.number, line.text) for line in lines] == [(1, '{"a":1}'), (4, '{"b":2}\r'), (5, '{"c":3}')]


@pytest.mark.parametrize(
    ("severity", "bar"),
    [(0.0, "          "), (None, "          "), (1.0, "██████████"), (1.7, "██████████"), (0.5, "█████     "), (0.05, "▌         "), (0.0625, "▋         ")],
)
def test_severity_bar(severity, bar):
    assert severity_bar(severity) == bar


def test_severity_bar_without_block_characters():
    assert severity_bar(0.3, blocks=False) == "###......."


def test_strongest_factors_skip_severity_zero_and_null():
    factors = {"a(1)": 0.2, "b(1)": 0.9, "c(1)": 0.0, "d(1)": None, "e(1)": 0.2, "severity": 1.0}
    assert strongest_factors(factors) == [("b(1)", 0.9), ("a(1)", 0.2), ("e(1)", 0.2)]


def test_printable_escapes_terminal_control():
    assert printable("BTC\x1b[2J\u2028x") == "BTC\\x1b[2J\\u2028x"
    assert printable("ÉTH") == "ÉTH"


def test_progress_shows_percent_and_rate_only_after_the_delay():
    now = [0.0]
    stream = io.StringIO()
    progress = Progress(stream, enabled=True, total=1000, position=lambda: 250, clock=lambda: now[0])
    for _ in progress.track(range(512)):
        pass
    assert stream.getvalue() == ""  # too early: short inputs never show a bar
    now[0] = 2.0
    for _ in progress.track(range(512)):
        pass
    assert "25%  1,024 events  512 events/s" in stream.getvalue()
    progress.clear()
    assert stream.getvalue().endswith("\r\x1b[K")


class Trickle(io.RawIOBase):
    """A stream that hands out at most a few bytes per read, like a slow pipe."""

    def __init__(self, data, size):
        self.data, self.size = data, size

    def readable(self):
        return True

    def read1(self, _limit=-1):
        chunk, self.data = self.data[: self.size], self.data[self.size :]
        return chunk


@pytest.mark.parametrize("size", [1, 3, 64])
def test_pipe_input_lines_survive_any_chunking(size):
    data = b'{"cmd":"version"}\n\n\xff\nlast'
    batches = list(input_lines(Trickle(data, size)))
    assert [line for batch in batches for line in batch] == [b'{"cmd":"version"}', b"", b"\xff", b"last"]
