"""The spec the demo runs with, shipped inside the package (``data/default_spec.json``).

The sample hour's planted episodes (``fenmor_radar.sample``) are the ones
it is built to catch.
"""

from __future__ import annotations

from importlib import resources

DEFAULT_SPEC = "default_spec.json"


def default_spec_text() -> str:
    """The default spec's text, as shipped."""
    return resources.files("fenmor_radar").joinpath("data").joinpath(DEFAULT_SPEC).read_text("utf-8")
