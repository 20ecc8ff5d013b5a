"""Parquet recordings: the same events replayed from Parquet and from JSON lines
give the same output byte for byte; conversions both ways; what is selected;
alerts out as Parquet."""

import json
import math
import subprocess
import sys

import pytest

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")
hypothesis = pytest.importorskip("hypothesis")
st = hypothesis.strategies

from fenmor_radar.columnar.selection import Selection  # noqa: E402
from fenmor_radar.replay import CheckpointPolicy, FeederReplay, replay_files  # noqa: E402
from fenmor_radar.replay.feeder_loop import new_feeder, open_recording  # noqa: E402

SPECS = [
    json.dumps({"signals": [{"kind": "funding_flip", "params": [0.0001]},
                            {"kind": "book_imbalance", "params": [0.2]}], "threshold": 0.1}),
    json.dumps({"signals": [{"kind": "oi_delta", "params": [2, 0.01]},
                            {"kind": "liq_cluster", "params": [2, 1]}], "threshold": 0.0, "limit": 3}),
]
FLOAT_FIELDS = {
    "derivatives": ["open_interest", "funding_rate", "mark_price"],
    "orderbook": ["bid_volume", "ask_volume", "best_bid", "best_ask"],
    "liquidation": ["qty", "price"],
}
NUMBERS = [name for names in FLOAT_FIELDS.values() for name in names]


def run_cli(*args):
    return subprocess.run([sys.executable, "-m", "fenmor_radar", *args], capture_output=True, timeout=120)


def line_of(row):
    """The recording line of a row: a member for every non-null cell."""
    event = {key: value for key, value in row.items() if key != "symbol" and value is not None}
    line = {"event": event}
    if row.get("symbol") is not None:
        line = {"symbol": row["symbol"], **line}
    return json.dumps(line, ensure_ascii=False)


def table_of(rows, dictionary=True):
    columns = {"symbol": [r.get("symbol") for r in rows], "kind": [r.get("kind") for r in rows],
               "ts": pa.array([r.get("ts") for r in rows], pa.int64())}
    for name in NUMBERS:
        columns[name] = pa.array([r.get(name) for r in rows], pa.float64())
    columns["side"] = [r.get("side") for r in rows]
    table = pa.table(columns)
    if dictionary:
        table = table.set_column(0, "symbol", table.column("symbol").dictionary_encode())
    return table


def replayed(paths, policy, strict=False, selection=None):
    """Every item of the replay; JSON lines are not probed (a file of a few bad lines
    is no recording there, a Parquet file is one by its columns)."""
    if selection is not None:
        return list(replay_files(paths, SPECS, policy, strict=strict, selection=selection))
    feeder = new_feeder(SPECS, policy, strict)
    recordings = [open_recording(path) for path in paths]
    return list(FeederReplay(feeder, probe=False).run(recordings))


finite = st.one_of(
    st.floats(allow_nan=False, allow_infinity=False),
    st.sampled_from([0.0, -0.0, 5e-324, 1.7976931348623157e308, 0.1, 1e-7, 123.456, 9007199254740993.0]),
    st.integers(-5, 50).map(float),
)
extreme_ts = st.one_of(st.integers(0, 5_000), st.sampled_from([-(2**63), 2**63 - 1, -1, 0]))


@st.composite
def rows(draw):
    kind = draw(st.sampled_from(list(FLOAT_FIELDS)))
    row = {"symbol": draw(st.sampled_from(["BTCUSDT", "ETHUSDT", "é€😀", 'A"B', "\x1b[2J", ""])),
           "kind": kind, "ts": draw(extreme_ts)}
    for name in FLOAT_FIELDS[kind]:
        row[name] = draw(finite)
    if kind == "liquidation":
        row["side"] = draw(st.sampled_from(["buy", "sell"]))
    # What the radar refuses, and what it ignores.
    trouble = draw(st.integers(0, 9))
    if trouble == 0:
        row["side"] = draw(st.sampled_from(["BUY", "sideways", "", "sell "]))
    elif trouble == 1:
        row[draw(st.sampled_from(["symbol", "kind", "ts", *FLOAT_FIELDS[kind]]))] = None
    elif trouble == 2:
        row["kind"] = draw(st.sampled_from(["trade", "Derivatives", ""]))
    elif trouble == 3:
        row[draw(st.sampled_from(NUMBERS))] = draw(finite)  # a number of another kind
    return row


@hypothesis.settings(max_examples=60, deadline=None, derandomize=True,
                     suppress_health_check=list(hypothesis.HealthCheck))
@hypothesis.given(
    events=st.lists(rows(), min_size=0, max_size=60),
    every=st.sampled_from([None, 1, 3]),
    every_ts=st.sampled_from([None, 7, 1000]),
    strict=st.booleans(),
    dictionary=st.booleans(),
)
def test_parquet_replays_as_the_same_lines_do(tmp_path_factory, events, every, every_ts, strict, dictionary):
    directory = tmp_path_factory.mktemp("same")
    lines = directory / "events.jsonl"
    lines.write_text("".join(line_of(row) + "\n" for row in events), encoding="utf-8")
    parquet = directory / "events.parquet"
    pq.write_table(table_of(events, dictionary), parquet, row_group_size=7)
    policy = CheckpointPolicy(every=every, every_ts=every_ts)
    assert replayed([str(parquet)], policy, strict) == replayed([str(lines)], policy, strict)


def test_numbers_json_cannot_hold_are_refused_by_row(tmp_path):
    rows_ = [
        {"symbol": "X", "kind": "liquidation", "ts": 1, "side": "buy", "qty": math.nan, "price": 1.0},
        {"symbol": "X", "kind": "liquidation", "ts": 2, "side": "buy", "qty": 1.0, "price": math.inf},
        {"symbol": "X", "kind": "liquidation", "ts": 3, "side": "buy", "qty": 1.0, "price": 2.0},
    ]
    path = tmp_path / "nan.parquet"
    pq.write_table(table_of(rows_), path)
    result = run_cli("replay", "--spec", write_spec(tmp_path), str(path), "--format", "json")
    assert result.returncode == 3
    stderr = result.stderr.decode()
    assert f"skipped {path}:1: event.qty: invalid value: floating point \"NaN\", expected a finite f64" in stderr
    assert f"skipped {path}:2: event.price: invalid value: floating point \"inf\"" in stderr
    assert "replayed 1 event" in stderr


def write_spec(directory, index=0):
    spec = directory / f"spec{index}.json"
    spec.write_text(SPECS[index])
    return str(spec)


@pytest.fixture
def recording(tmp_path):
    """A sample recording with a few bad lines, a blank line and a BOM."""
    result = run_cli("sample", "-o", str(tmp_path / "sample.jsonl"), "--spec-out", str(tmp_path / "spec.json"))
    assert result.returncode == 0, result.stderr
    text = (tmp_path / "sample.jsonl").read_text(encoding="utf-8").splitlines()
    text.insert(3, '{"symbol":"X","event":{"kind":"liquidation","ts":5,"side":"up","qty":1,"price":1}}')
    text.insert(10, "")
    text.insert(20, "not json")
    path = tmp_path / "events.jsonl"
    path.write_text("\ufeff" + "\n".join(text) + "\n", encoding="utf-8")
    return path


def test_convert_round_trip_feeds_the_radar_identically(tmp_path, recording):
    parquet = tmp_path / "events.parquet"
    result = run_cli("convert", str(recording), "-o", str(parquet))
    assert result.returncode == 3  # lines left out
    stderr = result.stderr.decode()
    assert f'skipped {recording}:4: event.side: unknown variant "up", expected "buy" or "sell"' in stderr
    assert f"skipped {recording}:21: " in stderr
    back = tmp_path / "back.jsonl.gz"
    assert run_cli("convert", str(parquet), "-o", str(back)).returncode == 0
    outputs = []
    for path in (recording, parquet, back):
        result = run_cli("replay", "--spec", str(tmp_path / "spec.json"), "--spec", write_spec(tmp_path, 1),
                         str(path), "--every-ts", "600000", "--format", "json")
        outputs.append(result.stdout)
        assert result.stdout
    assert outputs[0] == outputs[1] == outputs[2]
    # Every event kept, in its order, with its doubles.
    table = pq.read_table(parquet)
    metadata = pq.ParquetFile(parquet).metadata
    assert table.num_rows == 36_932
    assert metadata.row_group(0).column(0).compression == "ZSTD"
    assert metadata.row_group(0).column(0).statistics.has_min_max
    assert pa.types.is_dictionary(table.schema.field("symbol").type)


def test_a_folder_of_files_replays_in_name_order(tmp_path, recording):
    parquet = tmp_path / "all.parquet"
    run_cli("convert", str(recording), "-o", str(parquet))
    table = pq.read_table(parquet)
    folder = tmp_path / "parts"
    folder.mkdir()
    half = table.num_rows // 2
    pq.write_table(table.slice(half), folder / "b.parquet")
    pq.write_table(table.slice(0, half), folder / "a.parquet")
    policy = CheckpointPolicy(every_ts=300_000)
    assert replayed([str(folder)], policy) == replayed([str(parquet)], policy)


def test_a_selection_replays_as_the_selected_lines_do(tmp_path, recording):
    parquet = tmp_path / "events.parquet"
    run_cli("convert", str(recording), "-o", str(parquet))
    lines = [json.loads(line) for line in recording.read_text(encoding="utf-8-sig").splitlines()[:3]]
    symbols = ["SOLUSDT", "ETHUSDT"]
    start = lines[0]["event"][1] + 600_000
    selection = Selection.of(symbols, start, start + 1_200_000)
    kept = tmp_path / "kept.jsonl"
    with open(kept, "w", encoding="utf-8") as out:
        for raw in recording.read_text(encoding="utf-8-sig").splitlines():
            try:
                line = json.loads(raw)
            except ValueError:
                continue
            event = line.get("event", {})
            ts = event.get("ts", 0) if isinstance(event, dict) else event[1]
            if line.get("symbol") in symbols and start <= ts < start + 1_200_000:
                out.write(raw + "\n")
    policy = CheckpointPolicy(every=500, every_ts=60_000)
    expected = [item for item in replayed([str(kept)], policy) if not hasattr(item, "message")]
    assert expected and len(expected) > 3
    for path in (parquet, recording):
        got = [item for item in replayed([str(path)], policy, selection=selection) if not hasattr(item, "message")]
        assert got == expected


def test_alerts_out_as_parquet(tmp_path, recording):
    spec = str(tmp_path / "spec.json")
    out = tmp_path / "alerts.parquet"
    args = ["replay", "--spec", spec, "--spec", write_spec(tmp_path, 1), str(recording), "--every-ts", "600000"]
    assert run_cli(*args, "--format", "parquet", "-o", str(out)).returncode == 3
    checkpoints = [json.loads(line) for line in run_cli(*args, "--format", "json").stdout.splitlines()]
    expected = [(c["spec"], c["events"], c["ts"], rank, a["symbol"], a["severity"], a["ts"], a["factors"])
                for c in checkpoints for rank, a in enumerate(c["alerts"], 1)]
    table = pq.read_table(out)
    got = [(r["spec"], r["events"], r["checkpoint_ts"], r["rank"], r["symbol"], r["severity"], r["ts"],
            {k: v for k, v in r["factors"].items() if v is not None}) for r in table.to_pylist()]
    assert got == expected
    assert table.num_rows > 10


def test_convert_and_replay_refuse_what_is_not_a_recording(tmp_path):
    other = tmp_path / "other.parquet"
    pq.write_table(pa.table({"price": [1.0]}), other)
    result = run_cli("replay", "--spec", write_spec(tmp_path), str(other))
    assert result.returncode == 1
    assert "is not a recording: it has no `symbol`, `kind`, `ts` column" in result.stderr.decode()
    result = run_cli("replay", "--spec", write_spec(tmp_path), str(other), "--format", "parquet")
    assert result.returncode == 2


def test_the_feeder_refuses_batches_it_cannot_read():
    from fenmor_radar._native import LineFeeder

    feeder = LineFeeder(SPECS[:1])
    with pytest.raises(TypeError, match="__arrow_c_array__"):
        feeder.feed_columns(object())
    float_ts = pa.record_batch({"symbol": ["X"], "kind": ["derivatives"], "ts": [1.0]})
    with pytest.raises(ValueError, match="column `ts` has Arrow format `g`, expected int64"):
        feeder.feed_columns(float_ts)
    feeder.feed(b'{"symbol":"X",')
    good = pa.record_batch({"symbol": ["X"], "kind": ["derivatives"], "ts": pa.array([1], pa.int64())})
    with pytest.raises(ValueError, match="must end with a line break"):
        feeder.feed_columns(good)
    assert feeder.events == 0


def test_rows_left_by_the_room_come_with_resume(tmp_path, recording):
    from fenmor_radar._native import LineFeeder

    parquet = tmp_path / "events.parquet"
    run_cli("convert", str(recording), "-o", str(parquet))
    batch = pq.read_table(parquet).slice(0, 3000).combine_chunks().to_batches()[0]
    whole = LineFeeder(SPECS, every_events=7)
    expected = whole.feed_columns(batch) + whole.finish()
    narrow = LineFeeder(SPECS, every_events=7, room=64)
    got = narrow.feed_columns(batch)
    assert narrow.pending
    with pytest.raises(ValueError, match="pending"):
        narrow.feed_columns(batch)
    while narrow.pending:
        got += narrow.resume()
    assert got + narrow.finish() == expected


def clustered(recording, path, **sizes):
    """The recording written clustered by symbol (small segments and row groups so a
    sample has several of each)."""
    from fenmor_radar.columnar.convert import write_parquet
    from fenmor_radar.columnar.writer import ParquetRecordingWriter

    with ParquetRecordingWriter(str(path), cluster_symbols=True, **sizes) as writer:
        write_parquet(str(recording), writer, lambda *bad: None)
    return path


def test_a_file_clustered_by_symbol_reads_in_input_order(tmp_path, recording):
    from fenmor_radar.columnar.recording import ParquetRecording

    plain = tmp_path / "plain.parquet"
    run_cli("convert", str(recording), "-o", str(plain))
    cut = clustered(recording, tmp_path / "cut.parquet", segment_rows=5_000, groups=12, min_group_rows=100)
    metadata = pq.ParquetFile(cut).metadata
    assert metadata.num_row_groups > 40
    first = pq.read_table(cut, columns=["symbol", "seq"]).slice(0, 2_000)
    assert first.column("symbol").to_pylist() == sorted(first.column("symbol").to_pylist())
    assert first.column("seq").to_pylist() != sorted(first.column("seq").to_pylist())
    policy = CheckpointPolicy(every=700, every_ts=120_000)
    assert replayed([str(cut)], policy) == replayed([str(plain)], policy)
    # Mixed with a file in input order, in a folder: each file read in its own layout.
    folder = tmp_path / "parts"
    folder.mkdir()
    cut.rename(folder / "a.parquet")
    pq.write_table(pq.read_table(plain).slice(0, 999), folder / "b.parquet")
    assert replayed([str(folder)], policy) == replayed([str(plain), str(folder / "b.parquet")], policy)
    # A selection reads only the row groups that can hold it, and replays as
    # the same selection of the file in input order does.
    selection = Selection.of(["SOLUSDT"], from_ts=1)
    got = replayed([str(folder / "a.parquet")], policy, selection=selection)
    assert got == replayed([str(plain)], policy, selection=selection) and len(got) > 3
    reading = ParquetRecording(str(folder / "a.parquet"), selection)
    assert 0 < reading.bytes_to_read() < 0.25 * (folder / "a.parquet").stat().st_size
    # Back to JSON lines: the lines of the file in input order.
    back, plain_back = tmp_path / "back.jsonl", tmp_path / "plain-back.jsonl"
    assert run_cli("convert", str(folder / "a.parquet"), "-o", str(back)).returncode == 0
    assert run_cli("convert", str(plain), "-o", str(plain_back)).returncode == 0
    assert back.read_bytes() == plain_back.read_bytes()


def test_the_clustered_layout_from_the_command_line(tmp_path, recording):
    spec = str(tmp_path / "spec.json")
    out = tmp_path / "events.parquet"
    result = run_cli("convert", str(recording), "-o", str(tmp_path / "x.jsonl"), "--cluster-symbols")
    assert result.returncode == 2 and b"--cluster-symbols lays out a Parquet recording" in result.stderr
    assert run_cli("convert", str(recording), "-o", str(out), "--cluster-symbols").returncode == 3
    assert pq.ParquetFile(out).schema_arrow.metadata[b"fenmor_radar.layout"] == b"clustered-by-symbol"
    outputs = [run_cli("replay", "--spec", spec, str(path), "--every", "999", "--format", "json").stdout
               for path in (recording, out)]
    assert outputs[0] == outputs[1] and outputs[0]
    # A layout this version does not know is refused, not read out of order.
    table = pq.read_table(out)
    odd = tmp_path / "odd.parquet"
    pq.write_table(table.replace_schema_metadata({"fenmor_radar.layout": "by-moon-phase"}), odd)
    result = run_cli("replay", "--spec", spec, str(odd))
    assert result.returncode == 1 and b"laid out as 'by-moon-phase'" in result.stderr


def test_input_order_keeps_every_row_whatever_the_seq():
    import pyarrow.compute as pc

    from fenmor_radar.columnar.recording import input_order

    for chunks in ([[5, 3, 9], [4, 100]], [[7, 2, 7], [1]], [[2**40, 3], [2**40 + 1]], [[]]):
        seq = pa.chunked_array(chunks, pa.int64())
        assert input_order(pc, seq).to_pylist() == pc.sort_indices(seq).to_pylist()


def test_many_symbols_replay_as_their_lines_do_on_one_or_two_workers(tmp_path):
    """Batches long enough that the events between checkpoints are applied on the
    worker pool, grouped by symbol: the same output as the JSON lines, with the pool
    at one worker and at two."""
    import os
    import random
    import re

    rng = random.Random(27)
    names = [f"S{i:03d}" for i in range(400)]
    rows_, clock = [], 0
    for index in range(12_000):
        kind = rng.choice(list(FLOAT_FIELDS))
        clock += rng.randrange(3)
        row = {"symbol": rng.choice(names), "kind": kind, "ts": clock - rng.randrange(50) * (rng.random() < 0.03)}
        for name in FLOAT_FIELDS[kind]:
            row[name] = round(rng.uniform(-5, 100), rng.randrange(1, 6))
        if kind == "liquidation":
            row["side"] = rng.choice(["buy", "sell"])
        if index > 6_000 and rng.random() < 0.02:  # bad rows, and --strict's stop, late
            row[rng.choice(["kind", "ts", *FLOAT_FIELDS[kind]])] = None
        rows_.append(row)
    lines = tmp_path / "events.jsonl"
    lines.write_text("".join(line_of(row) + "\n" for row in rows_), encoding="utf-8")
    parquet = tmp_path / "events.parquet"
    pq.write_table(table_of(rows_), parquet, row_group_size=5_000)
    specs = ["--spec", write_spec(tmp_path, 0), "--spec", write_spec(tmp_path, 1)]

    def replay(path, workers, *policy):
        result = subprocess.run([sys.executable, "-m", "fenmor_radar", "replay", *specs, str(path), *policy,
                                 "--format", "json", "--no-progress"], capture_output=True, timeout=120,
                                env={**os.environ, "FENMOR_RADAR_WORKERS": str(workers)})
        stderr = result.stderr.decode().replace(str(path), "FILE")
        return result.returncode, result.stdout, re.sub(r"in [0-9.]+ s \([0-9,]+ events/s\)", "", stderr)

    for policy in (["--every", "2500"], ["--every-ts", "3000", "--strict"]):
        expected = replay(lines, 2, *policy)
        assert expected[1].count(b"\n") > 2
        for workers in (1, 2):
            assert replay(parquet, workers, *policy) == expected, (policy, workers)
