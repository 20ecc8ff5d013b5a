"""Telegram notices against a local server that answers as the Bot API does."""

import json
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest

from fenmor_radar.cli import main
from fenmor_radar.cli.telegram import MESSAGE_LIMIT, TOKEN_ENV, bot_url, pack

TOKEN = "123456789:AAE-secret_token"


class BotApi:
    """``answers``: (status, retry_after or None) used in turn, then 200."""

    def __init__(self, answers=()):
        self.answers = list(answers)
        self.requests = []  # (monotonic time, path, body)
        owner = self

        class Handler(BaseHTTPRequestHandler):
            def do_POST(self):
                body = json.loads(self.rfile.read(int(self.headers["Content-Length"])))
                owner.requests.append((time.monotonic(), self.path, body))
                status, retry_after = owner.answers.pop(0) if owner.answers else (200, None)
                if status == 200:
                    answer = {"ok": True, "result": {"message_id": len(owner.requests)}}
                else:
                    answer = {"ok": False, "error_code": status,
                              "description": f"Too Many Requests: retry after {retry_after}",
                              "parameters": {"retry_after": retry_after}}
                data = json.dumps(answer).encode()
                self.send_response(status)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)

            def log_message(self, *args):
                pass

        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.server.server_port}"
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.server.shutdown()
        self.server.server_close()


def test_alerts_are_packed_whole_into_messages_within_the_limit():
    texts = [f"S{i:03d}USDT " + "x" * (100 + i * 7) for i in range(120)]
    messages = pack(texts)
    assert len(messages) > 1
    assert all(len(text) <= MESSAGE_LIMIT for text, _ in messages)
    assert sum(count for _, count in messages) == len(texts)
    assert "\n\n".join(text for text, _ in messages) == "\n\n".join(texts)  # none cut
    (alone, _), = pack(["y" * (MESSAGE_LIMIT + 10)])
    assert len(alone) == MESSAGE_LIMIT and alone.endswith("…")


def test_the_token_comes_from_the_environment_or_the_url():
    assert bot_url(None, {TOKEN_ENV: TOKEN}) == (
        f"https://api.telegram.org/bot{TOKEN}/sendMessage", TOKEN
    )
    assert bot_url(f"http://127.0.0.1:1/bot{TOKEN}", {}) == (
        f"http://127.0.0.1:1/bot{TOKEN}/sendMessage", TOKEN
    )
    with pytest.raises(ValueError, match=TOKEN_ENV):
        bot_url("https://api.telegram.org", {})


def test_replay_posts_to_the_bot_honours_retry_after_and_never_shows_the_token(
    tmp_path, monkeypatch, capsys
):
    spec = tmp_path / "spec.json"
    # Long factor names: 40 alerts do not fit one message.
    names = [f"liq_cluster({n},1)" for n in range(2, 9)]
    spec.write_text(json.dumps({"signals": [
        {"kind": "liq_cluster", "params": [n, 1]} for n in range(2, 9)
    ]}))
    events = tmp_path / "events.jsonl"
    events.write_text("".join(
        f'{{"symbol":"SYMBOL{i:02d}{"Q" * 60}","event":{{"kind":"liquidation","ts":{i},'
        f'"side":"sell","qty":{i + 1},"price":1}}}}\n'
        for i in range(40)
    ))
    monkeypatch.setenv(TOKEN_ENV, TOKEN)
    with BotApi(answers=[(429, 1)]) as bot:
        code = main(["replay", "--spec", str(spec), str(events), "--format", "json",
                     "--no-progress", "--notify", bot.url, "--notify-format", "telegram",
                     "--notify-chat", "-1001234"])
    out, err = capsys.readouterr()
    assert code == 0, err
    assert TOKEN not in out + err and "secret" not in err
    assert f"notified 3 of 3 messages to {bot.url}" in err and "1 retries" in err
    (first, path, body), (retried, _, again) = bot.requests[:2]
    assert path == f"/bot{TOKEN}/sendMessage"
    assert body == again and retried - first >= 1.0  # retry_after honoured
    sent = [body for _, _, body in bot.requests[1:]]
    assert {body["chat_id"] for body in sent} == {"-1001234"}
    texts = [body["text"] for body in sent]
    assert all(len(text) <= MESSAGE_LIMIT for text in texts)
    # Every alert whole, in exactly one message.
    blocks = [block for text in texts for block in text.split("\n\n")]
    assert len(blocks) == 40 and all(block.count("SYMBOL") == 1 for block in blocks)
    assert all(name in texts[0] for name in names[:3])


def test_a_bot_without_its_token_or_chat_is_refused_before_the_run(tmp_path, monkeypatch, capsys):
    spec = tmp_path / "spec.json"
    spec.write_text('{"signals":[{"kind":"liq_cluster","params":[3,1]}]}')
    events = tmp_path / "e.jsonl"
    events.write_text("")
    monkeypatch.delenv(TOKEN_ENV, raising=False)
    base = ["replay", "--spec", str(spec), str(events), "--notify", "https://api.telegram.org",
            "--notify-format", "telegram"]
    assert main([*base, "--notify-chat", "1"]) == 2
    assert TOKEN_ENV in capsys.readouterr().err
    monkeypatch.setenv(TOKEN_ENV, TOKEN)
    assert main(base) == 2
    assert "--notify-chat" in capsys.readouterr().err
