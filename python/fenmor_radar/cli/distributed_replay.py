"""``fenmor-radar replay --workers N`` / ``--scheduler ADDRESS``: the replay on Dask.

The command line's replay loop stays the same: this yields the single
replay's own items (checkpoints, bad lines and crossings), so output,
``--new-only``, ``--crossings``, ``--peaks`` and the summary work unchanged.
"""

from __future__ import annotations

import logging
from collections.abc import Iterable, Iterator

from fenmor_radar.cli.errors import CliError
from fenmor_radar.cli.spec_file import read_spec_text
from fenmor_radar.distributed.cluster import WorkerLost, import_dask
from fenmor_radar.distributed.driver import BadEventLine, InputChanged, MergedCheckpoint, replay
from fenmor_radar.replay.checkpoints import CheckpointPolicy
from fenmor_radar.replay.items import BadLine, Checkpoint, Crossing, ReplayStats
from fenmor_radar.replay.recording import STDIN_NAME

STDIN_SOURCE = "<stdin>"  # how the command line names standard input


def replay_items(
    spec_path: str,
    source_name: str,
    policy: CheckpointPolicy,
    *,
    workers: int | None,
    scheduler: str | None,
    strict: bool,
    stats: ReplayStats,
    crossings: bool = False,
    peaks: bool = False,
) -> Iterator[Checkpoint | BadLine | Crossing]:
    spec_text = read_spec_text(spec_path)
    try:
        import_dask()
    except ImportError as err:
        raise CliError(str(err)) from err
    # A lost worker is reported once, as this command's error, not also as
    # the cluster's own log lines.
    logging.getLogger("distributed").setLevel(logging.CRITICAL)
    items: Iterable[MergedCheckpoint | BadEventLine | Crossing]
    try:
        # The workers read the file themselves.
        try:
            path = STDIN_NAME if source_name == STDIN_SOURCE else source_name
            items = replay(path, spec_text, policy, workers=workers, scheduler=scheduler,
                           strict=strict, stats=stats, crossings=crossings, peaks=peaks)
        except ValueError as err:  # standard input: the workers cannot read it
            raise CliError(str(err)) from err
        for item in items:
            if isinstance(item, MergedCheckpoint):
                yield item.checkpoint()
            elif isinstance(item, BadEventLine):
                yield item.bad_line()
            else:
                yield item
    except (WorkerLost, ConnectionError, InputChanged) as err:
        raise CliError(str(err)) from err
