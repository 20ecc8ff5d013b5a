"""Columnar recordings: Parquet in and out, fed to the radar from Arrow buffers.

A Parquet recording holds the events of a JSON-lines recording, one row per
event in input order (docs/data.md, "The Parquet recording format"). The
native replay takes its columns straight from Arrow buffers, so a replay of a
Parquet file parses no text; what it reports is what the same events replayed
from JSON lines give, byte for byte.

Everything here needs pyarrow (``pip install 'fenmor-radar[parquet]'``),
imported at first use.
"""

from __future__ import annotations

from fenmor_radar.columnar.arrow import MissingPyarrow, is_parquet
from fenmor_radar.columnar.selection import Selection

__all__ = ["MissingPyarrow", "Selection", "is_parquet"]
