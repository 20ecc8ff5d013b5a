"""The first pass of a replay by parts: one part scanned by the native part scanner.

Python hands the part's blocks over and gathers the few findings each one
completes (blank and bad lines, records); the lines are judged in C++.
"""

from __future__ import annotations

from fenmor_radar._fenmor_replay import PartScanner
from fenmor_radar.distributed.parts import Part, part_blocks
from fenmor_radar.distributed.summary import BadLineReport, PartSummary
from fenmor_radar.replay.recording import DamagedInput

Findings = tuple[list[int], list[tuple[int, str, str | None]], list[tuple[int, int]]]


def scan_part(part: Part, every_ts: int | None) -> PartSummary:
    """The part's summary (see ``shard_contract.PartScanner``).

    A byte-order mark is skipped at the start of a file only, as the single
    replay skips one at the start of each file.
    """
    scanner = PartScanner(every_ts, starts_file=part.start == 0)
    blank: list[int] = []
    bad: list[BadLineReport] = []
    records: list[tuple[int, int]] = []

    def take(findings: Findings) -> None:
        blank.extend(findings[0])
        bad.extend(BadLineReport(line, message, field) for line, message, field in findings[1])
        records.extend(findings[2])

    damage = None
    try:
        for block in part_blocks(part):
            take(scanner.feed(block))
    except DamagedInput as err:
        damage = str(err)
    take(scanner.finish(complete=damage is None))
    return PartSummary(scanner.lines, scanner.events, tuple(blank), tuple(bad), tuple(records),
                       scanner.max_ts, damage)
