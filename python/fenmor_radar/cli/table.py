"""Terminal rendering of ranked alerts: rank, symbol, severity as a bar, strongest factors, ts."""

from __future__ import annotations

from collections.abc import Callable, Sequence

from fenmor_radar.printable import printable
from fenmor_radar.replay.replies import AlertView
from fenmor_radar.utc import utc_time

SEVERITY_KEY = "severity"
# One scale everywhere (tables, the demo's timeline): a full bar is severity 1.
BAR_WIDTH = 10
# Eighths of a block, so a bar 10 cells wide resolves severities to 1/80.
_EIGHTHS = " ▏▎▍▌▋▊▉█"


def can_draw_blocks(encoding: str | None) -> bool:
    """Whether a stream with this encoding can show the block characters."""
    try:
        _EIGHTHS.encode(encoding or "ascii")
    except (UnicodeEncodeError, LookupError):
        return False
    return True


def severity_bar(severity: float | None, blocks: bool = True) -> str:
    """A bar ``BAR_WIDTH`` cells wide, filled in proportion to a severity in [0, 1].

    The one bar of the command line, so that a severity looks the same wherever it is shown.
    """
    width = BAR_WIDTH
    value = 0.0 if severity is None else min(max(severity, 0.0), 1.0)
    if not blocks:
        filled = round(value * width)
        return "#" * filled + "." * (width - filled)
    eighths = round(value * width * 8)
    full, part = divmod(eighths, 8)
    bar = "█" * full + (_EIGHTHS[part] if part else "")
    return bar.ljust(width)


def strongest_factors(factors: dict[str, float | None], count: int = 3) -> list[tuple[str, float]]:
    """The ``count`` largest non-zero signal factors, largest first (ties by name)."""
    ranked = [
        (name, value)
        for name, value in factors.items()
        if name != SEVERITY_KEY and value is not None and value > 0
    ]
    ranked.sort(key=lambda item: (-item[1], item[0]))
    return ranked[:count]


def format_factors(factors: dict[str, float | None], count: int = 3, width: int = 1 << 30) -> str:
    """The strongest factors as "name value" pairs, as many whole ones as fit in ``width``."""
    text = ""
    for name, value in strongest_factors(factors, count):
        item = f"{name} {value:.2f}"
        joined = f"{text}  {item}" if text else item
        if len(joined) > width:
            return text or _fit(item, width).rstrip()
        text = joined
    return text


def _fit(text: str, width: int) -> str:
    if len(text) <= width:
        return text.ljust(width)
    return text[: max(width - 1, 0)] + "…"


def format_severity(severity: float | None) -> str:
    return "  null" if severity is None else f"{severity:6.3f}"


def render_alerts(
    alerts: Sequence[AlertView],
    *,
    width: int = 100,
    ts_text: Callable[[int], str] = utc_time,
    blocks: bool = True,
    marks: Sequence[str] | None = None,
    factor_count: int = 3,
) -> list[str]:
    """The alerts as table lines (a header, then one line per alert).

    ``marks``, one per alert, adds a short column in front (such as "new").
    ``width`` is the terminal width; the factors column takes what is left.
    """
    if not alerts:
        return []
    symbols = [printable(alert.symbol) for alert in alerts]
    symbol_width = min(max(len("symbol"), *(len(symbol) for symbol in symbols)), 24)
    ts_texts = [ts_text(alert.ts) for alert in alerts]
    ts_width = max(len("ts"), *(len(text) for text in ts_texts))
    rank_width = max(1, len(str(alerts[-1].rank)))
    mark_width = max((len(mark) for mark in marks), default=0) if marks else 0
    severity_width = BAR_WIDTH + 1 + 6
    fixed = rank_width + 2 + symbol_width + 2 + severity_width + 2 + 2 + ts_width
    fixed += mark_width + 2 if marks else 0
    # As wide as the widest factor list needs, but no wider than what is left.
    widest = max(len(format_factors(alert.factors, factor_count)) for alert in alerts)
    factor_width = min(max(width - fixed, 20), max(widest, len("strongest factors")))

    def row(mark: str, rank: str, symbol: str, severity: str, factors: str, ts: str) -> str:
        cells = [mark.ljust(mark_width)] if marks else []
        cells += [
            rank.rjust(rank_width),
            _fit(symbol, symbol_width),
            severity.ljust(severity_width),
            _fit(factors, factor_width),
            ts.rjust(ts_width),
        ]
        return "  ".join(cells).rstrip()

    lines = [row("", "#", "symbol", "severity", "strongest factors", "ts")]
    for index, alert in enumerate(alerts):
        bar = severity_bar(alert.severity, blocks=blocks)
        lines.append(
            row(
                marks[index] if marks else "",
                str(alert.rank),
                symbols[index],
                f"{bar} {format_severity(alert.severity)}",
                format_factors(alert.factors, factor_count, factor_width),
                ts_texts[index],
            )
        )
    return lines
