"""The distributed replay on a real Dask cluster, and ``fenmor-radar replay --workers``.

Most cases run on one in-process local cluster (2 workers, threads); losing
a worker needs worker processes, and the command line starts its own.
"""

import os
import signal
import subprocess
import sys
from pathlib import Path

import pytest

distributed = pytest.importorskip("distributed")

from fenmor_radar import Crossing  # noqa: E402
from fenmor_radar.distributed import (  # noqa: E402
    BadEventLine,
    MergedCheckpoint,
    WorkerLost,
    replay,
)
from fenmor_radar.distributed.parts import plan_parts  # noqa: E402
from fenmor_radar.distributed.probe import check_recordings  # noqa: E402
from fenmor_radar.replay import replay_files  # noqa: E402
from fenmor_radar.replay.checkpoints import CheckpointPolicy  # noqa: E402
from fenmor_radar.replay.items import ReplayStats  # noqa: E402
from test_distributed_parts import (  # noqa: E402
    SPECS,
    assert_same_stats,
    per_spec,
    recording,
    single,
    spec_text,
    write_lines,
)


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=False, dashboard_address=":0"
    ) as cluster, distributed.Client(cluster) as dask_client:
        yield dask_client


@pytest.mark.parametrize(
    ("shards", "part_bytes", "policy", "strict", "compress"),
    [
        (None, 4000, CheckpointPolicy(every=50, every_ts=40), False, False),  # a shard a worker
        (1, None, CheckpointPolicy(every_ts=60), False, True),
        (3, 997, CheckpointPolicy(every=7, every_ts=40), False, False),
        (5, 1 << 20, CheckpointPolicy(every_ts=25), True, True),
    ],
)
def test_checkpoints_equal_one_radar_per_spec(client, tmp_path, shards, part_bytes, policy, strict,
                                              compress):
    path = write_lines(tmp_path / "events.jsonl", recording(31, 900, bad=0.02), compress)
    stats = ReplayStats()
    items = list(replay(path, SPECS, policy, client=client, shards=shards, strict=strict,
                        stats=stats, part_bytes=part_bytes))
    for number, spec in enumerate(SPECS):
        want, want_stats = single(path, spec, policy, strict)
        assert per_spec(items, number) == want
        assert_same_stats(stats, want_stats)
    assert client.status == "running"  # the caller's client is left as it was


def test_crossings_equal_the_single_replays(client, tmp_path):
    path = write_lines(tmp_path / "events.jsonl", recording(32, 900, bad=0.02))
    policy = CheckpointPolicy(every=50, every_ts=40)
    items = list(replay(path, SPECS, policy, client=client, shards=3, part_bytes=3000,
                        crossings=True))
    crossings = [item for item in items if isinstance(item, Crossing)]
    assert crossings == [item for item in replay_files(path, SPECS, policy, crossings=True)
                         if isinstance(item, Crossing)]
    assert len(crossings) > 20


def test_bad_lines_are_named_by_file_and_line(client, tmp_path):
    lines = recording(41, 60, bad=0.0)
    lines[9] = b'{"symbol":"BTCUSDT","event":{"kind":"orderbook","ts":5}}'
    lines[19] = b'{"symbol":"\xff"}'
    lines[29] = b"not json"
    path = write_lines(tmp_path / "bad.jsonl", lines)
    items = list(replay(path, SPECS[0], CheckpointPolicy(every=20), client=client))
    bad = [item for item in items if isinstance(item, BadEventLine)]
    assert [(item.source, item.number) for item in bad] == [(path, 10), (path, 20), (path, 30)]
    assert bad[0].message == "parse: missing field `bid_volume`"
    assert bad[1].message == "not valid UTF-8 (byte 12 of the line)"
    assert bad[2].message == "parse: expected ident at line 1 column 2"
    checkpoints = [item for item in items if isinstance(item, MergedCheckpoint)]
    assert [item.events for item in checkpoints] == [20, 40, 57]

    stats = ReplayStats()
    items = list(replay(path, SPECS[0], CheckpointPolicy(every=5), client=client,
                        strict=True, stats=stats))
    assert isinstance(items[-1], BadEventLine) and items[-1].number == 10
    assert [item.events for item in items[:-1]] == [5]
    assert stats.stopped_at is not None and stats.stopped_at.number == 10


def test_a_bad_spec_or_file_fails_before_any_cluster_work(tmp_path):
    path = write_lines(tmp_path / "events.jsonl", recording(51, 10))
    # Neither the client nor the unreachable scheduler is ever touched.
    with pytest.raises(ValueError, match="^bad spec: limit must be greater than zero$"):
        replay(path, spec_text(0.0, limit=0), client=object())
    with pytest.raises(ValueError, match="^spec 2: parse: "):
        replay(path, [SPECS[0], '{"signals": 5}'], scheduler="tcp://127.0.0.1:1")
    with pytest.raises(FileNotFoundError):
        replay([path, str(tmp_path / "missing.jsonl")], SPECS[0], client=object())


def test_by_parts_refuses_standard_input_before_any_cluster_work(tmp_path):
    spec = write_lines(tmp_path / "spec.json", [SPECS[0].encode()])
    result = subprocess.run(
        [sys.executable, "-m", "fenmor_radar", "replay", "--spec", spec, "-", "--workers", "2"],
        input=b"", capture_output=True, timeout=120,
    )
    assert result.returncode == 1
    assert b"give files (or URLs), not standard input" in result.stderr


def test_a_worker_lost_mid_run_fails_the_run(tmp_path):
    path = write_lines(tmp_path / "events.jsonl", recording(61, 3000, bad=0.0))
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0"
    ) as cluster, distributed.Client(cluster) as dask_client:
        items = replay(path, SPECS[0], CheckpointPolicy(every=100), client=dask_client)
        first = next(item for item in items if isinstance(item, MergedCheckpoint))
        assert first.events == 100
        pids = dask_client.run(os.getpid)
        os.kill(pids[sorted(pids)[1]], signal.SIGKILL)
        with pytest.raises(WorkerLost, match="holding shard 1 of 2 was lost.*the replay is incomplete"):
            for _ in items:
                pass


def test_a_cluster_started_for_a_replay_sets_its_workers_malloc_not_this_process(monkeypatch):
    from fenmor_radar.distributed.cluster import start_local_cluster

    monkeypatch.delenv("MALLOC_MMAP_THRESHOLD_", raising=False)
    monkeypatch.setenv("MALLOC_TRIM_THRESHOLD_", "4096")  # the caller's own setting wins
    names = ("MALLOC_MMAP_THRESHOLD_", "MALLOC_TRIM_THRESHOLD_")
    with start_local_cluster(1) as cluster, distributed.Client(cluster) as dask_client:
        [seen] = dask_client.run(lambda: [os.environ.get(name) for name in names]).values()
    assert seen == [str(64 << 20), "4096"]
    assert "MALLOC_MMAP_THRESHOLD_" not in os.environ
    assert os.environ["MALLOC_TRIM_THRESHOLD_"] == "4096"


def run_cli(*args, env=None):
    return subprocess.run(
        [sys.executable, "-m", "fenmor_radar", "replay", *args],
        capture_output=True,
        timeout=300,
        env={**os.environ, **(env or {})},
    )


@pytest.mark.parametrize(
    ("broken", "watch", "several"),
    [
        (False, [], False),
        (True, [], False),
        (False, ["--crossings", "--peaks"], False),
        # Two recordings (a glob for the second), two specs: bad lines named by file.
        (False, ["--every", "37", "--new-only", "--cooldown", "50"], True),
        (False, ["--crossings", "--strict"], True),
        (False, ["--split", "specs", "--crossings", "--peaks", "--every", "29"], True),
    ],
)
def test_command_line_workers_prints_what_the_single_replay_prints(tmp_path, broken, watch,
                                                                    several):
    lines = recording(71, 400 if not broken else 3000, bad=0.02)
    path = write_lines(tmp_path / "events.jsonl.gz", lines, compress=True)
    if broken:  # a gzip file that breaks off: the same end checkpoint, the same error
        file = Path(path)
        file.write_bytes(file.read_bytes()[: file.stat().st_size * 2 // 3])
    spec = write_lines(tmp_path / "spec.json", [SPECS[1].encode()])
    options = ["--spec", spec, "--every-ts", "100", "--format", "json", "-q", *watch]
    files = [path]
    if several:
        write_lines(tmp_path / "more-1.jsonl", recording(72, 300, bad=0.03))
        options += ["--spec", write_lines(tmp_path / "other.json", [SPECS[0].encode()])]
        files.append(str(tmp_path / "more-1.jsonl"))
    alone = run_cli(*(option for option in options if option not in ("--split", "specs")), *files)
    sharded = run_cli(*options, "--workers", "2", *files[:1],
                      *([str(tmp_path / "more-*.jsonl")] if several else []))
    code = 1 if broken or "--strict" in watch else 3  # 3: skipped lines
    assert alone.returncode == sharded.returncode == code
    assert sharded.stdout == alone.stdout and alone.stdout.count(b"\n") > 5
    assert sharded.stderr == alone.stderr


@pytest.mark.parametrize(
    ("options", "message", "code"),
    [
        (["--workers", "2"], b"bad spec: at least one signal is required", 1),
        (["--scheduler", "tcp://127.0.0.1:1"], b"bad spec: at least one signal is required", 1),
        (["--workers", "2", "--scheduler", "tcp://127.0.0.1:1"], b"not allowed with", 2),
        (["--workers", "0"], b"must be greater than zero", 2),
        (["--split", "specs"], b"--split shares a replay among workers", 2),
        # The workers feed every event: a narrowed replay would silently not be one.
        (["--workers", "2", "--symbols", "BTC"], b"--symbols, --from-ts and --to-ts run on one", 2),
    ],
)
def test_command_line_rejects_before_starting_a_cluster(tmp_path, options, message, code):
    path = write_lines(tmp_path / "events.jsonl", recording(81, 10))
    spec = write_lines(tmp_path / "spec.json", [b'{"signals": []}'])
    result = run_cli("--spec", spec, path, *options)
    assert result.returncode == code
    assert message in result.stderr


def test_a_file_that_is_no_recording_is_refused_before_any_cluster_work(tmp_path):
    csv = write_lines(tmp_path / "liquidations.csv", [b"exchange,symbol,timestamp,side,price,amount",
                                                       b"x,BTC,1,buy,1,1"])
    spec = write_lines(tmp_path / "spec.json", [SPECS[0].encode()])
    alone = run_cli("--spec", spec, csv)
    # The scheduler is unreachable: the refusal must come before any attempt to reach it.
    sharded = run_cli("--spec", spec, csv, "--scheduler", "tcp://127.0.0.1:1")
    assert alone.returncode == sharded.returncode == 1
    assert b"does not look like a recording" in alone.stderr and sharded.stderr == alone.stderr
    # Refused first lines, then an event within the same head: a recording to both.
    late = write_lines(tmp_path / "late.jsonl", [b"x,BTC,1,buy,1,1"] * 150 + recording(7, 1, bad=0.0))
    assert run_cli("--spec", spec, late).returncode == 3
    check_recordings(plan_parts([late]), SPECS[:1])


def test_command_line_reports_an_unreachable_scheduler(tmp_path):
    path = write_lines(tmp_path / "events.jsonl", recording(91, 10))
    spec = write_lines(tmp_path / "spec.json", [SPECS[0].encode()])
    result = run_cli("--spec", spec, path, "--scheduler", "tcp://127.0.0.1:1",
                     env={"DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT": "1s"})
    assert result.returncode == 1
    assert result.stderr.startswith(b"fenmor-radar: error: cannot reach the Dask scheduler at "
                                    b"tcp://127.0.0.1:1")
    assert result.stdout == b""
