"""Texts and checks shared by the Python tests."""

import json

# The spec of the worked examples: one funding-flip signal, threshold 0.5.
FUNDING_SPEC = '{"signals":[{"kind":"funding_flip","params":[0.0001]}],"threshold":0.5}'

VERSION = '{"cmd":"version"}'
OK = '{"ok":true}'
VERSION_REPLY = '{"version":"0.2.0"}'


def error_of(reply):
    """The error text of an error reply, after checking that it is one."""
    document = json.loads(reply)
    assert list(document) == ["error", "ok"], reply
    assert document["ok"] is False
    return document["error"]


def error_reply(text):
    """The exact error reply for `text`, written the radar's way."""
    return '{"error":' + json.dumps(text, ensure_ascii=False) + ',"ok":false}'
