"""Did-you-mean: the known name nearest to a misspelt one."""

from __future__ import annotations

from collections.abc import Iterable


def edit_distance(a: str, b: str) -> int:
    """Insertions, deletions, substitutions and swaps of neighbours turning ``a`` into ``b``.

    A swap counts once, so "wieght" is one edit from "weight".
    """
    previous2: list[int] = []
    previous = list(range(len(b) + 1))
    for i, char_a in enumerate(a, 1):
        current = [i] + [0] * len(b)
        for j, char_b in enumerate(b, 1):
            cost = 0 if char_a == char_b else 1
            current[j] = min(previous[j] + 1, current[j - 1] + 1, previous[j - 1] + cost)
            if i > 1 and j > 1 and char_a == b[j - 2] and a[i - 2] == char_b:
                current[j] = min(current[j], previous2[j - 2] + 1)
        previous2, previous = previous, current
    return previous[len(b)]


def closest(name: str, known: Iterable[str]) -> str | None:
    """The known name ``name`` was probably meant to be, if one is near enough.

    Near enough: the same letters but for case, or at most two edits and
    fewer than a third of the name's length.
    """
    best: tuple[int, str] | None = None
    for candidate in known:
        if candidate.lower() == name.lower():
            return candidate
        distance = edit_distance(name.lower(), candidate.lower())
        near = distance <= 2 and distance * 3 <= max(len(candidate), len(name))
        if near and (best is None or distance < best[0]):
            best = (distance, candidate)
    return best[1] if best else None
