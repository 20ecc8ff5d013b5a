import pytest

from fenmor_radar import Radar
from radar_helpers import FUNDING_SPEC, VERSION, VERSION_REPLY


@pytest.mark.parametrize(
    "spec, message",
    [
        ("{}", "parse: missing field `signals` at line 1 column 2"),
        ("", "parse: EOF while parsing a value at line 1 column 0"),
        ('{"signals": []}', "bad spec: at least one signal is required"),
        ('{"signals": [], "limit": 0}', "bad spec: at least one signal is required"),
        ('{"signals":[{"kind":"funding_flip","params":[1]}],"limit":0}',
         "bad spec: limit must be greater than zero"),
        ('{"signals":[{"kind":"oi_delta"}]}', "bad spec: oi_delta takes 2 parameter(s), got 0"),
        ('{"signals":[{"kind":"funding_flip","params":[0.0001]},'
         '{"kind":"funding_flip","params":[0.0001],"weight":2}]}',
         "bad spec: duplicate signal: funding_flip(0.0001)"),
        (FUNDING_SPEC + " x", "parse: trailing characters at line 1 column 73"),
    ],
)
def test_bad_specs_raise_value_error(spec, message):
    with pytest.raises(ValueError) as info:
        Radar(spec)
    assert str(info.value) == message
    assert type(info.value) is ValueError


def test_ignored_member_may_nest_without_limit():
    deep = "[" * 1_000_000 + "]" * 1_000_000
    radar = Radar('{"comment":' + deep + ',"signals":[{"kind":"funding_flip","params":[1]}]}')
    assert radar.command(VERSION) == VERSION_REPLY


def test_unclosed_deep_spec_fails_cleanly():
    with pytest.raises(ValueError) as info:
        Radar('{"comment":' + "[" * 1_000_000)
    assert str(info.value).startswith("parse: ")


def test_many_radars_are_independent():
    radars = [Radar(FUNDING_SPEC) for _ in range(100)]
    feed = ('{"cmd":"feed","symbol":"S","event":["derivatives",1,1.0,0.0003,1.0]}')
    assert radars[0].command(feed) == '{"ok":true}'
    assert radars[0].command('{"cmd":"alerts"}') == '{"alerts":[],"scanned":1}'
    assert radars[1].command('{"cmd":"alerts"}') == '{"alerts":[],"scanned":0}'
    del radars
