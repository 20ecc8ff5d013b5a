"""The distributed replay's entry point and what it yields.

The workers read the input themselves, in parts: every shard reads every
part, decodes its own symbols' lines and reports on them; from the reports
the driver places the checkpoints, at which the shards answer
(``parts_driver``). The driver never reads an event: it merges the shards'
replies per checkpoint.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING

from fenmor_radar import Radar
from fenmor_radar.distributed.merge import spec_limit
from fenmor_radar.replay.checkpoints import CheckpointPolicy
from fenmor_radar.replay.feeder_loop import CheckpointReplies
from fenmor_radar.replay.items import BadLine, Crossing, ReplayStats
from fenmor_radar.replay.recording import DamagedInput

if TYPE_CHECKING:
    from collections.abc import Iterator

    from distributed import Client


@dataclass(frozen=True, slots=True)
class MergedCheckpoint(CheckpointReplies):
    """The shards' replies merged: what the single replay yields at the same checkpoint."""

    @property
    def reply(self) -> str:
        return self.replies[0]


@dataclass(frozen=True, slots=True)
class BadEventLine:
    """A line the radar rejected (or that could not be read), by file and line number.

    ``message`` is the radar's, ``field`` the member at fault when known; the
    command line shows them as the single replay does (``replay.bad_lines``).
    """

    source: str
    number: int
    message: str
    field: str | None = None

    def bad_line(self) -> BadLine:
        return BadLine(self.number, self.message, self.field)


class InputChanged(Exception):
    """An input changed while the workers read it; ``source`` names it."""

    def __init__(self, source: str, detail: str) -> None:
        super().__init__(
            f"{source} changed while the replay read it (the workers found different contents: "
            f"{detail}); replay a file that is no longer written to, or a copy of it"
        )
        self.source = source


class InputFileDamaged(DamagedInput):
    """An input broke off; ``source`` names it."""

    def __init__(self, source: str, error: DamagedInput) -> None:
        super().__init__(str(error))
        self.source = source


def check_specs(specs: str | Sequence[str]) -> tuple[tuple[str, ...], tuple[int | None, ...]]:
    """The spec texts and their limits; ``ValueError`` with the radar's message for a bad one."""
    texts = (specs,) if isinstance(specs, str) else tuple(specs)
    if not texts:
        raise ValueError("at least one spec is required")
    for number, text in enumerate(texts, 1):
        try:
            Radar(text)
        except ValueError as err:
            if len(texts) == 1:
                raise
            raise ValueError(f"spec {number}: {err}") from err
    return texts, tuple(spec_limit(text) for text in texts)


def check_cluster_arguments(
    client: Client | None, scheduler: str | None, workers: int | None, shards: int | None
) -> None:
    if client is not None and scheduler is not None:
        raise ValueError("give a client or a scheduler address, not both")
    if workers is not None and (client is not None or scheduler is not None or workers <= 0):
        raise ValueError("workers is the size of a local cluster started for the call, at least 1")
    if shards is not None and shards <= 0:
        raise ValueError(f"shards must be greater than zero, got {shards}")


def replay(
    paths: str | Sequence[str],
    specs: str | Sequence[str],
    policy: CheckpointPolicy | None = None,
    *,
    client: Client | None = None,
    scheduler: str | None = None,
    workers: int | None = None,
    shards: int | None = None,
    strict: bool = False,
    stats: ReplayStats | None = None,
    part_bytes: int | None = None,
    crossings: bool = False,
) -> Iterator[MergedCheckpoint | BadEventLine | Crossing]:
    """Replay recordings (JSON lines, plain or gzip) through one or more specs on Dask.

    The files are read as one input, in the order given. Each checkpoint's
    replies are byte for byte those of one radar per spec fed the same lines
    in the same order, whatever the number of shards. The cluster is the
    caller's ``client``, the one at ``scheduler``, or a local cluster of
    ``workers`` processes started for the call; ``shards`` defaults to one
    per worker. Specs and files are checked before any cluster work: a bad
    spec raises ``ValueError`` with the radar's message, a missing file
    ``OSError``. A worker lost mid-run raises ``WorkerLost``.

    The workers read the files themselves: the paths may be any fsspec URL
    they can read (not standard input). Plain files are cut into parts of
    about ``part_bytes`` that workers scan in parallel; a gzip file is one
    part, so many files (or plain ones) spread a large replay best.

    With ``crossings``, each shard watches its symbols as the single replay
    does, and the ``Crossing`` items come in input order among the others,
    as ``replay_files(..., crossings=True)`` yields them.
    """
    from fenmor_radar.distributed.parts_driver import replay_parts

    names = [paths] if isinstance(paths, str) else list(paths)
    spec_texts, limits = check_specs(specs)
    return replay_parts(
        names,
        spec_texts,
        limits,
        policy or CheckpointPolicy(),
        client=client,
        scheduler=scheduler,
        workers=workers,
        shards=shards,
        strict=strict,
        stats=stats if stats is not None else ReplayStats(),
        part_bytes=part_bytes,
        crossings=crossings,
    )
