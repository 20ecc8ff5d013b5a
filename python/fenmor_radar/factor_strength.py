"""How much a factor adds to an alert's severity: its value times its signal's weight.

A factor the weights do not name (or no weights at all) counts at weight 1;
a value that is not finite (null in a reply) adds nothing.
"""

from __future__ import annotations

from collections.abc import Mapping


def factor_strength(name: str, value: float | None, weights: Mapping[str, float] | None) -> float:
    return (value or 0.0) * (weights.get(name, 1.0) if weights else 1.0)
