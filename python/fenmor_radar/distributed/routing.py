"""Which shard replays a line: a stable hash of the symbol the radar will read from it.

Every event of a symbol must reach the same shard, in input order, so the
symbol used for routing must be the one the radar reads, and the hash must
be the same in every process and on every run (Python's ``hash()`` of a str
is salted per process, so it is not used).
"""

from __future__ import annotations

import hashlib

from fenmor_radar.replay.event_line import read_json

SYMBOL_PREFIX = '{"symbol":"'
SYMBOL_KEY = '"symbol"'
_VALUE_START = len(SYMBOL_PREFIX)


def line_symbol(text: str) -> str | None:
    """The symbol a radar reads from a recorded line; None when the line names none.

    Most recorders write the symbol first, without escapes. A line without a
    backslash cannot spell the member name any other way, so when ``"symbol"``
    occurs there only once, at the start, its value is the one the radar
    reads (a radar keeps the last of repeated members, hence the count). Any
    other line is read whole, as the replay reads it.
    """
    if text.startswith(SYMBOL_PREFIX) and "\\" not in text:
        end = text.find('"', _VALUE_START)
        if end != -1 and text.find(SYMBOL_KEY, end) == -1:
            return text[_VALUE_START:end]
    value = read_json(text)
    if isinstance(value, dict):
        symbol = value.get("symbol")
        if isinstance(symbol, str):
            return symbol
    return None


def symbol_hash(symbol: str) -> int:
    """A 64-bit hash of the symbol's UTF-8 bytes, the same everywhere and always."""
    data = symbol.encode("utf-8", "surrogatepass")
    return int.from_bytes(hashlib.blake2b(data, digest_size=8).digest(), "big")


class ShardRouter:
    """Maps symbols to shard numbers 0 .. shards-1, remembering the symbols seen."""

    def __init__(self, shards: int) -> None:
        if shards <= 0:
            raise ValueError(f"shards must be greater than zero, got {shards}")
        self.shards = shards
        # Symbol -> shard, for every symbol routed so far. Lines without a
        # symbol are rejected by any radar, so they can go anywhere.
        self.known: dict[str | None, int] = {None: 0}

    def shard(self, symbol: str | None) -> int:
        shard = self.known.get(symbol)
        if shard is None:
            assert symbol is not None
            shard = self.known[symbol] = symbol_hash(symbol) % self.shards
        return shard

    def shard_of_line(self, text: str) -> int:
        return self.shard(line_symbol(text))
