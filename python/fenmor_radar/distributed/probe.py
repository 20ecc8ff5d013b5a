"""Before any cluster work: is each input a recording at all?

The single replay refuses a file whose first lines are all refused ("does
not look like a recording") before it reports any of them. A replay on
Dask must say the same and not have its workers report every line of,
say, a CSV file as skipped. The driver reads the head of each file's
first part and judges it with the single replay's own probe.

A recording shows itself in its first lines, so those are judged first:
feeding the whole head (a 4 MiB block, a checkpoint after each event)
cost the driver over a second of CPU per file. Only a file whose first
lines are all refused has its whole head judged, for the single replay's
verdict.
"""

from __future__ import annotations

import io
from collections.abc import Sequence

from fenmor_radar.distributed.parts import Part, part_blocks
from fenmor_radar.replay.checkpoints import CheckpointPolicy
from fenmor_radar.replay.feeder_loop import (
    PROBE_BYTES,
    PROBE_LINES,
    FeederReplay,
    NotARecording,
    new_feeder,
)
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
        try:
            _judge(part.source, _first_lines(head), spec_texts)
        except NotARecording:
            _judge(part.source, head, spec_texts)


def _judge(name: str, head: bytes, spec_texts: Sequence[str]) -> None:
    recording = Recording(STDIN_NAME, stdin=io.BytesIO(head))
    recording.name = name
    # A checkpoint after the first accepted event ends the look at once.
    replay = FeederReplay(new_feeder(spec_texts, CheckpointPolicy(every=1), strict=False))
    for _ in replay.run([recording]):
        break


def _first_lines(head: bytes) -> bytes:
    end = -1
    for _ in range(PROBE_LINES):
        end = head.find(b"\n", end + 1)
        if end < 0:
            return head
    return head[: end + 1]


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
