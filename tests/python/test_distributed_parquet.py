"""The Dask replay over Parquet recordings, alone and mixed with JSON lines: the same
items, bad rows and counts as the single replay, through the exchange and split by
spec in one process, and from the command line on worker processes."""

import math
import random
from pathlib import Path

import pytest

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")
fsspec = pytest.importorskip("fsspec")

from fenmor_radar.distributed import columnar_parts  # noqa: E402
from fenmor_radar.distributed.driver import (  # noqa: E402
    BadEventLine,
    MergedCheckpoint,
    check_specs,
    replay_parts_on,
)
from fenmor_radar.distributed.exchange import (  # noqa: E402
    ExchangeWorkers,
    InProcessReaders,
    InProcessShards,
)
from fenmor_radar.distributed.parts import plan_parts  # noqa: E402
from fenmor_radar.distributed.spec_split import SpecGroups  # noqa: E402
from fenmor_radar.replay import CheckpointReplies, replay_files  # noqa: E402
from fenmor_radar.replay.checkpoints import CheckpointPolicy  # noqa: E402
from fenmor_radar.replay.items import BadLine, ReplayStats  # noqa: E402
from test_distributed_by_parts import InProcessWorkers  # noqa: E402
from test_distributed_parts import (  # noqa: E402
    SPECS,
    SYMBOLS,
    assert_same_stats,
    event,
    recording,
    write_lines,
)

NUMBERS = ["open_interest", "funding_rate", "mark_price", "bid_volume", "ask_volume", "best_bid",
           "best_ask", "qty", "price"]


def parquet_rows(seed, count):
    """Rows as pyarrow writes them: mostly events, some the radar refuses (a null symbol,
    ts or number, an unknown kind or side, NaN or infinity), some with cells of another kind."""
    rng = random.Random(seed)
    ts = 1000
    rows = []
    for _ in range(count):
        ts += rng.choice((0, 1, 3, 7, 20))
        _, body = event(rng, ts - (40 if rng.random() < 0.1 else 0))
        row = {"symbol": rng.choice(SYMBOLS), **body}
        trouble = rng.randrange(40)
        if trouble == 0:
            row[rng.choice(["symbol", "ts", *(name for name in body if name in NUMBERS)])] = None
        elif trouble == 1:
            row["kind"] = rng.choice(["trade", "Orderbook", ""])
        elif trouble == 2 and "side" in row:
            row["side"] = "sideways"
        elif trouble == 3:
            number = rng.choice([name for name in body if name in NUMBERS])
            row[number] = rng.choice([math.nan, math.inf, -math.inf])
        elif trouble == 4:
            row[rng.choice(NUMBERS)] = 1.25  # ignored unless it is the kind's own
        rows.append(row)
    return rows


def write_parquet(path, rows, dictionary, row_group_size):
    columns = {"symbol": pa.array([row.get("symbol") for row in rows], pa.string()),
               "kind": pa.array([row.get("kind") for row in rows], pa.string()),
               "ts": pa.array([row.get("ts") for row in rows], pa.int64())}
    for name in NUMBERS:
        columns[name] = pa.array([row.get(name) for row in rows], pa.float64())
    columns["side"] = pa.array([row.get("side") for row in rows], pa.string())
    table = pa.table(columns)
    if dictionary:
        table = table.set_column(0, "symbol", table.column("symbol").dictionary_encode())
    pq.write_table(table, path, row_group_size=row_group_size)
    return str(path)


def inputs(tmp_path, seed):
    """A JSON-lines file between a folder of two Parquet files and a Parquet file."""
    folder = tmp_path / "folder.parquet.d"
    folder.mkdir()
    write_parquet(folder / "b.parquet", parquet_rows(seed + 1, 150), True, 40)
    write_parquet(folder / "a.parquet", parquet_rows(seed, 250), False, 33)
    lines = write_lines(tmp_path / "lines.jsonl.gz", recording(seed + 2, 300, bad=0.03),
                        compress=True)
    file = write_parquet(tmp_path / "last.parquet", parquet_rows(seed + 3, 200), True, 40)
    return [str(folder), lines, file]


def as_single(items, several=True):
    return [BadLine(item.number, item.message, item.field, item.source if several else None)
            if isinstance(item, BadEventLine) else item for item in items]


def single_items(paths, policy, strict, stats, watch=True):
    return [MergedCheckpoint(item.events, item.ts, item.replies, item.peaks)
            if isinstance(item, CheckpointReplies) else item
            for item in replay_files(paths, SPECS, policy, strict=strict, stats=stats,
                                     crossings=watch, peaks=watch)]


@pytest.mark.parametrize(
    ("seed", "readers", "shards", "part_bytes", "unit_lines", "policy", "strict"),
    [
        (61, 1, 1, 1 << 26, 1 << 18, CheckpointPolicy(every=13), False),
        (62, 2, 3, 1, 5, CheckpointPolicy(every=17, every_ts=50), False),  # a row group a part
        (63, 3, 2, 3000, 1, CheckpointPolicy(every=1, every_ts=20), False),
        (64, 2, 4, 1 << 26, 64, CheckpointPolicy(every_ts=30), True),
        (65, 1, 5, 1, 33, CheckpointPolicy(), False),
    ],
)
def test_parquet_and_json_lines_through_the_exchange_equal_the_single_replay(
        tmp_path, monkeypatch, seed, readers, shards, part_bytes, unit_lines, policy, strict):
    """Every row decoded once by its reader and sent to its shard: every checkpoint,
    crossing, peak, bad row (numbered on through a folder's files and a file's parts,
    named by the recording) and count as the single replay gives them; files cut into
    parts at their row groups, units cut inside batches and across files."""
    paths = inputs(tmp_path, seed)
    specs, limits = check_specs(SPECS)
    stats = ReplayStats()
    workers = ExchangeWorkers(InProcessReaders(readers), InProcessShards(shards), parts_ahead=2)
    # Files this small have no row group at a multiple of the single replay's batch.
    monkeypatch.setattr(columnar_parts, "ALIGNED_ROWS", 1)
    parts = plan_parts(paths, part_bytes)
    assert (part_bytes < 1 << 26) == any(part.row_groups for part in parts)
    items = list(replay_parts_on(workers, parts, specs, limits, policy, strict,
                                 stats, unit_lines, crossings=True, peaks=True))
    want_stats = ReplayStats()
    want = single_items(paths, policy, strict, want_stats)
    assert as_single(items) == want
    assert sum(isinstance(item, BadLine) and item.source == paths[0] for item in want) > (0 if strict else 3)
    assert_same_stats(stats, want_stats)
    assert stats.first_backwards == want_stats.first_backwards


@pytest.mark.parametrize("groups", [1, 3])
def test_parquet_split_by_spec_equals_the_single_replay(tmp_path, groups):
    paths = inputs(tmp_path, 71)
    specs, limits = check_specs(SPECS)
    policy = CheckpointPolicy(every=11, every_ts=40)
    stats = ReplayStats()
    items = list(replay_parts_on(SpecGroups(InProcessWorkers(groups)), plan_parts(paths), specs,
                                 limits, policy, False, stats, 50, crossings=True, peaks=True))
    want_stats = ReplayStats()
    assert as_single(items) == single_items(paths, policy, False, want_stats)
    assert_same_stats(stats, want_stats)


@pytest.mark.parametrize("clustered", [False, True])
def test_a_parquet_url_is_read_through_fsspec(tmp_path, monkeypatch, clustered):
    """A Parquet file the workers reach by URL (here fsspec's memory filesystem, as it would
    be s3://...) replays as the same file on disk, in input order whatever its layout."""
    rows = parquet_rows(81, 300)
    if clustered:  # as written by convert: every row has its symbol, kind and ts
        rows = [row for row in rows if None not in (row["symbol"], row["kind"], row["ts"])]
    local = write_parquet(tmp_path / "events.parquet", rows, True, 50)
    sent = local
    if clustered:
        from fenmor_radar.columnar.schema import recording_schema
        from fenmor_radar.columnar.writer import ParquetRecordingWriter

        sent = str(tmp_path / "clustered.parquet")
        with ParquetRecordingWriter(sent, cluster_symbols=True, segment_rows=70, groups=4,
                                    min_group_rows=5) as writer:
            schema = recording_schema()
            for batch in pq.read_table(local).select(schema.names).cast(schema).to_batches():
                writer.write_batch(batch)
    url = f"memory://h/events-{clustered}.parquet"
    with fsspec.open(url, "wb") as file:
        file.write(Path(sent).read_bytes())
    policy = CheckpointPolicy(every=23)
    specs, limits = check_specs(SPECS)
    # A part a row group, or a segment of the clustered file: each put back in order.
    monkeypatch.setattr(columnar_parts, "ALIGNED_ROWS", 1)
    parts = plan_parts([url], part_bytes=1)
    assert len(parts) == (5 if clustered else 6)
    got = list(replay_parts_on(ExchangeWorkers(InProcessReaders(2), InProcessShards(3)),
                               parts, specs, limits, policy, False, ReplayStats(), 40))
    want = single_items([local], policy, False, ReplayStats(), watch=False)
    assert as_single(got, several=False) == want
    assert any(isinstance(item, BadLine) for item in want)


def damage(path):
    """Garbles a page header of the file's fourth row group: it breaks off there."""
    data = bytearray(Path(path).read_bytes())
    at = pq.ParquetFile(path).metadata.row_group(3).column(0).data_page_offset
    data[at : at + 64] = b"\xff" * 64
    Path(path).write_bytes(bytes(data))


@pytest.mark.parametrize(
    ("watch", "damaged"),
    [
        (["--every", "37", "--new-only", "--cooldown", "50"], False),
        (["--crossings", "--peaks", "--strict"], False),
        (["--split", "specs", "--crossings"], False),
        (["--every", "41"], True),
    ],
)
def test_command_line_workers_print_what_the_single_replay_prints(tmp_path, watch, damaged):
    pytest.importorskip("distributed")
    from test_distributed import run_cli

    paths = inputs(tmp_path, 91)
    if damaged:  # told as the single replay tells it: that file, its rows read
        damage(paths[2])
    specs = [write_lines(tmp_path / f"spec-{n}.json", [SPECS[n].encode()]) for n in (1, 0)]
    options = ["--spec", specs[0], "--spec", specs[1], "--every-ts", "100", "--format", "json",
               "-q", *watch]
    alone = run_cli(*(option for option in options if option not in ("--split", "specs")), *paths)
    sharded = run_cli(*options, "--workers", "2", *paths)
    assert alone.returncode == sharded.returncode == (1 if "--strict" in watch or damaged else 3)
    assert sharded.stdout == alone.stdout and alone.stdout.count(b"\n") > 3
    assert sharded.stderr == alone.stderr and paths[0].encode() + b":" in alone.stderr
    assert not damaged or b"error: cannot read " + paths[2].encode() + b":" in alone.stderr


def test_a_parquet_file_without_a_recordings_columns_is_refused_before_any_cluster_work(tmp_path):
    pytest.importorskip("distributed")
    from test_distributed import run_cli

    good = write_parquet(tmp_path / "good.parquet", parquet_rows(95, 20), True, 10)
    odd = tmp_path / "odd.parquet"
    pq.write_table(pa.table({"symbol": ["BTCUSDT"], "ts": [1]}), odd)
    spec = write_lines(tmp_path / "spec.json", [SPECS[0].encode()])
    alone = run_cli("--spec", spec, good, str(odd))
    # The scheduler is unreachable: the refusal must come before any attempt to reach it.
    sharded = run_cli("--spec", spec, good, str(odd), "--scheduler", "tcp://127.0.0.1:1")
    assert alone.returncode == sharded.returncode == 1
    assert b"has no `kind` column" in alone.stderr and sharded.stderr == alone.stderr
