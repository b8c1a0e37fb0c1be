"""Byte layouts of the trading commands: requests in, records out.

All records are packed little-endian without padding, exactly as the client
reads them; fixed text fields are UTF-16LE, NUL-terminated when shorter.
"""
from __future__ import annotations

import struct
from dataclasses import dataclass

REQUEST = struct.Struct("<IQQ64sdddddQIIIq64sQQ")        # 232
CHECK_RESULT = struct.Struct("<Idddddd200s")              # 252
SEND_RESULT = struct.Struct("<IQQdddd200sIi")             # 260
POSITION = struct.Struct("<QqqqqIQQIddddd8xdd64s64s64s")  # 320
ORDER = struct.Struct("<QqqqqqIIIIQQQIddddddd64s64s64s")  # 340
DEAL = struct.Struct("<QQqqIIQQIdddddd64s64s64s")         # 300

assert REQUEST.size == 232 and CHECK_RESULT.size == 252 and SEND_RESULT.size == 260
assert POSITION.size == 320 and ORDER.size == 340 and DEAL.size == 300

U32 = struct.Struct("<I")
I32 = struct.Struct("<i")
U64 = struct.Struct("<Q")
I64 = struct.Struct("<q")
F64 = struct.Struct("<d")
RANGE = struct.Struct("<qq")


class PayloadError(ValueError):
    """A request payload that does not match its command's layout."""


def text_field(text: str, units: int) -> bytes:
    """A fixed text field of `units` UTF-16 units, always NUL-terminated."""
    raw = text.encode("utf-16-le", "surrogatepass")[: 2 * (units - 1)]
    return raw + b"\0" * (2 * units - len(raw))


def read_text_field(raw: bytes) -> str:
    for i in range(0, len(raw) - 1, 2):
        if raw[i] == 0 and raw[i + 1] == 0:
            raw = raw[:i]
            break
    return raw.decode("utf-16-le", "replace")


class Reader:
    """Sequential reader over a request payload that must be consumed exactly."""

    __slots__ = ("data", "pos")

    def __init__(self, data: bytes):
        self.data = data
        self.pos = 0

    def take(self, st: struct.Struct):
        end = self.pos + st.size
        if end > len(self.data):
            raise PayloadError("payload too short")
        value = st.unpack_from(self.data, self.pos)
        self.pos = end
        return value[0] if len(value) == 1 else value

    def text(self) -> str:
        n = self.take(I32)
        if n < 0 or self.pos + 2 * n > len(self.data):
            raise PayloadError("bad text count")
        raw = self.data[self.pos:self.pos + 2 * n]
        self.pos += 2 * n
        return raw.decode("utf-16-le", "replace")

    def end(self) -> None:
        if self.pos != len(self.data):
            raise PayloadError("payload too long")


@dataclass
class TradeRequest:
    action: int = 0
    magic: int = 0
    order: int = 0
    symbol: str = ""
    volume: float = 0.0
    price: float = 0.0
    stoplimit: float = 0.0
    sl: float = 0.0
    tp: float = 0.0
    deviation: int = 0
    type: int = 0
    type_filling: int = 0
    type_time: int = 0
    expiration: int = 0
    comment: str = ""
    position: int = 0
    position_by: int = 0

    @classmethod
    def unpack(cls, payload: bytes) -> "TradeRequest":
        if len(payload) != REQUEST.size:
            raise PayloadError("trade request must be 232 bytes")
        f = list(REQUEST.unpack(payload))
        f[3] = read_text_field(f[3])
        f[14] = read_text_field(f[14])
        return cls(*f)

    def pack(self) -> bytes:
        return REQUEST.pack(
            self.action, self.magic, self.order, text_field(self.symbol, 32),
            self.volume, self.price, self.stoplimit, self.sl, self.tp, self.deviation,
            self.type, self.type_filling, self.type_time, self.expiration,
            text_field(self.comment, 32), self.position, self.position_by)


def pack_check(retcode: int, fig: dict, comment: str) -> bytes:
    return CHECK_RESULT.pack(retcode, fig["balance"], fig["equity"], fig["profit"],
                             fig["margin"], fig["margin_free"], fig["margin_level"],
                             text_field(comment, 100))


def pack_send(retcode: int, deal: int, order: int, volume: float, price: float,
              bid: float, ask: float, comment: str, request_id: int) -> bytes:
    return SEND_RESULT.pack(retcode, deal, order, volume, price, bid, ask,
                            text_field(comment, 100), request_id & 0xFFFFFFFF, 0)
