"""A shard's first look at its lines: which ones a radar accepts, and their ``ts``.

Where the checkpoints fall depends on every line of the input: rejected lines
do not count, and the ``ts`` of accepted ones moves the replay clock. So each
shard first judges its lines on a scratch radar (a rejected "feed" leaves any
radar as it was, and whether a line is accepted depends on the line alone),
and the driver places the checkpoints before any real radar is fed.

The verdict of every line is the single replay's own (``prepare_line`` and
``submit``), but reading each line in Python would cost several times what
the radar's "feed" costs. So the lines a recorder usually writes are handled
in bulk: one pattern over the shard's whole text finds each such line's
``ts``, the commands are made by one replacement, and the scratch radar
judges them in one ``map``. A line found this way is trusted only once the
radar has accepted it, which proves it well-formed; any other line is read
whole, as the replay reads it.
"""

from __future__ import annotations

import functools
import json
import re
from bisect import bisect_left
from collections.abc import Callable
from dataclasses import dataclass, field
from itertools import accumulate

from fenmor_radar import Radar
from fenmor_radar.distributed.chunks import PilePayload
from fenmor_radar.replay.event_line import FEED_SUFFIX, OK_REPLY, prepare_line, submit
from fenmor_radar.replay.items import ALERTS_COMMAND

# Any spec will do: whether a "feed" is accepted does not depend on it. One
# signal with the shortest window keeps the scratch radar's states small, and
# its threshold of 0 lets every symbol through, so that "alerts" lists them all.
SCRATCH_SPEC = '{"signals":[{"kind":"book_imbalance","params":[1]}]}'
RESET_COMMAND = '{"cmd":"reset"}'

JSON_BLANKS = " \t\r"
EVENT_KEY = '"event"'
TS_KEY = '"ts"'

# A recorder's usual line, without any backslash, ending in "}": the symbol
# first, then the event in array form ["kind", ts, ...] or in object form
# {"kind": ..., "ts": ts, ...}; the group is the ts. Any other line matches
# the empty second branch. For an accepted line this is its event's ts, once
# the line holds "event" only once and, in object form, "ts" only once
# (checked on the counts of the whole text).
_USUAL_LINE = re.compile(
    r'^(?:\{"symbol": ?"[^"\\\n]*", ?"event": ?(?:\{"kind": ?"[a-z]+", ?"ts": ?|\["[a-z]+", ?)'
    r'(-?[0-9]+)(?=[,}\] ])[^\\\n]*\}|.*)$',
    re.MULTILINE,
)
OBJECT_EVENTS = ('"event":{', '"event": {')


def quick_ts(text: str) -> int | None:
    """The line's ``ts`` read from where its shape puts it; None when the line must be read.

    Trusted only for a line that a radar accepts: such a line is valid JSON
    whose ``event`` holds a valid event, so the places found here are the
    event's ``ts``: the second element of the array form, or in object form
    the value after the one ``"ts"`` of the line (every event has a ``ts``).
    The line must end with its closing brace, so that its command is the
    line with ``"cmd"`` added before it.
    """
    if "\\" in text or not text.endswith("}"):
        return None
    at = text.find(EVENT_KEY)
    if at < 0 or text.find(EVENT_KEY, at + len(EVENT_KEY)) >= 0:
        return None
    try:
        start = text.index(":", at + len(EVENT_KEY)) + 1
        while text[start] in JSON_BLANKS:
            start += 1
        if text[start] == "[":
            tag = text.index('"', start + 1)  # the tag: a string, without escapes here
            start = text.index(",", text.index('"', tag + 1) + 1) + 1
            end = text.find(",", start)
            if end < 0:
                end = text.index("]", start)
        else:
            key = text.find(TS_KEY)
            if key < 0 or text.find(TS_KEY, key + len(TS_KEY)) >= 0:
                return None
            start = text.index(":", key + len(TS_KEY)) + 1
            end = text.find(",", start)
            close = text.find("}", start)
            if end < 0 or 0 <= close < end:
                end = close
        # An accepted ts is a JSON integer, which int() reads alike.
        return int(text[start:end])
    except (ValueError, IndexError):
        return None


def quick_stamps(joined: str, count: int, texts: Callable[[], list[str]]) -> list[int | None]:
    """``quick_ts`` of each of ``count`` lines, most found by one pattern over ``joined``.

    ``joined`` holds the lines joined by line breaks (none holds one of its
    own); ``texts`` gives them one by one, for the lines that need it.
    """
    stamps: list[str] = _USUAL_LINE.findall(joined) if count else []
    if len(stamps) != count:
        return list(map(quick_ts, texts()))
    others = []
    if "" in stamps:
        lines = texts()
        others = [lines[at] for at, stamp in enumerate(stamps) if not stamp]

    def count_in_usual(*keys: str) -> int:
        return sum(joined.count(key) - sum(text.count(key) for text in others) for key in keys)

    if count_in_usual(EVENT_KEY) != count - len(others) or count_in_usual(
        TS_KEY
    ) != count_in_usual(*OBJECT_EVENTS):
        return list(map(quick_ts, texts()))  # some usual line repeats "event" or "ts"
    if not others:
        return list(map(int, stamps))
    return [int(stamp) if stamp else quick_ts(text) for stamp, text in zip(stamps, texts(), strict=True)]


def feed_commands(joined: str | None, count: int, texts: Callable[[], list[str]]) -> list[str]:
    """Each line with ``"cmd":"feed"`` added before its final brace (lines without one: as they are).

    With ``joined`` (the lines joined by line breaks, none holding one of its
    own), all in one replacement.
    """
    if joined is None or count == 0:
        return [text[:-1] + FEED_SUFFIX if text.endswith("}") else text for text in texts()]
    commands = (joined + "\n").replace("}\n", FEED_SUFFIX + "\n").split("\n")
    commands.pop()
    return commands


@dataclass(slots=True)
class Verdicts:
    """One shard's lines of a chunk, judged.

    Accepted lines keep what feeding them needs, in input order; ``symbols``
    are theirs, each once. ``rejected`` holds the other lines with the
    radar's message. ``rises`` lists the accepted lines at which the shard's
    own clock entered a later period of ``every_ts``.
    """

    indices: list[int] = field(default_factory=list)
    commands: list[str] = field(default_factory=list)
    ts: list[int] = field(default_factory=list)
    symbols: list[str] = field(default_factory=list)
    rejected: list[tuple[int, str]] = field(default_factory=list)
    rises: list[tuple[int, int]] = field(default_factory=list)


class LineJudge:
    """Judges lines on its own scratch radar; keeps the shard's clock across chunks."""

    def __init__(self, every_ts: int | None) -> None:
        self.every_ts = every_ts
        self.scratch = Radar(SCRATCH_SPEC)
        self.clock: int | None = None  # largest ts among the shard's accepted lines

    def judge(self, indices: list[int], pile: PilePayload) -> Verdicts:
        scratch = self.scratch
        texts = functools.cache(pile.texts)  # the lines one by one, split only if some need it
        joined = pile.joined if pile.lengths is None else None
        if joined is not None:
            stamps = quick_stamps(joined, pile.count, texts)
        else:
            stamps = list(map(quick_ts, texts()))
        commands = feed_commands(joined, pile.count, texts)
        verdicts = Verdicts()
        if None not in stamps:
            replies = list(map(scratch.command, commands))
        else:
            replies = [scratch.command(c) if s is not None else "" for s, c in zip(stamps, commands, strict=True)]
        if replies.count(OK_REPLY) == len(replies):  # the usual case: every line accepted
            verdicts.indices, verdicts.commands = indices, commands
            verdicts.ts = stamps  # type: ignore[assignment]  # no None: every line had a stamp
        else:
            self._one_by_one(verdicts, indices, texts(), stamps, commands, replies)
        verdicts.rises = self._rises(verdicts.indices, verdicts.ts)
        alerts = json.loads(scratch.command(ALERTS_COMMAND))["alerts"]
        verdicts.symbols = [alert["symbol"] for alert in alerts]
        scratch.command(RESET_COMMAND)
        return verdicts

    def _one_by_one(
        self,
        verdicts: Verdicts,
        indices: list[int],
        texts: list[str],
        stamps: list[int | None],
        commands: list[str],
        replies: list[str],
    ) -> None:
        for index, text, ts, command, reply in zip(indices, texts, stamps, commands, replies, strict=True):
            if ts is None or reply != OK_REPLY:
                prepared = prepare_line(text)
                outcome = submit(self.scratch, prepared)
                if outcome.error is not None:
                    verdicts.rejected.append((index, outcome.error))
                    continue
                if prepared.ts is None:  # a radar accepts only events with an integer ts
                    raise RuntimeError(f"an accepted line without an integer ts: {text[:200]}")
                command, ts = prepared.command, prepared.ts
            verdicts.indices.append(index)
            verdicts.commands.append(command)
            verdicts.ts.append(ts)

    def _rises(self, indices: list[int], stamps: list[int]) -> list[tuple[int, int]]:
        """Where the shard's clock enters a later period; moves the clock past these lines."""
        if not stamps:
            return []
        running = list(accumulate(stamps, max))  # never decreases: searched by bisection
        clock = self.clock
        self.clock = running[-1] if clock is None else max(clock, running[-1])
        period = self.every_ts
        if period is None:
            return []
        rises = []
        at = 0
        if clock is None:  # the shard's first ts
            rises.append((indices[0], stamps[0]))
            clock = stamps[0]
            at = 1
        while True:
            at = bisect_left(running, (clock // period + 1) * period, at)
            if at == len(running):
                return rises
            clock = stamps[at]  # the running maximum grows here, so this line holds it
            rises.append((indices[at], clock))
            at += 1
