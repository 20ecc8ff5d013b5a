"""``fenmor-radar live --spec SPEC --exchange NAME --symbols A,B``: alerts from a live feed.

The events come from cryptofeed (``fenmor_radar.feeds``) and go through the
very loop ``replay`` runs, so checkpoints, ``--new-only`` and the output are
the replay's. With ``--record`` every fed event is also written as a
recording line, so that ``replay`` over the file, with the same options,
shows the same alerts. Ctrl-C ends the session normally (exit 0): a last
checkpoint, then the recording is closed complete.
"""

from __future__ import annotations

import argparse
import logging
import sys
import traceback
from collections.abc import Iterator

from fenmor_radar._native import describe_spec
from fenmor_radar.cli import errors, terminal
from fenmor_radar.cli.durations import positive_duration
from fenmor_radar.cli.errors import CliError
from fenmor_radar.cli.live_health import (
    LiveExtras,
    StaleJsonOutput,
    StaleNow,
    StaleTableOutput,
    health_table,
)
from fenmor_radar.cli.notify import add_notify_arguments
from fenmor_radar.cli.serve_option import add_serve_argument
from fenmor_radar.cli.shared import (
    CheckpointEmitter,
    WatchOptions,
    add_alert_arguments,
    add_conversion_options,
    add_watch_arguments,
    check_watch_arguments,
    counted,
    load_feeder,
    positive_int,
    report_bad_line,
)
from fenmor_radar.cli.spec_check import warn_spec
from fenmor_radar.cli.spec_file import read_spec_text
from fenmor_radar.feeds.health import DEFAULT_MAX_STALENESS, FeedHealth, duration_text
from fenmor_radar.feeds.live import MissingCryptofeed, channels_for, exchange_feed
from fenmor_radar.feeds.recording import RecordingWriter
from fenmor_radar.feeds.symbols import normalise_symbol
from fenmor_radar.replay.checkpoints import CheckpointPolicy
from fenmor_radar.replay.feeder_loop import FeederReplay
from fenmor_radar.replay.items import BadLine, Crossing, ReplayStats

DEFAULT_EVERY_TS = 60_000  # one minute of event time (ts is in milliseconds)


def add_parser(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    parser = commands.add_parser(
        "live",
        help="alerts from a live exchange feed (needs the live extra)",
        description=(
            "Connect to an exchange through cryptofeed, feed its open interest, funding, "
            "order books and liquidations to a radar built from SPEC and print the ranked "
            "alerts at checkpoints, as replay does. Ctrl-C ends the session. "
            "Needs: pip install 'fenmor-radar[live]'."
        ),
    )
    parser.add_argument("--spec", required=True, metavar="SPEC.json", help="the radar spec file")
    parser.add_argument(
        "--exchange", required=True, metavar="NAME", help="cryptofeed's exchange name (BINANCE_FUTURES)"
    )
    parser.add_argument(
        "--symbols",
        required=True,
        metavar="A,B,...",
        help="cryptofeed's symbols, comma-separated (BTC-USDT-PERP,ETH-USDT-PERP)",
    )
    parser.add_argument(
        "--every", type=positive_int, metavar="N", help="a checkpoint after every N fed events"
    )
    parser.add_argument(
        "--every-ts",
        type=positive_duration,
        default=DEFAULT_EVERY_TS,
        metavar="T",
        help=f"a checkpoint at every multiple of T: 10s, 1m, or milliseconds "
        f"(default {DEFAULT_EVERY_TS})",
    )
    add_alert_arguments(parser, ts_unit="T", ts_words="milliseconds")
    add_watch_arguments(parser)
    parser.add_argument(
        "--record", metavar="FILE.jsonl[.gz]", help="also write every fed event to this recording"
    )
    parser.add_argument(
        "--max-staleness",
        type=positive_duration,
        default=f"{DEFAULT_MAX_STALENESS:.0f}s",
        metavar="DURATION",
        help="a symbol whose open interest, funding or book has been silent this long is stale: "
        "marked in the output, its alerts not notified until it is fresh "
        f"(default {duration_text(DEFAULT_MAX_STALENESS)}; 90s, 5m, 1h)",
    )
    add_conversion_options(parser)
    add_notify_arguments(parser)
    add_serve_argument(parser)
    parser.add_argument("-q", "--quiet", action="store_true", help="no summary on standard error")
    parser.add_argument(
        "--verbose", action="store_true",
        help="show cryptofeed's tracebacks with its warnings (one line each without)",
    )
    parser.set_defaults(run=run)


class _CryptofeedLog(logging.Handler):
    """cryptofeed's warnings and errors as one line each on standard error.

    cryptofeed logs every failed request and reconnect with its traceback;
    without a handler of ours Python prints them all, some 70 lines before a
    session's one clear message when the exchange cannot be reached.
    """

    def __init__(self, verbose: bool) -> None:
        super().__init__(logging.WARNING)
        self.verbose = verbose

    def emit(self, record: logging.LogRecord) -> None:
        terminal.message(f"cryptofeed: {record.getMessage()}")
        if self.verbose and record.exc_info is not None:
            for line in "".join(traceback.format_exception(*record.exc_info)).splitlines():
                terminal.message(f"  {line}")


def run(args: argparse.Namespace) -> int:
    logger = logging.getLogger("feedhandler")  # the logger every cryptofeed module uses
    handler, propagated = _CryptofeedLog(args.verbose), logger.propagate
    logger.addHandler(handler)
    logger.propagate = False
    try:
        return _run(args)
    finally:
        logger.removeHandler(handler)
        logger.propagate = propagated


def _run(args: argparse.Namespace) -> int:
    # Imported here: its asyncio costs every command some 70 ms of start-up,
    # and only a live session needs it.
    from fenmor_radar.feeds.session import FeedFailed, LiveSession

    if args.cooldown and not args.new_only and args.notify is None:
        raise CliError("--cooldown needs --new-only or --notify", errors.USAGE)
    check_watch_arguments(args)
    symbols = [symbol.strip() for symbol in args.symbols.split(",") if symbol.strip()]
    if not symbols:
        raise CliError("--symbols names no symbol", errors.USAGE)
    spec_text = read_spec_text(args.spec)
    policy = CheckpointPolicy(every=args.every, every_ts=args.every_ts)
    feeder = load_feeder(
        [args.spec], [spec_text], policy, strict=False, crossings=args.crossings, peaks=args.peaks
    )
    warn_spec(args.spec, spec_text)
    channels = channels_for(signal["kind"] for signal in describe_spec(spec_text)["signals"])
    health = FeedHealth(
        [normalise_symbol(s) if args.normalise_symbols else s for s in symbols],
        channels,
        args.max_staleness / 1000,
        report=lambda text: terminal.message(f"feed: {text}"),
    )
    try:
        exchange_feed(args.exchange)
        session = LiveSession(
            args.exchange,
            symbols,
            channels,
            depth=args.depth,
            normalise=args.normalise_symbols,
            health=health,
        )
    except MissingCryptofeed as err:
        raise CliError(str(err)) from err
    except (ValueError, KeyError) as err:  # an unknown exchange, symbol or channel
        raise CliError(f"cannot start the {args.exchange} feed: {err}") from err
    except Exception as err:  # cryptofeed asks the exchange for its symbols: network faults
        raise CliError(
            f"cannot start the {args.exchange} feed: {type(err).__name__}: {err} "
            "(is the exchange reachable from this machine?)"
        ) from err
    try:
        recording = RecordingWriter(args.record) if args.record else None
    except OSError as err:
        raise CliError(errors.cannot("write", args.record, err)) from err
    extras = LiveExtras.from_args(args, [args.spec], title=f"{args.exchange} live")
    assert isinstance(extras, LiveExtras)  # from_args builds the class it is called on
    stale_now = StaleNow()
    extras.watch(health, stale_now)
    stream = terminal.standard_output()
    table = args.format == "table" or (args.format == "auto" and stream.isatty())
    output = StaleTableOutput(stream, stale_now) if table else StaleJsonOutput(stream, stale_now)
    emit = CheckpointEmitter(
        output,
        [None],
        args.cooldown,
        new_only=args.new_only,
        extras=extras,
        watch=WatchOptions.from_args(args),
    )
    stats = ReplayStats()
    name = f"{args.exchange} live"
    if not args.quiet:
        terminal.message(
            f"live from {args.exchange} ({', '.join(channels)}) for "
            f"{', '.join(symbols)}; Ctrl-C ends"
        )

    def blocks() -> Iterator[bytes]:
        for batch in session.batches():
            if recording is not None:
                for text in batch:
                    recording.write(text)
            yield "".join(text + "\n" for text in batch).encode("utf-8")

    try:
        # Crossings are written out after each block: what arrived, at once.
        replay = FeederReplay(feeder, stats=stats, on_block=lambda _: emit.flush())
        for item in replay.run_blocks(blocks()):
            if isinstance(item, BadLine):  # the adapter writes only valid events
                report_bad_line(name, item, False, stats)
            elif isinstance(item, Crossing):
                emit.crossing(item)
            else:
                emit.checkpoint(item)
    except FeedFailed as err:
        raise CliError(f"the {args.exchange} feed stopped: {err}") from err
    finally:
        emit.flush_at_end()
        # The recording first: it is quick, and then complete whatever happens next.
        if recording is not None:
            recording.close()
        session.stop()
        extras.close()
        extras.close_page()
    if session.dropped:
        terminal.warning(
            f"dropped {counted(session.dropped, 'event')}: the radar fell "
            f"{session.queue_lines:,} events behind the feed (they are not in the results "
            "nor in the recording)"
        )
    if session.skipped:
        terminal.warning(
            f"skipped {counted(session.skipped, 'event')} that had arrived before Ctrl-C: "
            "the radar was behind the feed (they are not in the results nor in the recording)"
        )
    if not args.quiet:
        text = (
            f"fed {counted(stats.events, 'event')} for "
            f"{counted(stats.symbol_count, 'symbol')}, {counted(stats.checkpoints, 'checkpoint')}"
        )
        if recording is not None:
            text += f"; recorded to {args.record}"
        terminal.message(text)
        health.check()
        terminal.message(health.summary())
        for line in health_table(health):
            print(f"  {line}", file=sys.stderr)
        extras.print_summary()
    if not session.interrupted:
        # Only Ctrl-C ends a healthy session: cryptofeed returned on its own.
        terminal.error(
            f"the {args.exchange} feed stopped (cryptofeed's messages above say why)"
        )
        return extras.exit_code(errors.FAILED)
    return extras.exit_code(errors.OK)
