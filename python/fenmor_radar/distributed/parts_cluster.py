"""The Dask side of a replay by parts: one shard actor per shard.

A shard holds radars and kept events across calls, so it is an actor pinned
to its worker; its calls are numbered and run in that order, and one rebuilt
by Dask after its worker died refuses to answer, so that the run fails
(``WorkerLost``) instead of answering from part of the data.
"""

from __future__ import annotations

import asyncio
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any, TypeVar

from fenmor_radar import __version__
from fenmor_radar.distributed.cluster import ShardSet, ShardStateLost, import_dask
from fenmor_radar.distributed.global_plan import Cut
from fenmor_radar.distributed.shard_contract import (
    ShardCrossing,
    ShardEnd,
    ShardJob,
    ShardReader,
    ShardReaderFactory,
    Snapshot,
)
from fenmor_radar.distributed.summary import UnitReport

if TYPE_CHECKING:
    from distributed import Client

_T = TypeVar("_T")
TURN_SECONDS = 300  # how long a call waits for the calls before it


class PartsShard:
    """A shard on its worker: runs its calls in their numbered order on the worker's actor
    thread, building its reader there at the first call.

    Dask may deliver two calls in flight in either order, so a call waits
    (on the worker's event loop, not its thread) until every call before it
    has run. A shard rebuilt by Dask after its worker died never sees its
    first calls: a later call waits in vain and gives up after
    ``TURN_SECONDS`` (the driver has usually noticed the lost worker long
    before).
    """

    def __init__(self, job: ShardJob, factory: ShardReaderFactory) -> None:
        self.job = job
        self.factory = factory
        self.reader: ShardReader | None = None
        self.calls = 0  # calls run (or failed) so far
        self.turn: asyncio.Condition | None = None

    def version(self) -> str:
        return __version__

    async def step(
        self, call: int, cuts: Sequence[Cut], through: int | None, read: bool
    ) -> tuple[int, tuple[list[Snapshot], UnitReport | None, list[ShardCrossing]]]:
        return call, await self._in_turn(call, lambda reader: reader.step(cuts, through, read))

    async def finish(self, call: int, end: Cut) -> tuple[int, ShardEnd]:
        answer = await self._in_turn(call, lambda reader: reader.finish(end))
        self.reader = None
        return call, answer

    def close(self) -> None:
        self.reader = None

    async def _in_turn(self, call: int, work: Callable[[ShardReader], _T]) -> _T:
        if self.turn is None:
            self.turn = asyncio.Condition()
        turn = self.turn
        async with turn:
            try:
                await asyncio.wait_for(turn.wait_for(lambda: self.calls >= call), TURN_SECONDS)
            except asyncio.TimeoutError:  # not the builtin one before Python 3.11
                raise ShardStateLost(
                    f"shard expected call {self.calls}, got call {call}: "
                    "it was rebuilt and has lost its radars' state"
                ) from None
            if self.calls != call:
                raise ShardStateLost(f"shard got call {call} twice")
        try:
            executor = import_dask().get_worker().executors["actor"]
            return await asyncio.get_running_loop().run_in_executor(executor, self._run, work)
        finally:
            async with turn:
                self.calls += 1
                turn.notify_all()

    def _run(self, work: Callable[[ShardReader], _T]) -> _T:
        if self.reader is None:
            self.reader = self.factory(self.job)
        return work(self.reader)


class DaskPartsWorkers:
    """``PartsWorkers`` on a Dask cluster."""

    def __init__(self, client: Client, shards: int | None, reader: ShardReaderFactory) -> None:
        self.client = client
        self.reader = reader
        self.shards = shards
        self.shard_set: _PartsShardSet | None = None
        self.calls = 0

    @property
    def count(self) -> int:
        if self.shards is not None:
            return self.shards
        return max(len(self.client.scheduler_info()["workers"]), 1)

    def start(self, jobs: Sequence[ShardJob]) -> None:
        self.shard_set = _PartsShardSet(self.client, jobs, self.reader)

    def step(self, cuts: Sequence[Cut], through: int | None, read: bool) -> Any:
        shard_set = self._shard_set()
        call = self.calls
        self.calls += 1
        return call, shard_set.call(lambda actor: actor.step(call, cuts, through, read))

    def collect(
        self, pending: Any
    ) -> list[tuple[list[Snapshot], UnitReport | None, list[ShardCrossing]]]:
        call, calls = pending
        return [answer for _, answer in self._shard_set().answers(calls, call)]

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
    def __init__(self, client: Client, jobs: Sequence[ShardJob], reader: ShardReaderFactory) -> None:
        self._start(client, len(jobs), lambda k: (PartsShard, (jobs[k], reader)))

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

