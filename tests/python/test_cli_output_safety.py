"""What the command line writes, under hostile input and failing outputs, as real processes."""

import json
import os
import signal
import subprocess
import sys
import time

import pytest

SPEC = '{"signals":[{"kind":"book_imbalance","params":[1.0]}],"threshold":0.0}'
HOSTILE = "\u001b]0;title\u0007\u001b[2J"


def cli(*args):
    return [sys.executable, "-m", "fenmor_radar", *args]


@pytest.fixture
def spec(tmp_path):
    path = tmp_path / "spec.json"
    path.write_text(SPEC, encoding="utf-8")
    return str(path)


def test_control_characters_from_a_recording_never_reach_the_terminal(tmp_path, spec):
    lines = [
        {"symbol": "A", "event": {"kind": HOSTILE, "ts": 1}},
        {"symbol": "A", "event": ["liquidation", 2, HOSTILE, 1.0, 1.0]},
        {"symbol": HOSTILE, "event": ["orderbook", 3, 2.0, 1.0, 1.0, 2.0]},
    ]
    events = tmp_path / "events.jsonl"
    events.write_text("".join(json.dumps(line) + "\n" for line in lines), encoding="utf-8")
    for output in ("json", "table"):
        result = subprocess.run(
            cli("replay", "--spec", spec, str(events), "--format", output),
            capture_output=True,
            timeout=120,
            check=False,
        )
        assert result.returncode == 3, result.stderr
        both = result.stdout + result.stderr
        assert b"\x1b" not in both and b"\x07" not in both
        assert b"\\x1b]0;title\\x07\\x1b[2J" in result.stderr


def big_recording(path, symbols=3000):
    # Every symbol alerts (threshold 0), so each checkpoint line is some
    # 300 KB: far more than a pipe holds.
    with open(path, "w", encoding="utf-8") as file:
        for round_ in range(3):
            for index in range(symbols):
                event = ["orderbook", round_ * symbols + index, 2.0, 1.0, 1.0, 2.0]
                file.write(json.dumps({"symbol": f"SYMBOL{index:05d}", "event": event}) + "\n")
    return str(path)


@pytest.mark.parametrize(("signum", "code"), [(signal.SIGTERM, 143), (signal.SIGINT, 130)])
def test_a_stop_during_a_slow_reader_never_leaves_half_a_line(tmp_path, spec, signum, code):
    events = big_recording(tmp_path / "big.jsonl")
    process = subprocess.Popen(
        cli("replay", "--spec", spec, events, "--every", "3000", "-q"),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    received = process.stdout.read(4096)  # the writer is now blocked inside a line
    time.sleep(0.5)
    process.send_signal(signum)
    time.sleep(0.2)
    received += process.stdout.read()
    process.wait(timeout=60)
    assert process.returncode == code, process.stderr.read()
    assert received.endswith(b"\n")
    lines = received.splitlines()
    assert all(json.loads(line)["scanned"] == 3000 for line in lines)


def test_a_full_disk_is_named(spec):
    if not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full")
    for args in (("sample",), ("pipe", "--spec", spec), ("demo",)):
        with open("/dev/full", "wb") as full:
            result = subprocess.run(
                cli(*args), stdout=full, stderr=subprocess.PIPE, input=b'{"cmd":"version"}\n',
                timeout=120,
                check=False,
            )
        assert result.returncode == 1
        assert result.stderr.decode() == (
            "fenmor-radar: error: cannot write to standard output: No space left on device\n"
        )


def test_a_closed_pipe_ends_quietly_with_the_status_of_sigpipe(spec):
    for args in (("sample",), ("demo",)):
        process = subprocess.Popen(cli(*args), stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        # Closed before the command can have written anything: the demo's whole
        # output fits in a pipe's buffer, so a reader that waited for a line
        # could close it only after the last write on a loaded machine.
        process.stdout.close()
        assert process.wait(timeout=120) == 141
        assert process.stderr.read() == b""


def test_ctrl_c_while_the_program_starts_ends_without_a_traceback(monkeypatch, capsys):
    import fenmor_radar.cli as command_line

    def importing():  # the command modules' import is where a start-up Ctrl-C lands
        raise KeyboardInterrupt

    monkeypatch.setattr(command_line, "build_parser", importing)
    assert command_line.main(["demo"]) == 130
    assert capsys.readouterr().err == "fenmor-radar: interrupted\n"
