"""The examples run as written."""

import re
import subprocess
import sys
from pathlib import Path

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


def run_example(name, *args):
    result = subprocess.run(
        [sys.executable, str(EXAMPLES / name), *args], capture_output=True, timeout=300
    )
    assert result.returncode == 0, result.stderr.decode()
    return result.stdout.decode("utf-8")


def test_live_loop_reports_the_squeeze_and_survives_a_bad_event():
    output = run_example("live_loop.py")
    lines = output.splitlines()
    assert re.match(r"13:0\d:\d\d NEW SOLUSDT +severity 0\.\d{3}  \(oi_delta\(6,0\.05\)=1\.00", lines[0])
    assert '  rejected ETHUSDT event: parse: invalid type: string "n/a", expected f64' in lines
    assert lines[-1] == "fed 606 events, 1 rejected"
    assert all(" NEW " not in line or "SOLUSDT" in line for line in lines)  # no false alarms


def test_spec_tuning_compares_specs_on_the_bundled_sample():
    output = run_example("spec_tuning.py")
    rows = {line.split("  ")[0].strip(): line for line in output.splitlines()[3:]}
    assert list(rows) == [
        "default",
        "threshold 0.45",
        "threshold 0.12",
        "no liq_cluster",
        "funding scale 0.0002",
        "oi_delta lookback 3",
    ]
    assert "4/4 SOLUSDT@13:08 DOGEUSDT@13:20 ETHUSDT@13:33 AVAXUSDT@13:50" in rows["default"]
    assert "unplanned" not in rows["default"]
    assert " 1/4 " in rows["threshold 0.45"]  # too strict: misses episodes
    assert "unplanned" in rows["threshold 0.12"]  # too loose: noise


def test_spec_tuning_reads_a_recording_file(tmp_path):
    events = tmp_path / "events.jsonl"
    events.write_text(
        '{"symbol":"BTCUSDT","event":["orderbook",1,900,100,1,2]}\n'
        '{"symbol":"ETHUSDT","event":["orderbook",1,"bad",100,1,2]}\n'
        '{"symbol":"BTCUSDT","event":["liquidation",2,"sell",5000,1]}\n',
        encoding="utf-8",
    )
    result = subprocess.run(
        [sys.executable, str(EXAMPLES / "spec_tuning.py"), str(events)],
        capture_output=True,
        timeout=300,
    )
    assert result.returncode == 0
    output = result.stdout.decode()
    assert output.startswith(f"3 events from {events}")
    # book_imbalance 1 at weight 0.5 and liq_cluster 1 at weight 1, of 4.5 in all
    assert "default                        1       1  BTCUSDT 0.33" in output
    assert result.stderr.decode().count("line 2 skipped") == 1
