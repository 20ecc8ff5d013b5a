"""pyarrow, imported when first needed, and how a path is told to be Parquet."""

from __future__ import annotations

import os
from types import ModuleType

from fenmor_radar import optional

PARQUET_SUFFIX = ".parquet"


class MissingPyarrow(optional.MissingExtra):
    """pyarrow is not installed: the message says how to get it."""


def pyarrow(what: str = "the Parquet format") -> ModuleType:
    """The pyarrow module; ``MissingPyarrow`` naming ``what`` needed it."""
    try:
        import pyarrow as pa
    except ImportError as err:
        raise MissingPyarrow(optional.missing_message(what, "parquet", err), name=err.name) from err
    module: ModuleType = pa
    return module


def is_parquet(path: str) -> bool:
    """A Parquet recording: a ``.parquet`` file, or a folder holding such files."""
    if path.lower().endswith(PARQUET_SUFFIX):
        return True
    if not os.path.isdir(path):
        return False
    return any(parquet_files(path))


def parquet_files(folder: str) -> list[str]:
    """The ``.parquet`` files under ``folder``, in name order: the order of their rows."""
    found: list[str] = []
    for root, dirs, files in os.walk(folder):
        dirs.sort()
        found.extend(
            os.path.join(root, name) for name in files if name.lower().endswith(PARQUET_SUFFIX)
        )
    return sorted(found)
