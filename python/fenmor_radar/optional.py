"""The packages of the optional features, imported when a feature is first used.

Each extra of the package (pyproject.toml) brings one feature's packages. A
feature whose package does not import says which ``pip install`` brings it,
in the same words everywhere: this is the one place those words are made.
"""

from __future__ import annotations

import importlib
from types import ModuleType


class MissingExtra(ImportError):
    """An optional feature's package is not installed."""


def install_command(extra: str) -> str:
    return f"pip install 'fenmor-radar[{extra}]'"


def missing_message(feature: str, extra: str, err: ImportError) -> str:
    """What to tell a user whose import for FEATURE failed with ERR."""
    package = err.name or str(err)
    return f"{feature} needs {package}, which is not installed: {install_command(extra)}"


def require(module: str, feature: str, extra: str) -> ModuleType:
    """MODULE, imported, or a MissingExtra that names the extra bringing it."""
    try:
        return importlib.import_module(module)
    except ImportError as err:
        raise MissingExtra(missing_message(feature, extra, err), name=err.name) from err
