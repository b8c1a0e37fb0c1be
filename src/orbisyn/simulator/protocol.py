"""The Terminal protocol as the simulated Terminal speaks it: the one wire module.

Commands and record layouts come from the protocol's description (orbisyn._protocol), from
which the extension's C++ is generated too; this module turns them into codecs.

Frames: a request is ``u32 length, i32 command, payload``; a reply is
``u32 length, i32 echo, i32 status, payload``, where length counts the bytes
after the length field.  Everything is little-endian and packed.

Texts follow the client's rules in both directions: a payload text is an i32
count of UTF-16 units without terminator; a fixed text field of N units holds
at most N-1 units and a terminator; lone surrogates pass through unchanged
(the client decodes with "surrogatepass" too), so a text comes back as sent.
"""
from __future__ import annotations

import enum
import struct
from dataclasses import field, make_dataclass
from typing import Any, Callable, Dict

import numpy as np

from .. import _protocol as description

# Command codes: Command.COPY_RATES_FROM is the C++ Command::kCopyRatesFrom.
Command = enum.IntEnum("Command", [(c.name.upper(), c.code) for c in description.COMMANDS])  # type: ignore[misc]
COMMANDS: Dict[int, description.Command] = {c.code: c for c in description.COMMANDS}


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

# Connection states answered to Command.CONNECTION_STATE
STATE_CONNECTING = 1
STATE_READY = 2
STATE_AUTH_FAILED = 3

# terminal_info's name ends with this in a stepped replay (the module's waits look for it).
from .._waits import STEPPED_REPLAY_NAME  # noqa: E402

# Builds from this one on send the symbol record with its name slot.
SYMBOL_NAME_BUILD = description.SYMBOL_NAME_BUILD

# A request is never near this; anything larger is garbage on the socket.
MAX_REQUEST = 1 << 20

U32 = struct.Struct("<I")
I32 = struct.Struct("<i")
U64 = struct.Struct("<Q")
I64 = struct.Struct("<q")
F64 = struct.Struct("<d")
RANGE = struct.Struct("<qq")
REPLY_HEAD = struct.Struct("<Iii")

_CODES = {description.BOOL: "?", description.I32: "i", description.U32: "I", description.I64: "q", description.U64: "Q", description.F64: "d"}
_NUMPY = {description.I32: "<i4", description.U32: "<u4", description.I64: "<i8", description.U64: "<u8", description.F64: "<f8"}


def _dtype(record: description.Record) -> np.dtype:
    """The record's numpy dtype: its shown fields at their wire offsets."""
    at = description.offsets(record)
    shown = description.shown(record)
    return np.dtype({"names": [f.name for f in shown],
                     "formats": [_NUMPY[f.kind] for f in shown],
                     "offsets": [at[f.name] for f in shown], "itemsize": record.size})


BAR_DTYPE = _dtype(description.BAR)
TICK_DTYPE = _dtype(description.TICK)
BOOK_DTYPE = _dtype(description.BOOK_ENTRY)


class Layout:
    """A packed record of the description: its fields in wire order, packed with one
    precompiled struct (texts as bytes, the Terminal's unused bytes as padding)."""

    def __init__(self, record: description.Record):
        self.record = record
        self.offsets: Dict[str, int] = description.offsets(record)
        self.texts: Dict[str, int] = {f.name: f.count for f in record.fields if f.kind == description.TEXT}
        fmt = "<"
        self._packers: list = []
        for f in record.fields:
            if f.kind == description.PAD:
                fmt += f"{f.count}x"
                continue
            if f.kind == description.TEXT:
                fmt += f"{2 * f.count}s"
            else:
                fmt += _CODES[f.kind]
            self._packers.append((f.name, _value_packer(f)))
        self.struct = struct.Struct(fmt)
        self.size = self.struct.size
        self.names = [name for name, _ in self._packers]
        assert self.size == record.size

    def pack(self, values: Dict[str, Any]) -> bytes:
        """The record of these values by name; a field not given is zero (or empty)."""
        return self.struct.pack(*[packer(values.get(name)) for name, packer in self._packers])

    def unpack(self, data: bytes) -> Dict[str, Any]:
        out = {}
        for name, v in zip(self.names, self.struct.unpack(data)):
            out[name] = decode_text(v) if name in self.texts else v
        return out


def _value_packer(f: description.Field) -> Callable[[Any], Any]:
    if f.kind == description.TEXT:
        return lambda v, units=f.count: encode_text(v or "", units)
    if f.kind == description.BOOL:
        return bool
    if f.kind == description.F64:
        return lambda v: float(v or 0.0)
    return lambda v: int(v or 0)


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


LAYOUTS: Dict[str, Layout] = {r.key: Layout(r) for r in description.RECORDS}

TERMINAL_LAYOUT = LAYOUTS["terminal_info"]
ACCOUNT_LAYOUT = LAYOUTS["account_info"]
SYMBOL_LAYOUT = LAYOUTS["symbol_info"]
LEGACY_SYMBOL_SIZE = SYMBOL_LAYOUT.offsets["name"]  # the record without its name slot


# ---- trading records ----------------------------------------------------------------------

# Positional structs in wire order (texts as encoded bytes).
TRADE_REQUEST = LAYOUTS["trade_request"].struct
CHECK_RESULT = LAYOUTS["check_result"].struct
SEND_RESULT = LAYOUTS["send_result"].struct
POSITION = LAYOUTS["position"].struct
ORDER = LAYOUTS["order"].struct
DEAL = LAYOUTS["deal"].struct

_PYTHON_TYPES = {description.TEXT: str, description.F64: float, description.BOOL: bool}


def _unpack_request(cls, payload: bytes):
    if len(payload) != TRADE_REQUEST.size:
        raise BadRequest(f"trade request must be {TRADE_REQUEST.size} bytes")
    return cls(**LAYOUTS["trade_request"].unpack(payload))


def _pack_request(self) -> bytes:
    return LAYOUTS["trade_request"].pack(vars(self))


# A trade request as the Terminal receives it: one attribute per field.
TradeRequest = make_dataclass(
    "TradeRequest",
    [(f.name, _PYTHON_TYPES.get(f.kind, int), field(default=_PYTHON_TYPES.get(f.kind, int)()))
     for f in description.shown(description.TRADE_REQUEST)],
    namespace={"unpack": classmethod(_unpack_request), "pack": _pack_request,
               "__module__": __name__})


def pack_check(retcode: int, fig: dict, comment: str) -> bytes:
    return LAYOUTS["check_result"].pack(dict(fig, retcode=retcode, comment=comment))


def pack_send(retcode: int, deal: int, order: int, volume: float, price: float,
              bid: float, ask: float, comment: str, request_id: int) -> bytes:
    return LAYOUTS["send_result"].pack({
        "retcode": retcode, "deal": deal, "order": order, "volume": volume, "price": price,
        "bid": bid, "ask": ask, "comment": comment, "request_id": request_id & 0xFFFFFFFF})


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


def request(command: int, payload: bytes = b"") -> bytes:
    return U32.pack(4 + len(payload)) + I32.pack(command) + payload


# ---- requests by the description ----------------------------------------------------------

def read_request(command: int, payload: bytes | memoryview) -> Dict[str, Any]:
    """The request's fields by name, read exactly as the description lays them out (a trade
    request as a TradeRequest). BadRequest when the payload does not hold them exactly."""
    p = Payload(payload)
    out: Dict[str, Any] = {}
    for name, kind in COMMANDS[command].request:
        if kind == description.TEXT:
            out[name] = p.text()
        elif kind == description.BOOL:
            out[name] = p.flag()
        elif kind.startswith("record:"):
            out[name] = TradeRequest.unpack(bytes(p._take(LAYOUTS[kind[7:]].size)))
        else:
            out[name] = p.take(_SCALARS[kind])
    p.end()
    return out


_SCALARS = {description.I32: I32, description.U32: U32, description.I64: I64, description.U64: U64, description.F64: F64}
