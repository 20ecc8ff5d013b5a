"""Cutting the input into chunks, each line already put on its shard's pile.

Lines keep one running index over all inputs (from 0), which orders
everything the shards report; a chunk never spans two inputs, so a line's
file is its chunk's. The driver keeps only the line numbers; the texts go to
the shards, joined into one text per shard: Dask sends one long string many
times faster than a list of short ones.

The driver touches every line of the input, so its per-line work is kept to
a few appends; the symbols are found and the lines dealt to the piles once
per chunk, mostly by operations on whole lists and texts.
"""

from __future__ import annotations

from array import array
from collections.abc import Iterable, Iterator
from dataclasses import dataclass, field
from itertools import compress

from fenmor_radar.distributed.routing import (
    SYMBOL_KEY,
    SYMBOL_PREFIX,
    ShardRouter,
    line_symbol,
)
from fenmor_radar.replay.recording import DamagedInput, EventLine

DEFAULT_CHUNK_LINES = 50_000
SEPARATE_PASSES_UP_TO = 8  # shards dealt one pass each (all in C); more shards: one Python pass


@dataclass(slots=True)
class ShardPile:
    """One shard's lines of a chunk: their running indices and their texts."""

    indices: list[int] = field(default_factory=list)
    texts: list[str] = field(default_factory=list)

    def payload(self) -> PilePayload:
        joined = "\n".join(self.texts)
        lengths = None
        if joined.count("\n") != max(len(self.texts) - 1, 0):  # a text holds a line break
            lengths = array("q", map(len, self.texts)).tobytes()
        return PilePayload(len(self.texts), array("q", self.indices).tobytes(), joined, lengths)


@dataclass(frozen=True, slots=True)
class PilePayload:
    """A pile as sent: indices as 64-bit integers, texts joined by line breaks.

    ``lengths`` is set only when some text holds a line break of its own.
    """

    count: int
    indices: bytes
    joined: str
    lengths: bytes | None = None

    def index_list(self) -> list[int]:
        indices = array("q")
        indices.frombytes(self.indices)
        return indices.tolist()

    def texts(self) -> list[str]:
        if self.count == 0:
            return []
        if self.lengths is None:
            return self.joined.split("\n")
        lengths = array("q")
        lengths.frombytes(self.lengths)
        texts = []
        at = 0
        for length in lengths:
            texts.append(self.joined[at : at + length])
            at += length + 1
        return texts


@dataclass(slots=True)
class Chunk:
    """Consecutive lines of one input, from running index ``start``."""

    source: str
    start: int
    piles: list[ShardPile]
    numbers: array[int] = field(default_factory=lambda: array("q"))
    # Lines that never reach a radar (bytes that are not UTF-8): (index, reason).
    unreadable: list[tuple[int, str]] = field(default_factory=list)

    @property
    def count(self) -> int:
        return len(self.numbers)

    @property
    def end(self) -> int:
        return self.start + len(self.numbers)

    def number(self, index: int) -> int:
        return int(self.numbers[index - self.start])


@dataclass(slots=True)
class InputDamaged:
    """An input broke off after the lines already handed out."""

    source: str
    error: DamagedInput


def line_symbols(texts: list[str]) -> list[str | None]:
    """``line_symbol`` of every text, found in bulk when every line starts with its symbol.

    The counts over the whole text stand for the per-line conditions of
    ``line_symbol``: no backslash anywhere, no line break inside a text, and
    ``"symbol"`` once per line, at its start.
    """
    joined = "\n".join(texts)
    lines = len(texts)
    if (
        lines
        and "\\" not in joined
        and joined.startswith(SYMBOL_PREFIX)
        and joined.count("\n" + SYMBOL_PREFIX) == lines - 1
        and joined.count("\n") == lines - 1
        and joined.count(SYMBOL_KEY) == lines
    ):
        start = len(SYMBOL_PREFIX)
        return [text[start : text.find('"', start)] for text in texts]
    return list(map(line_symbol, texts))


def deal(indices: list[int], texts: list[str], router: ShardRouter) -> list[ShardPile]:
    """The lines on the piles of their shards, each pile in input order."""
    shards = router.shards
    if shards == 1:
        return [ShardPile(indices, texts)]
    symbols = line_symbols(texts)
    owners = list(map(router.known.get, symbols))
    if None in owners:
        for at in [at for at, owner in enumerate(owners) if owner is None]:
            owners[at] = router.shard(symbols[at])
    if shards <= SEPARATE_PASSES_UP_TO:
        return [
            ShardPile(
                list(compress(indices, map(shard.__eq__, owners))),
                list(compress(texts, map(shard.__eq__, owners))),
            )
            for shard in range(shards)
        ]
    piles = [ShardPile() for _ in range(shards)]
    for index, text, owner in zip(indices, texts, owners, strict=True):
        pile = piles[owner]  # type: ignore[index]
        pile.indices.append(index)
        pile.texts.append(text)
    return piles


def read_chunks(
    sources: Iterable[tuple[str, Iterable[EventLine]]],
    router: ShardRouter,
    chunk_lines: int = DEFAULT_CHUNK_LINES,
) -> Iterator[Chunk | InputDamaged]:
    """The inputs' lines in chunks of at most ``chunk_lines``; damage ends the stream.

    An input that breaks off yields the chunk read so far, then an
    ``InputDamaged`` as the last item, so the driver can finish what was read
    before reporting it, as a single replay does.
    """
    index = 0
    for source, lines in sources:
        start = index
        numbers: array[int] = array("q")
        indices: list[int] = []
        texts: list[str] = []
        unreadable: list[tuple[int, str]] = []
        try:
            for line in lines:
                if index - start == chunk_lines:
                    yield Chunk(source, start, deal(indices, texts, router), numbers, unreadable)
                    start = index
                    numbers, indices, texts, unreadable = array("q"), [], [], []
                numbers.append(line.number)
                if line.problem is None:
                    indices.append(index)
                    texts.append(line.text)
                else:
                    unreadable.append((index, line.problem))
                index += 1
        except DamagedInput as err:
            if numbers:
                yield Chunk(source, start, deal(indices, texts, router), numbers, unreadable)
            yield InputDamaged(source, err)
            return
        if numbers:
            yield Chunk(source, start, deal(indices, texts, router), numbers, unreadable)
