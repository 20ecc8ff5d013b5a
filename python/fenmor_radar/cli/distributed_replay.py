"""``fenmor-radar replay --workers N`` / ``--scheduler ADDRESS``: the replay on Dask.

The command line's replay loop stays the same: this yields the single
replay's own items (checkpoints, bad lines and crossings), so output,
``--new-only``, ``--crossings``, ``--peaks`` and the summary work unchanged.
"""

from __future__ import annotations

import logging
from collections.abc import Iterable, Iterator, Sequence

from fenmor_radar.cli import errors
from fenmor_radar.cli.errors import CliError
from fenmor_radar.cli.spec_file import read_spec_text
from fenmor_radar.distributed.cluster import WorkerLost, import_dask
from fenmor_radar.distributed.driver import BadEventLine, InputChanged, replay
from fenmor_radar.replay.checkpoints import CheckpointPolicy
from fenmor_radar.replay.feeder_loop import CheckpointReplies, NotARecording
from fenmor_radar.replay.items import BadLine, Crossing, ReplayStats
from fenmor_radar.replay.recording import STDIN_NAME

STDIN_SOURCE = "<stdin>"  # how the command line names standard input


def replay_items(
    spec_paths: Sequence[str],
    source_names: Sequence[str],
    policy: CheckpointPolicy,
    *,
    workers: int | None,
    scheduler: str | None,
    strict: bool,
    stats: ReplayStats,
    crossings: bool = False,
    peaks: bool = False,
    split: str = "symbols",
) -> Iterator[CheckpointReplies | BadLine | Crossing]:
    """The merged checkpoints (one reply per spec), bad lines (named by file when there are
    several, as the single replay names them) and crossings, in input order."""
    spec_texts = [read_spec_text(path) for path in spec_paths]
    several = len(source_names) > 1
    try:
        import_dask()
    except ImportError as err:
        raise CliError(str(err)) from err
    # A lost worker is reported once, as this command's error, not also as
    # the cluster's own log lines.
    logging.getLogger("distributed").setLevel(logging.CRITICAL)
    items: Iterable[CheckpointReplies | BadEventLine | Crossing]
    try:
        # The workers read the files themselves.
        paths = [STDIN_NAME if name == STDIN_SOURCE else name for name in source_names]
        try:
            items = replay(paths, spec_texts, policy, workers=workers, scheduler=scheduler,
                           strict=strict, stats=stats, crossings=crossings, peaks=peaks,
                           split=split)
        except NotARecording:
            raise  # told as the single replay tells it
        except ValueError as err:  # standard input: the workers cannot read it
            raise CliError(str(err)) from err
        except OSError as err:
            raise CliError(errors.cannot("read", err.filename or "the input", err)) from err
        for item in items:
            if isinstance(item, BadEventLine):
                yield BadLine(item.number, item.message, item.field,
                              item.source if several else None)
            else:
                yield item
    except (WorkerLost, ConnectionError, InputChanged) as err:
        raise CliError(str(err)) from err
