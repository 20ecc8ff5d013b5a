"""Each optional feature, its package hidden, names the extra that brings it."""

import subprocess
import sys
import textwrap

import pytest

# extra, the package hidden, the code that reaches the feature
FEATURES = [
    ("report", "plotly",
     "from fenmor_radar.report.html import require_plotly; require_plotly()"),
    ("report", "plotly",  # before the replay, not after it
     "import argparse; from fenmor_radar.cli import evaluate_command;"
     " evaluate_command.run(argparse.Namespace(report='scorecard.html'))"),
    ("live", "cryptofeed",
     "from fenmor_radar.feeds.live import make_feed_handler; make_feed_handler()"),
    ("live", "cryptofeed",
     "from fenmor_radar.feeds.live import exchange_feed; exchange_feed('BINANCE_FUTURES')"),
    ("distributed", "distributed",
     "from fenmor_radar.distributed.cluster import import_dask; import_dask()"),
    ("distributed", "fsspec",
     "from fenmor_radar.distributed.parts import import_fsspec; import_fsspec()"),
    ("tune", "optuna",
     "import argparse; from fenmor_radar.cli import tune_command;"
     " tune_command.run(argparse.Namespace())"),
    ("parquet", "pyarrow",
     "from fenmor_radar.columnar.arrow import pyarrow; pyarrow()"),
    ("web", "aiohttp",
     "from fenmor_radar.page.server import LivePage; LivePage('127.0.0.1', 0, None)"),
    ("evaluate", "scipy",
     "import argparse; from fenmor_radar.cli import evaluate_command;"
     " evaluate_command.run(argparse.Namespace())"),
]


@pytest.mark.parametrize(("extra", "package", "code"), FEATURES,
                         ids=[f"{extra}-{package}" for extra, package, _ in FEATURES])
def test_a_missing_package_names_its_extra(extra, package, code):
    # A None entry in sys.modules makes every import of the package fail, as
    # on a machine without it.
    script = textwrap.dedent(f"""
        import sys
        for name in list(sys.modules):
            if name == {package!r} or name.startswith({package!r} + "."):
                del sys.modules[name]
        sys.modules[{package!r}] = None
        try:
            {code}
        except Exception as err:
            print(type(err).__name__, err)
        else:
            print("no error")
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stderr
    assert f"pip install 'fenmor-radar[{extra}]'" in result.stdout, result.stdout
    assert package in result.stdout, result.stdout
