"""Before any cluster work: is each input a recording at all?

The single replay refuses a file whose first lines are all refused ("does
not look like a recording") before it reports any of them. A replay on
Dask must say the same and not have its workers report every line of,
say, a CSV file as skipped. The driver reads the head of each file's
first part and judges it with the single replay's own probe.
"""

from __future__ import annotations

import io
from collections.abc import Sequence

from fenmor_radar.distributed.parts import Part, part_blocks
from fenmor_radar.replay.checkpoints import CheckpointPolicy
from fenmor_radar.replay.feeder_loop import PROBE_BYTES, PROBE_LINES, FeederReplay, new_feeder
from fenmor_radar.replay.recording import STDIN_NAME, DamagedInput, Recording


def check_recordings(parts: Sequence[Part], spec_texts: Sequence[str]) -> None:
    """``NotARecording`` for the first file whose first lines the radar refuses every one of."""
    for part in parts:
        if part.start != 0 or part.columnar is not None:
            # A later part of a file already looked at, or a Parquet file: its columns
            # were checked when it was planned, as the single replay checks them.
            continue
        head = _head(part)
        if head is None:
            continue
        recording = Recording(STDIN_NAME, stdin=io.BytesIO(head))
        recording.name = part.source
        # A checkpoint after the first accepted event ends the look at once.
        replay = FeederReplay(new_feeder(spec_texts, CheckpointPolicy(every=1), strict=False))
        for _ in replay.run([recording]):
            break


def _head(part: Part) -> bytes | None:
    """The file's first lines as the single replay probes them, or None where it would
    not judge: a head cut by its byte bound before enough lines, or a damaged file (the
    workers report that)."""
    head = b""
    try:
        for block in part_blocks(part):
            head += block
            if head.count(b"\n") >= PROBE_LINES:
                return head
            if len(head) >= PROBE_BYTES:
                return None
    except DamagedInput:
        return None
    return head
