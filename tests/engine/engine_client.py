"""Builds request payloads and reads replies from the documented byte layouts.

Deliberately independent of the engine's own packing code, so a layout slip on
either side shows up as a failing test.
"""
from __future__ import annotations

import struct
from types import SimpleNamespace

from orbisyn.simulator.commands import Registry
from orbisyn.simulator.engine.commands import EngineCommands
from support.fake_terminal import text as wtext
from support.trade_wire import LAYOUTS

REQ = struct.Struct("<IQQ64sdddddQIIIq64sQQ")
CHECK = struct.Struct("<Idddddd200s")
SEND = struct.Struct("<IQQdddd200sIi")

# (name, struct code, offset) of each exposed field, from the shared record layouts.
POSITION_FIELDS, ORDER_FIELDS, DEAL_FIELDS = (
    [(name, code, off) for off, code, name in LAYOUTS[kind][0] if name]
    for kind in ("position", "order", "deal"))


def _text(units: int, s: str) -> bytes:
    raw = s.encode("utf-16-le")
    assert len(raw) // 2 < units
    return raw + b"\0" * (2 * units - len(raw))


def _untext(raw: bytes) -> str:
    s = raw.decode("utf-16-le")
    return s.split("\0", 1)[0]


def decode(fields, raw: bytes) -> SimpleNamespace:
    out = {}
    for name, kind, off in fields:
        if kind == "T":
            out[name] = _untext(raw[off:off + 64])
        else:
            out[name] = struct.unpack_from("<" + kind, raw, off)[0]
    return SimpleNamespace(**out)


def request(action=0, magic=0, order=0, symbol="", volume=0.0, price=0.0, stoplimit=0.0, sl=0.0,
            tp=0.0, deviation=0, type=0, type_filling=0, type_time=0, expiration=0, comment="",
            position=0, position_by=0) -> bytes:
    return REQ.pack(action, magic, order, _text(32, symbol), volume, price, stoplimit, sl, tp,
                    deviation, type, type_filling, type_time, expiration, _text(32, comment),
                    position, position_by)


class Client:
    """One caller of an engine's commands, speaking bytes; with `call`, of a running Terminal's
    (a raw client's ``call``)."""

    def __init__(self, engine=None, call=None):
        if call is None:
            commands = Registry()
            commands.add(EngineCommands(engine))
            call = commands.call
        self.engine = engine
        self.raw_call = call

    def raw(self, command: int, payload: bytes = b""):
        return self.raw_call(command, payload)

    def send(self, **req) -> SimpleNamespace:
        status, body = self.raw(161, request(**req))
        assert status == 0, status
        assert len(body) == SEND.size
        f = SEND.unpack(body)
        return SimpleNamespace(retcode=f[0], deal=f[1], order=f[2], volume=f[3], price=f[4],
                               bid=f[5], ask=f[6], comment=_untext(f[7]), request_id=f[8],
                               retcode_external=f[9])

    def check(self, **req) -> SimpleNamespace:
        status, body = self.raw(160, request(**req))
        assert status == 0, status
        assert len(body) == CHECK.size
        f = CHECK.unpack(body)
        return SimpleNamespace(retcode=f[0], balance=f[1], equity=f[2], profit=f[3], margin=f[4],
                               margin_free=f[5], margin_level=f[6], comment=_untext(f[7]))

    def buy(self, symbol="EURUSD", volume=0.1, **kw):
        return self.send(action=1, symbol=symbol, volume=volume, type=0, **kw)

    def sell(self, symbol="EURUSD", volume=0.1, **kw):
        return self.send(action=1, symbol=symbol, volume=volume, type=1, **kw)

    def _array(self, command, payload, fields, size):
        status, body = self.raw(command, payload)
        assert status == 0, status
        n = struct.unpack_from("<I", body)[0]
        assert len(body) == 4 + n * size
        return [decode(fields, body[4 + i * size:4 + (i + 1) * size]) for i in range(n)]

    def _one(self, command, ticket, fields, size):
        status, body = self.raw(command, struct.pack("<Q", ticket))
        if status == -4:
            assert body == b""
            return None
        assert status > 0 and len(body) == size
        return decode(fields, body)

    def _count(self, command, payload=b""):
        status, body = self.raw(command, payload)
        assert status == 0 and len(body) == 4
        return struct.unpack("<I", body)[0]

    def positions_total(self):
        return self._count(120)

    def positions(self, symbol=None):
        if symbol is None:
            return self._array(121, b"", POSITION_FIELDS, 320)
        return self._array(122, wtext(symbol), POSITION_FIELDS, 320)

    def position(self, ticket):
        return self._one(123, ticket, POSITION_FIELDS, 320)

    def orders_total(self):
        return self._count(130)

    def orders(self, symbol=None):
        if symbol is None:
            return self._array(131, b"", ORDER_FIELDS, 340)
        return self._array(132, wtext(symbol), ORDER_FIELDS, 340)

    def order(self, ticket):
        return self._one(133, ticket, ORDER_FIELDS, 340)

    def history_orders_total(self, lo, hi):
        return self._count(140, struct.pack("<qq", lo, hi))

    def history_orders(self, lo=0, hi=2**40, position=None):
        if position is not None:
            return self._array(142, struct.pack("<Q", position), ORDER_FIELDS, 340)
        return self._array(141, struct.pack("<qq", lo, hi), ORDER_FIELDS, 340)

    def history_order(self, ticket):
        return self._one(143, ticket, ORDER_FIELDS, 340)

    def history_deals_total(self, lo, hi):
        return self._count(150, struct.pack("<qq", lo, hi))

    def deals(self, lo=0, hi=2**40, position=None):
        if position is not None:
            return self._array(152, struct.pack("<Q", position), DEAL_FIELDS, 300)
        return self._array(151, struct.pack("<qq", lo, hi), DEAL_FIELDS, 300)

    def deal(self, ticket):
        return self._one(153, ticket, DEAL_FIELDS, 300)

    def calc_margin(self, action, symbol, volume, price):
        status, body = self.raw(162, struct.pack("<I", action) + wtext(symbol)
                                + struct.pack("<dd", volume, price))
        return status, (struct.unpack("<d", body)[0] if status >= 0 else None)

    def calc_profit(self, action, symbol, volume, price_open, price_close):
        status, body = self.raw(163, struct.pack("<I", action) + wtext(symbol)
                                + struct.pack("<ddd", volume, price_open, price_close))
        return status, (struct.unpack("<d", body)[0] if status >= 0 else None)
