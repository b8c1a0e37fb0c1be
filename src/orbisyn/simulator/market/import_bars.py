"""M1 bars from a CSV file, checked row by row, for ``orbisyn-terminal import-bars``.

Every refused row is named with its line and the reason; a file with any refused
row imports nothing.  The table goes into ``history/<SYMBOL>.m1.npy`` by an atomic
replace, then the counter in ``history/.stamp`` goes up by one.  A running
Terminal maps that counter and reads it at the start of every request (a memory
read, no system call), so the request after the command returns sees the new bars.
"""
from __future__ import annotations

import bisect
import datetime as _dt
import math
import mmap
import os
import re
import struct

import numpy as np

from .catalogue import SymbolSpec

try:
    import fcntl
except ImportError:   # Windows
    fcntl = None

IMPORT_DTYPE = np.dtype([("minute", "<i8"), ("o", "<i8"), ("h", "<i8"), ("l", "<i8"),
                         ("c", "<i8"), ("spread", "<i8"), ("n", "<i8")])

_DATE = re.compile(r"^(\d{4})[.\-/](\d{1,2})[.\-/](\d{1,2})(?:[ T](\d{1,2}):(\d{2})(?::(\d{2}))?)?$")
_TIME = re.compile(r"^(\d{1,2}):(\d{2})(?::(\d{2}))?$")
_INT = re.compile(r"^-?\d+$")

STAMP_FILE = ".stamp"
_STAMP = struct.Struct("<Q")


class Refused(ValueError):
    """Rows that cannot be imported: [(line, reason)], in file order."""

    def __init__(self, rows: list[tuple[int, str]]):
        super().__init__(f"{len(rows)} row{'s' if len(rows) != 1 else ''} refused")
        self.rows = rows


class _Bad(Exception):
    pass


def _stamp(sec: int) -> str:
    return _dt.datetime.fromtimestamp(sec, _dt.timezone.utc).strftime("%Y-%m-%d %H:%M:%S").removesuffix(":00")


def _parse_time(fields: list[str]) -> tuple[int, int] | None:
    """(seconds, fields used) from the start of a row; None when it holds no time at all."""
    first = fields[0]
    if _INT.match(first):
        v = int(first)
        if v < 0:
            raise _Bad(f"bad date {first!r} (before 1970)")
        return (v // 1000 if v > 10**11 else v), 1
    m = _DATE.match(first)
    if not m:
        if re.match(r"^\d{4}[.\-/]", first):
            raise _Bad(f"bad date {first!r} (expected YYYY-MM-DD HH:MM)")
        return None
    y, mo, d, hh, mi, ss = m.groups()
    used = 1
    if hh is None and len(fields) > 1:
        t = _TIME.match(fields[1])
        if t:
            hh, mi, ss = t.groups()
            used = 2
    text = " ".join(fields[:used])
    try:
        when = _dt.datetime(int(y), int(mo), int(d), int(hh or 0), int(mi or 0), int(ss or 0),
                            tzinfo=_dt.timezone.utc)
    except ValueError as exc:
        raise _Bad(f"bad date {text!r} ({exc})") from None
    if when.year < 1970:
        raise _Bad(f"bad date {text!r} (before 1970)")
    return int(when.timestamp()), used


def _number(text: str, what: str) -> float:
    try:
        v = float(text)
    except ValueError:
        raise _Bad(f"{what} {text!r} is not a number") from None
    if not math.isfinite(v):
        raise _Bad(f"{what} {text!r} is not a number")
    return v


def _prices(vals: list[str], sym: SymbolSpec) -> tuple[int, int, int, int]:
    """open, high, low, close in points, or _Bad naming every broken rule."""
    names = ("open", "high", "low", "close")
    raw = [_number(v, name) for v, name in zip(vals, names)]
    problems = [f"{name} {v:g} is negative or zero" for name, v in zip(names, raw) if v <= 0]
    if problems:
        raise _Bad("; ".join(problems))
    pts = [int(round(v / sym.point)) for v in raw]
    small = [f"{name} {v:g} is below one point ({sym.point:g})" for name, v, p in zip(names, raw, pts)
             if p <= 0]
    if small:
        raise _Bad("; ".join(small))
    o, h, l, c = pts
    if l > min(o, c):
        problems.append(f"low {raw[2]:g} is above the open or the close")
    if h < max(o, c):
        problems.append(f"high {raw[1]:g} is below the open or the close")
    if problems:
        raise _Bad("; ".join(problems))
    return o, h, l, c


def _count(text: str, what: str) -> int:
    v = _number(text, what)
    if v < 0:
        raise _Bad(f"{what} {text!r} is negative")
    if v != int(v):
        raise _Bad(f"{what} {text!r} is not a whole number")
    return int(v)


def _counts(vals: list[str], sym: SymbolSpec) -> tuple[int, int]:
    """tick volume and spread (both optional), or _Bad naming what is wrong with them."""
    out, problems = [12, sym.sim_spread], []
    for k, what in ((4, "tick volume"), (5, "spread")):
        if len(vals) > k and vals[k]:
            try:
                out[k - 4] = _count(vals[k], what)
            except _Bad as exc:
                problems.append(str(exc))
    if problems:
        raise _Bad("; ".join(problems))
    return out[0], out[1]


def _order_faults(lines: list[int], times: list[int]) -> dict[int, str]:
    """The rows (by line) to refuse so that the others' times rise, each with its reason.

    The rows kept are a longest rising run of times, the earliest lines where several are
    as long: one row with a wild time is refused alone, not every row after it.
    """
    n = len(times)
    longest = [0] * n      # the longest rising run of times that starts at each row
    tails: list[int] = []
    for i in range(n - 1, -1, -1):
        j = bisect.bisect_left(tails, -times[i])
        if j == len(tails):
            tails.append(-times[i])
        else:
            tails[j] = -times[i]
        longest[i] = j + 1
    kept: list[int] = []
    need, last = max(longest, default=0), None
    for i in range(n):
        if need and longest[i] == need and (last is None or times[i] > last):
            kept.append(i)
            need, last = need - 1, times[i]
    kept_times = [times[i] for i in kept]
    faults: dict[int, str] = {}
    keep = set(kept)
    for i in range(n):
        if i in keep:
            continue
        t = times[i]
        k = bisect.bisect_left(kept, i)          # kept rows before this one: kept[:k]
        e = bisect.bisect_left(kept_times, t)
        if e < len(kept) and kept_times[e] == t and kept[e] < i:
            faults[lines[i]] = f"time {_stamp(t)} repeats line {lines[kept[e]]}"
        elif k and t <= times[kept[k - 1]]:
            p = kept[k - 1]
            faults[lines[i]] = f"time {_stamp(t)} goes back before line {lines[p]} ({_stamp(times[p])})"
        else:
            q = kept[k]
            faults[lines[i]] = f"time {_stamp(t)} is later than line {lines[q]} ({_stamp(times[q])}) after it"
    return faults


def read_bars_csv(path: str, sym: SymbolSpec, progress=None) -> np.ndarray:
    """M1 bars from a CSV file: time, open, high, low, close[, tick_volume[, spread]].

    Raises Refused with every bad row, ValueError when the file holds no bar.  A row's own
    faults (its date, prices, counts) are named first; the order of the times is checked
    among the rows without one.
    """
    rows: list[tuple] = []
    lines: list[int] = []
    refused: list[tuple[int, str]] = []
    seen_time = False
    header = False
    done = 0
    with open(path, encoding="utf-8-sig") as f:
        for lineno, line in enumerate(f, 1):
            done += len(line.encode())
            if progress is not None and lineno % 2000 == 0:
                progress.update(done, len(rows))
            text = line.strip()
            if not text or text.startswith("#"):
                continue
            sep = ";" if ";" in text else ("\t" if "\t" in text else ",")
            fields = [x.strip().strip('"') for x in text.split(sep)]
            try:
                t = _parse_time(fields)
                if t is None:
                    if not seen_time and not header:
                        header = True  # column names before the first bar
                        continue
                    raise _Bad(f"no date or time in {fields[0]!r}")
                seen_time = True
                sec, used = t
                if sec % 60:
                    raise _Bad(f"time {_stamp(sec)} is not on a minute")
                vals = fields[used:]
                if len(vals) < 4:
                    raise _Bad("expected open, high, low, close after the time")
                o, h, l, c = _prices(vals[:4], sym)
                tv, sp = _counts(vals, sym)
            except _Bad as exc:
                refused.append((lineno, str(exc)))
                continue
            # A bar needs 4 ticks to carry distinct open, high, low and close.
            rows.append((sec // 60, o, h, l, c, sp, min(max(tv, 4), 200)))
            lines.append(lineno)
    if progress is not None:
        progress.finish(len(rows))
    order = _order_faults(lines, [r[0] * 60 for r in rows])
    if order:
        refused = sorted(refused + list(order.items()))
    if refused:
        raise Refused(refused)
    if not rows:
        raise ValueError("no bars in the file")
    return np.array(rows, dtype=IMPORT_DTYPE)


def save_import(history_dir: str, symbol: str, table: np.ndarray) -> str:
    """Replace the symbol's imported bars atomically; returns the file's path."""
    os.makedirs(history_dir, exist_ok=True)
    target = import_path(history_dir, symbol)
    tmp = target + ".tmp.npy"
    np.save(tmp, table)
    os.replace(tmp, target)
    _bump_stamp(history_dir)
    return target


def import_path(history_dir: str, symbol: str) -> str:
    return os.path.join(history_dir, f"{symbol}.m1.npy")


def _open_stamp(history_dir: str) -> int:
    os.makedirs(history_dir, exist_ok=True)
    flags = os.O_RDWR | os.O_CREAT | getattr(os, "O_CLOEXEC", 0) | getattr(os, "O_BINARY", 0)
    fd = os.open(os.path.join(history_dir, STAMP_FILE), flags, 0o600)
    if os.fstat(fd).st_size < _STAMP.size:
        os.ftruncate(fd, _STAMP.size)
    return fd


def _bump_stamp(history_dir: str) -> None:
    fd = _open_stamp(history_dir)
    try:
        if fcntl is not None:
            fcntl.flock(fd, fcntl.LOCK_EX)
            value = _STAMP.unpack(os.pread(fd, _STAMP.size, 0))[0]
            os.pwrite(fd, _STAMP.pack((value + 1) & 0xFFFFFFFFFFFFFFFF), 0)
        else:
            import msvcrt
            msvcrt.locking(fd, msvcrt.LK_LOCK, _STAMP.size)
            try:
                value = _STAMP.unpack(os.read(fd, _STAMP.size))[0]
                os.lseek(fd, 0, os.SEEK_SET)
                os.write(fd, _STAMP.pack((value + 1) & 0xFFFFFFFFFFFFFFFF))
            finally:
                os.lseek(fd, 0, os.SEEK_SET)
                msvcrt.locking(fd, msvcrt.LK_UNLCK, _STAMP.size)
    finally:
        os.close(fd)


class ImportStamp:
    """The import counter of a history folder, mapped: reading it costs no system call."""

    def __init__(self, history_dir: str):
        fd = _open_stamp(history_dir)
        try:
            self._map = mmap.mmap(fd, _STAMP.size, access=mmap.ACCESS_READ)   # shared, read-only
        finally:
            os.close(fd)

    def read(self) -> int:
        return _STAMP.unpack_from(self._map, 0)[0]
