import gc
import re
import sys
import threading

import pytest

from fenmor_radar import Radar
from radar_helpers import FUNDING_SPEC, VERSION, VERSION_REPLY

FAULT = re.compile(
    r"assertion `left == right` failed: _fenmor_radar::PyRadar is unsendable, but sent to "
    r"another thread\n  left: ThreadId\((\d+)\)\n right: ThreadId\((\d+)\)\Z")


def run_in_thread(function):
    """Runs `function` on a new thread; returns what it returned or raised."""
    outcome = {}

    def target():
        try:
            outcome["value"] = function()
        except BaseException as error:  # the fault derives from BaseException
            # Without its traceback the error keeps no frame, and so no radar,
            # alive in a reference cycle.
            outcome["error"] = error.with_traceback(None)

    thread = threading.Thread(target=target)
    thread.start()
    thread.join()
    return outcome


def command_from_another_thread(radar):
    caught_as_exception = []

    def call():
        try:
            return radar.command(VERSION)
        except Exception as error:  # must not catch the internal fault
            caught_as_exception.append(error)
            return None

    outcome = run_in_thread(call)
    assert caught_as_exception == []
    return outcome["error"]


def test_command_from_another_thread_raises_the_internal_fault(capfd):
    radar = Radar(FUNDING_SPEC)
    error = command_from_another_thread(radar)
    fault = type(error)
    assert fault.__name__ == "PanicException"
    assert fault.__module__ == "pyo3_runtime"
    assert fault.__bases__ == (BaseException,)
    assert not issubclass(fault, Exception)
    match = FAULT.match(str(error))
    assert match, str(error)
    caller, owner = match.groups()
    assert caller != owner
    assert "unsendable, but sent to another thread" in capfd.readouterr().err
    # The radar was not touched and still serves its own thread.
    assert radar.command(VERSION) == VERSION_REPLY


def test_the_fault_type_is_created_once():
    first = command_from_another_thread(Radar(FUNDING_SPEC))
    second = command_from_another_thread(Radar(FUNDING_SPEC))
    assert type(first) is type(second)
    # The owner is the same thread (this one) both times; the callers differ.
    assert FAULT.match(str(first)).group(2) == FAULT.match(str(second)).group(2)
    assert FAULT.match(str(first)).group(1) != FAULT.match(str(second)).group(1)


def test_argument_errors_come_before_the_thread_check():
    radar = Radar(FUNDING_SPEC)
    outcome = run_in_thread(lambda: radar.command())
    assert type(outcome["error"]) is TypeError
    # A wrong type is found after the thread check.
    outcome = run_in_thread(lambda: radar.command(5))
    assert type(outcome["error"]).__name__ == "PanicException"


@pytest.fixture
def unraisable(monkeypatch):
    """The reports of the unraisable-exception hook during the test.

    Garbage left by earlier tests (radars owned by threads long gone, kept
    alive by reference cycles) is collected first, and the collector is
    paused, so that only the drops a test makes itself are reported.
    """
    gc.collect()
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    gc.disable()
    yield seen
    gc.enable()


def drop_on_another_thread(box):
    def drop():
        box.pop()  # the last reference goes away on this thread

    assert run_in_thread(drop) == {"value": None}


def test_a_radar_built_on_a_thread_belongs_to_that_thread(unraisable):

    def build_and_use():
        radar = Radar(FUNDING_SPEC)
        return [radar, radar.command(VERSION)]

    box = run_in_thread(build_and_use).pop("value")
    reply = box.pop()
    radar = box[0]
    assert reply == VERSION_REPLY
    with pytest.raises(BaseException) as info:
        radar.command(VERSION)
    assert type(info.value).__name__ == "PanicException"
    # Threads started later never take over the finished owner's identity.
    for _ in range(20):
        assert type(run_in_thread(lambda: radar.command(VERSION))["error"]).__name__ == (  # noqa: F821
            "PanicException")
    # version() needs no instance and no thread check.
    assert radar.version() == "0.2.0"
    del radar, info
    drop_on_another_thread(box)
    assert [type(report.exc_value) for report in unraisable] == [RuntimeError]


def test_independent_radars_on_their_own_threads():
    replies = []

    def own_radar():
        radar = Radar(FUNDING_SPEC)
        for _ in range(200):
            replies.append(radar.command(VERSION))

    threads = [threading.Thread(target=own_radar) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert replies == [VERSION_REPLY] * 800


def test_dropping_on_another_thread_is_reported_and_the_process_goes_on(unraisable):
    radar = Radar(FUNDING_SPEC)
    radar.command('{"cmd":"feed","symbol":"S","event":["orderbook",1,1,2,3,4]}')
    box = [radar]
    del radar
    drop_on_another_thread(box)
    seen = [(report.exc_type, str(report.exc_value), report.object) for report in unraisable]
    assert seen == [(RuntimeError,
                     "_fenmor_radar::PyRadar is unsendable, but is being dropped on another thread",
                     Radar)]
    # Dropping on the owner thread reports nothing.
    Radar(FUNDING_SPEC)
    assert len(unraisable) == 1
    assert Radar(FUNDING_SPEC).command(VERSION) == VERSION_REPLY
