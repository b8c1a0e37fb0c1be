"""Builds request payloads and reads replies from the documented byte layouts.

Deliberately independent of the engine's own packing code, so a layout slip on
either side shows up as a failing test.
"""
from __future__ import annotations

import struct
from types import SimpleNamespace

from orbisyn.simulator.commands import Registry
from orbisyn.simulator.engine.commands import EngineCommands
from support import wire_layouts as layouts
from support.fake_terminal import text as wtext
from support.trade_wire import LAYOUTS

# (name, struct code, offset) of each exposed field, from the shared record layouts.
POSITION_FIELDS, ORDER_FIELDS, DEAL_FIELDS = (
    [(name, code, off) for off, code, name in LAYOUTS[kind][0] if name]
    for kind in ("position", "order", "deal"))


def _untext(raw: bytes) -> str:
    s = raw.decode("utf-16-le", "surrogatepass")  # the wire carries lone surrogates too
    return s.split("\0", 1)[0]


def decode(fields, raw: bytes) -> SimpleNamespace:
    out = {}
    for name, kind, off in fields:
        if kind == "T":
            out[name] = _untext(raw[off:off + 64])
        else:
            out[name] = struct.unpack_from("<" + kind, raw, off)[0]
    return SimpleNamespace(**out)


def request(**fields) -> bytes:
    unknown = set(fields) - set(layouts.names(layouts.TRADE_REQUEST))
    if unknown:
        raise TypeError(f"no request field {sorted(unknown)[0]!r}")
    return layouts.pack(layouts.TRADE_REQUEST, layouts.TRADE_REQUEST_SIZE, fields)


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
        assert len(body) == layouts.SEND_RESULT_SIZE
        return SimpleNamespace(**layouts.unpack(layouts.SEND_RESULT, body))

    def check(self, **req) -> SimpleNamespace:
        status, body = self.raw(160, request(**req))
        assert status == 0, status
        assert len(body) == layouts.CHECK_RESULT_SIZE
        return SimpleNamespace(**layouts.unpack(layouts.CHECK_RESULT, body))

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
            return self._array(121, b"", POSITION_FIELDS, layouts.POSITION_SIZE)
        return self._array(122, wtext(symbol), POSITION_FIELDS, layouts.POSITION_SIZE)

    def position(self, ticket):
        return self._one(123, ticket, POSITION_FIELDS, layouts.POSITION_SIZE)

    def orders_total(self):
        return self._count(130)

    def orders(self, symbol=None):
        if symbol is None:
            return self._array(131, b"", ORDER_FIELDS, layouts.ORDER_SIZE)
        return self._array(132, wtext(symbol), ORDER_FIELDS, layouts.ORDER_SIZE)

    def order(self, ticket):
        return self._one(133, ticket, ORDER_FIELDS, layouts.ORDER_SIZE)

    def history_orders_total(self, lo, hi):
        return self._count(140, struct.pack("<qq", lo, hi))

    def history_orders(self, lo=0, hi=2**40, position=None):
        if position is not None:
            return self._array(142, struct.pack("<Q", position), ORDER_FIELDS, layouts.ORDER_SIZE)
        return self._array(141, struct.pack("<qq", lo, hi), ORDER_FIELDS, layouts.ORDER_SIZE)

    def history_order(self, ticket):
        return self._one(143, ticket, ORDER_FIELDS, layouts.ORDER_SIZE)

    def history_deals_total(self, lo, hi):
        return self._count(150, struct.pack("<qq", lo, hi))

    def deals(self, lo=0, hi=2**40, position=None):
        if position is not None:
            return self._array(152, struct.pack("<Q", position), DEAL_FIELDS, layouts.DEAL_SIZE)
        return self._array(151, struct.pack("<qq", lo, hi), DEAL_FIELDS, layouts.DEAL_SIZE)

    def deal(self, ticket):
        return self._one(153, ticket, DEAL_FIELDS, layouts.DEAL_SIZE)

    def calc_margin(self, action, symbol, volume, price):
        status, body = self.raw(162, struct.pack("<I", action) + wtext(symbol)
                                + struct.pack("<dd", volume, price))
        return status, (struct.unpack("<d", body)[0] if status >= 0 else None)

    def calc_profit(self, action, symbol, volume, price_open, price_close):
        status, body = self.raw(163, struct.pack("<I", action) + wtext(symbol)
                                + struct.pack("<ddd", volume, price_open, price_close))
        return status, (struct.unpack("<d", body)[0] if status >= 0 else None)
