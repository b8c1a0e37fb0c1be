"""Wire layouts of the Terminal protocol, as the simulated Terminal serves them.

Frames: a request is ``u32 length, i32 command, payload``; a reply is
``u32 length, i32 echo, i32 status, payload``, where length counts the bytes
after the length field.  Everything is little-endian and packed.
"""
from __future__ import annotations

import struct
from typing import Any, Iterable, Sequence

import numpy as np

# Commands
CMD_VERSION = 1
CMD_HANDSHAKE = 4
CMD_LOGIN = 5
CMD_TICKS_FROM = 104
CMD_TICKS_RANGE = 105
CMD_RATES_FROM = 106
CMD_RATES_RANGE = 107
CMD_RATES_FROM_POS = 108
CMD_STATE = 109
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

# Commands that belong to the trading engine.
ENGINE_COMMANDS = frozenset(
    list(range(120, 124)) + list(range(130, 134)) + list(range(140, 144))
    + list(range(150, 154)) + list(range(160, 164))
)

# Terminal status codes
OK = 0
E_FAIL = -1
E_PARAMS = -2
E_MEMORY = -3
E_NOT_FOUND = -4
E_VERSION = -5
E_AUTH = -6
E_UNSUPPORTED = -7
E_TRADE_DISABLED = -8

# Builds from this one on send the symbol record with its name slot.
SYMBOL_NAME_BUILD = 2364

# A request is never near this; anything larger is garbage on the socket.
MAX_REQUEST = 1 << 20

U32 = struct.Struct("<I")
I32 = struct.Struct("<i")
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


def encode_text(text: str, units: int) -> bytes:
    """A terminated fixed text field: cut to units-1 code units (never mid-pair)."""
    raw = text.encode("utf-16-le", "surrogatepass")
    limit = 2 * (units - 1)
    if len(raw) > limit:
        raw = raw[:limit]
        # Don't leave half a surrogate pair behind.
        if len(raw) >= 2 and 0xD800 <= int.from_bytes(raw[-2:], "little") <= 0xDBFF:
            raw = raw[:-2]
    return raw


def decode_text(raw: bytes) -> str:
    for i in range(0, len(raw) - 1, 2):
        if raw[i] == 0 and raw[i + 1] == 0:
            raw = raw[:i]
            break
    return raw.decode("utf-16-le", "surrogatepass")


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


# ---- frames -------------------------------------------------------------------------------

class BadRequest(Exception):
    """The payload does not hold what the command needs."""


class Payload:
    """Sequential reader over a request payload."""

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

    def i32(self) -> int:
        return struct.unpack_from("<i", self._take(4))[0]

    def u32(self) -> int:
        return struct.unpack_from("<I", self._take(4))[0]

    def i64(self) -> int:
        return struct.unpack_from("<q", self._take(8))[0]

    def u64(self) -> int:
        return struct.unpack_from("<Q", self._take(8))[0]

    def f64(self) -> float:
        return struct.unpack_from("<d", self._take(8))[0]

    def flag(self) -> bool:
        return bytes(self._take(1)) != b"\x00"

    def text(self) -> str:
        n = self.i32()
        if n < 0:
            raise BadRequest("negative text length")
        return bytes(self._take(2 * n)).decode("utf-16-le", "surrogatepass")

    def raw(self, n: int) -> bytes:
        return bytes(self._take(n))

    def rest(self) -> bytes:
        return bytes(self._take(len(self.data) - self.pos))


def reply(command: int, status: int, payload: bytes = b"") -> bytes:
    return REPLY_HEAD.pack(8 + len(payload), command, status) + payload


def array_reply_head(command: int, status: int, count: int, nbytes: int) -> bytes:
    return ARRAY_HEAD.pack(12 + nbytes, command, status, count)


def request(command: int, payload: bytes = b"") -> bytes:
    return U32.pack(4 + len(payload)) + I32.pack(command) + payload


def pack_text(text: str) -> bytes:
    raw = text.encode("utf-16-le", "surrogatepass")
    return I32.pack(len(raw) // 2) + raw


def concat_arrays(parts: Iterable[np.ndarray], dtype: np.dtype) -> np.ndarray:
    parts = [p for p in parts if len(p)]
    if not parts:
        return np.zeros(0, dtype=dtype)
    return parts[0] if len(parts) == 1 else np.concatenate(parts)
