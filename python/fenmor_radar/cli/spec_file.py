"""Spec files: reading one into a radar, its warnings on standard error."""

from __future__ import annotations

from fenmor_radar import Radar
from fenmor_radar.cli import errors
from fenmor_radar.cli.errors import CliError
from fenmor_radar.cli.spec_check import hint_for_error, warn_spec

BOM = b"\xef\xbb\xbf"


def distinct_names(paths: list[str]) -> list[str]:
    """How the output names each spec: its path, ``#2``, ``#3`` added to a path given again.

    The same spec given twice is two radars with results of their own; one name
    for both would merge them in the report and in a saved output.
    """
    seen: dict[str, int] = {}
    names = []
    for path in paths:
        seen[path] = seen.get(path, 0) + 1
        names.append(path if seen[path] == 1 else f"{path} #{seen[path]}")
    return names


def read_spec_text(path: str) -> str:
    try:
        with open(path, "rb") as file:
            data = file.read()
    except OSError as err:
        raise CliError(errors.cannot("read spec file", path, err)) from err
    # Editors on some systems start a UTF-8 file with a byte-order mark; a
    # file is not a command text, so it is skipped here (never by the radar).
    data = data.removeprefix(BOM)
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as err:
        raise CliError(f"{path}: not valid UTF-8 (byte {err.start + 1})") from err


def radar_from_text(text: str, origin: str) -> Radar:
    """A radar built from a spec text; a rejected spec shows the radar's own message.

    That message carries the line and column of the fault within the text.
    """
    try:
        return Radar(text)
    except ValueError as err:
        raise rejected_spec(origin, str(err)) from err


def rejected_spec(origin: str, message: str) -> CliError:
    """The error for a spec the radar refused: where, the radar's message, a hint if any."""
    hint = hint_for_error(message)
    return CliError(f"{origin}: {message}" + (f"; {hint}" if hint else ""))


def load_radar(path: str, *, check: bool = True) -> Radar:
    """The radar of a spec file; with ``check``, the spec's warnings on standard error."""
    text = read_spec_text(path)
    radar = radar_from_text(text, path)
    if check:
        warn_spec(path, text)
    return radar
