"""positions_total/get, orders_total/get and the history functions: requests, argument
rules, keyword precedence, ticket lookups, record conversion and malformed replies."""
from __future__ import annotations

import datetime as dt

import numpy as np
import pytest

import orbisyn
from support import wire_layouts as layouts
from support.fake_terminal import i64, reply, request, session, text, u32, u64
from support.trade_wire import array, field_names, record, with_symbols

D1, D2 = 1_700_000_000, 1_700_086_400
RANGE = i64(D1) + i64(D2)


def answer(term, *actions):
    term.script(*actions)
    term.sync()


@pytest.fixture
def term(fake_terminal):
    return session(fake_terminal)


def last_request(term):
    return term.requests()[-1]


# --------------------------------------------------------------------------- requests

ONE = {"position": with_symbols("position", ["EURUSD"]), "order": with_symbols("order", ["EURUSD"]),
       "deal": with_symbols("deal", ["EURUSD"])}

# (call, request frame it must send, reply payload, expected result length or count)
REQUESTS = [
    (lambda: orbisyn.positions_total(), request(120), u32(3), 3),
    (lambda: orbisyn.positions_get(), request(121), ONE["position"], 1),
    (lambda: orbisyn.positions_get(group="*"), request(121), ONE["position"], 1),
    (lambda: orbisyn.positions_get(symbol="EURUSD"), request(122, text("EURUSD")), ONE["position"], 1),
    (lambda: orbisyn.positions_get(symbol=""), request(122, text("")), ONE["position"], 1),
    (lambda: orbisyn.positions_get(ticket=5), request(123, u64(5)), record("position", ticket=5), 1),
    (lambda: orbisyn.orders_total(), request(130), u32(4), 4),
    (lambda: orbisyn.orders_get(), request(131), ONE["order"], 1),
    (lambda: orbisyn.orders_get(group="*"), request(131), ONE["order"], 1),
    (lambda: orbisyn.orders_get(symbol="GBPUSD"), request(132, text("GBPUSD")), ONE["order"], 1),
    (lambda: orbisyn.orders_get(ticket=2**64 - 1), request(133, u64(2**64 - 1)), record("order"), 1),
    (lambda: orbisyn.history_orders_total(D1, D2), request(140, RANGE), u32(5), 5),
    (lambda: orbisyn.history_orders_get(D1, D2), request(141, RANGE), ONE["order"], 1),
    (lambda: orbisyn.history_orders_get(D1, D2, group="*"), request(141, RANGE), ONE["order"], 1),
    (lambda: orbisyn.history_orders_get(position=7), request(142, u64(7)), ONE["order"], 1),
    (lambda: orbisyn.history_orders_get(ticket=8), request(143, u64(8)), record("order"), 1),
    (lambda: orbisyn.history_deals_total(D1, D2), request(150, RANGE), u32(6), 6),
    (lambda: orbisyn.history_deals_get(D1, D2), request(151, RANGE), ONE["deal"], 1),
    (lambda: orbisyn.history_deals_get(D1, D2, group="*"), request(151, RANGE), ONE["deal"], 1),
    (lambda: orbisyn.history_deals_get(position=9), request(152, u64(9)), ONE["deal"], 1),
    (lambda: orbisyn.history_deals_get(ticket=10), request(153, u64(10)), record("deal"), 1),
    # Times and numbers as Python means them; the dates by keyword too.
    (lambda: orbisyn.history_deals_get(date_from=D1, date_to=D2), request(151, RANGE), ONE["deal"], 1),
    (lambda: orbisyn.positions_get(ticket=np.uint64(5)), request(123, u64(5)), record("position"), 1),
]


@pytest.mark.parametrize("call, frame, payload, expected", REQUESTS,
                         ids=lambda v: v.hex()[8:14] if isinstance(v, bytes) else None)
def test_request_and_result(term, call, frame, payload, expected):
    code = int.from_bytes(frame[4:8], "little")
    answer(term, reply(code, 1, payload))
    result = call()
    assert result is not None, orbisyn.last_error()
    assert (result if isinstance(result, int) else len(result)) == expected
    assert last_request(term) == frame
    assert orbisyn.last_error() == (1, "Success")


@pytest.mark.parametrize("dates, wire", [
    ((0, 100), i64(0) + i64(100)),
    ((-1, 5), u64(2**64 - 1) + i64(5)),
    ((100.9, -100.9), i64(100) + i64(-100)),
    ((dt.datetime(1970, 1, 1, tzinfo=dt.timezone.utc), dt.datetime(2024, 1, 1, 0, 0, 1, 999999, tzinfo=dt.timezone.utc)),
     i64(0) + i64(1704067201)),
])
@pytest.mark.parametrize("code, call", [(140, orbisyn.history_orders_total), (150, orbisyn.history_deals_total)])
def test_history_dates_on_the_wire(term, dates, wire, code, call):
    answer(term, reply(code, 0, u32(0)))
    assert call(*dates) == 0
    assert last_request(term) == request(code, wire)


# --------------------------------------------------------------------------- argument rules

INVALID = "Invalid arguments"
UNNAMED = "Unnamed arguments not allowed"
BAD = 'Invalid "{}" argument'.format
TOGETHER = 'Invalid arguments: "{}" and "{}" cannot be combined'.format

ARGUMENT_ERRORS = [
    (orbisyn.positions_get, ("EURUSD",), {}, UNNAMED),
    (orbisyn.orders_get, (1,), {"ticket": 1}, UNNAMED),
    (orbisyn.positions_get, (), {"ticket": -1}, BAD("ticket")),
    (orbisyn.orders_get, (), {"ticket": 2**64}, BAD("ticket")),
    (orbisyn.positions_get, (), {"symbol": 5}, BAD("symbol")),
    (orbisyn.orders_get, (), {"symbol": "A" * 30}, BAD("symbol")),
    (orbisyn.orders_get, (), {"symbol": "A" * 28 + "\U0001F600"}, BAD("symbol")),
    (orbisyn.positions_get, (), {"group": 7}, BAD("group")),
    (orbisyn.orders_get, (), {"group": "A" * 1998}, BAD("group")),
    (orbisyn.history_orders_total, (D1,), {}, INVALID + ': "date_to" missing'),
    (orbisyn.history_deals_total, (D1, D2, 3), {}, INVALID + ": takes 2, 3 given"),
    (orbisyn.history_deals_total, ("2024-01-01", D2), {}, INVALID + ': "date_from"'),
    (orbisyn.history_orders_total, (dt.date(2024, 1, 1), D2), {},
     INVALID + ': "date_from": a date names no instant, give a datetime'),
    (orbisyn.history_orders_get, (), {}, INVALID),
    (orbisyn.history_orders_get, (D1,), {}, INVALID + ': "date_to" missing'),
    (orbisyn.history_orders_get, (), {"group": "*"}, INVALID),
    (orbisyn.history_orders_get, (D1,), {"ticket": 5}, TOGETHER("date_from", "ticket")),
    (orbisyn.history_orders_get, (), {"date_to": D2, "position": 5}, TOGETHER("date_to", "position")),
    (orbisyn.history_deals_get, (D1, D2, D2), {"position": 5}, INVALID + ": takes at most 2, 3 given"),
    (orbisyn.history_deals_get, (D1, "x"), {"ticket": 5}, INVALID + ': "date_to"'),
    # A keyword that names nothing, or two selections of which one would be dropped.
    (orbisyn.positions_get, (), {"symbols": "EURUSD"}, 'Unknown "symbols" argument, did you mean "symbol"?'),
    (orbisyn.orders_get, (), {"tiket": 1}, 'Unknown "tiket" argument, did you mean "ticket"?'),
    (orbisyn.history_deals_get, (D1, D2), {"grop": "X"}, 'Unknown "grop" argument, did you mean "group"?'),
    (orbisyn.positions_get, (), {"ticket": 5, "symbol": "EURUSD"}, TOGETHER("symbol", "ticket")),
    (orbisyn.positions_get, (), {"symbol": "EURUSD", "group": "*"}, TOGETHER("symbol", "group")),
    (orbisyn.orders_get, (), {"ticket": 5, "group": "*"}, TOGETHER("ticket", "group")),
    (orbisyn.history_orders_get, (), {"ticket": 5, "position": 7}, TOGETHER("position", "ticket")),
    (orbisyn.history_deals_get, (), {"date_from": D1, "date_to": D2, "ticket": 5},
     TOGETHER("date_from", "ticket")),
    (orbisyn.history_deals_get, (D1, D2), {"ticket": 5}, TOGETHER("date_from", "ticket")),
    (orbisyn.history_deals_get, (), {"position": 3, "group": "*"}, TOGETHER("group", "position")),
    # every given value is checked, selecting or not
    (orbisyn.positions_get, (), {"ticket": 5, "symbol": 123}, BAD("symbol")),
    (orbisyn.history_deals_get, (D1, D2), {"group": 5}, BAD("group")),
    (orbisyn.history_deals_get, (D1, D2), {"group": "A" * 1998}, BAD("group")),
    (orbisyn.history_orders_get, (), {"ticket": "5"}, BAD("ticket")),
    (orbisyn.history_deals_get, (), {"position": -1}, BAD("position")),
    (orbisyn.history_deals_get, (), {"position": 2**64}, BAD("position")),
]


@pytest.mark.parametrize("func, args, kwargs, message", ARGUMENT_ERRORS)
def test_argument_errors_come_before_the_link(func, args, kwargs, message):
    # No session here: a bad argument must still be reported as such, without raising.
    assert func(*args, **kwargs) is None
    assert orbisyn.last_error() == (-2, message)


@pytest.mark.parametrize("call", [
    lambda: orbisyn.positions_total(),
    lambda: orbisyn.orders_get(symbol="A" * 29),
    lambda: orbisyn.positions_get(group="A" * 1997),
    lambda: orbisyn.history_orders_get(D1, D2, group="*"),
    lambda: orbisyn.history_deals_get(ticket=5),
    lambda: orbisyn.history_deals_total(D1, D2),
])
def test_valid_arguments_without_a_session(call):
    assert call() is None
    assert orbisyn.last_error() == (-10004, "No IPC connection")


def test_longest_symbol_and_group_are_sent(term):
    answer(term, reply(122, 0, array("position")), reply(131, 0, with_symbols("order", ["A" * 31])))
    assert orbisyn.positions_get(symbol="\U0001F600" * 14 + "A") == ()
    assert last_request(term) == request(122, text("\U0001F600" * 14 + "A"))
    assert [o.symbol for o in orbisyn.orders_get(group="A" * 1997)] == []
    assert last_request(term) == request(131)


# --------------------------------------------------------------------------- ticket lookups

@pytest.mark.parametrize("code, call", [
    (123, lambda: orbisyn.positions_get(ticket=5)),
    (133, lambda: orbisyn.orders_get(ticket=5)),
    (143, lambda: orbisyn.history_orders_get(ticket=5)),
    (153, lambda: orbisyn.history_deals_get(ticket=5)),
])
@pytest.mark.parametrize("status, with_record, expected", [
    (-4, False, 0),     # not found: an empty tuple, and no failure recorded
    (-4, True, 0),
    (0, True, 0),
    (1, True, 1),
])
def test_ticket_lookup_status(term, code, call, status, with_record, expected):
    kind = {123: "position", 133: "order", 143: "order", 153: "deal"}[code]
    answer(term, reply(code, status, record(kind, ticket=5) if with_record else b""))
    assert len(call()) == expected
    assert orbisyn.last_error() == (1, "Success")


@pytest.mark.parametrize("code, call", [
    (142, lambda: orbisyn.history_orders_get(position=5)),
    (152, lambda: orbisyn.history_deals_get(position=5)),
    (122, lambda: orbisyn.positions_get(symbol="EURUSD")),
    (121, lambda: orbisyn.positions_get(group="*")),
])
def test_not_found_fails_outside_ticket_mode(term, code, call):
    answer(term, reply(code, -4))
    assert call() is None
    assert orbisyn.last_error() == (-4, "Terminal: Not found")


# --------------------------------------------------------------------------- records

RECORD_CALLS = [
    ("position", 121, lambda: orbisyn.positions_get(), True),
    ("position", 123, lambda: orbisyn.positions_get(ticket=1), False),
    ("order", 131, lambda: orbisyn.orders_get(), True),
    ("order", 141, lambda: orbisyn.history_orders_get(D1, D2), True),
    ("order", 133, lambda: orbisyn.orders_get(ticket=1), False),
    ("deal", 151, lambda: orbisyn.history_deals_get(D1, D2), True),
    ("deal", 153, lambda: orbisyn.history_deals_get(ticket=1), False),
]


@pytest.mark.parametrize("variant", ["distinct", "zero", "extreme"])
@pytest.mark.parametrize("kind, code, call, is_array", RECORD_CALLS)
def test_records_read_at_documented_offsets(term, kind, code, call, is_array, variant):
    layout, _ = layouts.LAYOUTS[kind]
    raw, want = layouts.sample(layout, variant)
    # The position's unused bytes must not show anywhere.
    rec = record(kind, unused=b"\x11" * 8 if kind == "position" else None, **raw)
    answer(term, reply(code, 1, array(kind, rec, rec) if is_array else rec))
    result = call()
    assert result is not None, orbisyn.last_error()
    assert len(result) == (2 if is_array else 1)
    for item in result:
        assert layouts.typed(list(item)) == layouts.typed(want)
        assert list(item._asdict()) == layouts.names(layout) == field_names(kind)
        assert type(item).__name__ == {"position": "TradePosition", "order": "TradeOrder",
                                       "deal": "TradeDeal"}[kind]


# --------------------------------------------------------------------------- replies

BAD_REPLIES = [
    # (code, call, reply frame, expected code): a count that the records do not match
    (121, lambda: orbisyn.positions_get(), reply(121, 0, u32(2) + record("position")), -10002),
    (131, lambda: orbisyn.orders_get(), reply(131, 0, u32(1) + record("position")), -10002),
    (151, lambda: orbisyn.history_deals_get(D1, D2, group="*"), reply(151, 0, u32(1) + record("order")), -10002),
    (141, lambda: orbisyn.history_orders_get(D1, D2), reply(141, 0, u32(2**32 - 1)), -10002),
]


@pytest.mark.parametrize("code, call, frame, expected", BAD_REPLIES)
def test_malformed_or_failed_replies(term, code, call, frame, expected):
    answer(term, frame, reply(120, 0, u32(9)))
    assert call() is None
    assert orbisyn.last_error()[0] == expected
    # The failed reply was consumed whole: the next exchange is in step.
    assert orbisyn.positions_total() == 9


def test_total_is_unsigned(term):
    answer(term, reply(150, 0, u32(2**32 - 1)))
    assert orbisyn.history_deals_total(D1, D2) == 2**32 - 1


@pytest.mark.parametrize("code, kind, call", [
    (131, "order", lambda g: orbisyn.orders_get(group=g)),
    (141, "order", lambda g: orbisyn.history_orders_get(D1, D2, group=g)),
])
def test_order_groups_read_the_symbol_at_148(term, code, kind, call):
    answer(term, reply(code, 0, with_symbols(kind, ["EURJPY", "EURUSD", "GBPUSD"])),
           reply(code, 0, with_symbols(kind, ["EURUSD"])))
    assert [o.symbol for o in call("EUR*,!*JPY")] == ["EURUSD"]
    assert call("") == ()


def _name(i: int) -> str:
    # 400 distinct names: short, non-ASCII, outside the BMP, and the full 32 units
    # without a terminator; some differ only in their last unit.
    return [f"S{i}", f"Ä{i}", f"\U0001d538{i}", f"{i:0>32}"[-32:], f"EUR{i}X"][i % 5]


@pytest.mark.parametrize("group", [None, "EUR*,S1*,!*9"])
def test_many_distinct_texts_keep_their_values(term, group):
    # More distinct symbols and comments than the conversion shares and the filter
    # remembers: every record must still carry its own texts.
    names = [_name(i) for i in range(400)] * 2
    records = [record("position", ticket=i + 1, symbol=n, comment=n[::-1][:32], external_id="")
               for i, n in enumerate(names)]
    answer(term, reply(121, 0, array("position", *records)))
    got = orbisyn.positions_get(**({"group": group} if group else {}))
    kept = [(i + 1, n) for i, n in enumerate(names)
            if group is None or ((n.startswith(("EUR", "S1"))) and not n.endswith("9"))]
    assert [(p.ticket, p.symbol, p.comment, p.external_id) for p in got] == \
        [(t, n, n[::-1][:32], "") for t, n in kept]
