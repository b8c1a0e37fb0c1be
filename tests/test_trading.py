"""order_check, order_send, order_calc_margin and order_calc_profit against a fake Terminal.

Wire records are built here with ``struct`` from the documented layouts, never from the
extension's own structures."""
from __future__ import annotations

import struct
from collections import OrderedDict
from fractions import Fraction
from datetime import datetime, timezone

import numpy as np
import pytest

import orbisyn
from support import wire_layouts as layouts
from support.fake_terminal import f64, reply, request, session, text, u32
from support.trade_wire import check_record, send_record

CHECK, SEND, MARGIN, PROFIT = 160, 161, 162, 163
KEYS = layouts.names(layouts.TRADE_REQUEST)
# offset and format of each request field ("64s": 32 UTF-16 units), as written down by hand
LAYOUT = {name: (offset, f"{2 * kind[1]}s" if isinstance(kind, tuple) else "<" + layouts.SCALAR[kind])
          for name, offset, kind in layouts.TRADE_REQUEST}
FULL = {"action": 5, "magic": 0x0102030405060708, "order": 2**64 - 1, "symbol": "EURUSD.m",
        "volume": 0.25, "price": 1.0875, "stoplimit": 1.09, "sl": 1.07, "tp": 1.1,
        "deviation": 2**40 + 3, "type": 4294967295, "type_filling": 2, "type_time": 3,
        "expiration": -5, "comment": "héllo €\U0001F600", "position": 123456789012,
        "position_by": 987654321}


def units(s: str, n: int) -> bytes:
    return s.encode("utf-16-le", "surrogatepass").ljust(2 * n, b"\0")


def request_record(**fields) -> bytes:
    rec = bytearray(232)
    for key, value in fields.items():
        off, fmt = LAYOUT[key]
        struct.pack_into(fmt, rec, off, units(value, 32) if isinstance(value, str) else value)
    return bytes(rec)


def ok_reply(code: int) -> bytes:
    return reply(code, 0, check_record() if code == CHECK else send_record())


def arm(term, *actions) -> None:
    # script() does not wait for the peer: without the sync a request can overtake it
    term.script(*actions).sync()


def sent_record(term) -> bytes:
    frame = term.requests()[-1]
    assert len(frame) == 240 and struct.unpack_from("<I", frame)[0] == 236
    return frame[8:]


FUNCS = pytest.mark.parametrize("fn, code", [(orbisyn.order_check, CHECK),
                                             (orbisyn.order_send, SEND)], ids=["check", "send"])


# ---------------------------------------------------------------------------
# the request record

@FUNCS
def test_request_record_at_documented_offsets(fake_terminal, fn, code):
    session(fake_terminal)
    arm(fake_terminal, ok_reply(code))
    r = fn(FULL)
    assert r is not None, orbisyn.last_error()
    assert fake_terminal.codes()[-1] == code
    rec = sent_record(fake_terminal)
    assert rec == request_record(**FULL)
    assert list(r.request._asdict().items()) == list(FULL.items())
    assert orbisyn.last_error() == (1, "Success")


def test_empty_request_is_all_zeros(fake_terminal):
    session(fake_terminal)
    arm(fake_terminal, ok_reply(SEND))
    r = orbisyn.order_send({})
    assert sent_record(fake_terminal) == bytes(232)
    assert tuple(r.request) == (0, 0, 0, "", 0.0, 0.0, 0.0, 0.0, 0.0, 0, 0, 0, 0, 0, "", 0, 0)


class Sub(dict):
    pass


def test_request_forms_send_the_same_record(fake_terminal):
    session(fake_terminal)
    arm(fake_terminal, *[ok_reply(CHECK)] * 5)
    a = orbisyn.order_check(action=1, symbol="EURUSD", volume=0.1, type=0)
    b = orbisyn.order_check({"action": 1, "symbol": "EURUSD", "volume": 0.1})
    c = orbisyn.order_check(b.request._asdict())  # a TradeRequest's dict is a request
    d = orbisyn.order_check(Sub(action=1, symbol="EURUSD", volume=0.1))
    e = orbisyn.order_check(OrderedDict(action=1, symbol="EURUSD", volume=0.1), **{})
    expected = request(CHECK, request_record(action=1, symbol="EURUSD", volume=0.1))
    assert fake_terminal.requests()[-5:] == [expected] * 5
    assert a.request == b.request == c.request == d.request == e.request


# Accepted edge values and what the record and the TradeRequest then hold.
ACCEPTED = [("action", True, 1), ("type_time", 2**32 - 1, 2**32 - 1),
            ("magic", 2**64 - 1, 2**64 - 1), ("expiration", -2**63, -2**63),
            ("expiration", 2**63 - 1, 2**63 - 1), ("price", np.float64(1.25), 1.25),
            ("symbol", "A" * 29, "A" * 29), ("comment", "\U0001F600" * 14 + "x", None),
            # numbers as Python means them, times by the one time rule
            ("volume", 1, 1.0), ("sl", 0, 0.0), ("volume", np.float32(0.5), 0.5),
            ("price", Fraction(5, 4), 1.25), ("magic", np.int64(7), 7), ("type", np.uint8(2), 2),
            ("expiration", datetime(2024, 1, 1, tzinfo=timezone.utc), 1704067200),
            ("expiration", np.datetime64("2024-01-01T00:00:01.9"), 1704067201),
            ("expiration", 1.9, 1)]


def test_accepted_edge_values(fake_terminal):
    session(fake_terminal)
    arm(fake_terminal, *[ok_reply(SEND)] * len(ACCEPTED))
    for key, value, stored in ACCEPTED:
        stored = value if stored is None else stored
        r = orbisyn.order_send({key: value})
        assert r is not None, (key, value, orbisyn.last_error())
        assert sent_record(fake_terminal) == request_record(**{key: stored}), key
        assert getattr(r.request, key) == stored


# Refusals come before the link test, so they need no session.
BAD = {
    "action": [None, 1.0, "1", -1, 2**32], "magic": [-1, 2**64, 1.0], "order": [2**64, -1],
    "symbol": [None, b"EURUSD", "A" * 30, "\U0001F600" * 15, 5],
    "volume": [None, "1.0", True, np.bool_(True), 1j, 2**1024], "price": [True, "1"],
    "stoplimit": [b"0"], "sl": [None], "tp": [[2.0]], "deviation": [-1, 10.0], "type": [2**32, None],
    "type_filling": [-1], "type_time": [1.5],
    "expiration": [2**63, -2**63 - 1, float("nan"), "2024-01-01", np.datetime64("NaT")],
    "comment": ["c" * 30, None, "\U0001F600" * 14 + "xy"], "position": [-1, 2**64],
    "position_by": [2**64, "x"],
}
REFUSED = [(k, v) for k in KEYS for v in BAD[k]]


# order_check reads its request with the same code: test_first_bad_key_in_record_order
# and test_argument_shape_refusals show that it does.
@pytest.mark.parametrize("key, value", REFUSED, ids=[f"{k}-{v!r:.12}" for k, v in REFUSED])
def test_bad_value_is_refused(key, value):
    assert orbisyn.order_send({key: value}) is None
    assert orbisyn.last_error() == (-2, f'Invalid "{key}" argument')


@pytest.mark.parametrize("req, key", [({"comment": 5, "volume": "1"}, "volume"),
                                      ({"position_by": -1, "action": -1, "symbol": None}, "action"),
                                      ({"tp": None, "sl": None, "expiration": "1"}, "sl")])
def test_first_bad_key_in_record_order(req, key):
    assert orbisyn.order_send(req) is None
    assert orbisyn.last_error() == (-2, f'Invalid "{key}" argument')
    assert orbisyn.order_check(**req) is None
    assert orbisyn.last_error() == (-2, f'Invalid "{key}" argument')


@FUNCS
@pytest.mark.parametrize("args, kwargs, message", [
    (({},), {"action": 1}, "Unnamed arguments not allowed"),
    ((None,), {"volume": 1.0}, "Unnamed arguments not allowed"),
    ((), {}, "Invalid number of arguments"),
    (({}, {}), {}, "Invalid number of arguments"),
    ((None,), {}, "Invalid arguments"),
    (([("action", 1)],), {}, "Invalid arguments"),
])
def test_argument_shape_refusals(fn, code, args, kwargs, message):
    assert fn(*args, **kwargs) is None
    assert orbisyn.last_error() == (-2, message)
    assert fn({"action": 1}) is None
    assert orbisyn.last_error() == (-10004, "No IPC connection")


def test_trade_request_is_refused_and_nothing_sent(fake_terminal):
    session(fake_terminal)
    arm(fake_terminal, ok_reply(SEND))
    tr = orbisyn.order_send({"action": 1}).request
    fake_terminal.clear()
    for fn in (orbisyn.order_send, orbisyn.order_check):
        assert fn(tr) is None
        assert orbisyn.last_error() == (-2, "Invalid arguments")
    assert orbisyn.order_send({"volume": "1"}) is None
    assert fake_terminal.requests() == []


# ---------------------------------------------------------------------------
# results

COMMENT_100 = "".join(chr(0x41 + i % 26) for i in range(100))


@pytest.mark.parametrize("raw, shown", [
    (units("Done", 4) + b"\0\0" + units("garbage", 95), "Done"),
    (units("Zurück €", 100), "Zurück €"),
    (units(COMMENT_100, 100), COMMENT_100),  # no terminator: all 100 units, nothing beyond
    (bytes(200), ""),
])
def test_send_result(fake_terminal, raw, shown):
    session(fake_terminal)
    # request_id follows the comment: an overrun would show its 0xFFFF units
    arm(fake_terminal, reply(SEND, 0, send_record(10009, 2**64 - 1, 77, 0.5, 1.2, 1.19, 1.21,
                                                  comment=raw, request_id=0xFFFFFFFF,
                                                  retcode_external=-1)))
    r = orbisyn.order_send({"symbol": "X"})
    assert type(r) is orbisyn.OrderSendResult
    assert r[:10] == (10009, 2**64 - 1, 77, 0.5, 1.2, 1.19, 1.21, shown, 4294967295, -1)
    d = r._asdict()
    assert list(d) == ["retcode", "deal", "order", "volume", "price", "bid", "ask", "comment",
                       "request_id", "retcode_external", "request"]
    assert type(d["request"]) is orbisyn.TradeRequest and d["request"].symbol == "X"


def test_check_result(fake_terminal):
    session(fake_terminal)
    arm(fake_terminal,
        reply(CHECK, 0, check_record(0xFFFFFFFF, 1e3, 990.5, -9.5, 12.25, 978.25, 8085.7,
                                     comment=units(COMMENT_100, 100))),
        reply(CHECK, 3, check_record(comment=units("Done", 100))))
    r = orbisyn.order_check({"volume": 0.1})
    assert type(r) is orbisyn.OrderCheckResult
    assert r[:8] == (4294967295, 1e3, 990.5, -9.5, 12.25, 978.25, 8085.7, COMMENT_100)
    assert list(r._asdict()) == ["retcode", "balance", "equity", "profit", "margin",
                                 "margin_free", "margin_level", "comment", "request"]
    assert r.request.volume == 0.1
    assert orbisyn.order_check({}).comment == "Done"  # any status >= 0 is success
    assert orbisyn.last_error() == (1, "Success")


@pytest.mark.parametrize("code, status, message", [
    (SEND, -8, "Auto-Trading using Python API disabled in Terminal"),
    (CHECK, -8, "Terminal: Call failed"),
    (SEND, -2, "Terminal: Invalid params"),
    (CHECK, -7, "Terminal: Unsupported function"),
])
def test_negative_status(fake_terminal, code, status, message):
    session(fake_terminal)
    fn = orbisyn.order_send if code == SEND else orbisyn.order_check
    # the status alone, then the status followed by a whole record
    arm(fake_terminal, reply(code, status), reply(code, status, ok_reply(code)[12:]))
    for _ in range(2):
        assert fn({"action": 1}) is None
        assert orbisyn.last_error() == (status, message)


# ---------------------------------------------------------------------------
# order_calc_margin / order_calc_profit

def test_calc_request_bytes(fake_terminal):
    session(fake_terminal)
    arm(fake_terminal, reply(MARGIN, 0, f64(110.0)), reply(PROFIT, 0, f64(-12.5)),
        reply(MARGIN, 0, f64(1.0)), reply(PROFIT, 0, f64(2.0)))
    assert orbisyn.order_calc_margin(0, "EURUSD", 1.0, 1.1) == 110.0
    assert orbisyn.order_calc_profit(1, "EURUSD", 0.5, 1.1, 1.075) == -12.5
    # any int-like action in range, by keyword too; any real number for the doubles
    assert orbisyn.order_calc_margin(2**32 - 1, "€" * 29, 1, np.float32(2.0)) == 1.0
    assert orbisyn.order_calc_profit(action=np.int64(5), symbol="", volume=1, price_open=3,
                                     price_close=4.5) == 2.0
    assert fake_terminal.requests()[-4:] == [
        request(MARGIN, u32(0) + text("EURUSD") + f64(1.0) + f64(1.1)),
        request(PROFIT, u32(1) + text("EURUSD") + f64(0.5) + f64(1.1) + f64(1.075)),
        request(MARGIN, u32(4294967295) + text("€" * 29) + f64(1.0) + f64(2.0)),
        request(PROFIT, u32(5) + text("") + f64(1.0) + f64(3.0) + f64(4.5)),
    ]


@pytest.mark.parametrize("code", [MARGIN, PROFIT])
def test_calc_replies(fake_terminal, code):
    session(fake_terminal)
    args = (0, "EURUSD", 1.0, 1.1) + ((1.2,) if code == PROFIT else ())
    fn = orbisyn.order_calc_margin if code == MARGIN else orbisyn.order_calc_profit
    arm(fake_terminal, reply(code, 0, f64(0.0)), reply(code, 7, f64(-3.25)))
    r = fn(*args)
    assert type(r) is float and r == 0.0 and orbisyn.last_error() == (1, "Success")
    assert fn(*args) == -3.25  # any status >= 0 is success


@pytest.mark.parametrize("fn, args, message", [
    (orbisyn.order_calc_margin, (2.0, "EURUSD", 1.0, 1.1), '"action"'),
    (orbisyn.order_calc_margin, ("0", "EURUSD", 1.0, 1.1), '"action"'),
    (orbisyn.order_calc_margin, (-1, "EURUSD", 1.0, 1.1), '"action"'),
    (orbisyn.order_calc_margin, (2**32, "EURUSD", 1.0, 1.1), '"action"'),
    (orbisyn.order_calc_margin, (0, None, 1.0, 1.1), '"symbol"'),
    (orbisyn.order_calc_margin, (0, b"EURUSD", 1.0, 1.1), '"symbol"'),
    (orbisyn.order_calc_margin, (0, "A" * 30, 1.0, 1.1), '"symbol"'),
    (orbisyn.order_calc_margin, (0, "EURUSD", "1.0", 1.1), '"volume"'),
    (orbisyn.order_calc_margin, (0, "EURUSD", True, 1.1), '"volume"'),
    (orbisyn.order_calc_margin, (0, "EURUSD", 1.0), '"price" missing'),
    (orbisyn.order_calc_margin, (0, "EURUSD", 1.0, 1.1, 1.2), "takes 4, 5 given"),
    (orbisyn.order_calc_profit, (0, "EURUSD", 1.0, 1.1), '"price_close" missing'),
    (orbisyn.order_calc_profit, (0, "EURUSD", 1.0, 1.1, 1.2, 1.3), "takes 5, 6 given"),
    (orbisyn.order_calc_profit, (0, "\U0001F600" * 15, 1.0, 1.1, 1.2), '"symbol"'),
    (orbisyn.order_calc_profit, (0, "EURUSD", 1.0, 1.1, None), '"price_close"'),
])
def test_calc_refusals(fn, args, message):
    assert fn(*args) is None
    assert orbisyn.last_error() == (-2, "Invalid arguments: " + message)
