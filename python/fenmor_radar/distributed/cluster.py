"""The Dask side: a client for the run, and the shards placed on its workers.

Dask is imported here only, when a distributed replay starts, so the rest of
the package (and ``import fenmor_radar``) works without it.
"""

from __future__ import annotations

import contextlib
import uuid
from collections.abc import Callable, Iterator, Sequence
from typing import TYPE_CHECKING, Any

from fenmor_radar import __version__

if TYPE_CHECKING:
    from distributed import Client

INSTALL_HINT = "the distributed replay needs Dask: pip install 'fenmor-radar[distributed]'"
POLL_SECONDS = 0.5  # how often a wait for the shards checks that their workers are alive
CLOSE_SECONDS = 5  # how long closing waits for each shard to drop its radars
ACTOR_LOST = "Worker holding Actor was lost"


class WorkerLost(RuntimeError):
    """A worker holding a shard went away: the replay cannot be completed."""


class ShardStateLost(RuntimeError):
    """A shard answered a call out of turn: Dask rebuilt it, and its radars' state is gone."""


def import_dask() -> Any:
    try:
        import distributed
    except ImportError as err:
        raise ImportError(INSTALL_HINT) from err
    return distributed


@contextlib.contextmanager
def run_client(
    client: Client | None = None, scheduler: str | None = None, workers: int | None = None
) -> Iterator[Client]:
    """The caller's client, a client of the cluster at ``scheduler``, or a local cluster.

    A local cluster has ``workers`` worker processes (2 by default), one
    thread each; whatever is started here is closed again on the way out.
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
    cluster = distributed.LocalCluster(
        n_workers=2 if workers is None else workers,
        threads_per_worker=1,
        processes=True,
        dashboard_address=":0",  # any free port: 8787 may be taken
    )
    with cluster, distributed.Client(cluster, direct_to_workers=True) as own:
        yield own


class ShardSet:
    """The shards of one replay, one Dask actor each, spread over the workers."""

    def _start(
        self, client: Client, count: int | None, actor: Callable[[int], tuple[type, tuple[Any, ...]]]
    ) -> None:
        """One actor per shard, ``actor(k)`` giving shard k's class and arguments."""
        self.client = client
        workers = sorted(client.scheduler_info()["workers"])
        if not workers:
            raise WorkerLost("the Dask cluster has no workers")
        self.count = len(workers) if count is None else count
        if self.count <= 0:
            raise ValueError(f"shards must be greater than zero, got {self.count}")
        run = uuid.uuid4().hex[:12]
        self.addresses = [workers[k % len(workers)] for k in range(self.count)]
        self.futures: list[Any] = []
        for k, address in enumerate(self.addresses):
            cls, args = actor(k)
            self.futures.append(
                client.submit(
                    cls,
                    *args,
                    actor=True,
                    workers=[address],
                    pure=False,
                    key=f"fenmor-shard-{k}-{run}",
                )
            )
        self.actors: list[Any] = []
        try:
            self.actors = [future.result() for future in self.futures]
        except Exception as err:
            raise WorkerLost(f"cannot start the shards on the Dask workers: {err}") from err
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

    def _wait(self, calls: Sequence[Any], stage: str) -> list[Any]:
        results = []
        for k, call in enumerate(calls):
            while True:
                try:
                    results.append(call.result(timeout=POLL_SECONDS))
                    break
                except TimeoutError:
                    self._check_alive()
                except (OSError, ShardStateLost) as err:
                    raise self._lost(k, err) from err
                except RuntimeError as err:
                    if ACTOR_LOST in str(err):
                        raise self._lost(k, err) from err
                    raise RuntimeError(f"shard {k} failed ({stage}): {err}") from err
        return results

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
            f"the worker at {self.addresses[k]} holding shard {k} of {self.count} was lost "
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
