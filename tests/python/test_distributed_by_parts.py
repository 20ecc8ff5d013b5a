"""The replay by parts, in one process: cutting, the global plan, and the whole driver.

The workers here are the native shard readers called directly,
so everything but the transport is what a cluster runs. Every replay is
compared with the single replay on the same input, item by item.
"""

import gzip
import random
import zlib
from dataclasses import replace
from pathlib import Path

import pytest

fsspec = pytest.importorskip("fsspec")

from fenmor_radar import Crossing  # noqa: E402
from fenmor_radar.distributed.driver import (  # noqa: E402
    BadEventLine,
    InputChanged,
    InputFileDamaged,
    MergedCheckpoint,
    check_specs,
    replay_parts_on,
)
from fenmor_radar.distributed.exchange import (  # noqa: E402
    ExchangeWorkers,
    InProcessReaders,
    InProcessShards,
)
from fenmor_radar.distributed.global_plan import GlobalPlanner, PlannedCheckpoint  # noqa: E402
from fenmor_radar.distributed.parts import (  # noqa: E402
    Part,
    mapped_spans,
    part_blocks,
    part_lines,
    part_spans,
    plan_parts,
)
from fenmor_radar.distributed.shard import NativeShardReader  # noqa: E402
from fenmor_radar.distributed.spec_split import SpecGroups  # noqa: E402
from fenmor_radar.distributed.summary import BadLineReport, UnitReport, unit_summary  # noqa: E402
from fenmor_radar.replay import CheckpointReplies, replay_files  # noqa: E402
from fenmor_radar.replay.checkpoints import CheckpointClock, CheckpointPolicy  # noqa: E402
from fenmor_radar.replay.items import BadLine, ReplayStats  # noqa: E402
from fenmor_radar.replay.recording import DamagedInput, read_events  # noqa: E402
from test_distributed_parts import (  # noqa: E402
    SPECS,
    assert_same_stats,
    per_spec,
    recording,
    single,
    write_lines,
)


def random_file_bytes(rng):
    pieces = []
    for _ in range(rng.randrange(0, 40)):
        pieces.append(b"x" * rng.choice((0, 0, 1, 2, 5, 17)) + rng.choice((b"\n", b"\r\n")))
    if rng.random() < 0.5:
        pieces.append(b"tail")  # a final line without a line break
    return b"".join(pieces)


def test_byte_ranges_hold_every_line_once(tmp_path):
    """Whatever the offsets, the ranges' lines are the file's lines, each once, in order,
    read in blocks, into one buffer, or mapped."""
    rng = random.Random(5)
    path = tmp_path / "lines.txt"
    for _ in range(150):
        data = random_file_bytes(rng)
        path.write_bytes(data)
        parts = plan_parts([str(path)], part_bytes=rng.randrange(1, 12))
        assert b"".join(b"".join(part_blocks(part, block_bytes=3)) for part in parts) == data
        buffer = bytearray(rng.randrange(1, 7))
        assert b"".join(bytes(buffer[start:stop]) for part in parts
                        for start, stop in part_spans(part, buffer)) == data
        block = rng.randrange(1, 7)
        assert b"".join(data[start:stop] for part in parts
                        for _, start, stop in mapped_spans(part, str(path), block)) == data
        lines = [line for part in parts for line in part_lines(part, block_bytes=rng.randrange(1, 9))]
        want = data.split(b"\n")
        if not want[-1]:
            want.pop()
        assert lines == want


def test_a_file_that_cannot_be_mapped_is_damaged_input_named_by_its_path(tmp_path):
    empty = tmp_path / "empty.jsonl"
    empty.write_bytes(b"")
    assert list(mapped_spans(Part(str(empty), 0), str(empty))) == []
    for path, why in ((tmp_path / "gone.jsonl", "No such file"), (tmp_path, "Is a directory")):
        with pytest.raises(DamagedInput, match=f"{why}.*{path.name}"):
            list(mapped_spans(Part(str(path), 0), str(path)))


def test_a_gzip_file_is_one_part_and_a_missing_file_is_named(tmp_path):
    packed = tmp_path / "rec.data"  # recognised by its first bytes, not its name
    packed.write_bytes(gzip.compress(b"a\nb\n" * 1000))
    plain = tmp_path / "plain.jsonl"
    plain.write_bytes(b"a\n" * 100)
    parts = plan_parts([str(packed), str(plain)], part_bytes=64)
    assert parts[0] == Part(str(packed), 0, compressed=True)
    assert [(part.file, part.start, part.end) for part in parts[1:]] == [
        (1, 0, 64), (1, 64, 128), (1, 128, 192), (1, 192, None)
    ]
    assert len(list(part_lines(parts[0]))) == 2000
    with pytest.raises(FileNotFoundError, match="missing.jsonl"):
        plan_parts([str(plain), str(tmp_path / "missing.jsonl")])


# The global plan against the single replay's own clock, on random inputs
# described by what each line is: blank, bad, or an event with its ts.


def single_items(lines, policy, strict):
    """What the single replay yields, as ("checkpoint", events, ts) and ("bad", line index)."""
    clock = CheckpointClock(policy)
    items = []
    for at, line in enumerate(lines):
        if line == "blank":
            continue
        if line == "bad":
            items.append(("bad", at))
            if strict:
                return items
            continue
        if clock.due_before(line):
            items.append(("checkpoint", clock.events, clock.ts))
            clock.taken()
        if clock.fed(line):
            items.append(("checkpoint", clock.events, clock.ts))
            clock.taken()
    if clock.due_at_end():
        items.append(("checkpoint", clock.events, clock.ts))
    return items


def shard_reports(lines, owners, every_ts, running):
    """Each shard's report of a piece; ``running``: each shard's largest ts so far."""
    reports = []
    for shard in range(len(running)):
        events, blank, bad, records = 0, [], [], []
        for number, (line, owner) in enumerate(zip(lines, owners, strict=True), 1):
            if line == "blank":
                if shard == 0:
                    blank.append(number)
            elif owner != shard:
                continue
            elif line == "bad":
                bad.append(BadLineReport(number, "bad"))
            else:
                top = running[shard]
                if top is None or line > top:
                    if every_ts is not None and (top is None or line // every_ts > top // every_ts):
                        records.append((number, line))
                    running[shard] = line
                events += 1
        reports.append(UnitReport(0, len(lines), events, tuple(blank), tuple(bad), tuple(records)))
    return reports


def planned_items(lines, splits, policy, strict, shards):
    """The plan's items from the shards' reports of each piece (each line read by a
    shard drawn at random), each checkpoint checked to show the state it claims."""
    bounds = [0, *splits, len(lines)]
    pieces = [lines[bounds[k]:bounds[k + 1]] for k in range(len(bounds) - 1)]
    rng = random.Random(len(lines) * 31 + shards)
    owners = [rng.randrange(shards) for _ in lines]
    running = [None] * shards
    planner = GlobalPlanner(policy, strict)
    items = []
    plan = []
    for k, piece in enumerate(pieces):
        reports = shard_reports(piece, owners[bounds[k]:bounds[k + 1]], policy.every_ts, running)
        plan += planner.add(unit_summary(reports))
    plan += planner.finish()
    for item in plan:
        if isinstance(item, PlannedCheckpoint):
            fed = [line for line in lines[: bounds[item.cut.part] + item.cut.line]
                   if isinstance(line, int)]
            assert len(fed) == item.events
            items.append(("checkpoint", item.events, max(fed, default=None)))
        else:
            items.append(("bad", bounds[item.part] + item.report.line - 1))
    end = planner.end()
    fed_to = bounds[end.part] + end.line if end.part < len(pieces) else 0
    return items, fed_to


hypothesis = pytest.importorskip("hypothesis")
st = hypothesis.strategies
line_kinds = st.one_of(st.just("blank"), st.just("bad"), st.integers(-5, 60))


@hypothesis.settings(max_examples=300, deadline=None, derandomize=True)
@hypothesis.given(
    lines=st.lists(st.one_of(line_kinds, st.integers(0, 60)), max_size=60),
    cuts=st.lists(st.integers(0, 60), max_size=6),
    every=st.one_of(st.none(), st.integers(1, 12)),
    every_ts=st.one_of(st.none(), st.integers(1, 25)),
    strict=st.booleans(),
    shards=st.integers(1, 3),
)
def test_the_plan_is_the_single_replays(lines, cuts, every, every_ts, strict, shards):
    policy = CheckpointPolicy(every, every_ts)
    splits = sorted(min(cut, len(lines)) for cut in cuts)
    want = single_items(lines, policy, strict)
    got, fed_to = planned_items(lines, splits, policy, strict, shards)
    assert got == want
    if strict and "bad" in lines:
        assert fed_to == lines.index("bad")  # the shards feed up to the bad line


# The whole driver with the native workers, in this process.


class InProcessWorkers:
    def __init__(self, count):
        self.count = self.reporters = count
        self.readers = []

    def start(self, jobs):
        self.readers = [NativeShardReader(job) for job in jobs]

    def step(self, cuts, through, read):
        return [reader.step(cuts, through, read) for reader in self.readers]

    def collect(self, pending):
        return pending

    def finish(self, end):
        return [reader.finish(end) for reader in self.readers]


def by_parts(paths, specs, policy, shards, strict=False, part_bytes=1 << 20, unit_lines=1 << 18):
    specs, limits = check_specs(specs)
    stats = ReplayStats()
    parts = plan_parts(paths, part_bytes)
    items = list(replay_parts_on(InProcessWorkers(shards), parts, specs, limits, policy, strict,
                                 stats, unit_lines))
    return items, stats


@pytest.mark.parametrize(
    ("seed", "shards", "part_bytes", "unit_lines", "policy", "strict"),
    [
        (1, 1, 1 << 20, 1 << 18, CheckpointPolicy(every=13), False),
        (2, 3, 997, 3, CheckpointPolicy(every_ts=50), False),
        (3, 2, 101, 1, CheckpointPolicy(every=1, every_ts=20), False),
        (4, 5, 5000, 64, CheckpointPolicy(), False),
        (5, 4, 61, 2, CheckpointPolicy(every=40, every_ts=100), False),
        (6, 2, 3000, 7, CheckpointPolicy(every=13, every_ts=50), True),
        (7, 3, 1 << 20, 50, CheckpointPolicy(every=20, every_ts=30), True),
    ],
)
def test_every_checkpoint_equals_one_radar_per_spec(tmp_path, seed, shards, part_bytes, unit_lines,
                                                     policy, strict):
    path = write_lines(tmp_path / "events.jsonl", recording(seed, 500, bad=0.03),
                       compress=seed == 4)
    items, stats = by_parts([path], SPECS, policy, shards, strict, part_bytes, unit_lines)
    for number, spec in enumerate(SPECS):
        want, want_stats = single(path, spec, policy, strict)
        assert per_spec(items, number) == want
        assert_same_stats(stats, want_stats)
    assert all(item.source == path for item in items if isinstance(item, BadEventLine))


@pytest.mark.parametrize("scheme", ["file", "memory"])  # mapped, and read into a buffer
def test_files_replay_as_one_input_named_by_their_own_lines(tmp_path, scheme):
    first = write_lines(tmp_path / "a.jsonl.gz", recording(11, 150), compress=True)
    second = write_lines(tmp_path / "b.jsonl", recording(12, 150))
    both = write_lines(tmp_path / "ab.jsonl", recording(11, 150) + recording(12, 150))
    policy = CheckpointPolicy(every=25, every_ts=200)
    # Any fsspec URL; messages name the input as given.
    second_url = f"{scheme}://{second}"
    if scheme == "memory":
        fsspec.filesystem("memory").pipe(second, Path(second).read_bytes())
    items, stats = by_parts([first, second_url], SPECS[1], policy, shards=3, part_bytes=700,
                            unit_lines=9)
    want, want_stats = single(both, SPECS[1], policy)
    first_count = len(recording(11, 150))
    assert [
        item.checkpoint() if isinstance(item, MergedCheckpoint)
        else (item.source, item.number) for item in items
    ] == [
        item if not hasattr(item, "number")
        else (first, item.number) if item.number <= first_count
        else (second_url, item.number - first_count)
        for item in want
    ]
    # The first bad line is named by its file, as the single replay of two files names it.
    assert stats.first_bad.source == first
    assert_same_stats(stats, replace(want_stats, first_bad=replace(want_stats.first_bad,
                                                                   source=first)))


def test_an_empty_input_has_one_checkpoint(tmp_path):
    path = write_lines(tmp_path / "empty.jsonl", [b"", b"   "])
    items, stats = by_parts([path], SPECS[0], CheckpointPolicy(every=5), shards=3)
    assert items == [MergedCheckpoint(0, None, ('{"alerts":[],"scanned":0}',))]
    assert stats.lines == 2 and stats.checkpoints == 1  # blank lines count as read


def test_an_input_that_breaks_off_fails_after_every_complete_line(tmp_path):
    lines = recording(22, 4000)
    data = gzip.compress(b"".join(line + b"\n" for line in lines))
    path = tmp_path / "cut.jsonl.gz"
    path.write_bytes(data[: len(data) // 2])
    later = write_lines(tmp_path / "later.jsonl", recording(23, 50))
    policy = CheckpointPolicy(every=300)
    items = []
    with pytest.raises(InputFileDamaged) as error:
        specs, limits = check_specs(SPECS[0])
        for item in replay_parts_on(InProcessWorkers(3), plan_parts([str(path), later]), specs,
                                    limits, policy, False, ReplayStats(), 500):
            items.append(item)
    assert error.value.source == str(path)
    complete_lines = zlib.decompressobj(31).decompress(path.read_bytes()).count(b"\n")
    assert error.value.lines == complete_lines  # of its own file, as the single replay tells
    with pytest.raises(DamagedInput, match=str(error.value)):
        list(read_events(str(path)))
    # Every complete line before the fault is replayed, with its checkpoints
    # and the end checkpoint, as the single replay does.
    complete = zlib.decompressobj(31).decompress(path.read_bytes()).rsplit(b"\n", 1)[0]
    read = write_lines(tmp_path / "read.jsonl", complete.split(b"\n"))
    want, _ = single(read, SPECS[0], policy)
    assert per_spec(items, 0) == want and len(want) > 3


@pytest.mark.parametrize(
    ("seed", "shards", "part_bytes", "unit_lines", "policy", "strict"),
    [
        (31, 3, 997, 5, CheckpointPolicy(every=17, every_ts=50), False),
        (32, 2, 1 << 20, 1 << 18, CheckpointPolicy(), False),
        (33, 4, 3000, 11, CheckpointPolicy(every_ts=30), True),
    ],
)
def test_crossings_come_as_the_single_replay_gives_them(tmp_path, seed, shards, part_bytes,
                                                         unit_lines, policy, strict):
    """Every crossing, its count of events and its place among checkpoints and bad lines;
    every checkpoint's peaks."""
    path = write_lines(tmp_path / "events.jsonl", recording(seed, 600, bad=0.03))
    specs, limits = check_specs(SPECS)
    items = list(replay_parts_on(InProcessWorkers(shards), plan_parts([path], part_bytes), specs,
                                 limits, policy, strict, ReplayStats(), unit_lines, crossings=True,
                                 peaks=True))
    want = list(replay_files(path, SPECS, policy, strict=strict, crossings=True, peaks=True))
    got = [item.bad_line() if isinstance(item, BadEventLine) else item for item in items]
    assert got == [MergedCheckpoint(item.events, item.ts, item.replies, item.peaks)
                   if isinstance(item, CheckpointReplies) else item for item in want]
    assert sum(isinstance(item, Crossing) for item in want) > 10
    assert any(peaks != "[]" for item in want if isinstance(item, CheckpointReplies)
               for peaks in item.peaks)


@pytest.mark.parametrize(("groups", "strict"), [(1, False), (2, True), (3, False), (9, False)])
def test_split_by_spec_equals_one_radar_per_spec(tmp_path, groups, strict):
    """Each group of specs reads every line: checkpoints, crossings (numbered among all
    the specs), peaks and bad lines as the single replay gives them."""
    path = write_lines(tmp_path / "events.jsonl", recording(41, 700, bad=0.03))
    # The spec that crosses most is in a later group: its crossings are renumbered.
    texts = [SPECS[3], SPECS[2], SPECS[0], SPECS[1]]
    specs, limits = check_specs(texts)
    policy = CheckpointPolicy(every=23, every_ts=60)
    stats = ReplayStats()
    items = list(replay_parts_on(SpecGroups(InProcessWorkers(groups)), plan_parts([path], 900),
                                 specs, limits, policy, strict, stats, 37, crossings=True,
                                 peaks=True))
    want = list(replay_files(path, texts, policy, strict=strict, crossings=True, peaks=True))
    got = [item.bad_line() if isinstance(item, BadEventLine) else item for item in items]
    assert got == [MergedCheckpoint(item.events, item.ts, item.replies, item.peaks)
                   if isinstance(item, CheckpointReplies) else item for item in want]
    assert 2 in {item.spec_index for item in want if isinstance(item, Crossing)}
    assert_same_stats(stats, single(path, SPECS[0], policy, strict)[1])


@pytest.mark.parametrize(
    ("seed", "readers", "shards", "part_bytes", "unit_lines", "policy", "strict"),
    [
        (51, 1, 1, 1 << 20, 1 << 18, CheckpointPolicy(every=13), False),
        (52, 2, 3, 997, 5, CheckpointPolicy(every=17, every_ts=50), False),
        (53, 3, 2, 61, 1, CheckpointPolicy(every=1, every_ts=20), False),
        (54, 2, 5, 3000, 7, CheckpointPolicy(every_ts=30), True),
        (55, 1, 4, 5000, 64, CheckpointPolicy(), False),
    ],
)
def test_the_exchange_equals_one_radar_per_spec(tmp_path, seed, readers, shards, part_bytes,
                                                unit_lines, policy, strict):
    """Each part read once by its reader, the events sent to their shards: every checkpoint,
    crossing, peak, bad line and count as the single replay gives them, over two files."""
    paths = [write_lines(tmp_path / "a.jsonl.gz", recording(seed, 400, bad=0.03), compress=True),
             write_lines(tmp_path / "b.jsonl", recording(seed + 100, 300, bad=0.03))]
    specs, limits = check_specs(SPECS)
    stats = ReplayStats()
    workers = ExchangeWorkers(InProcessReaders(readers), InProcessShards(shards), parts_ahead=3)
    items = list(replay_parts_on(workers, plan_parts(paths, part_bytes), specs, limits, policy,
                                 strict, stats, unit_lines, crossings=True, peaks=True))
    want_stats = ReplayStats()
    want = list(replay_files(paths, SPECS, policy, strict=strict, stats=want_stats,
                             crossings=True, peaks=True))
    got = [BadLine(item.number, item.message, item.field, item.source)
           if isinstance(item, BadEventLine) else item for item in items]
    assert got == [MergedCheckpoint(item.events, item.ts, item.replies, item.peaks)
                   if isinstance(item, CheckpointReplies) else item for item in want]
    assert_same_stats(stats, want_stats)
    assert stats.first_backwards == want_stats.first_backwards
    if not strict:  # a strict stop leaves units read ahead
        assert not any(reader.packets for reader in workers.readers.readers)  # all taken


def test_a_file_rewritten_during_the_replay_is_named(tmp_path):
    lines = recording(31, 400)
    path = write_lines(tmp_path / "growing.jsonl", lines)
    data = Path(path).read_bytes()

    class RewrittenAfterTheFirstShard(InProcessWorkers):
        def step(self, cuts, through, read):
            answers = [self.readers[0].step(cuts, through, read)]
            if read and not getattr(self, "rewritten", False):
                self.rewritten = True
                # Same size, other line breaks: what a writer in place leaves.
                with open(path, "r+b") as file:
                    file.write(data.replace(b"\n", b" ", 50))
            return answers + [reader.step(cuts, through, read) for reader in self.readers[1:]]

    specs, limits = check_specs(SPECS[0])
    with pytest.raises(InputChanged, match=f"^{path} changed while the replay read it"):
        list(replay_parts_on(RewrittenAfterTheFirstShard(3), plan_parts([path]), specs, limits,
                             CheckpointPolicy(every=50), False, ReplayStats(), 10_000))
