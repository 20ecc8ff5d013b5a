"""The native converter against the Python converter it replaced (tardis_oracle).

Both convert the same files; the recording must be the same bytes and the bad
rows the same reports. The files are generated with the rows that stress a
CSV reader and a number parser: quoting, CRLF and lone CR line ends, extra and
reordered columns, empty fields, Python's number spellings, non-finite and
out-of-range numbers, thin books, unordered timestamps across files and ties.
"""

import random

import pytest

from fenmor_radar.feeds import convert
from fenmor_radar.feeds.convert import TardisConverter
from tardis_oracle import OracleConverter
from test_feeds_tardis import BOOK, LIQUIDATIONS, TICKER

NUMBERS = [
    "1", "1.5", "-0.0", "0", ".5", "5.", "1e3", "1E-7", "+2.25", " 3.5", "4.5 ", "1_000.5", "1e1_0",
    "inf", "-Infinity", "nan", "1e400", "1e-400", "abc", "1__0", "_1", "1_", "0x10", "1e", "",
    "123456789012345678901234567890", "2.5e-320", "\t7\r", "\u00a08\u2003",
]
TIMESTAMPS = ["0", "999", "-1500", "1_000_000", " 42 ", "+7000", "1.5", "", "x", "9223372036854775807", "-9223372036854775808"]


def value(rng, bad):
    if rng.random() < bad:
        return rng.choice(NUMBERS)
    kind = rng.random()
    if kind < 0.3:
        return repr(rng.uniform(-1e6, 1e6))
    if kind < 0.5:
        return f"{rng.random() * 10 ** rng.randint(-8, 20):.{rng.randint(0, 12)}g}"
    return str(round(rng.uniform(0, 5000), rng.randint(0, 4)))


def quoted(rng, text):
    """The field as a CSV writer may write it, sometimes quoted without need."""
    if any(c in text for c in ',"\r\n') or rng.random() < 0.05:
        return '"' + text.replace('"', '""') + '"'
    return text


def write(path, header, rows, rng):
    ends = ["\n", "\r\n", "\r"] if rng.random() < 0.3 else ["\n"]
    lines = [",".join(quoted(rng, name) for name in header)]
    lines += [",".join(quoted(rng, field) for field in row) for row in rows]
    end = rng.choice(ends)
    text = end.join(lines) + ("" if rng.random() < 0.2 else end)
    path.write_bytes(text.encode("utf-8"))
    return str(path)


SYMBOLS = ["BTCUSDT", "BTC-USDT-PERP", 'we"ird,sym', "eth_usd_swap", "ünï\tcode", "sol/usdt"]


def generate(tmp_path, seed):
    rng = random.Random(seed)
    bad = rng.choice([0.0, 0.05, 0.3])
    start = rng.randint(0, 5) * 1_000_000
    paths = []

    def ts(i, step):
        if rng.random() < bad / 3:
            return rng.choice(TIMESTAMPS)
        # Mostly in order, with repeats (ties across files) and some steps back.
        return str(start + (i + rng.choice([0, 0, 0, -3])) * step)

    # Ticker, columns shuffled, extra column.
    names = ["exchange", "symbol", "timestamp", "local_timestamp", "funding_timestamp", "funding_rate",
             "predicted_funding_rate", "open_interest", "last_price", "index_price", "mark_price", "note"]
    rng.shuffle(names)
    rows = []
    for i in range(300):
        fields = {name: "" for name in names}
        fields.update(exchange="x", symbol=rng.choice(SYMBOLS[:3]), timestamp=ts(i, 1000))
        for name in ("funding_rate", "open_interest", "mark_price"):
            fields[name] = "" if rng.random() < 0.4 else value(rng, bad)
        if rng.random() < bad / 4:
            rows.append(list(fields.values())[:3])
            continue
        fields["note"] = rng.choice(["", "x", "a,b", 'say "hi"', "two\nlines"])
        rows.append([fields[name] for name in names])
    paths.append(write(tmp_path / f"t{seed}_derivative_ticker.csv", names, rows, rng))

    # Book snapshots with up to 6 levels, some levels empty.
    levels = rng.randint(1, 6)
    names = ["exchange", "symbol", "timestamp", "local_timestamp"]
    for level in range(levels):
        names += [f"asks[{level}].price", f"asks[{level}].amount", f"bids[{level}].price", f"bids[{level}].amount"]
    rows = []
    for i in range(300):
        fields = [rng.choice(["x", "y"]), rng.choice(SYMBOLS), ts(i, 700), "1"]
        thin = rng.randint(0, levels) if rng.random() < 0.3 else levels
        for level in range(levels):
            for _ in range(2):
                if level >= thin or rng.random() < bad / 5:
                    fields += ["", "" if rng.random() < 0.8 else value(rng, bad)]
                else:
                    fields += [value(rng, bad), "1e308" if rng.random() < bad / 5 else value(rng, bad)]
        rows.append(fields if rng.random() > bad / 4 else fields[: rng.randint(0, 6)])
    paths.append(write(tmp_path / f"b{seed}_book_snapshot_5.csv", names, rows, rng))

    # Quotes and liquidations.
    names = ["symbol", "timestamp", "ask_amount", "ask_price", "bid_price", "bid_amount", "exchange"]
    rows = [[rng.choice(SYMBOLS), ts(i, 1500), value(rng, bad), value(rng, bad),
             "" if rng.random() < 0.05 else value(rng, bad), value(rng, bad), "x"] for i in range(200)]
    paths.append(write(tmp_path / f"q{seed}_quotes.csv", names, rows, rng))
    names = ["exchange", "symbol", "timestamp", "local_timestamp", "id", "side", "price", "amount"]
    rows = [["x", rng.choice(SYMBOLS), ts(i, 5000), "0", "",
             rng.choice(["buy", "sell"] * 8 + ["Buy", "", " sell"]), value(rng, bad), value(rng, bad)]
            for i in range(100)]
    paths.append(write(tmp_path / f"l{seed}_liquidations.csv", names, rows, rng))
    rng.shuffle(paths)
    return paths


def run(kind, paths, **options):
    bad = []
    converter = kind(paths, on_bad=bad.append, **options)
    lines = list(converter.lines())
    stats = converter.stats
    bad = [(row.path, row.line, row.message) for row in bad]
    return lines, bad, (stats.rows, stats.events, stats.bad_rows, sorted(stats.symbols))


def assert_same(paths, **options):
    expected = run(OracleConverter, paths, **options)
    assert run(TardisConverter, paths, **options) == expected
    return expected


def test_the_tests_files_convert_as_before(tmp_path):
    paths = []
    for name, text in [("d_derivative_ticker.csv", TICKER), ("x_liquidations.csv", LIQUIDATIONS),
                       ("b_book_snapshot_5.csv", BOOK)]:
        (tmp_path / name).write_text(text, encoding="utf-8")
        paths.append(str(tmp_path / name))
    lines, bad, _ = assert_same(paths)
    assert len(lines) == 6 and len(bad) == 3


@pytest.mark.parametrize("seed", range(12))
def test_generated_files_convert_as_before(tmp_path, seed, monkeypatch):
    paths = generate(tmp_path, seed)
    options = {"depth": [1, 5, 25][seed % 3], "normalise": seed % 2 == 0}
    lines, _, _ = assert_same(paths, **options)
    assert lines
    # Tiny reads split characters, CRLFs and quoted fields between blocks.
    monkeypatch.setattr(convert, "READ_BYTES", 7)
    assert run(TardisConverter, paths, **options) == (lines, *assert_same(paths, **options)[1:])

