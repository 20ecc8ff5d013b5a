"""``fenmor-radar pipe --spec SPEC.json``: one command per input line, one reply per output line.

Any program that can write and read lines can drive a radar this way. Every
input line gets exactly one reply line, blank lines and bad commands
included, so a driver never loses count. Replies are flushed whenever the
input runs dry, so a driver that waits for each reply gets it at once, while
a bulk feed still writes in large blocks.
"""

from __future__ import annotations

import argparse
import json
import sys
from collections.abc import Iterator
from typing import BinaryIO

from fenmor_radar import Radar
from fenmor_radar.cli import terminal
from fenmor_radar.cli.spec_file import load_radar

CHUNK = 1 << 16


def error_reply(message: str) -> str:
    """An error reply in the radar's own form."""
    return json.dumps({"error": message, "ok": False}, ensure_ascii=False, separators=(",", ":"))


def reply_to(radar: Radar, line: bytes) -> str:
    """The reply to one input line (without its line break)."""
    try:
        text = line.decode("utf-8")
    except UnicodeDecodeError as err:
        return error_reply(f"parse: command text is not valid UTF-8 (byte {err.start + 1})")
    try:
        return radar.command(text)
    except Exception as err:  # noqa: BLE001 - one failing call must not end the session
        return error_reply(f"{type(err).__name__}: {err}")


def input_lines(stream: BinaryIO) -> Iterator[list[bytes]]:
    """Complete lines in batches, one batch per read; a last unterminated line too."""
    read = getattr(stream, "read1", stream.read)
    pending: list[bytes] = []  # pieces of a line longer than one read
    while True:
        chunk = read(CHUNK)
        if not chunk:
            break
        if b"\n" not in chunk:
            pending.append(chunk)
            continue
        lines = chunk.split(b"\n")
        if pending:
            lines[0] = b"".join(pending) + lines[0]
            pending = []
        tail = lines.pop()
        if tail:
            pending.append(tail)
        yield lines
    last = b"".join(pending)
    if last:
        yield [last]


def serve(radar: Radar, instream: BinaryIO, outstream: BinaryIO) -> int:
    """Answer every line of ``instream`` on ``outstream``; the number of commands."""
    count = 0
    for batch in input_lines(instream):
        replies = [reply_to(radar, line) for line in batch]
        outstream.write(("\n".join(replies) + "\n").encode("utf-8"))
        outstream.flush()
        count += len(batch)
    return count


def add_parser(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    parser = commands.add_parser(
        "pipe",
        help="answer command texts read line by line on standard input",
        description=(
            "Build a radar from SPEC, then read one command text per line on standard "
            "input and write each reply on its own line on standard output, until the "
            "input ends."
        ),
    )
    parser.add_argument("--spec", required=True, metavar="SPEC.json", help="the radar spec file")
    parser.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    radar = load_radar(args.spec)
    sys.stdout.flush()
    serve(radar, sys.stdin.buffer, terminal.ByteLineWriter(sys.stdout.fileno()))  # type: ignore[arg-type]
    return 0
