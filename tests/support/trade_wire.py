"""Position (320 bytes), order (340) and deal (300) records, and the check (252) and send
(260) results, built from the hand-written layouts of wire_layouts."""
from __future__ import annotations

import struct

from . import wire_layouts as layouts
from .fake_terminal import u32

_CODES = {"bool": "B", "i32": "i", "u32": "I", "i64": "q", "u64": "Q", "f64": "d"}


def _wire(layout, size: int) -> list:
    """(offset, struct code, field) in wire order; "T" a 32-unit text, None the bytes that
    no field covers."""
    out, pos = [], 0
    for name, offset, kind in sorted(layout, key=lambda f: f[1]):
        if offset > pos:
            out.append((pos, f"{offset - pos}s", None))
        out.append((offset, "T" if isinstance(kind, tuple) else _CODES[kind], name))
        pos = offset + layouts.width(kind)
    assert pos == size
    return out


POSITION = _wire(layouts.POSITION, layouts.POSITION_SIZE)
ORDER = _wire(layouts.ORDER, layouts.ORDER_SIZE)
DEAL = _wire(layouts.DEAL, layouts.DEAL_SIZE)
LAYOUTS = {"position": (POSITION, layouts.POSITION_SIZE), "order": (ORDER, layouts.ORDER_SIZE),
           "deal": (DEAL, layouts.DEAL_SIZE)}


def field_names(kind: str) -> list[str]:
    return [name for _, _, name in LAYOUTS[kind][0] if name]


def record(kind: str, **values) -> bytes:
    """One record; fields not given are zero (texts empty). A text of 32 units has no NUL;
    "unused" fills the bytes no field covers."""
    layout, size = LAYOUTS[kind]
    buf = bytearray(size)
    names = {name for _, _, name in layout}
    for key in values:
        if key not in names and key != "unused":
            raise KeyError(key)
    for offset, code, name in layout:
        value = values.get(name or "unused")
        if value is None:
            continue
        if code == "T":
            units = value.encode("utf-16-le", "surrogatepass")
            assert len(units) <= 64
            buf[offset:offset + len(units)] = units
        else:
            struct.pack_into("<" + code, buf, offset, value)
    return bytes(buf)


def array(kind: str, *records: bytes) -> bytes:
    """Payload of an array reply: count, then the records."""
    return u32(len(records)) + b"".join(records)


def with_symbols(kind: str, symbols) -> bytes:
    """Array payload of records whose tickets count from 1, one per symbol."""
    return array(kind, *(record(kind, ticket=i + 1, symbol=s) for i, s in enumerate(symbols)))


def _result(layout, size: int, values, comment: bytes, **rest) -> bytes:
    """The result's fields before the comment from values (in order), the comment's raw
    bytes, then the fields after it by name."""
    buf = bytearray(size)
    comment_at = next(offset for name, offset, _ in layout if name == "comment")
    before = [f for f in layout if f[1] < comment_at]
    for (name, offset, kind), value in zip(before, values or (0,) * len(before)):
        struct.pack_into("<" + _CODES[kind], buf, offset, value)
    for name, offset, kind in layout:
        if name == "comment":
            buf[offset:offset + len(comment)] = comment
        elif name in rest:
            struct.pack_into("<" + _CODES[kind], buf, offset, rest[name])
    return bytes(buf)


def check_record(*values, comment=b"") -> bytes:  # retcode, balance ... margin_level
    return _result(layouts.CHECK_RESULT, layouts.CHECK_RESULT_SIZE, values, comment)


def send_record(*values, comment=b"", request_id=0, retcode_external=0) -> bytes:
    return _result(layouts.SEND_RESULT, layouts.SEND_RESULT_SIZE, values, comment, request_id=request_id,
                   retcode_external=retcode_external)
