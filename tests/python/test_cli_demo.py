"""The demo, the sample recording and the entry points, run as real processes."""

import json
import re
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

EPISODE_SYMBOLS = ["SOLUSDT", "DOGEUSDT", "ETHUSDT", "AVAXUSDT"]
TIMING = re.compile(r"^replayed [\d,]+ events in [\d.]+ s$", re.MULTILINE)


def run_cli(*args):
    return subprocess.run(
        [sys.executable, "-m", "fenmor_radar", *args], capture_output=True, timeout=120
    )


@pytest.fixture(scope="module")
def demo_output():
    result = run_cli()
    assert result.returncode == 0, result.stderr
    return result.stdout.decode("utf-8")


def test_bare_command_runs_the_demo_and_both_are_deterministic(demo_output):
    again = run_cli("demo")
    assert again.returncode == 0
    assert TIMING.sub("", again.stdout.decode("utf-8")) == TIMING.sub("", demo_output)
    assert TIMING.search(demo_output)


def test_demo_catches_every_planted_episode_in_the_timeline(demo_output):
    timeline = [line for line in demo_output.splitlines() if re.match(r"\d\d:\d\d:00 ", line)]
    assert len(timeline) == 30  # every 2 minutes of the hour
    first_seen = {}
    for line in timeline:
        for symbol in re.findall(r"\+(\w+)", line):
            first_seen.setdefault(symbol, line[:5])
    assert first_seen == {"SOLUSDT": "13:10", "DOGEUSDT": "13:22", "ETHUSDT": "13:34", "AVAXUSDT": "13:52"}
    quiet = [line for line in timeline if " 0 alerts" in line]
    assert quiet and timeline[0].startswith("13:02:00   0 alerts")


def test_demo_ends_with_a_ranked_table(demo_output):
    lines = demo_output.splitlines()
    start = next(i for i, line in enumerate(lines) if line.startswith("alerts at the end of the hour"))
    header, first, second = lines[start + 1 : start + 4]
    assert header.split() == ["#", "symbol", "severity", "strongest", "factors", "ts"]
    assert re.match(r"\s+1  AVAXUSDT\s+█+\S*\s+0\.\d{3}  oi_price_divergence\(12,0\.01\) 1\.00", first)
    assert re.match(r"\s+2  ETHUSDT\s+█+\S*\s+0\.\d{3}  liq_cluster\(20,1000\) 1\.00", second)
    assert first.rstrip().endswith("13:59:55")


def test_demo_checkpoint_interval_option():
    result = run_cli("demo", "--minutes", "15")
    timeline = [line[:5] for line in result.stdout.decode().splitlines() if re.match(r"\d\d:\d\d:00 ", line)]
    assert timeline == ["13:15", "13:30", "13:45", "14:00"]


def test_saved_sample_replays_to_the_demo_final_alerts(tmp_path):
    events, spec = tmp_path / "events.jsonl.gz", tmp_path / "spec.json"
    result = run_cli("sample", "-o", str(events), "--spec-out", str(spec))
    assert result.returncode == 0, result.stderr
    assert b"wrote 36,932 events" in result.stderr
    first_bytes = events.read_bytes()
    run_cli("sample", "-o", str(events))
    assert events.read_bytes() == first_bytes  # same seed, same file, byte for byte

    replayed = run_cli("replay", "--spec", str(spec), str(events))
    assert replayed.returncode == 0, replayed.stderr
    (final,) = replayed.stdout.decode().splitlines()
    checkpoint = json.loads(final)
    assert checkpoint["events"] == 36932 and checkpoint["scanned"] == 50
    assert [alert["symbol"] for alert in checkpoint["alerts"]] == ["AVAXUSDT", "ETHUSDT"]


def test_sample_to_standard_output_covers_all_event_kinds():
    result = run_cli("sample", "--seed", "7")
    lines = result.stdout.decode().splitlines()
    kinds = {json.loads(line)["event"][0] for line in lines}
    assert kinds == {"derivatives", "orderbook", "liquidation"}
    symbols = {json.loads(line)["symbol"] for line in lines}
    assert len(symbols) == 50
    stamps = [json.loads(line)["event"][1] for line in lines]
    assert stamps == sorted(stamps)
    assert stamps[-1] - stamps[0] < 3_600_000


def console_script():
    name = "fenmor-radar"
    found = Path(sysconfig.get_path("scripts")) / name
    return str(found) if found.exists() else shutil.which(name)


def test_console_script_and_module_agree():
    script = console_script()
    if script is None:
        pytest.skip("fenmor-radar is not installed as a console script here")
    result = subprocess.run([script, "--version"], capture_output=True, timeout=60)
    assert result.stdout == b"fenmor-radar 0.2.0\n"
    assert run_cli("--version").stdout == result.stdout


def test_help_lists_the_commands():
    text = run_cli("--help").stdout.decode()
    for command in ("demo", "replay", "pipe", "sample"):
        assert command in text
