"""The Dask side of a replay by parts: scan tasks, and one shard actor per shard.

Scanning a part is a plain task: it reads a file and returns a summary, so
Dask may run it again elsewhere if its worker dies. A shard holds radars
across calls, so it is an actor pinned to its worker; its calls are numbered,
and one rebuilt by Dask after its worker died refuses to answer, so that the
run fails (``WorkerLost``) instead of answering from part of the data.
"""

from __future__ import annotations

import uuid
from collections.abc import Iterator, Sequence
from typing import TYPE_CHECKING, Any

from fenmor_radar import __version__
from fenmor_radar.distributed.cluster import (
    POLL_SECONDS,
    ShardSet,
    ShardStateLost,
    WorkerLost,
)
from fenmor_radar.distributed.global_plan import Cut
from fenmor_radar.distributed.parts import Part
from fenmor_radar.distributed.shard_contract import (
    PartScanner,
    ShardEnd,
    ShardFeeder,
    ShardFeederFactory,
    ShardJob,
    Snapshot,
)
from fenmor_radar.distributed.summary import PartSummary

if TYPE_CHECKING:
    from distributed import Client


class PartsShard:
    """A shard on its worker: builds its feeder on the actor thread, at the first call."""

    def __init__(self, job: ShardJob, factory: ShardFeederFactory) -> None:
        self.job = job
        self.factory = factory
        self.feeder: ShardFeeder | None = None
        self.calls = 0

    def version(self) -> str:
        return __version__

    def _next(self, call: int) -> ShardFeeder:
        if call != self.calls:
            raise ShardStateLost(
                f"shard expected call {self.calls}, got call {call}: "
                "it was rebuilt and has lost its radars' state"
            )
        self.calls += 1
        if self.feeder is None:
            self.feeder = self.factory(self.job)
        return self.feeder

    def take(self, call: int, cuts: Sequence[Cut]) -> tuple[int, list[Snapshot]]:
        return call, self._next(call).take(cuts)

    def finish(self, call: int, end: Cut) -> tuple[int, ShardEnd]:
        answer = self._next(call).finish(end)
        self.feeder = None
        return call, answer

    def close(self) -> None:
        self.feeder = None


class DaskPartsWorkers:
    """``PartsWorkers`` on a Dask cluster."""

    def __init__(
        self,
        client: Client,
        shards: int | None,
        scanner: PartScanner,
        feeder: ShardFeederFactory,
    ) -> None:
        self.client = client
        self.scanner = scanner
        self.feeder = feeder
        self.shards = shards
        self.shard_set: _PartsShardSet | None = None
        self.calls = 0

    @property
    def count(self) -> int:
        if self.shards is not None:
            return self.shards
        return max(len(self.client.scheduler_info()["workers"]), 1)

    def scan(self, parts: Sequence[Part], every_ts: int | None) -> Iterator[PartSummary]:
        """Submits every scan at once; the summaries are waited for in input order."""
        run = uuid.uuid4().hex[:12]
        futures: list[Any] = [
            self.client.submit(self.scanner, part, every_ts, pure=False, key=f"fenmor-scan-{k}-{run}")
            for k, part in enumerate(parts)
        ]
        return self._summaries(parts, futures)

    def _summaries(self, parts: Sequence[Part], futures: list[Any]) -> Iterator[PartSummary]:
        try:
            for part, future in zip(parts, futures, strict=True):
                while True:
                    try:
                        summary: PartSummary = future.result(timeout=POLL_SECONDS)
                        break
                    except TimeoutError:
                        # A scan is rerun elsewhere if its worker dies, but a
                        # shard is not: a lost shard ends the wait too.
                        if self.shard_set is not None:
                            self.shard_set.check_alive()
                        elif self.client.status not in ("running", "newly-created"):
                            raise WorkerLost(
                                f"lost the connection to the Dask scheduler (client {self.client.status})"
                            ) from None
                    except Exception as err:
                        raise RuntimeError(f"scanning {_part_name(part)} failed: {err}") from err
                yield summary
        finally:
            for future in futures:
                future.release()

    def start(self, jobs: Sequence[ShardJob]) -> None:
        self.shard_set = _PartsShardSet(self.client, jobs, self.feeder)

    def take(self, cuts: Sequence[Cut]) -> Any:
        shard_set = self._shard_set()
        call = self.calls
        self.calls += 1
        return call, shard_set.call(lambda actor: actor.take(call, cuts))

    def collect(self, pending: Any) -> list[list[Snapshot]]:
        call, calls = pending
        return [snapshots for _, snapshots in self._shard_set().answers(calls, call)]

    def finish(self, end: Cut) -> list[ShardEnd]:
        shard_set = self._shard_set()
        call = self.calls
        self.calls += 1
        calls = shard_set.call(lambda actor: actor.finish(call, end))
        return [answer for _, answer in shard_set.answers(calls, call)]

    def close(self) -> None:
        if self.shard_set is not None:
            self.shard_set.close()
            self.shard_set = None

    def _shard_set(self) -> _PartsShardSet:
        if self.shard_set is None:
            raise RuntimeError("the shards have not been started")
        return self.shard_set


class _PartsShardSet(ShardSet):
    def __init__(self, client: Client, jobs: Sequence[ShardJob], feeder: ShardFeederFactory) -> None:
        self._start(client, len(jobs), lambda k: (PartsShard, (jobs[k], feeder)))

    def check_alive(self) -> None:
        self._check_alive()

    def call(self, method: Any) -> list[Any]:
        calls = []
        for k, actor in enumerate(self.actors):
            try:
                calls.append(method(actor))
            except RuntimeError as err:
                raise self._lost(k, err) from err
        return calls

    def answers(self, calls: Sequence[Any], call: int) -> list[Any]:
        results = self._wait(calls, f"call {call}")
        for k, (number, _) in enumerate(results):
            if number != call:
                raise self._lost(k, ShardStateLost(f"answered call {number}"))
        return results


def _part_name(part: Part) -> str:
    if part.compressed or (part.start == 0 and part.end is None):
        return part.source
    end = "end" if part.end is None else str(part.end)
    return f"{part.source} (bytes {part.start} to {end})"
