"""Texts and checks shared by the Python tests."""

import faulthandler
import json
import os
from contextlib import contextmanager

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


@contextmanager
def time_limit(seconds):
    """Ends the whole run with every thread's traceback if the block hangs."""
    faulthandler.dump_traceback_later(seconds, exit=True)
    try:
        yield
    finally:
        faulthandler.cancel_dump_traceback_later()


def resident():
    """Resident bytes of this process."""
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
