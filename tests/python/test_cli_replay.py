"""`fenmor-radar replay`, run as a real process."""

import gzip
import json
import re
import subprocess
import sys

import pytest

from fenmor_radar import Radar

FUNDING_SPEC = '{"signals":[{"kind":"funding_flip","params":[0.0001]}],"threshold":0.5}'
BOOK_SPEC = '{"signals":[{"kind":"book_imbalance","params":[1.0]}],"threshold":0.1}'

FIRST = (
    '{"symbol":"BTCUSDT","event":{"kind":"derivatives","ts":1,"open_interest":100.0,'
    '"funding_rate":0.0003,"mark_price":50000.0}}'
)
SECOND = '{"symbol": "BTCUSDT", "event": ["derivatives", 2, 101.0, -0.0002, 50010.0]}'
ALERT = (
    '{"symbol":"BTCUSDT","severity":1.0,'
    '"factors":{"funding_flip(0.0001)":1.0,"severity":1.0},"ts":2}'
)


def run_cli(*args, stdin=None):
    return subprocess.run(
        [sys.executable, "-m", "fenmor_radar", *args],
        input=stdin,
        capture_output=True,
        timeout=120,
    )


def write(path, lines):
    path.write_text("".join(line + "\n" for line in lines), encoding="utf-8")
    return str(path)


@pytest.fixture
def spec(tmp_path):
    return write(tmp_path / "spec.json", [FUNDING_SPEC])


def stdout_lines(result):
    return result.stdout.decode("utf-8").splitlines()


def stderr_text(result):
    return result.stderr.decode("utf-8")


def book(ts, bid, ask, symbol="BTCUSDT"):
    return (
        f'{{"symbol":"{symbol}","event":{{"kind":"orderbook","ts":{ts},"bid_volume":{bid},'
        f'"ask_volume":{ask},"best_bid":1,"best_ask":2}}}}'
    )


@pytest.mark.parametrize(
    ("options", "expected"),
    [
        ([], [f'{{"events":2,"ts":2,"alerts":[{ALERT}],"scanned":1}}']),
        (
            ["--every", "1"],
            [
                '{"events":1,"ts":1,"alerts":[],"scanned":1}',
                f'{{"events":2,"ts":2,"alerts":[{ALERT}],"scanned":1}}',
            ],
        ),
        (["--every", "5"], [f'{{"events":2,"ts":2,"alerts":[{ALERT}],"scanned":1}}']),
    ],
)
def test_small_file_gives_the_expected_json_lines(tmp_path, spec, options, expected):
    events = write(tmp_path / "events.jsonl", [FIRST, "", SECOND])
    result = run_cli("replay", "--spec", spec, events, *options)
    assert result.returncode == 0, stderr_text(result)
    assert stdout_lines(result) == expected
    assert "replayed 2 events for 1 symbol from" in stderr_text(result)


def test_ts_checkpoints_fall_on_multiples_and_before_the_crossing_event(tmp_path):
    spec = write(tmp_path / "spec.json", [BOOK_SPEC])
    # 8 comes after 12: an older ts never moves the clock back or adds a checkpoint.
    lines = [book(5, 3, 1), book(12, 1, 1), book(8, 4, 1), book(15, 1, 1), book(31, 3, 1)]
    events = write(tmp_path / "events.jsonl", lines)
    result = run_cli("replay", "--spec", spec, events, "--every-ts", "10ms")
    assert result.returncode == 0, stderr_text(result)
    checkpoints = [json.loads(line) for line in stdout_lines(result)]
    assert [(c["events"], c["ts"]) for c in checkpoints] == [(1, 5), (4, 15), (5, 31)]
    assert [len(c["alerts"]) for c in checkpoints] == [1, 0, 1]
    # Taken as it comes, but not in silence.
    assert (
        "fenmor-radar: warning: 1 event went back in time for its symbol (first at line 3); "
        "the radar took them in input order." in stderr_text(result)
    )


def test_empty_input_still_reports_one_checkpoint(tmp_path, spec):
    events = write(tmp_path / "events.jsonl", [])
    result = run_cli("replay", "--spec", spec, events)
    assert result.returncode == 0
    assert stdout_lines(result) == ['{"events":0,"ts":null,"alerts":[],"scanned":0}']


def test_gzip_and_standard_input_read_like_the_plain_file(tmp_path, spec):
    plain = write(tmp_path / "events.jsonl", [FIRST, SECOND])
    packed = tmp_path / "events.jsonl.gz"
    packed.write_bytes(gzip.compress((FIRST + "\n" + SECOND + "\n").encode()))
    renamed = tmp_path / "recording.data"  # recognised by its content, not its name
    renamed.write_bytes(packed.read_bytes())
    outputs = [
        run_cli("replay", "--spec", spec, plain).stdout,
        run_cli("replay", "--spec", spec, str(packed)).stdout,
        run_cli("replay", "--spec", spec, str(renamed)).stdout,
        run_cli("replay", "--spec", spec, "-", stdin=(FIRST + "\n" + SECOND).encode()).stdout,
    ]
    assert outputs[0].startswith(b'{"events":2')
    assert outputs.count(outputs[0]) == len(outputs)


def test_replay_is_byte_identical_to_feeding_by_hand(tmp_path):
    from fenmor_radar.default_spec import default_spec_text
    from fenmor_radar.sample import sample_lines

    lines = sample_lines()[:4000]
    # Threshold 0: every symbol is an alert, so every factor value is compared.
    spec_text = json.dumps({**json.loads(default_spec_text()), "threshold": 0.0, "limit": None})
    spec = write(tmp_path / "spec.json", [spec_text])
    events = write(tmp_path / "events.jsonl", lines)
    result = run_cli("replay", "--spec", spec, events, "--every", "1000")
    assert result.returncode == 0, stderr_text(result)
    replayed = [line.split(",", 2)[2] for line in stdout_lines(result)]

    radar = Radar(spec_text)
    by_hand = []
    for count, line in enumerate(lines, 1):
        record = json.loads(line)
        command = {"cmd": "feed", "symbol": record["symbol"], "event": record["event"]}
        assert radar.command(json.dumps(command)) == '{"ok":true}'
        if count % 1000 == 0:
            by_hand.append(radar.command('{"cmd":"alerts"}'))
    assert ["{" + text for text in replayed] == by_hand
    assert all(reply.endswith('"scanned":50}') and reply.count('"symbol"') == 50 for reply in by_hand)


NOT_A_RECORDING_LINE = 'not a recording line (expected {"symbol": ..., "event": ...})'
BAD_LINES = [
    (
        '{"symbol":"BTCUSDT","event":{"kind":"derivatives","ts":"x","open_interest":1,'
        '"funding_rate":1,"mark_price":1}}',
        'event.ts: invalid type: string "x", expected i64',
    ),
    ('{"symbol":"ETH", "event": {"kind":"orderbook"}', "parse: EOF while parsing an object at line 1 column 46"),
    ('{"a":1,}', "parse: trailing comma at line 1 column 8"),
    ('  {"symbol":"X","event":{"kind":"liquidation","ts":1e400}}', "parse: number out of range at line 1 column 56"),
    ('{"symbol":"X"}', NOT_A_RECORDING_LINE),
    ('{"event":["liquidation",1,"buy",2.0,3.0]}', NOT_A_RECORDING_LINE),
    ("{}", NOT_A_RECORDING_LINE),
    ("[1, 2]", NOT_A_RECORDING_LINE),
    ("nope", "parse: expected ident at line 1 column 2"),
    (
        '{"symbol":"X","event":{"kind":"swap"}}',
        'event.kind: unknown variant "swap", expected one of "derivatives", "orderbook", "liquidation"',
    ),
    ('{"symbol":"X","event":["orderbook",1,2.0]}', 'event: invalid length 2, expected struct variant Event::Orderbook with 5 elements'),
]


@pytest.mark.parametrize(("line", "message"), BAD_LINES)
def test_bad_event_line_names_file_line_and_the_radar_message(tmp_path, spec, line, message):
    events = write(tmp_path / "events.jsonl", [FIRST, line, SECOND])
    # A fault inside the event names its member first; a fault of the text
    # itself keeps the radar's message with its position.
    named = rf"{re.escape(events)}:2: {re.escape(message)}\n"

    strict = run_cli("replay", "--spec", spec, events, "--strict")
    assert strict.returncode == 1
    assert re.search("error: " + named, stderr_text(strict))
    assert "stopped at line 2" in stderr_text(strict)
    assert strict.stdout == b""  # stopped: no checkpoint of a half-replayed input

    lenient = run_cli("replay", "--spec", spec, events)
    assert lenient.returncode == 3
    assert re.search("skipped " + named, stderr_text(lenient))
    assert "skipped 1 bad line (first at line 2)" in stderr_text(lenient)
    # The bad line changed nothing: the other two events still make the alert.
    assert stdout_lines(lenient) == [f'{{"events":2,"ts":2,"alerts":[{ALERT}],"scanned":1}}']


def test_line_that_is_not_utf8_is_skipped_and_counted(tmp_path, spec):
    events = tmp_path / "events.jsonl"
    events.write_bytes(FIRST.encode() + b"\n" + b'{"symbol":"\xff"}\n' + SECOND.encode() + b"\n")
    result = run_cli("replay", "--spec", spec, str(events))
    assert result.returncode == 3
    assert f"{events}:2: not valid UTF-8 (byte 12 of the line)" in stderr_text(result)


def test_line_carrying_its_own_cmd_is_still_only_fed(tmp_path, spec):
    sneaky = SECOND[:-1] + ', "cmd": "reset"}'
    events = write(tmp_path / "events.jsonl", [FIRST, sneaky])
    result = run_cli("replay", "--spec", spec, events)
    assert result.returncode == 0
    assert stdout_lines(result) == [f'{{"events":2,"ts":2,"alerts":[{ALERT}],"scanned":1}}']


def test_many_skipped_lines_are_all_counted_but_only_some_named(tmp_path, spec):
    events = write(tmp_path / "events.jsonl", [FIRST] + ["[]"] * 30 + [SECOND])
    result = run_cli("replay", "--spec", spec, events)
    assert result.returncode == 3
    assert stderr_text(result).count(": skipped ") == 20
    assert "skipped 30 bad lines (first at line 2)" in stderr_text(result)


@pytest.mark.parametrize(
    ("text", "message"),
    [
        ("{}", "parse: missing field `signals` at line 1 column 2"),
        ('{\n  "signals": [\n    {"kind": "foo"}\n  ]\n}', "parse: unknown variant `foo`, expected one of `oi_delta`, `funding_flip`, `book_imbalance`, `liq_cluster`, `oi_price_divergence` at line 3 column 18"),
        ('{"signals": []}', "bad spec: at least one signal is required"),
        ('{"signals": [{"kind": "funding_flip", "params": [1, 2]}]}', "bad spec: funding_flip takes 1 parameter(s), got 2"),
    ],
)
def test_bad_spec_file_shows_the_radar_message(tmp_path, text, message):
    spec = tmp_path / "spec.json"
    spec.write_text(text, encoding="utf-8")
    events = write(tmp_path / "events.jsonl", [FIRST])
    for command in (["replay", "--spec", str(spec), events], ["pipe", "--spec", str(spec)]):
        result = run_cli(*command, stdin=b"")
        assert result.returncode == 1
        assert stderr_text(result) == f"fenmor-radar: error: {spec}: {message}\n"
        assert result.stdout == b""


@pytest.mark.parametrize(
    "args",
    [
        ["replay", "--spec", "{missing}", "{events}"],
        ["replay", "--spec", "{spec}", "{missing}"],
    ],
)
def test_missing_files_are_named(tmp_path, spec, args):
    events = write(tmp_path / "events.jsonl", [FIRST])
    missing = str(tmp_path / "nowhere.json")
    args = [a.format(spec=spec, events=events, missing=missing) for a in args]
    result = run_cli(*args)
    assert result.returncode == 1
    assert missing in stderr_text(result)
    assert "No such file or directory" in stderr_text(result)


def test_damaged_gzip_fails_after_the_lines_it_could_read(tmp_path, spec):
    packed = gzip.compress(("\n".join([FIRST, SECOND] * 2000) + "\n").encode())
    events = tmp_path / "events.jsonl.gz"
    events.write_bytes(packed[: len(packed) - 20])
    result = run_cli("replay", "--spec", spec, str(events))
    assert result.returncode == 1
    message = stderr_text(result)
    assert re.fullmatch(
        rf"fenmor-radar: error: cannot read {re.escape(str(events))} after [\d,]+ lines: "
        r"Compressed file ended before the end-of-stream marker was reached\n",
        message,
    )


@pytest.mark.parametrize(
    "options",
    [
        ["--every", "0"],
        ["--every-ts", "-5"],
        ["--every-ts", "0s"],
        ["--every-ts", "5 minutes"],
        ["--cooldown", "10"],
        ["--format", "xml"],
        ["--from", "tardis", "--workers", "2"],  # the workers read recordings, not CSV files
        ["--scheduler", "localhost"],  # no port
    ],
)
def test_bad_options_are_usage_errors(tmp_path, spec, options):
    events = write(tmp_path / "events.jsonl", [FIRST])
    result = run_cli("replay", "--spec", spec, events, *options)
    assert result.returncode == 2
    assert "error:" in stderr_text(result)


@pytest.mark.parametrize(
    ("cooldown", "expected"),
    [
        ("0", [(1, "new", 0.5), (3, "severity", 0.6), (5, "new", 0.5)]),
        # Within 3 ts of the first report the change at ts 3 stays quiet; the
        # return at ts 5 is news again once the cooldown is over.
        ("3", [(1, "new", 0.5), (5, "new", 0.5)]),
        ("10", [(1, "new", 0.5)]),
    ],
)
def test_new_only_reports_new_and_changed_alerts_with_a_cooldown(tmp_path, cooldown, expected):
    spec = write(tmp_path / "spec.json", [BOOK_SPEC])
    lines = [book(1, 3, 1), book(2, 3, 1), book(3, 4, 1), book(4, 1, 1), book(5, 3, 1)]
    events = write(tmp_path / "events.jsonl", lines)
    result = run_cli(
        "replay", "--spec", spec, events, "--every", "1", "--new-only", "--cooldown", cooldown
    )
    assert result.returncode == 0, stderr_text(result)
    records = [json.loads(line) for line in stdout_lines(result)]
    assert [(r["ts"], r["change"], r["alert"]["severity"]) for r in records] == expected
    assert all(r["rank"] == 1 for r in records)
    first = stdout_lines(result)[0]
    assert first == (
        '{"events":1,"ts":1,"change":"new","rank":1,"alert":{"symbol":"BTCUSDT","severity":0.5,'
        '"factors":{"book_imbalance(1)":0.5,"severity":0.5},"ts":1}}'
    )


def test_table_format_shows_ranked_rows_with_bars_and_escaped_symbols(tmp_path):
    spec = write(tmp_path / "spec.json", [BOOK_SPEC])
    lines = [book(1, 3, 1, "ETHUSDT"), book(2, 4, 1, "BTC\\u001b[2J")]
    events = write(tmp_path / "events.jsonl", lines)
    result = run_cli("replay", "--spec", spec, events, "--format", "table")
    assert result.returncode == 0, stderr_text(result)
    text = result.stdout.decode("utf-8")
    assert "\x1b" not in text
    rows = [line for line in text.splitlines() if line[:1].isdigit()]
    assert rows[0].startswith("1  BTC\\x1b[2J") and "0.600" in rows[0]
    assert rows[1].startswith("2  ETHUSDT") and "0.500" in rows[1]
    assert "book_imbalance(1) 0.60" in rows[0]
    assert "█" in rows[0]
    assert text.startswith("events 2  ts 2  scanned 2  alerts 2\n")
