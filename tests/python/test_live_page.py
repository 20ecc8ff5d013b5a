"""The live page in headless Chromium: it follows checkpoints as they come, and stays offline.

Chromium is driven through its DevTools protocol (a websocket on 127.0.0.1),
so the test sees the page as it is at each moment rather than after a
virtual-time budget. Its proxy is a dead port on 127.0.0.1: loopback goes
direct, anything else the page asked for would fail there and show in the
page's resource list, which must name only the page's own address.
The screenshot is kept in build/test-artifacts/ (or $FENMOR_TEST_ARTIFACTS).
"""

import base64
import contextlib
import json
import os
import shutil
import socket
import subprocess
import time
import urllib.request
from pathlib import Path

import pytest

pytest.importorskip("aiohttp")
from websockets.sync.client import connect  # noqa: E402

from fenmor_radar.feeds.health import ChannelAge, SymbolHealth  # noqa: E402
from fenmor_radar.page.board import Board  # noqa: E402
from fenmor_radar.page.server import LivePage, parse_address  # noqa: E402
from fenmor_radar.replay.items import Checkpoint  # noqa: E402

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
ARTIFACTS = Path(
    os.environ.get("FENMOR_TEST_ARTIFACTS", Path(__file__).resolve().parents[2] / "build" / "test-artifacts")
)
browser = pytest.mark.skipif(
    CHROMIUM is None or bool(os.environ.get("FENMOR_SANITIZED")),
    # The page is what is checked here, not the engine: no use running a browser under ASan.
    reason="chromium is not installed (tests/run.sh installs it), or a sanitized run",
)


def dead_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def reply(*alerts):
    items = []
    for rank, (symbol, severity) in enumerate(alerts, 1):
        factors = {"funding_flip(0.0001)": 1.0, "oi_delta(12,0.05)": severity / 2, "severity": severity}
        items.append(json.dumps({"symbol": symbol, "severity": severity, "factors": factors, "ts": rank}))
    return '{"alerts":[' + ",".join(items) + '],"scanned":40}'


class DevTools:
    """One page of a headless Chromium, through its DevTools websocket."""

    def __init__(self, tmp_path, url):
        profile = tmp_path / "profile"
        self.process = subprocess.Popen(
            [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
             "--no-default-browser-check", "--disable-background-networking",
             "--disable-component-update", "--disable-sync", "--disable-extensions",
             "--hide-scrollbars", f"--user-data-dir={profile}", "--remote-debugging-port=0",
             f"--proxy-server=127.0.0.1:{dead_port()}", "--window-size=1280,720", url],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
        )
        port_file = profile / "DevToolsActivePort"
        deadline = time.monotonic() + 60
        while not (port_file.exists() and port_file.read_text().count("\n") >= 1):
            assert time.monotonic() < deadline, "chromium did not start"
            time.sleep(0.1)
        port = int(port_file.read_text().split()[0])
        with urllib.request.urlopen(f"http://127.0.0.1:{port}/json/list", timeout=10) as answer:
            target = next(t for t in json.load(answer) if t["type"] == "page")
        self.stack = contextlib.ExitStack()
        self.socket = self.stack.enter_context(connect(target["webSocketDebuggerUrl"], max_size=None))
        self.calls = 0

    def call(self, method, **params):
        self.calls += 1
        self.socket.send(json.dumps({"id": self.calls, "method": method, "params": params}))
        while True:
            message = json.loads(self.socket.recv(timeout=30))
            if message.get("id") == self.calls:
                return message["result"]

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True)
        return result["result"].get("value")

    def wait_for(self, expression, expected, timeout):
        deadline = time.monotonic() + timeout
        while (value := self.evaluate(expression)) != expected:
            assert time.monotonic() < deadline, f"{expression} is {value!r}, not {expected!r}"
            time.sleep(0.02)
        return time.monotonic()

    def close(self):
        self.stack.close()
        self.process.kill()
        self.process.wait(30)


TOP = "(document.querySelector('#alerts tbody tr') || {dataset: {}}).dataset.symbol || null"


@browser
def test_the_page_follows_checkpoints_and_loads_nothing_else(tmp_path):
    page = LivePage("127.0.0.1", 0, Board("BYBIT live", threshold=0.3))
    url = page.start()
    chrome = DevTools(tmp_path, url)
    try:
        chrome.wait_for("document.getElementById('status').textContent", "live", 60)
        health = [
            SymbolHealth("BTCUSDT", False, (ChannelAge("funding", 1.5, 1), ChannelAge("l2_book", 0.2, 1))),
            SymbolHealth("ETHUSDT", True, (ChannelAge("funding", 400.0, 1), ChannelAge("l2_book", None, None))),
        ]
        tops = []
        for number, alerts in enumerate(
            [
                [("BTCUSDT", 0.5), ("ETHUSDT", 0.4)],
                [("SOLUSDT", 0.9), ("BTCUSDT", 0.55), ("ETHUSDT", 0.35)],
                [("ETHUSDT", 0.95), ("SOLUSDT", 0.8)],
            ],
            1,
        ):
            sent = time.monotonic()
            page.checkpoint(
                Checkpoint(number * 1000, 1_709_300_000_000 + number * 60_000, reply(*alerts)),
                ["ETHUSDT"], health,
            )
            shown = chrome.wait_for(TOP, alerts[0][0], 5)
            tops.append(shown - sent)
        assert max(tops) < 1.0, tops
        assert chrome.evaluate("document.querySelectorAll('#alerts tbody tr').length") == 2
        assert chrome.evaluate("document.querySelectorAll('#alerts svg.spark').length") == 2
        onsets = chrome.evaluate("[...document.querySelectorAll('#onsets li')].map(li => li.textContent)")
        assert [text.split()[2] for text in onsets] == ["SOLUSDT", "ETHUSDT", "BTCUSDT"]
        assert "stale" in chrome.evaluate("document.querySelector('#alerts tbody tr').textContent")
        assert chrome.evaluate("document.querySelector('#health tbody').textContent").count("stale") == 1
        resources = chrome.evaluate("performance.getEntriesByType('resource').map(e => e.name)")
        assert all(name.startswith(url) for name in resources), resources
        picture = base64.b64decode(chrome.call("Page.captureScreenshot", format="png")["data"])
        ARTIFACTS.mkdir(parents=True, exist_ok=True)
        (ARTIFACTS / "live-page.png").write_bytes(picture)
    finally:
        chrome.close()
        page.close()


def test_the_page_is_served_on_loopback_under_its_own_name_only():
    assert parse_address("8000") == ("127.0.0.1", 8000)
    assert parse_address("0.0.0.0:8000") == ("0.0.0.0", 8000)
    with pytest.raises(ValueError, match="HOST:PORT"):
        parse_address("localhost:http")
    page = LivePage("127.0.0.1", 0, Board("t"))
    url = page.start()
    try:
        with urllib.request.urlopen(url + "state", timeout=10) as answer:
            assert json.load(answer)["alerts"] == []
            assert "default-src 'none'" in answer.headers["Content-Security-Policy"]
        # A name pointed at this machine by someone else's page is refused.
        request = urllib.request.Request(url + "state", headers={"Host": "attacker.example:80"})
        with pytest.raises(urllib.error.HTTPError) as refused:
            urllib.request.urlopen(request, timeout=10)
        assert refused.value.code == 421
    finally:
        page.close()


def test_replay_serves_its_last_checkpoint_until_ctrl_c(tmp_path, capsys):
    import signal
    import threading

    from fenmor_radar.cli import main

    spec = tmp_path / "spec.json"
    spec.write_text('{"signals":[{"kind":"liq_cluster","params":[3,1]}]}')
    events = tmp_path / "events.jsonl"
    events.write_text(
        "".join(
            f'{{"symbol":"S{i % 3}","event":{{"kind":"liquidation","ts":{i},"side":"sell",'
            f'"qty":{i},"price":1}}}}\n'
            for i in range(1, 30)
        )
    )
    port = dead_port()
    seen = []

    def watch():
        try:
            deadline = time.monotonic() + 60
            while time.monotonic() < deadline:
                try:
                    with urllib.request.urlopen(f"http://127.0.0.1:{port}/state", timeout=5) as answer:
                        state = json.load(answer)
                except OSError:
                    state = None
                if state and state["checkpoint"].get("events") == 29:
                    seen.append(state)
                    break
                time.sleep(0.05)
        finally:
            os.kill(os.getpid(), signal.SIGINT)

    watcher = threading.Thread(target=watch, daemon=True)
    watcher.start()
    code = main(["replay", "--spec", str(spec), "--every", "10", "--format", "json",
                 "--no-progress", "--serve", f"127.0.0.1:{port}", str(events)])
    watcher.join(10)
    out, err = capsys.readouterr()
    assert code == 0, err
    assert f"the live page is at http://127.0.0.1:{port}/" in err
    last = json.loads(out.splitlines()[-1])
    assert [a["symbol"] for a in seen[0]["alerts"]] == [a["symbol"] for a in last["alerts"]]
    assert len(seen[0]["history"]["ts"]) == 3  # every checkpoint's severities, in order
