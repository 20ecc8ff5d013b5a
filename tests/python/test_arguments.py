import sys

import pytest

from fenmor_radar import Radar
from radar_helpers import FUNDING_SPEC, VERSION

HAS_NOTES = sys.version_info >= (3, 11)


class Text(str):
    pass


def call_new(*args, **kwargs):
    return Radar(*args, **kwargs)


def call_command(*args, **kwargs):
    return Radar(FUNDING_SPEC).command(*args, **kwargs)


@pytest.mark.parametrize(
    "call, args, kwargs, message",
    [
        (call_new, (), {}, "Radar.__new__() missing 1 required positional argument: 'spec_json'"),
        (call_new, (FUNDING_SPEC, FUNDING_SPEC), {},
         "Radar.__new__() takes 1 positional arguments but 2 were given"),
        (call_new, (FUNDING_SPEC,), {"spec_json": FUNDING_SPEC},
         "Radar.__new__() got multiple values for argument 'spec_json'"),
        (call_new, (), {"spec": FUNDING_SPEC},
         "Radar.__new__() got an unexpected keyword argument 'spec'"),
        (call_new, (), {"spec_json": FUNDING_SPEC, "x": 1},
         "Radar.__new__() got an unexpected keyword argument 'x'"),
        (call_command, (), {}, "Radar.command() missing 1 required positional argument: 'cmd_json'"),
        (call_command, (VERSION, VERSION), {},
         "Radar.command() takes 1 positional arguments but 2 were given"),
        (call_command, (VERSION, VERSION, VERSION), {},
         "Radar.command() takes 1 positional arguments but 3 were given"),
        (call_command, (), {"cmd": VERSION},
         "Radar.command() got an unexpected keyword argument 'cmd'"),
        (call_command, (VERSION,), {"cmd_json": VERSION},
         "Radar.command() got multiple values for argument 'cmd_json'"),
        # Keywords are checked in the order they were given.
        (call_command, (VERSION,), {"foo": 1, "cmd_json": VERSION},
         "Radar.command() got an unexpected keyword argument 'foo'"),
        (call_command, (VERSION,), {"cmd_json": VERSION, "foo": 1},
         "Radar.command() got multiple values for argument 'cmd_json'"),
        # The count is checked before the keywords.
        (call_command, (VERSION, VERSION), {"foo": 1},
         "Radar.command() takes 1 positional arguments but 2 were given"),
    ],
)
def test_argument_matching_errors(call, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        call(*args, **kwargs)
    assert str(info.value) == message
    assert getattr(info.value, "__notes__", []) == []


@pytest.mark.parametrize(
    "value, message",
    [
        (b"{}", "'bytes' object is not an instance of 'str'"),
        (5, "'int' object is not an instance of 'str'"),
        (None, "'None' is not an instance of 'str'"),
        ([VERSION], "'list' object is not an instance of 'str'"),
    ],
)
@pytest.mark.parametrize(
    "call, parameter", [(call_new, "spec_json"), (call_command, "cmd_json")]
)
def test_value_must_be_a_str(call, parameter, value, message):
    with pytest.raises(TypeError) as info:
        call(value)
    assert str(info.value) == message
    if HAS_NOTES:
        assert info.value.__notes__ == [f"while processing '{parameter}'"]


@pytest.mark.parametrize("call, parameter", [(call_new, "spec_json"), (call_command, "cmd_json")])
def test_lone_surrogate_raises_the_interpreters_encoding_error(call, parameter):
    with pytest.raises(UnicodeEncodeError) as info:
        call('{"signals":"\ud800"}')
    assert "surrogates not allowed" in str(info.value)
    if HAS_NOTES:
        assert info.value.__notes__ == [f"while processing '{parameter}'"]


def test_keyword_and_str_subclass_are_accepted():
    radar = Radar(spec_json=Text(FUNDING_SPEC))
    assert radar.command(cmd_json=VERSION) == '{"version":"0.2.0"}'
    assert radar.command(Text(VERSION)) == '{"version":"0.2.0"}'


def test_argument_errors_leave_the_radar_usable():
    radar = Radar(FUNDING_SPEC)
    for bad in (lambda: radar.command(), lambda: radar.command(5), lambda: radar.command("\udc00")):
        with pytest.raises((TypeError, UnicodeEncodeError)):
            bad()
    # The use flag was released on every one of those ways out.
    assert radar.command(VERSION) == '{"version":"0.2.0"}'


def test_version_takes_no_arguments(radar):
    with pytest.raises(TypeError):
        Radar.version(1)
