"""The Dask side: a client for the run, and one shard actor per shard on its workers.

A shard holds radars and kept events across calls, so it is an actor pinned
to its worker; its calls are numbered and run in that order, and one rebuilt
by Dask after its worker died refuses to answer, so that the run fails
(``WorkerLost``) instead of answering from part of the data.

Dask is imported here only, when a distributed replay starts, so the rest of
the package (and ``import fenmor_radar``) works without it.
"""

from __future__ import annotations

import asyncio
import contextlib
import logging
import os
import pickle
import uuid
from collections.abc import Callable, Iterator, Sequence
from typing import TYPE_CHECKING, Any, TypeVar

from fenmor_radar import __version__, optional
from fenmor_radar.distributed import exchange
from fenmor_radar.distributed.exchange import Fetch, ReaderStateLost
from fenmor_radar.distributed.global_plan import Cut
from fenmor_radar.distributed.parts import Part
from fenmor_radar.distributed.shard import (
    NativeShardReader,
    ShardCrossing,
    ShardEnd,
    ShardJob,
    Snapshot,
)
from fenmor_radar.distributed.summary import UnitReport

if TYPE_CHECKING:
    from distributed import Client

_T = TypeVar("_T")

POLL_SECONDS = 0.5  # how often a wait for the shards checks that their workers are alive
CLOSE_SECONDS = 5  # how long closing waits for each shard to drop its radars
ACTOR_LOST = "Worker holding Actor was lost"
TURN_SECONDS = 300  # how long a call waits for the calls before it


class WorkerLost(RuntimeError):
    """A worker holding a shard went away: the replay cannot be completed."""


class ShardStateLost(RuntimeError):
    """A shard answered a call out of turn: Dask rebuilt it, and its radars' state is gone."""


class ReaderLost(RuntimeError):
    """A shard could not take its packet of a unit from the reader holding it."""


# Dask's defaults suit a long-lived cluster watched on its dashboard. A cluster
# started for one replay has nobody watching: without its workers' sampling
# profiler (every 10 ms), with the event loop's tick check, the memory check
# and the system monitor less often, an idle worker costs 0.5 % of a core
# instead of 3 %, which on two cores is CPU taken from the replay itself.
#
# Dask's nanny also starts workers with MALLOC_TRIM_THRESHOLD_=65536, so that
# glibc hands freed memory back at once; it then maps every block over 128 KiB
# afresh and unmaps it when freed. A replay's blocks are a unit's packets: sent,
# received and kept once per unit, each faulted in page by page, about a sixth
# of a worker's CPU at 8 shards. Blocks of up to 64 MiB taken from the heap
# instead, and up to 128 MiB of free memory kept there, the next unit reuses
# the last one's pages: a worker holds that much more memory at most.
OWN_CLUSTER_CONFIG: dict[str, object] = {
    "distributed.worker.profile.enabled": False,
    "distributed.admin.tick.interval": "500ms",
    "distributed.worker.memory.monitor-interval": "1s",
    "distributed.admin.system-monitor.interval": "2s",
    "distributed.nanny.pre-spawn-environ.MALLOC_MMAP_THRESHOLD_": 64 << 20,
    "distributed.nanny.pre-spawn-environ.MALLOC_TRIM_THRESHOLD_": 128 << 20,
}


def import_dask() -> Any:
    return optional.require("distributed", "the distributed replay", "distributed")


@contextlib.contextmanager
def run_client(
    client: Client | None = None, scheduler: str | None = None, workers: int | None = None
) -> Iterator[Client]:
    """The caller's client, a client of the cluster at ``scheduler``, or a local cluster.

    A local cluster has ``workers`` worker processes (2 by default), one
    thread each, configured for one replay (``OWN_CLUSTER_CONFIG``); whatever
    is started here is closed again on the way out.
    """
    if client is not None:
        yield client
        return
    distributed = import_dask()
    if scheduler is not None:
        try:
            own = distributed.Client(scheduler, direct_to_workers=True)
        except (OSError, TimeoutError, ValueError) as err:  # ValueError: an address Dask cannot read
            raise ConnectionError(f"cannot reach the Dask scheduler at {scheduler}: {err}") from err
        with own:
            yield own
        return
    cluster = start_local_cluster(
        2 if workers is None else workers,
        # The workers' own log lines (a slow event loop, a worker killed at
        # shutdown) would land among the command's messages; a lost worker
        # is reported once, as the replay's error.
        silence_logs=logging.CRITICAL,
    )
    with cluster, distributed.Client(cluster, direct_to_workers=True) as own:
        yield own


def start_local_cluster(workers: int, **options: Any) -> Any:
    """A local cluster of ``workers`` one-thread worker processes with ``OWN_CLUSTER_CONFIG``
    (its workers take the configuration they are started with)."""
    distributed = import_dask()
    import dask.config

    with dask.config.set(OWN_CLUSTER_CONFIG):
        # The nannies set their workers' variables in this process's own environment
        # before starting them: the caller's is put back once they have started, so that
        # what this process starts later is not given the workers' malloc settings.
        names = [*dask.config.get("distributed.nanny.pre-spawn-environ"), "PYTHONHASHSEED"]
        saved = {name: os.environ.get(name) for name in names}
        try:
            return distributed.LocalCluster(
                n_workers=workers,
                threads_per_worker=1,
                processes=True,
                dashboard_address=":0",  # any free port: 8787 may be taken
                **options,
            )
        finally:
            for name, value in saved.items():
                if value is None:
                    os.environ.pop(name, None)
                else:
                    os.environ[name] = value


class ShardSet:
    """The shards of one replay, one Dask actor each (a ``PartsShard``), spread over the workers."""

    def __init__(self, client: Client, jobs: Sequence[ShardJob], actor: type | None = None,
                 role: str = "shard") -> None:
        """One ``actor(job)`` per job (``PartsShard``, or ``PartReaderActor`` with role
        "reader"), the k-th on the k-th worker (round the workers again if there are more)."""
        self.client = client
        self.role = role
        workers = sorted(client.scheduler_info()["workers"])
        if not workers:
            raise WorkerLost("the Dask cluster has no workers")
        self.count = len(jobs)
        run = uuid.uuid4().hex[:12]
        self.addresses = [workers[k % len(workers)] for k in range(self.count)]
        self.futures: list[Any] = []
        for k, address in enumerate(self.addresses):
            self.futures.append(
                client.submit(
                    actor or PartsShard,
                    jobs[k],
                    actor=True,
                    workers=[address],
                    pure=False,
                    key=f"fenmor-{role}-{k}-{run}",
                )
            )
        self.actors: list[Any] = []
        try:
            self.actors = [future.result() for future in self.futures]
        except Exception as err:
            raise WorkerLost(f"cannot start the {role}s on the Dask workers: {err}") from err
        try:
            versions = self._wait([actor.version() for actor in self.actors], "starting")
        except WorkerLost as err:
            raise WorkerLost(
                f"cannot reach a shard's worker from this program ({err.__cause__ or err}); "
                "the driver talks to every worker directly"
            ) from err
        for address, version in zip(self.addresses, versions, strict=True):
            if version != __version__:
                raise RuntimeError(
                    f"the worker at {address} runs fenmor-radar {version}, this program {__version__}"
                )

    def call(self, method: Any) -> list[Any]:
        calls = []
        for k, actor in enumerate(self.actors):
            try:
                calls.append(method(actor))
            except RuntimeError as err:
                raise self._lost(k, err) from err
        return calls

    def call_one(self, k: int, method: Any) -> Any:
        try:
            return method(self.actors[k])
        except RuntimeError as err:
            raise self._lost(k, err) from err

    def wait_one(self, k: int, call: Any) -> Any:
        return self._wait_for(k, call, "reading")

    def answers(self, calls: Sequence[Any], call: int) -> list[Any]:
        results = self._wait(calls, f"call {call}")
        for k, (number, _) in enumerate(results):
            if number != call:
                raise self._lost(k, ShardStateLost(f"answered call {number}"))
        return results

    def _wait(self, calls: Sequence[Any], stage: str) -> list[Any]:
        return [self._wait_for(k, call, stage) for k, call in enumerate(calls)]

    def _wait_for(self, k: int, call: Any, stage: str) -> Any:
        while True:
            try:
                return call.result(timeout=POLL_SECONDS)
            except TimeoutError:
                self._check_alive()
            except (OSError, ShardStateLost, ReaderStateLost) as err:
                raise self._lost(k, err) from err
            except ReaderLost as err:  # a shard could not fetch from a reader
                raise WorkerLost(f"{err}; the replay is incomplete") from err
            except RuntimeError as err:
                if ACTOR_LOST in str(err):
                    raise self._lost(k, err) from err
                raise RuntimeError(f"{self.role} {k} failed ({stage}): {err}") from err

    def _check_alive(self) -> None:
        if self.client.status not in ("running", "newly-created"):
            raise WorkerLost(f"lost the connection to the Dask scheduler (client {self.client.status})")
        for k, future in enumerate(self.futures):
            if future.status != "finished":
                raise self._lost(k, RuntimeError(f"its actor is {future.status}"))
        workers = self.client.scheduler_info(n_workers=-1)["workers"]
        for k, address in enumerate(self.addresses):
            if address not in workers:
                raise self._lost(k, RuntimeError("the scheduler no longer lists it"))

    def _lost(self, k: int, err: BaseException) -> WorkerLost:
        return WorkerLost(
            f"the worker at {self.addresses[k]} holding {self.role} {k} of {self.count} was lost "
            f"({type(err).__name__}: {err}); the replay is incomplete"
        )

    def close(self) -> None:
        """Let the shards drop their radars on their own thread, then release them."""
        closing = []
        for actor, future in zip(self.actors, self.futures, strict=True):
            if future.status == "finished":  # a lost shard has nothing left to drop
                with contextlib.suppress(Exception):
                    closing.append(actor.close())
        for call in closing:
            with contextlib.suppress(Exception):
                call.result(timeout=CLOSE_SECONDS)
        for future in self.futures:
            with contextlib.suppress(Exception):
                future.release()
        self.actors = []
        self.futures = []


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

    def __init__(self, job: ShardJob) -> None:
        self.job = job
        self.reader: NativeShardReader | None = None
        self.calls = 0  # calls run (or failed) so far
        self.turn: asyncio.Condition | None = None

    def version(self) -> str:
        return __version__

    async def step(
        self, request: bytes
    ) -> tuple[int, tuple[list[Snapshot], UnitReport | None, list[ShardCrossing]]]:
        """``request``: the pickled (call, cuts, through, read, fetch) of
        ``DaskPartsWorkers.step``; with ``fetch``, first this shard's packets of those units,
        from their readers."""
        call, cuts, through, read, fetch = pickle.loads(request)

        def work(reader: NativeShardReader, packets: Sequence[bytes]) -> Any:
            reader.add_units(packets)
            return reader.step(cuts, through, read)

        return call, await self._in_turn(call, work, fetch)

    async def finish(self, call: int, end: Cut) -> tuple[int, ShardEnd]:
        answer = await self._in_turn(call, lambda reader, _: reader.finish(end))
        self.reader = None
        return call, answer

    def close(self) -> None:
        self.reader = None

    async def _in_turn(self, call: int, work: Callable[[NativeShardReader, Sequence[bytes]], _T],
                       fetch: Sequence[Fetch] = ()) -> _T:
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
            packets = [await self._fetch(*where) for where in fetch]
            executor = import_dask().get_worker().executors["actor"]
            return await asyncio.get_running_loop().run_in_executor(executor, self._run, work,
                                                                    packets)
        finally:
            async with turn:
                self.calls += 1
                turn.notify_all()

    async def _fetch(self, reader: Any, index: int, number: int) -> bytes:
        # A reader on this worker is called in place, as Dask calls an actor from an actor
        # of its own worker, instead of through the worker's own TCP server.
        local = import_dask().get_worker().state.actors.get(reader.key)
        if isinstance(local, PartReaderActor):
            return local.reader.take(index, number, self.job.shard)
        try:
            packet: bytes = await reader.take(index, number, self.job.shard)
        except Exception as err:  # the reader's worker is gone, or cannot be reached
            raise ReaderLost(
                f"shard {self.job.shard} of {self.job.shards} cannot take unit {number} of part "
                f"{index} from its reader ({type(err).__name__}: {err})"
            ) from err
        return packet

    def _run(self, work: Callable[[NativeShardReader, Sequence[bytes]], _T],
             packets: Sequence[bytes]) -> _T:
        if self.reader is None:
            self.reader = NativeShardReader(self.job)
        return work(self.reader, packets)


class PartReaderActor:
    """A worker's reader (``exchange.PartReader``): reads units on the worker's actor
    thread; the shards take their packets on the event loop, without waiting for a read."""

    def __init__(self, job: ShardJob) -> None:
        self.reader = exchange.PartReader(job)

    def version(self) -> str:
        return __version__

    def next_unit(self, index: int, part: Part, number: int) -> exchange.UnitRead:
        return self.reader.next_unit(index, part, number)

    async def take(self, index: int, number: int, shard: int) -> bytes:
        return self.reader.take(index, number, shard)


class DaskReaders:
    """``exchange.Readers`` on a Dask cluster: one reader actor per worker."""

    def __init__(self, client: Client) -> None:
        self.client = client
        self.readers: ShardSet | None = None

    @property
    def count(self) -> int:
        if self.readers is not None:
            return self.readers.count
        return max(len(self.client.scheduler_info()["workers"]), 1)

    def start(self, job: ShardJob) -> None:
        self.readers = ShardSet(self.client, [job] * self.count, PartReaderActor, "reader")

    def next_unit(self, reader: int, index: int, part: Part, number: int) -> Any:
        readers = self._readers()
        return reader, readers.call_one(reader, lambda actor: actor.next_unit(index, part, number))

    def result(self, pending: Any) -> exchange.UnitRead:
        reader, call = pending
        result: exchange.UnitRead = self._readers().wait_one(reader, call)
        return result

    def handle(self, reader: int) -> Any:
        return self._readers().actors[reader]

    def close(self) -> None:
        if self.readers is not None:
            self.readers.close()
            self.readers = None

    def _readers(self) -> ShardSet:
        if self.readers is None:
            raise RuntimeError("the readers have not been started")
        return self.readers


class DaskPartsWorkers:
    """The driver's workers (``driver.PartsWorkers``) on a Dask cluster."""

    def __init__(self, client: Client, shards: int | None) -> None:
        self.client = client
        self.shards = shards
        self.shard_set: ShardSet | None = None
        self.calls = 0

    @property
    def reporters(self) -> int:
        return self.count

    @property
    def count(self) -> int:
        if self.shards is not None:
            return self.shards
        return max(len(self.client.scheduler_info()["workers"]), 1)

    def start(self, jobs: Sequence[ShardJob]) -> None:
        self.shard_set = ShardSet(self.client, jobs)

    def step(self, cuts: Sequence[Cut], through: int | None, read: bool,
             fetch: Sequence[Fetch] = ()) -> Any:
        shard_set = self._shard_set()
        call = self.calls
        self.calls += 1
        # Every shard is sent the same request: pickled once here, it travels as bytes,
        # instead of Dask serializing each argument again for each shard (about a
        # millisecond of the driver's CPU per shard and unit).
        request = pickle.dumps((call, tuple(cuts), through, read, tuple(fetch)),
                               protocol=pickle.HIGHEST_PROTOCOL)
        return call, shard_set.call(lambda actor: actor.step(request))

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

    def _shard_set(self) -> ShardSet:
        if self.shard_set is None:
            raise RuntimeError("the shards have not been started")
        return self.shard_set
