"""Durations as every option takes them: units, milliseconds alone, and refusals."""

import pytest

from fenmor_radar.cli.durations import parse_duration


@pytest.mark.parametrize(
    ("text", "ms"),
    [
        ("60000", 60_000),
        ("250ms", 250),
        ("90s", 90_000),
        ("1m", 60_000),
        ("1.5s", 1_500),
        ("1h30m", 5_400_000),
        (" 2d ", 172_800_000),
        ("1w", 604_800_000),
        ("0", 0),
        ("9223372036854775807", (1 << 63) - 1),
    ],
)
def test_a_duration_is_milliseconds(text, ms):
    assert parse_duration(text) == ms


@pytest.mark.parametrize(
    ("text", "reason"),
    [
        ("", "empty"),
        ("5x", "units such as 90s"),
        ("m", "units such as 90s"),
        ("-5s", "units such as 90s"),
        ("1m1m", "gives m twice"),
        ("1.0005s", "whole number of milliseconds"),
        ("9223372036854775808", "too long"),
        ("1e3", "units such as 90s"),
    ],
)
def test_what_is_not_a_duration_says_why(text, reason):
    with pytest.raises(ValueError, match=reason):
        parse_duration(text)
