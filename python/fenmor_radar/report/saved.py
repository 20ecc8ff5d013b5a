"""Report data from a saved JSON-lines replay output (``replay --format json``).

Each line is one checkpoint: ``{"events":E,"ts":T,"alerts":[...],"scanned":N}``,
with a leading ``"spec":NAME`` member when the replay ran several specs, or one
crossing of ``--crossings``: ``{"crossing":"up",["spec":NAME,]"events":E,"symbol":...}``.
What such a file does not carry (the input's name, its line count, the skipped
lines, the spec itself unless given) is shown as unknown.
"""

from __future__ import annotations

import json
from collections.abc import Iterable

from fenmor_radar.printable import printable
from fenmor_radar.report.collect import ReportData, RunInfo
from fenmor_radar.report.spec_info import SpecInfo

SINGLE = "(spec unknown)"  # the run's name when neither the lines nor --spec name it


class SavedOutputError(ValueError):
    def __init__(self, name: str, line: int, message: str) -> None:
        super().__init__(f"{name}:{line}: {message}" if line else f"{name}: {message}")


def _quoted(text: str, size: int = 60) -> str:
    return f'"{printable(text[:size])}"'


def _unwritable(document: dict[str, object]) -> bool:
    """Whether the texts a page shows (spec name, symbols) hold a lone surrogate."""
    texts = [document.get("spec")]
    alerts = document.get("alerts")
    if isinstance(alerts, list):
        for alert in alerts:
            if isinstance(alert, dict):
                texts.append(alert.get("symbol"))
                factors = alert.get("factors")
                if isinstance(factors, dict):
                    texts += list(factors)
    try:
        for text in texts:
            if isinstance(text, str):
                text.encode("utf-8")
    except UnicodeEncodeError:
        return True
    return False


def _match_spec(name: str, specs: dict[str, SpecInfo]) -> SpecInfo | None:
    """The spec a line's name refers to: the same path, or else the same file name."""
    if name in specs:
        return specs[name]
    base = name.replace("\\", "/").rsplit("/", 1)[-1]
    found = [
        spec
        for key, spec in specs.items()
        if key.replace("\\", "/").rsplit("/", 1)[-1] == base
    ]
    return found[0] if len(found) == 1 else None


def read_replay_output(
    name: str, lines: Iterable[str], specs: dict[str, SpecInfo]
) -> ReportData:
    """Checkpoints of one or several specs; ``specs`` maps spec file names to their info."""
    data = ReportData(RunInfo(source=name))
    unnamed_spec = next(iter(specs.values())) if len(specs) == 1 else None
    for number, line in enumerate(lines, 1):
        if not line.strip():
            continue
        try:
            document = json.loads(line)
        except json.JSONDecodeError as err:
            raise SavedOutputError(
                name, number, f"not JSON ({err.msg} at column {err.colno})"
            ) from err
        except RecursionError:
            raise SavedOutputError(
                name, number, "nested too deeply to be a checkpoint"
            ) from None
        except ValueError as err:  # an integer of thousands of digits
            raise SavedOutputError(name, number, f"not a checkpoint: {err}") from None
        if not isinstance(document, dict):
            raise SavedOutputError(name, number, "not a checkpoint object")
        if _unwritable(document):
            raise SavedOutputError(
                name, number, "text that is not Unicode (a lone surrogate escape)"
            )
        if "change" in document:
            raise SavedOutputError(
                name,
                number,
                "an alert change of --new-only output; the report needs every "
                "checkpoint: replay without --new-only",
            )
        events, ts = document.get("events"), document.get("ts")
        crossing = "crossing" in document
        if not isinstance(events, int) or not (ts is None or isinstance(ts, int)):
            raise SavedOutputError(
                name, number, "no checkpoint here (missing events or ts)"
            )
        spec_name = document.get("spec")
        if spec_name is None:
            single = unnamed_spec.origin if unnamed_spec is not None else SINGLE
            run = data.run_for(single, unnamed_spec)
        elif isinstance(spec_name, str):
            run = data.run_for(spec_name, _match_spec(spec_name, specs))
        else:
            raise SavedOutputError(
                name, number, f"spec is not a text: {_quoted(str(spec_name))}"
            )
        try:
            if crossing:
                run.add_crossing(document)
            else:
                run.add_document(events, ts, document)
        except ValueError as err:
            raise SavedOutputError(name, number, str(err)) from None
    if not data.runs:
        raise SavedOutputError(name, 0, "no checkpoints or crossings in the file")
    last = [run.checkpoints[-1].events for run in data.runs.values() if run.checkpoints]
    last += [run.crossings[-1].events for run in data.runs.values() if run.crossings]
    data.info.events = max(last) if last else None
    data.info.notes.append(
        "Read from a saved replay output: the input, its lines and the skipped lines are not "
        "recorded there; events fed is the count at the last checkpoint."
    )
    unmatched = [run.name for run in data.runs.values() if run.spec is None]
    if unmatched and specs:
        data.info.notes.append(
            "No --spec given matches " + ", ".join(_quoted(n) for n in unmatched) + "."
        )
    return data
