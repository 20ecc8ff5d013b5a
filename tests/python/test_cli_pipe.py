"""`fenmor-radar pipe`: command texts in, one reply per line out, as a real process."""

import json
import subprocess
import sys
import threading

import pytest

FUNDING_SPEC = '{"signals":[{"kind":"funding_flip","params":[0.0001]}],"threshold":0.5}'
FEED_1 = (
    '{"cmd":"feed","symbol":"BTCUSDT","event":{"kind":"derivatives","ts":1,'
    '"open_interest":100.0,"funding_rate":0.0003,"mark_price":50000.0}}'
)
FEED_BATCH_2 = (
    '{"cmd":"feed_batch","symbol":"BTCUSDT","events":[{"kind":"derivatives","ts":2,'
    '"open_interest":101.0,"funding_rate":-0.0002,"mark_price":50010.0}]}'
)
ALERTS_REPLY = (
    '{"alerts":[{"symbol":"BTCUSDT","severity":1.0,'
    '"factors":{"funding_flip(0.0001)":1.0,"severity":1.0},"ts":2}],"scanned":1}'
)

# Every line gets exactly one reply, blank and bad ones included.
SESSION = [
    ('{"cmd":"version"}', '{"version":"0.2.0"}'),
    (FEED_1, '{"ok":true}'),
    ('{"cmd":"alerts"}', '{"alerts":[],"scanned":1}'),
    ('{"cmd":"feed","symbol":"BTCUSDT"}', '{"error":"bad spec: missing \\"event\\"","ok":false}'),
    ("", '{"error":"parse: EOF while parsing a value at line 1 column 0","ok":false}'),
    ('{"cmd":"launch"}', '{"error":"bad spec: unknown cmd: launch","ok":false}'),
    (FEED_BATCH_2, '{"ok":true}'),
    ('{"cmd":"alerts"}', ALERTS_REPLY),
    ('{"cmd":"symbol \\u00e9\\t"}', '{"error":"bad spec: unknown cmd: symbol é\\t","ok":false}'),
    ('{"cmd":"reset"}\r', '{"ok":true}'),
    ('{"cmd":"alerts"}', '{"alerts":[],"scanned":0}'),
]


@pytest.fixture
def spec(tmp_path):
    path = tmp_path / "spec.json"
    path.write_text(FUNDING_SPEC, encoding="utf-8")
    return str(path)


def run_pipe(spec, data):
    return subprocess.run(
        [sys.executable, "-m", "fenmor_radar", "pipe", "--spec", spec],
        input=data,
        capture_output=True,
        timeout=120,
    )


@pytest.mark.parametrize("final_newline", [True, False])
def test_pipe_round_trips_a_session(spec, final_newline):
    data = "\n".join(command for command, _ in SESSION) + ("\n" if final_newline else "")
    result = run_pipe(spec, data.encode("utf-8"))
    assert result.returncode == 0, result.stderr
    assert result.stdout.decode("utf-8").split("\n") == [reply for _, reply in SESSION] + [""]


def test_line_that_is_not_utf8_gets_an_error_reply_and_the_session_goes_on(spec):
    result = run_pipe(spec, b'{"cmd":"\xc3"}\n{"cmd":"version"}\n')
    replies = result.stdout.decode("utf-8").splitlines()
    assert json.loads(replies[0]) == {
        "error": "parse: command text is not valid UTF-8 (byte 9)",
        "ok": False,
    }
    assert replies[1] == '{"version":"0.2.0"}'


def test_long_lines_and_many_lines_keep_their_count(spec):
    events = ",".join(
        '{"kind":"orderbook","ts":%d,"bid_volume":1,"ask_volume":2,"best_bid":1,"best_ask":2}' % i
        for i in range(5000)
    )
    big = '{"cmd":"feed_batch","symbol":"X","events":[%s]}' % events  # far beyond one read
    commands = [big] + ['{"cmd":"version"}'] * 20000 + ['{"cmd":"alerts"}']
    result = run_pipe(spec, ("\n".join(commands) + "\n").encode())
    replies = result.stdout.decode().splitlines()
    assert len(replies) == len(commands)
    assert replies[0] == '{"ok":true}'
    assert replies[-1] == '{"alerts":[],"scanned":1}'


def test_each_reply_arrives_before_the_next_command_is_sent(spec):
    process = subprocess.Popen(
        [sys.executable, "-m", "fenmor_radar", "pipe", "--spec", spec],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    # A driver that waits for each reply: would hang if replies were held back.
    timer = threading.Timer(60, process.kill)
    timer.start()
    try:
        for command, reply in SESSION[:4]:
            process.stdin.write(command.encode() + b"\n")
            process.stdin.flush()
            assert process.stdout.readline().decode().rstrip("\n") == reply
        process.stdin.close()
        assert process.wait() == 0
    finally:
        timer.cancel()
        process.kill()
        process.wait()
        process.stdout.close()
        process.stderr.close()
