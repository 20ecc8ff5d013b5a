"""Webhook notifications: delivery, retries, timeouts, the bounded queue, payload shapes."""

import json
import os
import subprocess
import sys
import time

import pytest

from fenmor_radar.cli.notify import Notice, Notifier, payload
from fenmor_radar.cli.novelty import AlertChange, NewOnlyFilter
from fenmor_radar.replay.replies import AlertView
from webhook_server import RawServer, WebhookServer, refused_url

NOTICE = Notice("BTCUSDT", 0.75, (("funding_flip(0.0001)", 1.0),), 42, "a.json", "new")


@pytest.fixture(autouse=True)
def no_proxy(monkeypatch):
    # A proxy from the environment must not carry test requests off the machine.
    monkeypatch.setenv("no_proxy", "127.0.0.1,localhost")
    monkeypatch.setenv("NO_PROXY", "127.0.0.1,localhost")


def notifier(server, **options):
    options.setdefault("backoff", 0.01)
    options.setdefault("timeout", 2.0)
    return Notifier(server.url, **options)


@pytest.mark.parametrize(
    ("answers", "sent", "failed", "requests", "retries"),
    [
        ([(503, 0), (500, 0)], 1, 0, 3, 2),  # 5xx is retried until it succeeds
        ([(429, 0)], 1, 0, 2, 1),  # so is rate limiting
        ([(500, 0)] * 4, 0, 1, 4, 3),  # out of attempts
        ([(400, 0)], 0, 1, 1, 0),  # a client error is final
        # A Retry-After that is no number of seconds is ignored, not waited for.
        ([(429, 0, {"Retry-After": "nan"}), (503, 0, {"Retry-After": "inf"})], 1, 0, 3, 2),
    ],
)
def test_answers_are_retried_or_final(answers, sent, failed, requests, retries):
    with WebhookServer(answers) as server:
        sender = notifier(server)
        sender.notify(NOTICE)
        stats = sender.close(wait=10)
    assert (stats.sent, stats.failed, server.count, stats.retries) == (
        sent, failed, requests, retries,
    )
    assert all(body == server.bodies[0] for body in server.bodies)


def test_a_slow_answer_times_out_and_is_retried():
    with WebhookServer([(200, 1.5)]) as server:
        sender = notifier(server, timeout=0.3)
        sender.notify(NOTICE)
        stats = sender.close(wait=10)
    assert (stats.sent, stats.retries, server.count) == (1, 1, 2)
    assert "timed out" in (stats.last_error or "")


def test_a_full_queue_drops_and_counts_without_blocking():
    with WebhookServer(delay=0.3) as server:
        sender = notifier(server, queue_size=2)
        started = time.monotonic()
        for _ in range(20):
            sender.notify(NOTICE)
        assert time.monotonic() - started < 0.2  # the caller never waited for the network
        stats = sender.close(wait=10)
    assert stats.queued + stats.dropped == 20
    assert 2 <= stats.queued <= 3  # two queued, perhaps one already taken by the sender
    assert stats.sent == stats.queued == server.count
    assert f"{stats.dropped} dropped (queue full)" in sender.summary()


def test_close_gives_up_on_a_dead_end_and_counts_what_was_not_sent():
    with WebhookServer(delay=1.0) as server:
        sender = notifier(server, timeout=5.0)
        for _ in range(3):
            sender.notify(NOTICE)
        started = time.monotonic()
        stats = sender.close(wait=0.5)
        assert time.monotonic() - started < 1.5
        summary = sender.summary()
        time.sleep(1.5)  # the POST in flight succeeds after the run ended
    assert stats.abandoned == 3 and stats.sent == 0
    assert "3 not sent before exit" in summary
    assert sender.summary() == summary  # counted once, as not sent


@pytest.mark.parametrize(
    "reply",
    [
        b"SSH-2.0-OpenSSH_9.6\r\n",  # not HTTP
        b"HTTP/1.1 OK\r\n\r\n",  # a status line without a status
        b"",  # closed without a word
    ],
)
def test_a_reply_that_is_not_http_fails_that_notice_and_the_next_still_goes(reply):
    with RawServer(reply) as raw:
        sender = Notifier(raw.url, backoff=0.01, timeout=2.0, attempts=2)
        sender.notify(NOTICE)
        sender.notify(NOTICE)
        stats = sender.close(wait=10)
    assert (stats.sent, stats.failed, stats.abandoned, raw.connections) == (0, 2, 0, 4)


def test_a_body_shorter_than_its_length_still_counts_the_status():
    reply = b"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nok"
    with RawServer(reply) as raw:
        sender = Notifier(raw.url, backoff=0.01, timeout=2.0)
        sender.notify(NOTICE)
        sender.notify(NOTICE)
        stats = sender.close(wait=10)
    assert (stats.sent, stats.failed, raw.connections) == (2, 0, 2)


def test_min_change_makes_small_steps_news_once_they_add_up():
    def alert(severity):
        return AlertView(1, "ETHUSDT", severity, {"severity": severity}, 1, "{}")

    news_filter = NewOnlyFilter(min_change=0.1)
    severities = [0.5, 0.55, 0.58, 0.62, 0.5, 0.45]
    changes = [
        [change.change for change in news_filter.changes([alert(value)], ts)]
        for ts, value in enumerate(severities)
    ]
    # Measured from the severity last told (0.5, then 0.62, then 0.5), not the last seen.
    assert changes == [["new"], [], [], ["severity"], ["severity"], []]


def test_payload_shapes_follow_the_services_bodies():
    evil = Notice("<!channel> @everyone", None, (("oi_delta(12,0.05)", 0.5),), 1, "s.json", "new")
    plain = payload(NOTICE, "plain")
    assert plain == {
        "symbol": "BTCUSDT", "severity": 0.75, "factors": {"funding_flip(0.0001)": 1.0},
        "ts": 42, "spec": "a.json", "change": "new",
    }
    slack = payload(evil, "slack")
    assert "&lt;!channel&gt;" in slack["text"] and "<!channel>" not in json.dumps(slack)
    assert slack["blocks"][0]["text"]["type"] == "mrkdwn"
    # People read a UTC time; the plain body keeps ts as it is.
    dated = Notice("BTCUSDT", 0.75, (), 1709298535194, "a.json", "new")
    assert "at 2024-03-01 13:08:55 UTC" in payload(dated, "slack")["text"]
    assert "at 2024-03-01 13:08:55 UTC" in payload(dated, "discord")["content"]
    assert payload(dated, "plain")["ts"] == 1709298535194
    discord = payload(evil, "discord")
    assert discord["allowed_mentions"] == {"parse": []}
    assert "@everyone" in discord["content"] and len(discord["content"]) <= 2000
    assert discord["embeds"][0]["fields"][0] == {
        "name": "oi_delta(12,0.05)", "value": "0.5", "inline": True,
    }


def test_news_names_the_strongest_weighted_factors():
    factors = {"a(1)": 0.9, "b(1)": 0.5, "c(1)": 0.1, "d(1)": 0.0, "severity": 0.4}
    alert = AlertView(1, "ETHUSDT", 0.4, factors, 7, "{}")
    with WebhookServer() as server:
        sender = notifier(server)
        sender.news([AlertChange("severity", alert)], "b.json", {"a(1)": 0.1, "b(1)": 1.0, "c(1)": 0.5})
        sender.close(wait=10)
    body = server.bodies[0]
    assert list(body["factors"]) == ["b(1)", "a(1)", "c(1)"]
    assert (body["spec"], body["change"], body["ts"]) == ("b.json", "severity", 7)


FUNDING_SPEC = '{"signals":[{"kind":"funding_flip","params":[0.0001]}],"threshold":0.5}'


def funding(ts, rate, symbol="BTCUSDT"):
    return (
        f'{{"symbol":"{symbol}","event":{{"kind":"derivatives","ts":{ts},"open_interest":1.0,'
        f'"funding_rate":{rate},"mark_price":1.0}}}}'
    )


def test_replay_notifies_news_with_cooldown(tmp_path):
    spec = tmp_path / "spec.json"
    spec.write_text(FUNDING_SPEC)
    events = tmp_path / "events.jsonl"
    # Severity 1.0 at ts 2 (a flip), 0.6 at ts 3, back to 1.0 at ts 4, 0.6 at ts 20.
    rates = [(1, 0.0003), (2, -0.0002), (3, -0.00006), (4, 0.0003), (20, 0.00006)]
    events.write_text("".join(funding(ts, rate) + "\n" for ts, rate in rates))
    env = dict(os.environ, no_proxy="127.0.0.1,localhost", NO_PROXY="127.0.0.1,localhost")
    with WebhookServer() as server:
        result = subprocess.run(
            [sys.executable, "-m", "fenmor_radar", "replay", "--spec", str(spec), str(events),
             "--every", "1", "--cooldown", "10", "--notify", server.url,
             "--notify-format", "discord"],
            capture_output=True, timeout=120, env=env,
        )
    stderr = result.stderr.decode()
    assert result.returncode == 0, stderr
    assert len(stdout := result.stdout.decode().splitlines()) == 5  # the output is unchanged
    assert json.loads(stdout[1])["alerts"][0]["severity"] == 1.0
    # News at ts 2 (new) and ts 20 (after the cooldown); ts 3 and 4 fall inside it.
    assert [body["content"].split(" at ts ")[1].split(" ")[0] for body in server.bodies] == [
        "2", "20",
    ]
    assert server.paths == ["/hooks/secret-token"] * 2
    port = server.url.split(":")[2].split("/")[0]
    assert f"notified 2 of 2 alerts to http://127.0.0.1:{port}\n" in stderr
    assert "secret-token" not in stderr  # a webhook path is a credential


@pytest.mark.parametrize(
    ("options", "message"),
    [
        (["--notify", "file:///etc/passwd"], "--notify: not an http(s) URL"),
        (["--notify", "ftp://127.0.0.1/x"], "--notify: not an http(s) URL"),
        (["--notify", "http://"], "--notify: not an http(s) URL"),
        (["--notify", "http://not a url"], "holds a space at position 11 (percent-encode it"),
        (["--notify", "http://127.0.0.1:99999/x"], "Port out of range"),
        (["--notify", "http://127.0.0.1/x", "--notify-timeout", "inf"], "at most 60 seconds"),
        (["--notify", "http://127.0.0.1/x", "--notify-timeout", "1e9"], "at most 60 seconds"),
        (["--notify", "http://127.0.0.1/x", "--notify-timeout", "nan"], "greater than 0"),
        (["--notify", "http://127.0.0.1/x", "--notify-min-change", "2"], "between 0 and 1"),
    ],
)
def test_notify_options_are_checked_before_the_run(tmp_path, options, message):
    spec = tmp_path / "spec.json"
    spec.write_text(FUNDING_SPEC)
    result = subprocess.run(
        [sys.executable, "-m", "fenmor_radar", "replay", "--spec", str(spec), "-", *options],
        input=b"", capture_output=True, timeout=60,
    )
    assert result.returncode == 2
    assert message in result.stderr.decode()
    assert "Traceback" not in result.stderr.decode()


def test_a_run_whose_notices_cannot_be_delivered_says_so_and_fails(tmp_path):
    spec = tmp_path / "spec.json"
    spec.write_text(FUNDING_SPEC)
    events = tmp_path / "events.jsonl"
    events.write_text("".join(funding(ts, rate) + "\n" for ts, rate in [(1, 0.0003), (2, -0.0002)]))
    url = refused_url()
    started = time.monotonic()
    result = subprocess.run(
        [sys.executable, "-m", "fenmor_radar", "replay", "--spec", str(spec), str(events),
         "--every", "1", "--notify", url, "--notify-timeout", "1", "-q"],
        capture_output=True, timeout=120,
        env=dict(os.environ, no_proxy="127.0.0.1,localhost", NO_PROXY="127.0.0.1,localhost"),
    )
    # Four attempts pausing 0.5, 1 and 2 s: the end of the run waits only timeout + 5 s.
    assert time.monotonic() - started < 12
    assert result.returncode == 4
    assert len(result.stdout.splitlines()) == 2  # the results are all there
    stderr = result.stderr.decode()
    assert "error: 1 of 1 notices were not delivered to http://127.0.0.1:" in stderr
    assert "ConnectionRefusedError" in stderr or "Connection refused" in stderr
