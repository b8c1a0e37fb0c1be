"""The Terminal protocol as the simulated Terminal speaks it: the one wire module.

Frames: a request is ``u32 length, i32 command, payload``; a reply is
``u32 length, i32 echo, i32 status, payload``, where length counts the bytes
after the length field.  Everything is little-endian and packed.

Texts follow the client's rules in both directions: a payload text is an i32
count of UTF-16 units without terminator; a fixed text field of N units holds
at most N-1 units and a terminator; lone surrogates pass through unchanged
(the client decodes with "surrogatepass" too), so a text comes back as sent.
"""
from __future__ import annotations

import struct
from dataclasses import dataclass
from typing import Any, Sequence

import numpy as np

# Command codes, by family.
CMD_VERSION = 1
CMD_HANDSHAKE = 4
CMD_LOGIN = 5
CMD_TICKS_FROM = 104
CMD_TICKS_RANGE = 105
CMD_RATES_FROM = 106
CMD_RATES_RANGE = 107
CMD_RATES_FROM_POS = 108
CMD_STATE = 109
CMD_POSITIONS_TOTAL = 120
CMD_POSITIONS = 121
CMD_POSITIONS_SYMBOL = 122
CMD_POSITION_TICKET = 123
CMD_ORDERS_TOTAL = 130
CMD_ORDERS = 131
CMD_ORDERS_SYMBOL = 132
CMD_ORDER_TICKET = 133
CMD_HISTORY_ORDERS_TOTAL = 140
CMD_HISTORY_ORDERS = 141
CMD_HISTORY_ORDERS_POSITION = 142
CMD_HISTORY_ORDER_TICKET = 143
CMD_HISTORY_DEALS_TOTAL = 150
CMD_HISTORY_DEALS = 151
CMD_HISTORY_DEALS_POSITION = 152
CMD_HISTORY_DEAL_TICKET = 153
CMD_ORDER_CHECK = 160
CMD_ORDER_SEND = 161
CMD_CALC_MARGIN = 162
CMD_CALC_PROFIT = 163
CMD_SYMBOL_INFO = 170
CMD_SYMBOL_SELECT = 171
CMD_SYMBOL_TICK = 172
CMD_SYMBOLS_TOTAL = 173
CMD_SYMBOLS_ALL = 174
CMD_SYMBOLS_GROUP = 175
CMD_TERMINAL_INFO = 180
CMD_ACCOUNT_INFO = 190
CMD_BOOK_ADD = 191
CMD_BOOK_RELEASE = 192
CMD_BOOK_GET = 193

# Commands that the trading engine answers (positions, orders, history, trading).
ENGINE_COMMANDS = frozenset({
    CMD_POSITIONS_TOTAL, CMD_POSITIONS, CMD_POSITIONS_SYMBOL, CMD_POSITION_TICKET,
    CMD_ORDERS_TOTAL, CMD_ORDERS, CMD_ORDERS_SYMBOL, CMD_ORDER_TICKET,
    CMD_HISTORY_ORDERS_TOTAL, CMD_HISTORY_ORDERS, CMD_HISTORY_ORDERS_POSITION,
    CMD_HISTORY_ORDER_TICKET, CMD_HISTORY_DEALS_TOTAL, CMD_HISTORY_DEALS,
    CMD_HISTORY_DEALS_POSITION, CMD_HISTORY_DEAL_TICKET,
    CMD_ORDER_CHECK, CMD_ORDER_SEND, CMD_CALC_MARGIN, CMD_CALC_PROFIT,
})

# Reply statuses
OK = 0
OK_RECORD = 1          # success that the client tells apart from 0: version, a record by ticket
E_FAIL = -1
E_PARAMS = -2
E_MEMORY = -3
E_NOT_FOUND = -4
E_VERSION = -5
E_AUTH = -6
E_UNSUPPORTED = -7
E_TRADE_DISABLED = -8

# Connection states answered to CMD_STATE
STATE_CONNECTING = 1
STATE_READY = 2
STATE_AUTH_FAILED = 3

# Builds from this one on send the symbol record with its name slot.
SYMBOL_NAME_BUILD = 2364

# A request is never near this; anything larger is garbage on the socket.
MAX_REQUEST = 1 << 20

U32 = struct.Struct("<I")
I32 = struct.Struct("<i")
U64 = struct.Struct("<Q")
I64 = struct.Struct("<q")
F64 = struct.Struct("<d")
RANGE = struct.Struct("<qq")
REPLY_HEAD = struct.Struct("<Iii")
ARRAY_HEAD = struct.Struct("<IiiI")

BAR_DTYPE = np.dtype({
    "names": ["time", "open", "high", "low", "close", "tick_volume", "spread", "real_volume"],
    "formats": ["<i8", "<f8", "<f8", "<f8", "<f8", "<u8", "<i4", "<u8"],
    "offsets": [0, 8, 16, 24, 32, 40, 48, 52],
    "itemsize": 60,
})
TICK_DTYPE = np.dtype({
    "names": ["time", "bid", "ask", "last", "volume", "time_msc", "flags", "volume_real"],
    "formats": ["<i8", "<f8", "<f8", "<f8", "<u8", "<i8", "<u4", "<f8"],
    "offsets": [0, 8, 16, 24, 32, 40, 48, 52],
    "itemsize": 60,
})
BOOK_DTYPE = np.dtype({
    "names": ["type", "price", "volume", "volume_dbl"],
    "formats": ["<u4", "<f8", "<u8", "<f8"],
    "offsets": [0, 4, 12, 20],
    "itemsize": 28,
})


class Layout:
    """A packed record: fields in wire order, packed with one precompiled struct.

    Field kinds: bool, u4, i4, u8, i8, f8 or ("text", N) for N UTF-16 units.
    """

    _codes = {"bool": "?", "u4": "I", "i4": "i", "u8": "Q", "i8": "q", "f8": "d"}

    def __init__(self, fields: Sequence[tuple[str, Any]]):
        self.fields = list(fields)
        fmt = "<"
        self.offsets: dict[str, int] = {}
        self.texts: dict[str, int] = {}
        off = 0
        for name, kind in self.fields:
            self.offsets[name] = off
            if isinstance(kind, tuple):
                units = kind[1]
                self.texts[name] = units
                fmt += f"{2 * units}s"
                off += 2 * units
            else:
                fmt += self._codes[kind]
                off += struct.calcsize("<" + self._codes[kind])
        self.struct = struct.Struct(fmt)
        self.size = self.struct.size
        self.names = [name for name, _ in self.fields]

    def pack(self, values: dict[str, Any]) -> bytes:
        args = []
        for name, kind in self.fields:
            v = values.get(name)
            if name in self.texts:
                args.append(encode_text(v or "", self.texts[name]))
            elif kind == "bool":
                args.append(bool(v))
            elif kind == "f8":
                args.append(float(v or 0.0))
            else:
                args.append(int(v or 0))
        return self.struct.pack(*args)

    def unpack(self, data: bytes) -> dict[str, Any]:
        out = {}
        for (name, _), v in zip(self.fields, self.struct.unpack(data)):
            out[name] = decode_text(v) if name in self.texts else v
        return out


# ---- texts --------------------------------------------------------------------------------

def encode_text(text: str, units: int) -> bytes:
    """A fixed text field of `units` units: cut to units-1 (never mid-pair); struct pads the rest."""
    raw = text.encode("utf-16-le", "surrogatepass")
    limit = 2 * (units - 1)
    if len(raw) > limit:
        raw = raw[:limit]
        # Don't leave half a surrogate pair behind.
        if len(raw) >= 2 and 0xD800 <= int.from_bytes(raw[-2:], "little") <= 0xDBFF:
            raw = raw[:-2]
    return raw


def decode_text(raw: bytes) -> str:
    """The units of a fixed text field before its terminator."""
    for i in range(0, len(raw) - 1, 2):
        if raw[i] == 0 and raw[i + 1] == 0:
            raw = raw[:i]
            break
    return raw.decode("utf-16-le", "surrogatepass")


def pack_text(text: str) -> bytes:
    """A payload text: its count of units, then the units."""
    raw = text.encode("utf-16-le", "surrogatepass")
    return I32.pack(len(raw) // 2) + raw


def text_field(units: int) -> tuple[str, int]:
    return ("text", units)


TERMINAL_LAYOUT = Layout([
    ("build", "u4"), ("community_account", "bool"), ("community_connection", "bool"),
    ("connected", "bool"), ("dlls_allowed", "bool"), ("trade_allowed", "bool"),
    ("email_enabled", "bool"), ("ftp_enabled", "bool"), ("notifications_enabled", "bool"),
    ("maxbars", "u4"), ("vkid", "bool"), ("codepage", "i4"), ("ping_last", "i4"),
    ("community_balance", "f8"), ("retransmission", "f8"),
    ("company", text_field(260)), ("name", text_field(260)), ("language", text_field(260)),
    ("path", text_field(260)), ("data_path", text_field(260)), ("commondata_path", text_field(260)),
    ("tradeapi_disabled", "bool"),
])

ACCOUNT_LAYOUT = Layout([
    ("login", "u8"), ("trade_mode", "u4"), ("leverage", "u4"), ("limit_orders", "u4"),
    ("margin_so_mode", "u4"), ("trade_allowed", "bool"), ("trade_expert", "bool"),
    ("margin_mode", "u4"), ("currency_digits", "u4"), ("fifo_close", "bool"),
    ("balance", "f8"), ("credit", "f8"), ("profit", "f8"), ("equity", "f8"), ("margin", "f8"),
    ("margin_free", "f8"), ("margin_level", "f8"), ("margin_so_call", "f8"), ("margin_so_so", "f8"),
    ("margin_initial", "f8"), ("margin_maintenance", "f8"), ("assets", "f8"), ("liabilities", "f8"),
    ("commission_blocked", "f8"),
    ("name", text_field(128)), ("server", text_field(64)), ("currency", text_field(32)),
    ("company", text_field(128)),
])

_SYMBOL_DOUBLES = [
    "bid", "bidhigh", "bidlow", "ask", "askhigh", "asklow", "last", "lasthigh", "lastlow",
    "volume_real", "volumehigh_real", "volumelow_real", "option_strike", "point",
    "trade_tick_value", "trade_tick_value_profit", "trade_tick_value_loss", "trade_tick_size",
    "trade_contract_size", "trade_accrued_interest", "trade_face_value", "trade_liquidity_rate",
    "volume_min", "volume_max", "volume_step", "volume_limit", "swap_long", "swap_short",
    "margin_initial", "margin_maintenance", "session_volume", "session_turnover",
    "session_interest", "session_buy_orders_volume", "session_sell_orders_volume",
    "session_open", "session_close", "session_aw", "session_price_settlement",
    "session_price_limit_min", "session_price_limit_max", "margin_hedged", "price_change",
    "price_volatility", "price_theoretical", "price_greeks_delta", "price_greeks_theta",
    "price_greeks_gamma", "price_greeks_vega", "price_greeks_rho", "price_greeks_omega",
    "price_sensitivity",
]

SYMBOL_FIELDS: list[tuple[str, Any]] = [
    ("custom", "bool"), ("chart_mode", "u4"), ("select", "bool"), ("visible", "bool"),
    ("session_deals", "u8"), ("session_buy_orders", "u8"), ("session_sell_orders", "u8"),
    ("volume", "u8"), ("volumehigh", "u8"), ("volumelow", "u8"), ("time", "i8"),
    ("digits", "u4"), ("spread", "i4"), ("spread_float", "bool"), ("ticks_bookdepth", "u4"),
    ("trade_calc_mode", "u4"), ("trade_mode", "u4"), ("start_time", "i8"), ("expiration_time", "i8"),
    ("trade_stops_level", "i4"), ("trade_freeze_level", "i4"), ("trade_exemode", "u4"),
    ("swap_mode", "u4"), ("swap_rollover3days", "u4"), ("margin_hedged_use_leg", "bool"),
    ("expiration_mode", "i4"), ("filling_mode", "i4"), ("order_mode", "i4"),
    ("order_gtc_mode", "u4"), ("option_mode", "u4"), ("option_right", "u4"),
] + [(name, "f8") for name in _SYMBOL_DOUBLES] + [
    ("basis", text_field(32)), ("category", text_field(64)), ("currency_base", text_field(16)),
    ("currency_profit", text_field(16)), ("currency_margin", text_field(16)),
    ("bank", text_field(256)), ("description", text_field(64)), ("exchange", text_field(64)),
    ("formula", text_field(256)), ("isin", text_field(16)), ("page", text_field(256)),
    ("path", text_field(128)), ("name", text_field(32)),
]
SYMBOL_LAYOUT = Layout(SYMBOL_FIELDS)
LEGACY_SYMBOL_SIZE = SYMBOL_LAYOUT.offsets["name"]  # 2929: the record without its name slot

assert TERMINAL_LAYOUT.size == 3162
assert ACCOUNT_LAYOUT.size == 851
assert SYMBOL_LAYOUT.size == 2993 and LEGACY_SYMBOL_SIZE == 2929


# ---- trading records ----------------------------------------------------------------------

TRADE_REQUEST = struct.Struct("<IQQ64sdddddQIIIq64sQQ")  # 232
CHECK_RESULT = struct.Struct("<Idddddd200s")              # 252
SEND_RESULT = struct.Struct("<IQQdddd200sIi")             # 260
POSITION = struct.Struct("<QqqqqIQQIddddd8xdd64s64s64s")  # 320
ORDER = struct.Struct("<QqqqqqIIIIQQQIddddddd64s64s64s")  # 340
DEAL = struct.Struct("<QQqqIIQQIdddddd64s64s64s")         # 300

assert TRADE_REQUEST.size == 232 and CHECK_RESULT.size == 252 and SEND_RESULT.size == 260
assert POSITION.size == 320 and ORDER.size == 340 and DEAL.size == 300


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
        if len(payload) != TRADE_REQUEST.size:
            raise BadRequest("trade request must be 232 bytes")
        f = list(TRADE_REQUEST.unpack(payload))
        f[3] = decode_text(f[3])
        f[14] = decode_text(f[14])
        return cls(*f)

    def pack(self) -> bytes:
        return TRADE_REQUEST.pack(
            self.action, self.magic, self.order, encode_text(self.symbol, 32),
            self.volume, self.price, self.stoplimit, self.sl, self.tp, self.deviation,
            self.type, self.type_filling, self.type_time, self.expiration,
            encode_text(self.comment, 32), self.position, self.position_by)


def pack_check(retcode: int, fig: dict, comment: str) -> bytes:
    return CHECK_RESULT.pack(retcode, fig["balance"], fig["equity"], fig["profit"],
                             fig["margin"], fig["margin_free"], fig["margin_level"],
                             encode_text(comment, 100))


def pack_send(retcode: int, deal: int, order: int, volume: float, price: float,
              bid: float, ask: float, comment: str, request_id: int) -> bytes:
    return SEND_RESULT.pack(retcode, deal, order, volume, price, bid, ask,
                            encode_text(comment, 100), request_id & 0xFFFFFFFF, 0)


# ---- frames -------------------------------------------------------------------------------

class BadRequest(ValueError):
    """The payload does not hold what the command needs (answered with E_PARAMS)."""


class Payload:
    """Sequential reader over a request payload, which a handler must consume exactly."""

    __slots__ = ("data", "pos")

    def __init__(self, data: bytes | memoryview):
        self.data = data
        self.pos = 0

    def _take(self, n: int) -> bytes | memoryview:
        end = self.pos + n
        if n < 0 or end > len(self.data):
            raise BadRequest("payload too short")
        chunk = self.data[self.pos:end]
        self.pos = end
        return chunk

    def take(self, st: struct.Struct):
        """The fields of `st` (one value when it has a single field)."""
        end = self.pos + st.size
        if end > len(self.data):
            raise BadRequest("payload too short")
        value = st.unpack_from(self.data, self.pos)
        self.pos = end
        return value[0] if len(value) == 1 else value

    def i32(self) -> int:
        return self.take(I32)

    def u32(self) -> int:
        return self.take(U32)

    def i64(self) -> int:
        return self.take(I64)

    def u64(self) -> int:
        return self.take(U64)

    def f64(self) -> float:
        return self.take(F64)

    def flag(self) -> bool:
        return bytes(self._take(1)) != b"\x00"

    def text(self) -> str:
        n = self.i32()
        if n < 0:
            raise BadRequest("negative text length")
        return bytes(self._take(2 * n)).decode("utf-16-le", "surrogatepass")

    def end(self) -> None:
        if self.pos != len(self.data):
            raise BadRequest("trailing bytes")


def reply(command: int, status: int, payload: bytes = b"") -> bytes:
    return REPLY_HEAD.pack(8 + len(payload), command, status) + payload


def array_reply_head(command: int, status: int, count: int, nbytes: int) -> bytes:
    return ARRAY_HEAD.pack(12 + nbytes, command, status, count)


def request(command: int, payload: bytes = b"") -> bytes:
    return U32.pack(4 + len(payload)) + I32.pack(command) + payload
