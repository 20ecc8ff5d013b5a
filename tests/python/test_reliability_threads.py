"""Radars under threads and processes: many radars at once on many threads,
the thread check and its internal-fault exception under load, radars dropped
on other threads, forking after a scan, and interpreter shutdown while the
worker pool exists.

Every test runs in a child interpreter under a subprocess timeout, so that a
hang or a crash fails that test alone; the child dumps every thread's
traceback to its stderr shortly before its time is up, and threads are joined
with timeouts too.
"""

import contextlib
import json
import os
import queue
import re
import subprocess
import sys
import textwrap
import threading
import time
from contextlib import contextmanager

import pytest

from fenmor_radar import Radar

SANITIZED = os.environ.get("FENMOR_SANITIZED") == "1"
SCALE = 5 if SANITIZED else 1
OK = '{"ok":true}'
VERSION = '{"cmd":"version"}'
VERSION_REPLY = '{"version":"0.2.0"}'
FAULT = re.compile(
    r"assertion `left == right` failed: _fenmor_radar::PyRadar is unsendable, but sent to "
    r"another thread\n  left: ThreadId\((\d+)\)\n right: ThreadId\((\d+)\)\Z")
DROPPED = "_fenmor_radar::PyRadar is unsendable, but is being dropped on another thread"


HERE = os.path.dirname(os.path.abspath(__file__))


def run_child(code, timeout=120):
    """Runs `code` in a new interpreter; returns its result once it ended.
    The child dumps its threads' tracebacks and exits just before `timeout`."""
    prelude = ("import faulthandler; faulthandler.dump_traceback_later(%d, exit=True)\n"
               % max(timeout - 10, 5))
    return subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=timeout, cwd=HERE)


def assert_clean(result):
    assert result.returncode == 0, result.stderr[-8000:]
    for sign in ("Fatal Python error", "Segmentation fault", "ERROR: AddressSanitizer",
                 "runtime error:", "terminate called"):
        assert sign not in result.stderr, result.stderr[-8000:]


def in_child(check, timeout=300):
    """Runs this module's function `check` in a child interpreter; returns the
    child's stderr."""
    result = run_child(f"""
        import sys
        sys.path.insert(0, {HERE!r})
        import test_reliability_threads as here
        here.{check}()
        print("passed")
        """, timeout)
    assert_clean(result)
    assert result.stdout.split()[-1:] == ["passed"], result.stdout[-2000:]
    return result.stderr


@contextmanager
def frequent_switches():
    """Lets threads take turns between almost every pair of calls."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        yield
    finally:
        sys.setswitchinterval(interval)


def start_all(targets):
    threads = [threading.Thread(target=target, daemon=True) for target in targets]
    for thread in threads:
        thread.start()
    return threads


def join_all(threads, seconds):
    for thread in threads:
        thread.join(seconds)
    assert not any(thread.is_alive() for thread in threads), "a thread hung"


def spec_for(n):
    return json.dumps({"signals": [
        {"kind": "oi_delta", "params": [2 + n % 3, 0.05]},
        {"kind": "funding_flip", "params": [0.0001]},
        {"kind": "book_imbalance", "params": [0.3]},
        {"kind": "liq_cluster", "params": [4, 100]},
    ], "threshold": 0.1 * (n % 4), "limit": 20 + n})


def scan_command(n, symbols=60):
    events = {}
    for s in range(symbols):
        events[f"S{n}-{s}"] = [
            ["derivatives", s, 100 + s, 0.0002 if s % 2 else -0.0001, 50],
            ["derivatives", s + 1, 100 + (s * 7) % 13, -0.0002, 51],
            ["orderbook", s + 2, s % 9, 9 - s % 9, 1, 1],
            ["liquidation", s + 3, "sell", s * 3, 1],
        ]
    return json.dumps({"cmd": "scan", "events": events})


def script(n, length=300):
    """A fixed list of commands for radar n: feeds, scans, alerts, faults."""
    scan = scan_command(n)
    commands = []
    for i in range(length):
        symbol = json.dumps(f"T{n}-{i % 25}")
        step = i % 6
        if step == 0:
            commands.append(scan)
        elif step == 1:
            commands.append('{"cmd":"alerts"}')
        elif step == 2:
            commands.append('{"cmd":"feed","symbol":%s,"event":["liquidation",%d,"buy",%d,1]}'
                            % (symbol, i, i % 17))
        elif step == 3:
            commands.append('{"cmd":"feed_batch","symbol":%s,"events":[["derivatives",%d,%d,%s,'
                            '50],["orderbook",%d,%d,3,1,1]]}'
                            % (symbol, i, 100 + i % 11, "0.0003" if i % 4 else "-0.0003", i, i % 7))
        elif step == 4:
            commands.append('{"cmd":"feed","symbol":%s,"event":["derivatives",1]}' % symbol)
        else:
            commands.append('{"cmd":"set_spec","spec":%s}' % spec_for(n + i)
                            if i % 120 == 5 else VERSION)
    return commands


def replies_of(n, commands):
    radar = Radar(spec_for(n))
    return [radar.command(command) for command in commands]


def test_many_radars_on_many_threads_with_scans():
    in_child("many_radars_on_many_threads")


def many_radars_on_many_threads():
    count = 8
    scripts = [script(n, 300 // SCALE) for n in range(count)]
    expected = [replies_of(n, scripts[n]) for n in range(count)]
    got = [None] * count
    barrier = threading.Barrier(count)

    def run(n):
        radar = Radar(spec_for(n))
        barrier.wait()
        got[n] = [radar.command(command) for command in scripts[n]]

    with frequent_switches():
        threads = start_all([lambda n=n: run(n) for n in range(count)])
        join_all(threads, 240)
    # Each radar answered exactly as it does alone.
    assert got == expected


def test_the_thread_check_under_load():
    err = in_child("thread_check_under_load")
    # A diagnostic on stderr before each fault.
    assert err.count("unsendable, but sent to another thread") >= 4 * (200 // SCALE)


def thread_check_under_load():
    owners, intruders = 4, 4
    radars = [None] * owners
    # Intruders start once every owner has built its radar.
    built = threading.Barrier(owners + intruders + 1)
    stop = threading.Event()
    scripts = [script(n, 120 // SCALE) for n in range(owners)]
    expected = [replies_of(n, scripts[n]) for n in range(owners)]
    got = [[] for _ in range(owners)]
    faults = []
    caught_as_exception = []

    def owner(n):
        radars[n] = Radar(spec_for(n))
        built.wait()
        # At least one whole pass: on a loaded machine the intruders may all be
        # done before this thread runs again after the barrier.
        while True:
            got[n] = [radars[n].command(command) for command in scripts[n]]
            assert radars[n].command('{"cmd":"reset"}') == OK
            radars[n].command('{"cmd":"set_spec","spec":%s}' % spec_for(n))
            if stop.is_set():
                break

    def intruder(n):
        built.wait()
        for i in range(200 // SCALE):
            radar = radars[(n + i) % owners]
            try:
                radar.command(scan_command(n, symbols=5) if i % 2 else VERSION)
            except Exception as error:  # the internal fault must not land here
                caught_as_exception.append(error)
            except BaseException as error:  # the fault derives from BaseException
                faults.append((radar, error))
            # Argument errors come before the thread check.
            with contextlib.suppress(TypeError):
                radar.command()

    with frequent_switches():
        owner_threads = start_all([lambda n=n: owner(n) for n in range(owners)])
        intruder_threads = start_all([lambda n=n: intruder(n) for n in range(intruders)])
        built.wait()
        join_all(intruder_threads, 240)
        stop.set()
        join_all(owner_threads, 240)

    assert caught_as_exception == []
    assert len(faults) == intruders * (200 // SCALE)
    owner_of = {}
    for radar, error in faults:
        assert type(error).__name__ == "PanicException"
        assert type(error).__module__ == "pyo3_runtime"
        assert type(error).__bases__ == (BaseException,)
        match = FAULT.match(str(error))
        assert match, str(error)
        caller, owner_id = match.groups()
        assert caller != owner_id
        # Each radar names the same owner every time.
        assert owner_of.setdefault(id(radar), owner_id) == owner_id
    assert len(set(owner_of.values())) == owners
    assert len({type(error) for _, error in faults}) == 1
    # The owners' radars never noticed: the last full pass answered as a
    # lone radar does.
    assert got == expected


def test_radars_dropped_on_other_threads_under_load():
    in_child("radars_dropped_on_other_threads")


def radars_dropped_on_other_threads():
    reports = []
    lock = threading.Lock()

    def hook(report):
        with lock:
            reports.append((report.exc_type, str(report.exc_value)))

    sys.unraisablehook = hook
    handed = queue.Queue()
    makers, per_maker = 4, 50 // SCALE

    def maker(n):
        for i in range(per_maker):
            radar = Radar(spec_for(n + i))
            radar.command('{"cmd":"feed","symbol":"S","event":["orderbook",1,%d,2,1,1]}' % i)
            radar.command(scan_command(n, symbols=4))
            handed.put(radar)
            del radar
        handed.put(None)

    def dropper():
        finished = 0
        while finished < makers:
            radar = handed.get(timeout=120)
            if radar is None:
                finished += 1
                continue
            # Until its maker has let go of it, the maker might drop it last.
            while sys.getrefcount(radar) > 2:
                time.sleep(0.0001)
            del radar  # the last reference goes away here, on another thread

    def scanner():
        radar = Radar(spec_for(0))
        for _ in range(20 // SCALE):
            assert json.loads(radar.command(scan_command(0)))["scanned"] == 60

    with frequent_switches():
        threads = start_all([lambda n=n: maker(n) for n in range(makers)]
                            + [dropper, scanner, scanner])
        join_all(threads, 240)
    assert reports == [(RuntimeError, DROPPED)] * (makers * per_maker)
    assert Radar(spec_for(1)).command(VERSION) == VERSION_REPLY


CHILD_SETUP = textwrap.dedent("""
    import json, multiprocessing, os, threading
    from fenmor_radar import Radar
    SPEC = '{"signals":[{"kind":"funding_flip","params":[0.0001]},{"kind":"book_imbalance","params":[0.4]}],"threshold":0.0}'
    def scan(n):
        events = {f"S{n}-{s}": [["derivatives", s, 1, 0.0003, 1], ["derivatives", s + 1, 1, -0.0001 * (s % 3), 1], ["orderbook", s, s % 5, 2, 1, 1]] for s in range(200)}
        return json.dumps({"cmd": "scan", "events": events})
    """)


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_scan_then_fork_and_scan_in_the_children():
    result = run_child(CHILD_SETUP + textwrap.dedent("""
    radar = Radar(SPEC)
    expected = [radar.command(scan(n)) for n in range(8)]  # the pool exists now
    radar.command('{"cmd":"feed","symbol":"kept","event":["orderbook",1,5,1,1,1]}')
    stored = radar.command('{"cmd":"alerts"}')

    def scan_on_a_new_radar(n):
        return Radar(SPEC).command(scan(n))

    def child(n, answers):
        # A new radar, and the one inherited from the parent: the forking
        # thread is the child's only thread and still the radar's owner.
        answers.put((n, Radar(SPEC).command(scan(n)), radar.command(scan(n)),
                     radar.command('{"cmd":"alerts"}')))

    context = multiprocessing.get_context("fork")
    answers = context.Queue()
    for round in range(3):
        children = [context.Process(target=child, args=(n, answers)) for n in range(4)]
        for process in children:
            process.start()
        got = sorted(answers.get(timeout=60) for _ in children)
        for process in children:
            process.join(60)
            assert process.exitcode == 0, process.exitcode
        assert got == [(n, expected[n], expected[n], stored) for n in range(4)], got
        # The parent's pool still serves the parent.
        assert radar.command(scan(5)) == expected[5]
    with context.Pool(3) as pool:
        assert pool.map(scan_on_a_new_radar, range(8)) == expected
    print("done")
    """), timeout=180)
    assert_clean(result)
    assert result.stdout.split() == ["done"]


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_fork_while_other_threads_scan():
    result = run_child(CHILD_SETUP + textwrap.dedent("""
    import sys
    sys.setswitchinterval(1e-6)
    expected = Radar(SPEC).command(scan(1))
    stop = threading.Event()
    def scanning():
        radar = Radar(SPEC)
        while not stop.is_set():
            assert radar.command(scan(1)) == expected
    threads = [threading.Thread(target=scanning) for _ in range(2)]
    for thread in threads:
        thread.start()
    for _ in range(%d):
        pid = os.fork()
        if pid == 0:
            # Only the forking thread exists in the child; the pool starts anew.
            ok = Radar(SPEC).command(scan(1)) == expected
            os._exit(0 if ok else 3)
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0, status
    stop.set()
    for thread in threads:
        thread.join(60)
    print("done")
    """ % (20 // SCALE)), timeout=180)
    assert_clean(result)
    assert result.stdout.split() == ["done"]


SHUTDOWNS = {
    "radar alive at exit": """
        radar = Radar(SPEC)
        radar.command(scan(1))
        """,
    "daemon threads scanning at exit": """
        def forever(n):
            radar = Radar(SPEC)
            while True:
                radar.command(scan(n))
        for n in range(3):
            threading.Thread(target=forever, args=(n,), daemon=True).start()
        Radar(SPEC).command(scan(9))
        """,
    "radar of an ended thread alive at exit": """
        box = []
        thread = threading.Thread(target=lambda: box.append(Radar(SPEC)))
        thread.start()
        thread.join()
        box[0].command  # still referenced when the interpreter goes
        Radar(SPEC).command(scan(2))
        """,
    "exit from a thread's scan": """
        import sys
        def scan_then_exit():
            Radar(SPEC).command(scan(3))
            os._exit(0)
        threading.Thread(target=scan_then_exit).start()
        threading.Event().wait(60)
        """,
    "no scan, pool never made": """
        radar = Radar(SPEC)
        radar.command('{"cmd":"alerts"}')
        """,
}


@pytest.mark.parametrize("ending", list(SHUTDOWNS))
def test_interpreter_shutdown_while_the_pool_exists(ending):
    for _ in range(3):  # repeatably
        result = run_child(CHILD_SETUP + textwrap.dedent(SHUTDOWNS[ending]), timeout=60)
        assert_clean(result)
