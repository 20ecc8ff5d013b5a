"""`fenmor-radar replay` with several specs and files, and with inputs that are not what they seem."""

import gzip
import json
import subprocess
import sys
import time
from pathlib import Path

import pytest

from fenmor_radar.replay import BadLine, CheckpointPolicy, replay_files
from test_cli_replay import (
    BOOK_SPEC,
    FIRST,
    FUNDING_SPEC,
    SECOND,
    book,
    run_cli,
    stderr_text,
    stdout_lines,
    write,
)


@pytest.fixture
def spec(tmp_path):
    return write(tmp_path / "spec.json", [FUNDING_SPEC])


def test_several_specs_in_one_pass_label_each_checkpoint_and_match_separate_replays(tmp_path):
    funding = write(tmp_path / "funding.json", [FUNDING_SPEC])
    books = write(tmp_path / "book.json", [BOOK_SPEC])
    events = write(tmp_path / "events.jsonl", [FIRST, book(2, 3, 1), SECOND, book(3, 1, 4, "ETHUSDT")])
    alone = [stdout_lines(run_cli("replay", "--spec", spec, events, "--every", "2")) for spec in (funding, books)]

    both = run_cli("replay", "--spec", funding, "--spec", books, events, "--every", "2")
    assert both.returncode == 0, stderr_text(both)
    expected = []
    for first, second in zip(*alone, strict=True):
        expected += [f'{{"spec":{json.dumps(funding)},{first[1:]}', f'{{"spec":{json.dumps(books)},{second[1:]}']
    assert stdout_lines(both) == expected

    news = run_cli("replay", "--spec", funding, "--spec", books, events, "--every", "1", "--new-only")
    assert [json.loads(line)["spec"] for line in stdout_lines(news)] == [books, funding, books]
    assert all(line.startswith('{"spec":') for line in stdout_lines(news))

    table = run_cli("replay", "--spec", funding, "--spec", books, events, "--format", "table")
    heads = [line for line in table.stdout.decode().splitlines() if line.startswith("spec ")]
    assert heads == [f"spec {funding}  events 4  ts 3  scanned 2  alerts 1", f"spec {books}  events 4  ts 3  scanned 2  alerts 2"]


def test_several_files_replay_as_one_input_with_their_own_line_numbers(tmp_path, spec):
    one = tmp_path / "one.jsonl"
    one.write_bytes(FIRST.encode())  # no line break after the last line
    two = tmp_path / "two.jsonl.gz"
    two.write_bytes(gzip.compress(b"\xef\xbb\xbf\n" + b"[]\n" + SECOND.encode() + b"\n"))
    result = run_cli("replay", "--spec", spec, str(one), str(two))
    assert result.returncode == 3
    assert len(stdout_lines(result)) == 1
    assert stdout_lines(result)[0].startswith('{"events":2,"ts":2,"alerts":[{"symbol":"BTCUSDT"')
    assert f"skipped {two}:2: not a recording line" in stderr_text(result)
    assert f"from {one} (+1 file) in " in stderr_text(result)
    assert f"(first at {two}:2)" in stderr_text(result)


def test_gzip_on_stdin_is_recognised_when_its_first_write_is_one_byte(tmp_path, spec):
    packed = gzip.compress(f"{FIRST}\n{SECOND}\n".encode())
    process = subprocess.Popen(
        [sys.executable, "-m", "fenmor_radar", "replay", "--spec", spec, "-"],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    assert process.stdin is not None
    process.stdin.write(packed[:1])
    process.stdin.flush()
    time.sleep(0.5)
    process.stdin.write(packed[1:])
    out, err = process.communicate(timeout=120)
    assert process.returncode == 0, err
    assert out.decode().startswith('{"events":2,"ts":2,"alerts":[{"symbol":"BTCUSDT"')


def test_truncated_gzip_shows_what_was_read_then_fails(tmp_path, spec):
    lines = [FIRST, SECOND] * 3000
    packed = gzip.compress(("\n".join(lines) + "\n").encode())
    events = tmp_path / "events.jsonl.gz"
    events.write_bytes(packed[: len(packed) * 2 // 3])
    result = run_cli("replay", "--spec", spec, str(events), "--every", "1000")
    assert result.returncode == 1
    records = [json.loads(line) for line in stdout_lines(result)]
    counts = [record["events"] for record in records]
    assert counts[:-1] == list(range(1000, 1000 * len(counts), 1000))
    assert 0 < counts[-1] - counts[-2] < 1000  # the end checkpoint of the events read
    assert "cannot read" in stderr_text(result) and "end-of-stream marker" in stderr_text(result)


def test_a_file_that_is_not_a_recording_is_named_with_its_first_line_escaped(tmp_path, spec):
    pretty = tmp_path / "spec_by_mistake.json"
    pretty.write_text('{\n  "signals": [\x1b[2J\n    {"kind": "funding_flip"}\n  ]\n}\n', encoding="utf-8")
    result = run_cli("replay", "--spec", spec, str(pretty))
    assert result.returncode == 1
    assert stderr_text(result) == (
        f"fenmor-radar: error: {pretty} does not look like a recording: no event line in its "
        "first 5 lines; it starts with: {\n"
    )
    noise = tmp_path / "noise.txt"
    noise.write_text("\x1b]0;title\x07" + "x" * 200 + "\n" + "more\n" * 150, encoding="utf-8")
    result = run_cli("replay", "--spec", spec, str(noise))
    assert result.returncode == 1
    message = stderr_text(result)
    assert "\x1b" not in message and "\x07" not in message
    assert message.endswith("it starts with: \\x1b]0;title\\x07" + "x" * 50 + "...\n")


def test_messages_quoting_a_line_never_carry_control_characters(tmp_path, spec):
    hostile = '{"symbol":"X","event":{"kind":"\\u001b]0;title\\u0007\\u001b[2J","ts":2}}'
    events = write(tmp_path / "events.jsonl", ["\ufeff" + FIRST, hostile, SECOND])
    result = run_cli("replay", "--spec", spec, events)
    assert result.returncode == 3
    text = stderr_text(result)
    assert "\x1b" not in text and "\x07" not in text
    assert f"skipped {events}:2: " in text and "\\x1b]0;title\\x07\\x1b[2J" in text
    assert stdout_lines(result)[0].startswith('{"events":2,"ts":2,')  # the BOM did not cost line 1


def test_python_api_replays_several_specs_as_separate_replays(tmp_path):
    lines = [book(1, 3, 1), FIRST, "[]", SECOND, book(3, 1, 4, "ETHUSDT"), book(4, 2, 1)]
    events = write(tmp_path / "events.jsonl", lines)
    policy = CheckpointPolicy(every=2)
    items = list(replay_files(events, [FUNDING_SPEC, BOOK_SPEC], policy))
    assert [item.number for item in items if isinstance(item, BadLine)] == [3]
    # A path, a spec dict and a spec file's path (str or Path) mean the same.
    spec_file = tmp_path / "book.json"
    spec_file.write_text(BOOK_SPEC)
    for spec in (json.loads(BOOK_SPEC), str(spec_file), spec_file):
        again = list(replay_files(Path(events), [FUNDING_SPEC, spec], policy))
        assert again == items
    for index, spec_text in enumerate([FUNDING_SPEC, BOOK_SPEC]):
        alone = [item.checkpoint() for item in replay_files(events, spec_text, policy)
                 if not isinstance(item, BadLine)]
        together = [item.checkpoint(index) for item in items if not isinstance(item, BadLine)]
        assert together == alone


def test_recording_blocks_stay_small_whatever_the_compression(tmp_path):
    import io

    from fenmor_radar.replay import Recording

    line = b'{"symbol":"BTCUSDT","event":["liquidation",1,"buy",1.0,2.0]}\n'
    data = line * 200_000  # 12 MB that gzip packs into a few kB
    # Two members, as `cat a.gz b.gz`, with the zero padding some tools leave between them.
    packed = gzip.compress(data[:1000]) + bytes(512) + gzip.compress(data[1000:]) + bytes(3)
    recording = Recording("-", stdin=io.BytesIO(packed), block_size=1 << 16)
    sizes = []
    out = bytearray()
    for block in recording.blocks():
        sizes.append(len(block))
        out += block
    assert out == data
    assert max(sizes) <= 1 << 16
    split_bom = Recording("-", stdin=io.BufferedReader(io.BytesIO(b"\xef\xbb\xbf" + line + b"\n" + line), 1), block_size=1)
    assert [event.number for event in split_bom.lines()] == [1, 3]


def test_many_files_are_opened_one_at_a_time_and_summarised(tmp_path, spec):
    import resource

    paths = [write(tmp_path / f"part{n:03}.jsonl", [book(n, 3, 1)]) for n in range(100)]

    def few_descriptors():
        resource.setrlimit(resource.RLIMIT_NOFILE, (64, 64))

    result = subprocess.run(
        [sys.executable, "-m", "fenmor_radar", "replay", "--spec", spec, *paths],
        capture_output=True,
        timeout=120,
        preexec_fn=few_descriptors,
    )
    assert result.returncode == 0, stderr_text(result)
    assert f"replayed 100 events for 1 symbol from {paths[0]} (+99 files) in " in stderr_text(result)
    assert result.stderr.count(b"\n") == 1
