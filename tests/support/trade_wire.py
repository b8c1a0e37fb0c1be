"""Position (320 bytes), order (340) and deal (300) records, and the check (252) and send
(260) results, built from their documented wire layouts."""
from __future__ import annotations

import struct

from .fake_terminal import u32

# (offset, struct code, field) in wire order; None marks bytes that are not exposed.
POSITION = [
    (0, "Q", "ticket"), (8, "q", "time"), (16, "q", "time_msc"), (24, "q", "time_update"),
    (32, "q", "time_update_msc"), (40, "I", "type"), (44, "Q", "magic"),
    (52, "Q", "identifier"), (60, "I", "reason"), (64, "d", "volume"),
    (72, "d", "price_open"), (80, "d", "sl"), (88, "d", "tp"), (96, "d", "price_current"),
    (104, "8s", None), (112, "d", "swap"), (120, "d", "profit"), (128, "T", "symbol"),
    (192, "T", "comment"), (256, "T", "external_id"),
]
ORDER = [
    (0, "Q", "ticket"), (8, "q", "time_setup"), (16, "q", "time_setup_msc"),
    (24, "q", "time_done"), (32, "q", "time_done_msc"), (40, "q", "time_expiration"),
    (48, "I", "type"), (52, "I", "type_time"), (56, "I", "type_filling"), (60, "I", "state"),
    (64, "Q", "magic"), (72, "Q", "position_id"), (80, "Q", "position_by_id"),
    (88, "I", "reason"), (92, "d", "volume_initial"), (100, "d", "volume_current"),
    (108, "d", "price_open"), (116, "d", "sl"), (124, "d", "tp"), (132, "d", "price_current"),
    (140, "d", "price_stoplimit"), (148, "T", "symbol"), (212, "T", "comment"),
    (276, "T", "external_id"),
]
DEAL = [
    (0, "Q", "ticket"), (8, "Q", "order"), (16, "q", "time"), (24, "q", "time_msc"),
    (32, "I", "type"), (36, "I", "entry"), (40, "Q", "magic"), (48, "Q", "position_id"),
    (56, "I", "reason"), (60, "d", "volume"), (68, "d", "price"), (76, "d", "commission"),
    (84, "d", "swap"), (92, "d", "profit"), (100, "d", "fee"), (108, "T", "symbol"),
    (172, "T", "comment"), (236, "T", "external_id"),
]
LAYOUTS = {"position": (POSITION, 320), "order": (ORDER, 340), "deal": (DEAL, 300)}


def field_names(kind: str) -> list[str]:
    return [name for _, _, name in LAYOUTS[kind][0] if name]


def record(kind: str, **values) -> bytes:
    """One record; fields not given are zero (texts empty). A text of 32 units has no NUL."""
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


def check_record(*values, comment=b"") -> bytes:  # retcode, balance ... margin_level
    return struct.pack("<I6d200s", *(values or (0,) + (0.0,) * 6), comment)


def send_record(*values, comment=b"", request_id=0, retcode_external=0) -> bytes:
    return struct.pack("<IQQ4d200sIi", *(values or (0, 0, 0) + (0.0,) * 4), comment, request_id,
                       retcode_external)
