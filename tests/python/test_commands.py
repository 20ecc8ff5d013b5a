import json

import pytest

from fenmor_radar import Radar
from radar_helpers import OK, VERSION, VERSION_REPLY, error_of, error_reply

FEED_1 = ('{"cmd":"feed","symbol":"BTCUSDT","event":{"kind":"derivatives","ts":1,'
          '"open_interest":100.0,"funding_rate":0.0003,"mark_price":50000.0}}')
BATCH_2 = ('{"cmd":"feed_batch","symbol":"BTCUSDT","events":[{"kind":"derivatives","ts":2,'
           '"open_interest":101.0,"funding_rate":-0.0002,"mark_price":50010.0}]}')
FLIPPED = ('{"alerts":[{"symbol":"BTCUSDT","severity":1.0,'
           '"factors":{"funding_flip(0.0001)":1.0,"severity":1.0},"ts":2}],"scanned":1}')
ALERTS = '{"cmd":"alerts"}'


def test_worked_example_of_the_protocol(radar):
    steps = [
        (VERSION, VERSION_REPLY),
        (FEED_1, OK),
        ('{"cmd":"feed","symbol":"BTCUSDT"}',
         '{"error":"bad spec: missing \\"event\\"","ok":false}'),
        ('{"cmd":"reset"}', OK),
        ('{"cmd":"launch"}', '{"error":"bad spec: unknown cmd: launch","ok":false}'),
    ]
    for command, reply in steps:
        assert radar.command(command) == reply


def test_worked_example_of_the_scanning_commands(radar):
    steps = [
        (FEED_1, OK),
        (ALERTS, '{"alerts":[],"scanned":1}'),
        (BATCH_2, OK),
        (ALERTS, FLIPPED),
        ('{"cmd":"reset"}', OK),
        (ALERTS, '{"alerts":[],"scanned":0}'),
    ]
    for command, reply in steps:
        assert radar.command(command) == reply


@pytest.mark.parametrize(
    "command, error",
    [
        ("", "parse: EOF while parsing a value at line 1 column 0"),
        ('{"cmd":"version"} x', "parse: trailing characters at line 1 column 19"),
        ("\nx", "parse: expected value at line 2 column 1"),
        ("[1,]", "parse: trailing comma at line 1 column 4"),
        ("\x00", "parse: expected value at line 1 column 1"),
        ('{"cmd":"\t"}', "parse: control character (\\u0000-\\u001F) found while parsing a string"
                         " at line 1 column 9"),
        ('{"cmd":"\x01"}', "parse: control character (\\u0000-\\u001F) found while parsing a string"
                           " at line 1 column 9"),
        ("[]", 'bad spec: missing "cmd"'),
        ('"version"', 'bad spec: missing "cmd"'),
        ("1", 'bad spec: missing "cmd"'),
        ("true", 'bad spec: missing "cmd"'),
        ("null", 'bad spec: missing "cmd"'),
        ("{}", 'bad spec: missing "cmd"'),
        ('{"cmd":5}', 'bad spec: missing "cmd"'),
        ('{"cmd":null}', 'bad spec: missing "cmd"'),
        ('{"cmd":"Feed"}', "bad spec: unknown cmd: Feed"),
        ('{"cmd":""}', "bad spec: unknown cmd: "),
        ('{"cmd":"feed"}', 'bad spec: missing string "symbol"'),
        ('{"cmd":"feed","symbol":7,"event":{}}', 'bad spec: missing string "symbol"'),
        ('{"cmd":"feed","symbol":"X"}', 'bad spec: missing "event"'),
        ('{"cmd":"feed","symbol":"X","event":null}',
         "parse: invalid type: null, expected internally tagged enum Event"),
        ('{"cmd":"feed","symbol":"X","event":{"kind":"swap"}}',
         "parse: unknown variant `swap`, expected one of `derivatives`, `orderbook`, `liquidation`"),
        ('{"cmd":"feed_batch","symbol":"X"}', 'bad spec: missing "events"'),
        ('{"cmd":"feed_batch","symbol":"X","events":{"kind":"derivatives"}}',
         "parse: invalid type: map, expected a sequence"),
        ('{"cmd":"scan"}', 'bad spec: missing "events"'),
        ('{"cmd":"scan","events":[]}', "parse: invalid type: sequence, expected a map"),
        ('{"cmd":"scan","events":{"X":[["derivatives"]]}}',
         "parse: invalid length 0, expected struct variant Event::Derivatives with 4 elements"),
        ('{"cmd":"set_spec"}', 'bad spec: missing "spec"'),
        ('{"cmd":"set_spec","spec":null}', "parse: invalid type: null, expected struct RadarSpec"),
        ('{"cmd":"set_spec","spec":{"signals":[]}}', "bad spec: at least one signal is required"),
    ],
)
def test_protocol_errors(radar, command, error):
    reply = radar.command(command)
    assert reply == error_reply(error)
    assert error_of(reply) == error


@pytest.mark.parametrize(
    "command",
    ['{"cmd":"version","x":1}', '{"cmd":"nope","cmd":"version"}', ' \t\r\n{"cmd":"version"}\n ',
     '{"x":{"y":[1,2,{"z":null}]},"cmd":"version"}'],
)
def test_version_ignores_what_it_does_not_read(radar, command):
    assert radar.command(command) == VERSION_REPLY


class TestAllOrNothing:
    BAD_BATCH = ('{"cmd":"feed_batch","symbol":"BTCUSDT","events":['
                 '["derivatives",2,100.0,-0.0003,50000.0],'
                 '["derivatives",3,100.0,0.0003,50000.0],'
                 '["derivatives",4.0,100.0,-0.0003,50000.0]]}')

    def test_batch_with_a_bad_third_event_applies_none(self, radar):
        assert radar.command(FEED_1) == OK
        before = radar.command(ALERTS)
        assert error_of(radar.command(self.BAD_BATCH)) == (
            "parse: invalid type: floating point `4.0`, expected i64")
        assert radar.command(ALERTS) == before == '{"alerts":[],"scanned":1}'
        # Had the first event gone in, this batch would not flip the rate.
        assert radar.command(BATCH_2) == OK
        assert radar.command(ALERTS) == FLIPPED

    def test_batch_for_a_new_symbol_creates_no_state_on_failure(self, radar):
        bad = self.BAD_BATCH.replace("BTCUSDT", "NEW")
        assert error_of(radar.command(bad)).startswith("parse: ")
        assert radar.command(ALERTS) == '{"alerts":[],"scanned":0}'

    def test_rejected_set_spec_keeps_spec_and_states(self, radar):
        assert radar.command(FEED_1) == OK
        for spec in ('{"signals":[{"kind":"funding_flip","params":[1,2]}]}',
                     '{"signals":[{"kind":"funding_flip","params":[1]}],"threshold":"x"}',
                     '{"signals":[{"kind":"funding_flip","params":[1],"weight":-1}]}'):
            reply = radar.command('{"cmd":"set_spec","spec":' + spec + '}')
            assert error_of(reply)
        assert radar.command(BATCH_2) == OK
        assert radar.command(ALERTS) == FLIPPED

    def test_accepted_set_spec_replaces_spec_and_empties_states(self, radar):
        assert radar.command(FEED_1) == OK
        new_spec = '{"signals":[{"kind":"funding_flip","params":[0.0001]}],"threshold":2}'
        assert radar.command('{"cmd":"set_spec","spec":' + new_spec + '}') == OK
        assert radar.command(ALERTS) == '{"alerts":[],"scanned":0}'
        assert radar.command(FEED_1) == OK
        assert radar.command(BATCH_2) == OK
        # The old threshold of 0.5 would have let this symbol through.
        assert radar.command(ALERTS) == '{"alerts":[],"scanned":1}'

    def test_reset_keeps_the_spec(self, radar):
        assert radar.command(FEED_1) == OK
        assert radar.command('{"cmd":"reset"}') == OK
        assert radar.command(FEED_1) == OK
        assert radar.command(BATCH_2) == OK
        assert radar.command(ALERTS) == FLIPPED


class TestReplyText:
    @pytest.mark.parametrize(
        "cmd_escaped, written",
        [
            ("\\u0001x", "\\u0001x"),
            ("\\u001f", "\\u001f"),
            ("a\\nb\\tc", "a\\nb\\tc"),
            ("\\b\\f\\r", "\\b\\f\\r"),
            ('q\\"\\\\', 'q\\"\\\\'),
            # Copied unchanged: slash, DEL and non-ASCII characters.
            ("a\\/b", "a/b"),
            ("\x7f", "\x7f"),
            ("\\u007f", "\x7f"),
            ("é€😀", "é€😀"),
            ("\\ud83d\\ude00", "😀"),
        ],
    )
    def test_error_texts_are_escaped_minimally(self, radar, cmd_escaped, written):
        reply = radar.command('{"cmd":"' + cmd_escaped + '"}')
        assert reply == '{"error":"bad spec: unknown cmd: ' + written + '","ok":false}'

    def test_non_ascii_symbol_is_written_unescaped(self):
        radar = Radar('{"signals":[{"kind":"book_imbalance","params":[1]}]}')
        assert radar.command('{"cmd":"feed","symbol":"ÉTH/€","event":["orderbook",-5,3,1,0,0]}') == OK
        assert radar.command(ALERTS) == (
            '{"alerts":[{"symbol":"ÉTH/€","severity":0.5,'
            '"factors":{"book_imbalance(1)":0.5,"severity":0.5},"ts":-5}],"scanned":1}')

    def test_factor_members_are_in_byte_order(self):
        spec = {"signals": [
            {"kind": "oi_delta", "params": [3, 0.05]},
            {"kind": "oi_delta", "params": [12, 0.05]},
            {"kind": "liq_cluster", "params": [2, 1000]},
        ]}
        radar = Radar(json.dumps(spec))
        assert radar.command('{"cmd":"feed","symbol":"A","event":["liquidation",9,"sell",0.00005,1]}') == OK
        assert radar.command(ALERTS) == (
            '{"alerts":[{"symbol":"A","severity":2e-8,"factors":{"liq_cluster(2,1000)":5e-8,'
            '"oi_delta(12,0.05)":0.0,"oi_delta(3,0.05)":0.0,"severity":2e-8},"ts":9}],"scanned":1}')


class TestBadInput:
    def test_a_million_nested_levels(self, radar):
        for text in ("[" * 1_000_000, "{\"a\":" * 1_000_000,
                     '{"cmd":"feed","symbol":"X","event":' + "[" * 1_000_000):
            assert error_of(radar.command(text)).startswith("parse: recursion limit exceeded at line 1")
        assert radar.command(VERSION) == VERSION_REPLY

    def test_nesting_limit(self, radar):
        head = '{"cmd":"version","x":'
        assert radar.command(head + "[" * 126 + "]" * 126 + "}") == VERSION_REPLY
        assert error_of(radar.command(head + "[" * 127 + "]" * 127 + "}")) == (
            "parse: recursion limit exceeded at line 1 column 148")

    def test_huge_arrays(self, radar):
        numbers = ",".join(["1.5e300"] * 500_000)
        assert radar.command('{"cmd":"version","x":[' + numbers + "]}") == VERSION_REPLY
        events = ",".join(['["orderbook",1,2,3,4,5]'] * 200_000)
        batch = '{"cmd":"feed_batch","symbol":"X","events":[' + events + "]}"
        assert radar.command(batch) == OK
        assert error_of(radar.command(batch[:-2] + ",7]}")) == (
            "parse: invalid type: integer `7`, expected internally tagged enum Event")
        assert json.loads(radar.command(ALERTS))["scanned"] == 1

    @pytest.mark.parametrize(
        "escape, message",
        [
            ("\\udc00", "lone leading surrogate in hex escape"),
            ("\\ud800\\u0041", "lone leading surrogate in hex escape"),
            ("\\ud800x", "unexpected end of hex escape"),
            ("\\ud800", "unexpected end of hex escape"),
            ("\\u12", "invalid escape"),
            ("\\q", "invalid escape"),
        ],
    )
    def test_bad_escapes(self, radar, escape, message):
        error = error_of(radar.command('{"cmd":"' + escape + '"}'))
        assert error.startswith("parse: " + message + " at line 1 column "), error
        assert radar.command(VERSION) == VERSION_REPLY

    @pytest.mark.parametrize(
        "number", ["-0", "0e400", "1e-400", "18446744073709551616", "-9223372036854775809",
                   "123456789012345678901234567890", "0.1e-999", "1E+2", "5.0"],
    )
    def test_number_shapes_read_in_ignored_members(self, radar, number):
        assert radar.command('{"cmd":"version","x":' + number + "}") == VERSION_REPLY

    @pytest.mark.parametrize("number", ["01", "1.", "-", "+1", ".5", "1e", "NaN", "Infinity", "1e400", "-1e309"])
    def test_malformed_numbers(self, radar, number):
        assert error_of(radar.command('{"cmd":"version","x":' + number + "}")).startswith("parse: ")


class TestScan:
    SPEC = json.dumps({"signals": [
        {"kind": "oi_delta", "params": [3, 0.05]},
        {"kind": "funding_flip", "params": [0.0005], "weight": 2},
        {"kind": "book_imbalance", "params": [0.5]},
        {"kind": "liq_cluster", "params": [5, 1000]},
        {"kind": "oi_price_divergence", "params": [2, 0.05], "weight": 0.5},
    ], "threshold": 0.1, "limit": 6})

    @staticmethod
    def events_by_symbol(seed):
        import random

        rng = random.Random(seed)
        result = {}
        for index in range(12):
            symbol = rng.choice(["BTC", "ETH", "eth", "SOL", "ÄPFEL", ""]) + str(index % 5)
            events = result.setdefault(symbol, [])
            for ts in range(rng.randrange(1, 30)):
                kind = rng.randrange(3)
                if kind == 0:
                    events.append({"kind": "derivatives", "ts": ts,
                                   "open_interest": rng.uniform(900, 1100),
                                   "funding_rate": rng.uniform(-0.001, 0.001),
                                   "mark_price": rng.uniform(90, 110)})
                elif kind == 1:
                    events.append(["orderbook", ts, rng.uniform(0, 10), rng.uniform(0, 10), 1, 2])
                else:
                    events.append({"kind": "liquidation", "ts": ts,
                                   "side": rng.choice(["buy", {"sell": None}]),
                                   "qty": rng.uniform(0, 300), "price": 100})
        return result

    @pytest.mark.parametrize("seed", range(5))
    def test_scan_equals_alerts_after_feeding_the_same_events(self, seed):
        events = self.events_by_symbol(seed)
        fed = Radar(self.SPEC)
        batched = Radar(self.SPEC)
        for symbol, items in events.items():
            for event in items:
                assert fed.command(json.dumps({"cmd": "feed", "symbol": symbol, "event": event})) == OK
            assert batched.command(json.dumps(
                {"cmd": "feed_batch", "symbol": symbol, "events": items})) == OK
        scanner = Radar(self.SPEC)
        scanned = scanner.command(json.dumps({"cmd": "scan", "events": events}))
        assert scanned == fed.command(ALERTS) == batched.command(ALERTS)
        reply = json.loads(scanned)
        assert reply["scanned"] == len(events)
        assert len(reply["alerts"]) <= 6
        assert scanner.command(ALERTS) == '{"alerts":[],"scanned":0}'

    def test_alerts_before_and_after_a_scan_are_identical(self, radar):
        assert radar.command(FEED_1) == OK
        assert radar.command(BATCH_2) == OK
        before = radar.command(ALERTS)
        other = {"BTCUSDT": [["derivatives", 9, 1.0, 0.5, 1.0]], "ETHUSDT": []}
        assert json.loads(radar.command(json.dumps({"cmd": "scan", "events": other})))["scanned"] == 2
        assert radar.command(ALERTS) == before == FLIPPED

    def test_scan_of_an_empty_list_has_the_smallest_timestamp(self):
        radar = Radar('{"signals":[{"kind":"funding_flip","params":[1]}],"threshold":-1}')
        assert radar.command('{"cmd":"scan","events":{}}') == '{"alerts":[],"scanned":0}'
        assert radar.command('{"cmd":"scan","events":{"Z":[],"A":[]}}') == (
            '{"alerts":[{"symbol":"A","severity":0.0,"factors":{"funding_flip(1)":0.0,"severity":0.0},'
            '"ts":-9223372036854775808},{"symbol":"Z","severity":0.0,'
            '"factors":{"funding_flip(1)":0.0,"severity":0.0},"ts":-9223372036854775808}],"scanned":2}')
