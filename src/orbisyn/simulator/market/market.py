"""The simulated market: catalogue and price synthesis behind caches, as the server and the
engine use it.  Thread-safe for readers.
"""
from __future__ import annotations

import datetime as _dt
import logging
import os
import threading
from collections import OrderedDict
from typing import Iterable, NamedTuple

import numpy as np

from .catalogue import SymbolSpec, default_catalogue
from .clock import wall_ms
from .import_bars import ImportStamp, import_path
from .prices import (
    DAY_MIN, DAY_SEC, MIN_MS, MONDAY0_DAY, TF_MN1, TF_W1, TIMEFRAMES_MIN, VALID_TIMEFRAMES,
    ImportedSource, Minutes, SyntheticSource, bars_of_minutes, bits, concat_minutes,
    empty_minutes, hashed, period_start, stream_key, ticks_of_bars, ticks_of_minutes, trading_mask)
from ..protocol import BAR_DTYPE, BOOK_DTYPE, TICK_DTYPE

log = logging.getLogger("orbisyn.simulator.market")

__all__ = ["Market", "SymbolSpec", "Tick", "VALID_TIMEFRAMES", "default_catalogue", "period_start"]

BLOCK_DAYS = 32                 # minute tables and intraday bar caches cover 32 UTC days
TICK_BLOCK_MIN = 60             # tick caches cover an hour: a stepped replay walks through them
SHORT_SPAN_MIN = 8 * 60         # tick ranges up to this long are cut from the hour caches


class Tick(NamedTuple):
    time_msc: int
    bid: float
    ask: float
    last: float
    volume: int
    flags: int



def block_days(tf: int, block: int) -> tuple[int, int]:
    """Day range [d0, d1) of cache block number `block` for a timeframe."""
    if tf == TF_W1:
        d0 = MONDAY0_DAY + 28 * block
        return d0, d0 + 28
    if tf == TF_MN1:
        d0 = (_dt.date(1970 + block, 1, 1) - _dt.date(1970, 1, 1)).days
        d1 = (_dt.date(1971 + block, 1, 1) - _dt.date(1970, 1, 1)).days
        return d0, d1
    return BLOCK_DAYS * block, BLOCK_DAYS * (block + 1)


def block_of_day(tf: int, day: int) -> int:
    if tf == TF_W1:
        return (day - MONDAY0_DAY) // 28
    if tf == TF_MN1:
        return (_dt.date(1970, 1, 1) + _dt.timedelta(days=int(day))).year - 1970
    return day // BLOCK_DAYS



class _LRU:
    def __init__(self, budget_bytes: int):
        self.budget = budget_bytes
        self.used = 0
        self.items: OrderedDict = OrderedDict()
        self.lock = threading.Lock()

    @staticmethod
    def _size(value) -> int:
        if isinstance(value, np.ndarray):
            return value.nbytes
        return sum(a.nbytes for a in value)

    def get(self, key):
        with self.lock:
            v = self.items.get(key)
            if v is not None:
                self.items.move_to_end(key)
            return v

    def put(self, key, value):
        size = self._size(value)
        with self.lock:
            if key in self.items:
                return
            self.items[key] = value
            self.used += size
            while self.used > self.budget and len(self.items) > 1:
                _, old = self.items.popitem(last=False)
                self.used -= self._size(old)


class Market:
    """The simulated market.  Thread-safe for readers.

    API used by the trading engine:

    * ``symbols() -> list[SymbolSpec]`` and ``symbol(name) -> SymbolSpec | None``;
    * ``now_ms() -> int``: the present, ms since the epoch (UTC): the wall clock, or the
      replay clock the market was made with (``clock``);
    * ``tick_at(name, time_ms) -> Tick | None``: the latest tick at or before time_ms;
    * ``ticks_between(name, from_ms, to_ms) -> list[Tick]``: ticks in [from_ms, to_ms],
      time ordered (``tick_array_between`` gives the same as a tick array);
    * ``is_trading(name, time_ms) -> bool``: whether the symbol quotes at that time (never
      from a replay's end on);
    * ``convert(amount, from_ccy, to_ccy, time_ms) -> float | None``: a currency
      conversion at the bid/ask mid of the catalogue's pairs.
    """

    def __init__(self, seed: int = 1, history_start: str = "2015-01-01",
                 history_dir: str | None = None, specs: Iterable[SymbolSpec] | None = None,
                 cache_bytes: int = 512 << 20, clock=None):
        self.seed = int(seed)
        self._specs = list(specs) if specs is not None else default_catalogue()
        self._by_name = {s.name: s for s in self._specs}
        start = _dt.date.fromisoformat(history_start)
        self.history_day = (start - _dt.date(1970, 1, 1)).days
        self.history_dir = history_dir
        self._clock = clock or wall_ms
        # A replay's market closes for good at its end.
        self._closes_ms: int | None = getattr(clock, "until_ms", None)
        self._sources: dict[str, object] = {}
        self._file_ids: dict[str, tuple | None] = {}
        self._checked: dict[str, int] = {}
        self._generation = 0
        self._stamp: ImportStamp | None = None
        self._stamp_seen = 0
        if history_dir:
            try:
                self._stamp = ImportStamp(history_dir)
                self._stamp_seen = self._stamp.read()
            except OSError as exc:  # imports are then seen when the Terminal starts
                log.error("cannot watch %s for imported bars: %s", history_dir, exc)
        self._tick_keys = {s.name: stream_key(self.seed, s.name, "tick") for s in self._specs}
        self._minute_cache = _LRU(cache_bytes // 4)
        self._bar_cache = _LRU(cache_bytes)
        self._tick_block_cache = _LRU(cache_bytes // 8)
        self._tick_cache: dict[str, tuple[int, np.ndarray]] = {}
        self._day_cache: dict[tuple[str, int], dict] = {}
        self._lock = threading.Lock()

    # ---- catalogue -----------------------------------------------------------------------
    def symbols(self) -> list[SymbolSpec]:
        return list(self._specs)

    def symbol(self, name: str) -> SymbolSpec | None:
        return self._by_name.get(name)

    def now_ms(self) -> int:
        return int(self._clock())

    # ---- sources -------------------------------------------------------------------------
    def import_path(self, name: str) -> str | None:
        if not self.history_dir:
            return None
        return import_path(self.history_dir, name)

    def begin_request(self) -> None:
        """A request starts: when bars were imported since the last one, look at every symbol's
        import file again on its next use.  The server calls this first thing per request.
        """
        if self._stamp is not None:
            seen = self._stamp.read()
            if seen != self._stamp_seen:
                self._stamp_seen = seen
                self._generation += 1

    def _source(self, name: str):
        src = self._sources.get(name)
        if src is not None and self._checked.get(name) == self._generation:
            return src
        self._checked[name] = self._generation
        path = self.import_path(name)
        stamp = None
        if path is not None:
            try:
                st = os.stat(path)
                stamp = (st.st_ino, st.st_mtime_ns, st.st_size)
            except OSError:
                pass
        if src is not None and stamp == self._file_ids.get(name):
            return src
        sym = self._by_name[name]
        with self._lock:
            self._file_ids[name] = stamp
            src = None
            if stamp is not None:
                try:
                    src = ImportedSource(sym, np.load(path))
                except (OSError, ValueError) as exc:
                    log.error("imported bars %s unreadable (%s): serving synthetic prices", path, exc)
            self._sources[name] = src = src or self._synthetic(sym)
            self._drop_caches(name)
        return src

    def _synthetic(self, sym: SymbolSpec) -> "SyntheticSource":
        legs = [(self._synthetic(self._by_name[n]), sign) for n, sign in sym.sim_legs
                if n in self._by_name]
        return SyntheticSource(sym, self.seed, legs)

    def _drop_caches(self, name: str) -> None:
        for cache in (self._minute_cache, self._bar_cache, self._tick_block_cache):
            with cache.lock:
                for key in [k for k in cache.items if k[0] == name]:
                    cache.used -= cache._size(cache.items.pop(key))
        self._tick_cache.pop(name, None)

    def first_day(self, name: str) -> int:
        src = self._source(name)
        if isinstance(src, ImportedSource):
            return src.first_day
        return self.history_day

    # ---- minutes -------------------------------------------------------------------------
    def _minute_block(self, name: str, block: int) -> Minutes:
        src = self._source(name)
        key = (name, "m", block, id(src))
        got = self._minute_cache.get(key)
        if got is None:
            got = src.minutes(block * BLOCK_DAYS, (block + 1) * BLOCK_DAYS)
            floor = self.first_day(name) * DAY_MIN
            if len(got.minute) and got.minute[0] < floor:
                got = got.slice(int(np.searchsorted(got.minute, floor)), len(got.minute))
            self._minute_cache.put(key, got)
        return got

    def minutes_between(self, name: str, m0: int, m1: int) -> Minutes:
        """Trading minutes with epoch minute in [m0, m1)."""
        if m1 <= m0:
            return empty_minutes()
        b0 = (m0 // DAY_MIN) // BLOCK_DAYS
        b1 = ((m1 - 1) // DAY_MIN) // BLOCK_DAYS
        parts = []
        for b in range(b0, b1 + 1):
            blk = self._minute_block(name, b)
            a, z = np.searchsorted(blk.minute, [m0, m1])
            parts.append(blk.slice(a, z))
        return concat_minutes(parts)

    def _last_minute_at_or_before(self, name: str, minute: int) -> int | None:
        floor = self.first_day(name) * DAY_MIN
        b = (minute // DAY_MIN) // BLOCK_DAYS
        while b * BLOCK_DAYS * DAY_MIN + BLOCK_DAYS * DAY_MIN > floor:
            blk = self._minute_block(name, b)
            i = int(np.searchsorted(blk.minute, minute, side="right"))
            if i > 0:
                m = int(blk.minute[i - 1])
                return m if m >= floor else None
            b -= 1
        return None

    # ---- ticks ---------------------------------------------------------------------------
    def _ticks(self, name: str, mins: Minutes) -> np.ndarray:
        if isinstance(self._source(name), ImportedSource):
            return ticks_of_bars(self._by_name[name], mins)
        return ticks_of_minutes(self._by_name[name], self._tick_keys[name], mins)

    def _tick_block(self, name: str, block: int) -> tuple[np.ndarray, np.ndarray]:
        """The ticks of minutes [block, block + 1) * TICK_BLOCK_MIN, ignoring the clock, and
        their times as a plain array (a search in a field of the records copies it first)."""
        src = self._source(name)
        key = (name, "t", block, id(src))
        got = self._tick_block_cache.get(key)
        if got is None:
            m0 = block * TICK_BLOCK_MIN
            ticks = self._ticks(name, self.minutes_between(name, m0, m0 + TICK_BLOCK_MIN))
            got = (ticks, np.ascontiguousarray(ticks["time_msc"]))
            self._tick_block_cache.put(key, got)
        return got

    def _ticks_of_minute(self, name: str, minute: int) -> np.ndarray:
        cached = self._tick_cache.get(name)
        if cached is not None and cached[0] == minute:
            return cached[1]
        blk, times = self._tick_block(name, minute // TICK_BLOCK_MIN)
        a, z = np.searchsorted(times, [minute * MIN_MS, (minute + 1) * MIN_MS])
        ticks = blk[a:z]
        self._tick_cache[name] = (minute, ticks)
        return ticks

    def _short_ticks(self, name: str, from_ms: int, to_ms: int) -> np.ndarray:
        """Ticks in [from_ms, to_ms] cut from the hour caches (a short span)."""
        b0, b1 = from_ms // MIN_MS // TICK_BLOCK_MIN, to_ms // MIN_MS // TICK_BLOCK_MIN
        parts = []
        for b in range(b0, b1 + 1):
            blk, t = self._tick_block(name, b)
            a = 0 if b > b0 else int(np.searchsorted(t, from_ms))
            z = len(t) if b < b1 else int(np.searchsorted(t, to_ms, side="right"))
            if z > a:
                parts.append(blk[a:z])
        if len(parts) == 1:
            return parts[0]
        return np.concatenate(parts) if parts else np.zeros(0, dtype=TICK_DTYPE)

    def next_bar_tick(self, name: str, tf: int, after_ms: int, limit_ms: int) -> np.ndarray | None:
        """The first tick after `after_ms` that opens a bar of timeframe tf (a later bar than
        that of the last tick at or before `after_ms`), as a one-element tick array, when it
        comes before `limit_ms`; else None. Ignores the clock (the caller moves it)."""
        _, times = self._tick_block(name, after_ms // MIN_MS // TICK_BLOCK_MIN)
        j = int(np.searchsorted(times, after_ms, side="right"))
        if j > 0:
            last: int | None = int(times[j - 1])
        else:
            rec = self.tick_record_at(name, after_ms, clocked=False)
            last = None if rec is None else int(rec["time_msc"][0])
        at = after_ms + 1
        if last is not None:
            at = max(at, self._next_open(tf, self.bar_open(tf, last)) * 1000)
        at = max(at, self.first_day(name) * DAY_SEC * 1000)
        while at < limit_ms:
            block = at // MIN_MS // TICK_BLOCK_MIN
            blk, times = self._tick_block(name, block)
            i = int(np.searchsorted(times, at))
            if i < len(times):
                return blk[i:i + 1] if int(times[i]) < limit_ms else None
            # Nothing more in this hour: on from the next minute that trades (a weekend away).
            m = self._first_minute_at_or_after(name, (block + 1) * TICK_BLOCK_MIN, limit_ms // MIN_MS + 1)
            if m is None:
                return None
            at = max(at, m * MIN_MS)
        return None

    @staticmethod
    def _next_open(tf: int, open_s: int) -> int:
        if tf == TF_MN1:
            return int(period_start(tf, np.array([open_s + 31 * DAY_SEC]))[0])
        if tf == TF_W1:
            return open_s + 7 * DAY_SEC
        return open_s + TIMEFRAMES_MIN[tf] * 60

    @staticmethod
    def bar_open(tf: int, time_ms: int) -> int:
        """Open time (s) of the bar of timeframe tf that holds time_ms."""
        minutes = TIMEFRAMES_MIN.get(tf)
        if minutes is not None:
            sec = time_ms // 1000
            return sec - sec % (minutes * 60)
        return int(period_start(tf, np.array([time_ms // 1000]))[0])

    def _first_minute_at_or_after(self, name: str, minute: int, end: int) -> int | None:
        """The first trading minute in [minute, end), or None."""
        b = (minute // DAY_MIN) // BLOCK_DAYS
        while b * BLOCK_DAYS * DAY_MIN < end:
            blk = self._minute_block(name, b)
            i = int(np.searchsorted(blk.minute, minute))
            if i < len(blk.minute):
                m = int(blk.minute[i])
                return m if m < end else None
            b += 1
        return None

    def tick_array_between(self, name: str, from_ms: int, to_ms: int,
                           limit: int | None = None) -> np.ndarray:
        """Ticks with time in [from_ms, min(to_ms, now)], oldest first, at most `limit`."""
        to_ms = min(to_ms, self.now_ms())
        from_ms = max(from_ms, self.first_day(name) * DAY_SEC * 1000)
        if to_ms < from_ms:
            return np.zeros(0, dtype=TICK_DTYPE)
        m0, m_end = from_ms // MIN_MS, to_ms // MIN_MS + 1
        if m_end - m0 <= SHORT_SPAN_MIN:
            out = self._short_ticks(name, from_ms, to_ms)
            return out if limit is None or len(out) <= limit else out[:limit]
        parts: list[np.ndarray] = []
        got = 0
        step = 240
        m = m0
        while m < m_end:
            m1 = min(m + step, m_end)
            if m1 - m == 1:
                t = self._ticks_of_minute(name, m)
            else:
                t = self._ticks(name, self.minutes_between(name, m, m1))
            if len(t) and (t["time_msc"][0] < from_ms or t["time_msc"][-1] > to_ms):
                a, z = np.searchsorted(t["time_msc"], [from_ms, to_ms + 1])
                t = t[a:z]
            if len(t):
                parts.append(t)
                got += len(t)
                if limit is not None and got >= limit:
                    break
            m = m1
            step = min(step * 2, 8 * DAY_MIN)
        out = parts[0] if len(parts) == 1 else (
            np.concatenate(parts) if parts else np.zeros(0, dtype=TICK_DTYPE))
        if limit is not None and len(out) > limit:
            out = out[:limit]
        return out

    def ticks_between(self, name: str, from_ms: int, to_ms: int) -> list[Tick]:
        arr = self.tick_array_between(name, from_ms, to_ms)
        return [Tick(int(t), float(b), float(a), float(la), int(v), int(f)) for t, b, a, la, v, f in
                zip(arr["time_msc"], arr["bid"], arr["ask"], arr["last"], arr["volume"], arr["flags"])]

    def tick_record_at(self, name: str, time_ms: int, clocked: bool = True) -> np.ndarray | None:
        """The latest tick at or before time_ms (and the present, when clocked) as a
        one-element tick array."""
        if clocked:
            time_ms = min(time_ms, self.now_ms())
        block = time_ms // MIN_MS // TICK_BLOCK_MIN
        blk, times = self._tick_block(name, block)
        j = int(np.searchsorted(times, time_ms, side="right"))
        if j > 0:
            return blk[j - 1:j]
        minute = block * TICK_BLOCK_MIN - 1   # none in its hour: the last minute before it
        while True:
            m = self._last_minute_at_or_before(name, minute)
            if m is None:
                return None
            ticks = self._ticks_of_minute(name, m)
            i = int(np.searchsorted(ticks["time_msc"], time_ms, side="right"))
            if i > 0:
                return ticks[i - 1:i]
            minute = m - 1

    def tick_at(self, name: str, time_ms: int) -> Tick | None:
        rec = self.tick_record_at(name, time_ms)
        if rec is None:
            return None
        r = rec[0]
        return Tick(int(r["time_msc"]), float(r["bid"]), float(r["ask"]), float(r["last"]),
                    int(r["volume"]), int(r["flags"]))

    def is_trading(self, name: str, time_ms: int) -> bool:
        sym = self._by_name.get(name)
        if sym is None or (self._closes_ms is not None and time_ms >= self._closes_ms):
            return False
        src = self._source(name)
        minute = time_ms // MIN_MS
        if isinstance(src, ImportedSource):
            t = src.table["minute"]
            i = int(np.searchsorted(t, minute))
            return i < len(t) and int(t[i]) == minute
        return bool(trading_mask(sym, np.array([minute]))[0])

    def convert(self, amount: float, from_ccy: str, to_ccy: str, time_ms: int | None = None) -> float | None:
        if from_ccy == to_ccy:
            return amount
        t = self.now_ms() if time_ms is None else time_ms
        rate = self._rate(from_ccy, to_ccy, t)
        if rate is None and "USD" not in (from_ccy, to_ccy):
            a, b = self._rate(from_ccy, "USD", t), self._rate("USD", to_ccy, t)
            rate = a * b if a is not None and b is not None else None
        return None if rate is None else amount * rate

    def _rate(self, a: str, b: str, t: int) -> float | None:
        if a == b:
            return 1.0
        for name, invert in ((a + b, False), (b + a, True)):
            if name in self._by_name:
                tick = self.tick_at(name, t)
                if tick is None:
                    return None
                mid = (tick.bid + tick.ask) / 2
                return 1.0 / mid if invert else mid
        return None

    # ---- bars ----------------------------------------------------------------------------
    def _bar_block(self, name: str, tf: int, block: int) -> tuple[np.ndarray, np.ndarray]:
        """All bars of a cache block, ignoring the clock (deterministic), and their open
        times as a plain array."""
        src = self._source(name)
        key = (name, tf, block, id(src))
        got = self._bar_cache.get(key)
        if got is None:
            d0, d1 = block_days(tf, block)
            sym = self._by_name[name]
            if tf in TIMEFRAMES_MIN:
                mins = self._minute_block(name, block)
            else:
                mins = self.minutes_between(name, d0 * DAY_MIN, d1 * DAY_MIN)
            bars = bars_of_minutes(sym, tf, mins)
            got = (bars, np.ascontiguousarray(bars["time"]))
            self._bar_cache.put(key, got)
        return got

    def _forming_bar(self, name: str, tf: int, now_ms: int) -> np.ndarray:
        """The bar holding `now`, aggregated from the ticks so far (maybe empty): the bar
        bars_of_minutes makes of its minutes and of the current minute's ticks, made here
        at once (it is asked at every bar of a stepped replay)."""
        sym = self._by_name[name]
        open_sec = self.bar_open(tf, now_ms)
        now_min = now_ms // MIN_MS
        done = self.minutes_between(name, open_sec // 60, now_min)
        ticks = self._ticks_of_minute(name, now_min)
        k = int(np.searchsorted(ticks["time_msc"], now_ms, side="right"))
        parts = [(done.o[:1], done.h, done.l, done.c[-1:], done.spread, done.n)] if len(done.minute) else []
        if k:
            pt = sym.point
            b = np.rint(ticks["bid"][:k] / pt).astype(np.int64)
            a = np.rint(ticks["ask"][:k] / pt).astype(np.int64)
            parts.append((b[:1], b, b, b[-1:], a - b, np.array([k])))
        out = np.zeros(1 if parts else 0, dtype=BAR_DTYPE)
        if not parts:
            return out
        first, last = parts[0], parts[-1]
        point, digits = sym.point, sym.digits
        out["time"] = open_sec
        out["open"] = np.round(first[0] * point, digits)
        out["high"] = np.round(max(int(p[1].max()) for p in parts) * point, digits)
        out["low"] = np.round(min(int(p[2].min()) for p in parts) * point, digits)
        out["close"] = np.round(last[3] * point, digits)
        out["tick_volume"] = sum(int(p[5].sum()) for p in parts)
        out["spread"] = min(int(p[4].min()) for p in parts)
        return out

    def _bar_segments(self, name: str, tf: int, from_sec: int, to_sec: int, now_ms: int,
                      newest_first: bool = False):
        """Bar arrays covering open times [from_sec, to_sec], clock applied, in block order."""
        now_sec = now_ms // 1000
        cur_open = self.bar_open(tf, now_ms)
        to_sec = min(to_sec, now_sec)
        first_open = self.bar_open(tf, self.first_day(name) * DAY_SEC * 1000)
        from_sec = max(from_sec, first_open)
        if to_sec < from_sec:
            return
        b_first = block_of_day(tf, from_sec // DAY_SEC)
        b_last = block_of_day(tf, to_sec // DAY_SEC)
        blocks = range(b_last, b_first - 1, -1) if newest_first else range(b_first, b_last + 1)
        for b in blocks:
            bars, times = self._bar_block(name, tf, b)
            lo_t, hi_t = from_sec, min(to_sec, cur_open - 1)
            a, z = np.searchsorted(times, [lo_t, hi_t + 1])
            seg = bars[a:z]
            d0, d1 = block_days(tf, b)
            holds_now = d0 * DAY_SEC <= cur_open < d1 * DAY_SEC and from_sec <= cur_open <= to_sec
            if holds_now:
                forming = self._forming_bar(name, tf, now_ms)
                if newest_first:
                    if len(forming):
                        yield forming
                    if len(seg):
                        yield seg
                    continue
                if len(seg):
                    yield seg
                if len(forming):
                    yield forming
                continue
            if len(seg):
                yield seg

    def _has_tick_since(self, name: str, from_ms: int, now_ms: int) -> bool:
        """Whether the symbol ticked in [from_ms, now_ms]."""
        _, times = self._tick_block(name, now_ms // MIN_MS // TICK_BLOCK_MIN)
        j = int(np.searchsorted(times, now_ms, side="right"))
        if j > 0:
            return int(times[j - 1]) >= from_ms
        rec = self.tick_record_at(name, now_ms, clocked=False)
        return rec is not None and int(rec["time_msc"][0]) >= from_ms

    def bars_range(self, name: str, tf: int, from_sec: int, to_sec: int,
                   now_ms: int | None = None) -> list[np.ndarray]:
        """Bars with open time in [from_sec, to_sec], oldest first, as a list of segments."""
        now_ms = self.now_ms() if now_ms is None else now_ms
        return list(self._bar_segments(name, tf, from_sec, to_sec, now_ms))

    def bars_before(self, name: str, tf: int, at_sec: int, count: int,
                    now_ms: int | None = None) -> list[np.ndarray]:
        """The last `count` bars with open time <= at_sec, oldest first, as segments."""
        now_ms = self.now_ms() if now_ms is None else now_ms
        if count <= 0:
            return []
        out: list[np.ndarray] = []
        got = 0
        for seg in self._bar_segments(name, tf, -(1 << 62), at_sec, now_ms, newest_first=True):
            need = count - got
            if len(seg) > need:
                seg = seg[len(seg) - need:]
            out.append(seg)
            got += len(seg)
            if got >= count:
                break
        out.reverse()
        return out

    def bars_from_pos(self, name: str, tf: int, start_pos: int, count: int,
                      now_ms: int | None = None) -> list[np.ndarray]:
        """Bars start_pos .. start_pos+count-1 counted back from the forming bar (0)."""
        if start_pos < 0 or count <= 0:
            return []
        now_ms = self.now_ms() if now_ms is None else now_ms
        drop = start_pos
        at_sec = now_ms // 1000
        if start_pos > 0:
            # Closed bars only (a strategy's usual ask): the forming bar is not made, only
            # whether there is one, which decides where position 1 is.
            at_sec = self.bar_open(tf, now_ms) - 1
            drop -= self._has_tick_since(name, (at_sec + 1) * 1000, now_ms)
        segs = self.bars_before(name, tf, at_sec, drop + count, now_ms)
        # Drop the newest bars before start_pos.
        while drop and segs:
            last = segs[-1]
            if len(last) <= drop:
                drop -= len(last)
                segs.pop()
            else:
                segs[-1] = last[:len(last) - drop]
                drop = 0
        return segs

    # ---- session figures -----------------------------------------------------------------
    def day_stats(self, name: str, now_ms: int | None = None) -> dict:
        """Open/high/low (bid, up to now) of the latest session and the close before it."""
        now_ms = self.now_ms() if now_ms is None else now_ms
        now_min = now_ms // MIN_MS
        key = (name, now_min)
        bars = self._day_cache.get(key)
        if bars is None:
            # Daily bars up to the start of this minute, computed once per minute.
            segs = self.bars_before(name, 16408, now_min * 60 - 1, 2, now_min * MIN_MS)
            bars = np.concatenate(segs) if segs else np.zeros(0, dtype=BAR_DTYPE)
            if len(self._day_cache) > 4096:
                self._day_cache.clear()
            self._day_cache[key] = bars
        out = {"open": 0.0, "high": 0.0, "low": 0.0, "prev_close": 0.0}
        if len(bars):
            last = bars[-1]
            out.update(open=float(last["open"]), high=float(last["high"]), low=float(last["low"]))
            if len(bars) > 1:
                out["prev_close"] = float(bars[-2]["close"])
        ticks = self._ticks_of_minute(name, now_min)
        ticks = ticks[:int(np.searchsorted(ticks["time_msc"], now_ms, side="right"))]
        if len(ticks):
            bids = ticks["bid"]
            day0 = (now_min // DAY_MIN) * DAY_SEC
            if len(bars) and int(bars[-1]["time"]) == day0:
                out["high"] = max(out["high"], float(bids.max()))
                out["low"] = min(out["low"], float(bids.min()))
            else:  # the first minute of a new session
                if len(bars):
                    out["prev_close"] = float(bars[-1]["close"])
                out.update(open=float(bids[0]), high=float(bids.max()), low=float(bids.min()))
        return out

    def book(self, name: str, now_ms: int | None = None, depth: int = 10) -> np.ndarray | None:
        """Depth of market around the current tick: sells high to low, then buys high to low."""
        now_ms = self.now_ms() if now_ms is None else now_ms
        rec = self.tick_record_at(name, now_ms)
        sym = self._by_name[name]
        out = np.zeros(2 * depth, dtype=BOOK_DTYPE)
        if rec is None:
            return out[:0]
        pt = sym.point
        bid = int(round(float(rec["bid"][0]) / pt))
        ask = int(round(float(rec["ask"][0]) / pt))
        step = max(1, sym.sim_spread // 4)
        lv = np.arange(depth)
        h = hashed(stream_key(self.seed, name, "book"), (now_ms // 1000) * 64 + np.arange(2 * depth))
        lots = 1 + bits(h, 0, 16) % 50 + np.where(bits(h, 16, 1) == 1, 0.5, 0.0)
        sells = ask + (depth - 1 - lv) * step
        buys = bid - lv * step
        out["type"][:depth] = 1
        out["type"][depth:] = 2
        out["price"][:depth] = np.round(sells * pt, sym.digits)
        out["price"][depth:] = np.round(buys * pt, sym.digits)
        out["volume_dbl"] = lots
        out["volume"] = np.floor(lots).astype(np.uint64)
        return out
