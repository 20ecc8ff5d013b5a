"""A spec as the Python calls take it: a JSON text, a dict, or a spec file's path.

A ``str`` is a JSON text unless it names a file and cannot be one (it does
not start with ``{``); an ``os.PathLike`` is always a file. A text that is
neither is handed to the radar as it is, and the radar's message says why it
is not a spec; ``spec_hint`` then adds what a spec may be.
"""

from __future__ import annotations

import json
import os
from collections.abc import Mapping
from typing import Any, TypeAlias

Spec: TypeAlias = "str | os.PathLike[str] | Mapping[str, Any] | list[Any]"

# A spec's members, in the order its positional (array) form lists them.
POSITIONAL_MEMBERS = ("venues", "symbols", "signals", "threshold", "limit")


def spec_json(spec: Spec) -> str:
    """The spec's JSON text; ``OSError`` for a spec file that cannot be read."""
    if isinstance(spec, os.PathLike):
        return _read(os.fspath(spec))
    if isinstance(spec, str):
        if not _looks_like_json(spec) and os.path.isfile(spec):
            return _read(spec)
        return spec
    return json.dumps(spec if isinstance(spec, list) else dict(spec), separators=(",", ":"),
                      ensure_ascii=False)


def spec_hint(spec: object) -> str:
    """What to add to the radar's message about a text that is no spec, or ""."""
    if not isinstance(spec, str) or _looks_like_json(spec):
        return ""
    shown = spec if len(spec) <= 80 else spec[:77] + "..."
    return (f" (a spec is a JSON text, a dict or a spec file's path; {shown!r} is neither "
            "JSON nor a file that exists)")


def _looks_like_json(text: str) -> bool:
    return text.lstrip()[:1] in ("{", "[")


def _read(path: str) -> str:
    with open(path, encoding="utf-8") as file:
        return file.read()
