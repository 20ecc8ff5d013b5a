"""`fenmor-radar check`, and its warnings at the start of replay and pipe."""

import json
import os
import subprocess
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from fenmor_radar import Radar
from fenmor_radar.cli.spec_check import check_spec
from fenmor_radar.report.spec_info import spec_info
from webhook_server import WebhookServer

TYPOS = """{
  "signals": [
    {"kind": "oi_delta", "params": [1.5, 0.05], "wieght": 3},
    {"kind": "funding_flip", "params": [0]},
    {"kind": "book_imbalance", "params": [2], "weight": 0},
    {"kind": "liq_cluster", "params": [100000000, 1000]},
    ["oi_price_divergence", [-4, -0.01]]
  ],
  "treshold": 0.25
}
"""
CLEAN = '{"signals":[{"kind":"oi_delta","params":[12,0.05]},{"kind":"liq_cluster","params":[20,1000]}],"threshold":0.5}'


def run(*args, stdin=None, env=None):
    result = subprocess.run(
        [sys.executable, "-m", "fenmor_radar", *args],
        input=stdin,
        capture_output=True,
        timeout=120,
        check=False,
        env=env,
    )
    return result.returncode, result.stdout.decode(), result.stderr.decode()


@pytest.fixture
def spec_file(tmp_path):
    def write(text, name="spec.json", bom=False):
        path = tmp_path / name
        path.write_bytes((b"\xef\xbb\xbf" if bom else b"") + text.encode())
        return str(path)

    return write


def test_check_names_file_line_member_and_reason(spec_file):
    path = spec_file(TYPOS)
    code, out, err = run("check", path)
    assert (code, err) == (0, "")
    for line, member, reason in [
        (9, "treshold", 'unknown member "treshold", ignored by the radar; did you mean "threshold"?'),
        (1, "threshold", "no threshold: it defaults to 0"),
        (3, "signals[0].wieght", 'did you mean "weight"?'),
        (3, "signals[0].params[0]", "lookback 1.5 is not a whole number of samples: the radar uses 1"),
        (4, "signals[1].params[0]", "scale 0: funding_flip is always 0"),
        (5, "signals[2].params[0]", "book_imbalance never exceeds 0.5"),
        (5, "signals[2].weight", "weight 0"),
        (6, "signals[3].params[0]", "lookback 100000000 is huge: every symbol keeps up to 100,000,001 samples, 3.0 GiB"),
        (7, "signals[4].params[0]", "lookback -4 is no whole sample: oi_price_divergence is always 0"),
    ]:
        assert f"{path}:{line}: {member}: " in out and reason in out, (member, out)
    assert "negative scale" not in out  # the divergence squares its scale
    assert "9 warnings" in out
    assert run("check", "--strict", path)[0] == 1


def test_check_of_a_clean_spec_shows_windows_and_memory(spec_file):
    code, out, _ = run("check", "--strict", spec_file(CLEAN, bom=True))
    assert code == 0
    assert "0 warnings" in out
    assert "13 derivatives events" in out and "the last 20 liquidations" in out
    assert "4 x 8 x (21 + 1) + 200 = 904 bytes per symbol" in out


def test_unreachable_threshold_and_an_unknown_kind(spec_file):
    dead = '{"signals":[{"kind":"funding_flip","params":[0.001]},{"kind":"book_imbalance","params":[4],"weight":3}],"threshold":0.5}'
    code, out, _ = run("check", spec_file(dead))
    # (1 x 1 + 3 x 0.25) / 4: the book reaches at most 1/4.
    assert "above the largest severity this spec can reach (0.4375)" in out
    # The divergence squares its scale: beyond about 1e154 the square is infinite.
    code, out, _ = run("check", spec_file('{"signals":[["oi_price_divergence",[3,1e200]]],"threshold":0.5}'))
    assert "signals[0].params[1]: scale 1e+200: its square is infinite as a double" in out
    assert "can reach (0): no symbol can ever alert" in out
    code, out, err = run("check", spec_file('{"signals":[{"kind":"oi_delat","params":[1,1]}]}'))
    assert code == 1 and err.endswith('; did you mean "oi_delta"?\n')


def test_replay_and_pipe_warn_on_stderr_and_run_as_before(spec_file, tmp_path):
    path = spec_file('{"signals":[{"kind":"funding_flip","params":[0.0001]}],"treshold":0.5}', bom=True)
    events = tmp_path / "events.jsonl"
    events.write_bytes(b'{"symbol":"A","event":["derivatives",1,1.0,0.001,1.0]}\n')
    code, out, err = run("replay", "--spec", path, str(events), "-q")
    assert code == 0
    assert out.startswith('{"events":1,"ts":1,"alerts":[{"symbol":"A"')
    assert f"fenmor-radar: warning: {path}:1: treshold: unknown member" in err
    code, out, err = run("pipe", "--spec", path, stdin=b'{"cmd":"version"}\n')
    assert (code, out) == (0, '{"version":"0.2.0"}\n')
    assert "did you mean" in err


HUGE_SCALE = '{"signals":[{"kind":"funding_flip","params":[1e301]},{"kind":"oi_delta","params":[3,1e-300]}],"threshold":0.1}'
# An ignored member whose value nests far beyond any recursion limit.
DEEP_UNKNOWN = '{"signals":[{"kind":"funding_flip","params":[0.0001]}],"x":' + "[" * 5000 + "]" * 5000 + "}"


@pytest.mark.parametrize("spec", [HUGE_SCALE, DEEP_UNKNOWN], ids=["parameter 1e301", "deep member"])
def test_check_report_and_notify_take_every_spec_the_radar_takes(spec_file, tmp_path, spec):
    path = spec_file(spec)
    code, out, err = run("check", path)
    assert (code, err) == (0, ""), err
    assert "funding_flip(" in out
    events = tmp_path / "events.jsonl"
    events.write_text('{"symbol":"A","event":["derivatives",1,1.0,0.001,1.0]}\n')
    page = tmp_path / "r.html"
    code, _, err = run("replay", "--spec", path, str(events), "-q", "--report", str(page))
    assert code == 0 and "Traceback" not in err, err
    assert page.exists()
    env = dict(os.environ, no_proxy="127.0.0.1,localhost", NO_PROXY="127.0.0.1,localhost")
    with WebhookServer() as server:
        code, _, err = run("replay", "--spec", path, str(events), "-q", "--notify", server.url, env=env)
    assert code == 0 and "Traceback" not in err, err


NUMBER = st.one_of(
    st.floats(allow_nan=False, allow_infinity=False),
    st.sampled_from([1e301, -1e301, 1.7e300, 1.8e300, 5e-9, -5e-9, 1.5e-8, 2.5e-8]),
)


@settings(max_examples=200, deadline=None)
@given(NUMBER, NUMBER, NUMBER)
def test_keys_are_the_radars_factor_names_for_any_parameter(lookback, scale, other):
    """The check and the report name each factor as the radar's alerts do."""
    spec = json.dumps({"signals": [
        {"kind": "oi_delta", "params": [lookback, scale]},
        {"kind": "book_imbalance", "params": [other]},
    ], "threshold": -1})
    radar = Radar(spec)
    radar.command('{"cmd":"feed","symbol":"S","event":["orderbook",1,1,2,1,2]}')
    factors = json.loads(radar.command('{"cmd":"alerts"}'))["alerts"][0]["factors"]
    names = set(factors) - {"severity"}
    assert {signal.key for signal in spec_info(spec, "s").signals} == names
    assert {signal.key for signal in check_spec(spec).signals} == names


def derivatives(symbol, ts):
    return (f'{{"symbol":"{symbol}","event":{{"kind":"derivatives","ts":{ts},'
            '"open_interest":1,"funding_rate":0.0001,"mark_price":1}}')


def liquidation(symbol, ts):
    # Members in another order than the writers give: read as JSON, not by the fast pattern.
    return (f'{{"event": {{"ts": {ts}, "kind": "liquidation", "side": "sell", "qty": 1, '
            f'"price": 1}}, "symbol": "{symbol}"}}')


def test_check_says_what_each_lookback_spans_on_a_recording(spec_file, tmp_path):
    start = 1_709_298_000_000
    lines = [derivatives("BTC", start + i * 10_000) for i in range(10)]
    lines += [derivatives("ETH", start + i * 30_000) for i in range(10)]
    # The array form, as live --record writes it, counts too.
    array_form = f'{{"symbol":"BTC","event":["liquidation",{start + 5_000},"buy",1.0,1.0]}}'
    lines += [liquidation("BTC", start), array_form, "not an event"]
    recording = tmp_path / "events.jsonl"
    recording.write_text("\n".join(lines) + "\n")
    spec = spec_file('{"signals":[["oi_delta",[3,0.05]],["liq_cluster",[2,1]],'
                     '["funding_flip",[0.0001]],["book_imbalance",[1]]],"threshold":0.5}')
    code, out, err = run("check", spec, "--recording", str(recording))
    assert code == 0, err
    tail = out.split("lookbacks in time on ")[1].splitlines()
    assert tail[0].startswith(
        f"{recording} (23 lines: 2 symbols, 2024-03-01 13:00:00 to 2024-03-01 13:04:30 UTC)"
    )
    # 3 samples back: 30 s for BTC, 90 s for ETH; 2 liquidations cover one 5 s interval.
    assert tail[1].split(None, 1)[1] == (
        "reaches 3 derivatives events back: 1 min (median of 2 symbols; 30 s for BTC to "
        "1 min 30 s for ETH)"
    )
    assert tail[2].split(None, 1)[1] == "the last 2 liquidations span 5 s (for BTC)"
    assert "10 s for BTC to 30 s for ETH" in tail[3]
    assert "no lookback" in tail[4]
    # The same events in a Parquet recording read alike (the refused line is not in it).
    parquet = tmp_path / "events.parquet"
    assert run("convert", str(recording), "-o", str(parquet))[0] == 3
    code, out, err = run("check", spec, "--recording", str(parquet))
    columnar = out.split("lookbacks in time on ")[1].splitlines()
    assert code == 0 and columnar[0].startswith(f"{parquet} (22 lines: 2 symbols,")
    assert columnar[1:] == tail[1:]
    code, _, err = run("check", spec, "--recording", str(tmp_path / "missing.jsonl"))
    assert code == 1 and "cannot read" in err and "missing.jsonl" in err


def test_lookback_spans_read_a_bounded_prefix_and_any_clock(tmp_path):
    from fenmor_radar.cli.lookback_time import SignalLookback, lookback_lines, read_cadence

    recording = tmp_path / "events.jsonl"
    recording.write_text("\n".join(derivatives("S", ts) for ts in (1, 3, 5, 100, 200)) + "\n")
    cadence = read_cadence(str(recording), prefix_lines=3)
    lines = lookback_lines([SignalLookback("oi_delta(2,1)", "oi_delta", 2)], cadence)
    assert lines[0].startswith(f"lookbacks in time on {recording} (its first 3 lines: 1 symbol, ts 1 to 5)")
    assert lines[1].endswith("reaches 2 derivatives events back: 4 ts units (for S)")
    # The same recording in the array form (live --record writes it) reads alike.
    recording.write_text("".join(f'{{"symbol":"S","event":["derivatives",{ts},1.0,0.0001,1.0]}}\n'
                                 for ts in (1, 3, 5, 100, 200)))
    assert lookback_lines([SignalLookback("oi_delta(2,1)", "oi_delta", 2)],
                          read_cadence(str(recording), prefix_lines=3)) == lines
