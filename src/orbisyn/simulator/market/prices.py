"""Price synthesis: the deterministic synthetic market and imported bars, as minutes.

Prices come from a counter-based hash of (seed, symbol, index), so any stretch of
time is generated on its own, without replaying history:

* a day-level path by midpoint displacement (a Brownian bridge refined level by
  level, with capped steps so prices stay plausible over decades);
* inside each day a Brownian bridge between that day's anchors, one value per
  minute boundary;
* per trading minute an open/high/low/close, a spread and a tick count;
* the ticks of a minute are built from that minute's bar, so that every bar of
  every timeframe is an exact aggregate of the tick stream.

Prices are integers of points until they leave the market, so aggregates are
exact.  All times are UTC; bars are built from bid prices.
"""
from __future__ import annotations

import hashlib
import math
from typing import NamedTuple

import numpy as np

from .catalogue import SymbolSpec
from ..protocol import BAR_DTYPE, TICK_DTYPE

MIN_MS = 60_000
DAY_MIN = 1440
DAY_SEC = 86_400
WEEK_OPEN_MIN = 6 * DAY_MIN + 22 * 60     # Sunday 22:00, minutes after Monday 00:00
WEEK_CLOSE_MIN = 4 * DAY_MIN + 22 * 60    # Friday 22:00
MONDAY0_DAY = 4                  # 1970-01-05, the first Monday after the epoch
ROOT_LEVELS = 17                 # day path spans 2**17 days from 1970

TICK_MIN, TICK_MAX = 8, 24       # ticks per trading minute: never more than 10 s apart

FLAG_BID, FLAG_ASK = 2, 4

TIMEFRAMES_MIN = {1: 1, 2: 2, 3: 3, 4: 4, 5: 5, 6: 6, 10: 10, 12: 12, 15: 15, 20: 20, 30: 30,
                  16385: 60, 16386: 120, 16387: 180, 16388: 240, 16390: 360, 16392: 480,
                  16396: 720, 16408: 1440}
TF_W1 = 32769
TF_MN1 = 49153
VALID_TIMEFRAMES = frozenset(TIMEFRAMES_MIN) | {TF_W1, TF_MN1}

# ---- hashing ------------------------------------------------------------------------------

_GOLD = np.uint64(0x9E3779B97F4A7C15)
_C1 = np.uint64(0xBF58476D1CE4E5B9)
_C2 = np.uint64(0x94D049BB133111EB)
_S30, _S27, _S31, _S11 = np.uint64(30), np.uint64(27), np.uint64(31), np.uint64(11)


def _mix(x: np.ndarray) -> np.ndarray:
    x = (x ^ (x >> _S30)) * _C1
    x = (x ^ (x >> _S27)) * _C2
    return x ^ (x >> _S31)


def hashed(key: np.uint64, idx) -> np.ndarray:
    with np.errstate(over="ignore"):
        return _mix(np.asarray(idx, dtype=np.int64).astype(np.uint64) * _GOLD + key)


def _unit(h: np.ndarray) -> np.ndarray:
    """Uniform in [0, 1) from the top 53 bits."""
    return (h >> _S11).astype(np.float64) * (1.0 / (1 << 53))


def bits(h: np.ndarray, shift: int, width: int) -> np.ndarray:
    return ((h >> np.uint64(shift)) & np.uint64((1 << width) - 1)).astype(np.int64)


def stream_key(seed: int, symbol: str, purpose: str) -> np.uint64:
    d = hashlib.sha256(f"{seed}/{symbol}/{purpose}".encode()).digest()
    return np.uint64(int.from_bytes(d[:8], "little"))


# ---- calendar helpers ---------------------------------------------------------------------

def week_minute(minute: np.ndarray) -> np.ndarray:
    """Minutes since the Monday 00:00 UTC before each epoch minute."""
    return (minute + 3 * DAY_MIN) % (7 * DAY_MIN)


def trading_mask(sym: SymbolSpec, minute: np.ndarray) -> np.ndarray:
    if sym.sim_all_week:
        return np.ones(minute.shape, dtype=bool)
    wm = week_minute(minute)
    return (wm < WEEK_CLOSE_MIN) | (wm >= WEEK_OPEN_MIN)


def month_start_sec(sec: np.ndarray) -> np.ndarray:
    months = np.asarray(sec, dtype=np.int64).astype("datetime64[s]").astype("datetime64[M]")
    return months.astype("datetime64[s]").astype(np.int64)


def period_start(tf: int, sec: np.ndarray) -> np.ndarray:
    """Open time of the bar of timeframe tf holding each time (seconds)."""
    sec = np.asarray(sec, dtype=np.int64)
    if tf in TIMEFRAMES_MIN:
        step = TIMEFRAMES_MIN[tf] * 60
        return sec - sec % step
    if tf == TF_W1:
        base = MONDAY0_DAY * DAY_SEC
        return sec - (sec - base) % (7 * DAY_SEC)
    return month_start_sec(sec)


class Minutes(NamedTuple):
    """The trading minutes of a stretch of time (only minutes that have ticks)."""
    minute: np.ndarray   # epoch minute, int64, increasing
    o: np.ndarray        # bid prices in points, int64
    h: np.ndarray
    l: np.ndarray
    c: np.ndarray
    spread: np.ndarray   # minimal spread of the minute, points
    n: np.ndarray        # tick count

    def slice(self, a: int, b: int) -> "Minutes":
        return Minutes(*(arr[a:b] for arr in self))


def empty_minutes() -> Minutes:
    z = np.zeros(0, dtype=np.int64)
    return Minutes(z, z, z, z, z, z, z)


def concat_minutes(parts: list[Minutes]) -> Minutes:
    parts = [p for p in parts if len(p.minute)]
    if not parts:
        return empty_minutes()
    if len(parts) == 1:
        return parts[0]
    return Minutes(*(np.concatenate(cols) for cols in zip(*parts)))


class SyntheticSource:
    """Generates the minutes of one symbol from the seed."""

    def __init__(self, sym: SymbolSpec, seed: int, legs: list | None = None):
        self.sym = sym
        self.legs = legs or []  # [(SyntheticSource, sign)]
        self.k_day = stream_key(seed, sym.name, "day")
        self.k_min = stream_key(seed, sym.name, "minute")
        self.k_bar = stream_key(seed, sym.name, "bar")
        self.log_p0 = math.log(sym.sim_price / sym.point)
        self.sd_day = sym.sim_daily_vol
        self.sd_min = sym.sim_daily_vol / math.sqrt(DAY_MIN)

    def day_anchor(self, days: np.ndarray) -> np.ndarray:
        """Log-price offset at 00:00 of each day: a midpoint-displacement bridge."""
        days = np.asarray(days, dtype=np.int64)
        span = 1 << ROOT_LEVELS
        d = np.clip(days, 0, span)
        lo = np.zeros(d.shape, dtype=np.int64)
        hi = np.full(d.shape, span, dtype=np.int64)
        vlo = np.zeros(d.shape)
        vhi = np.zeros(d.shape)
        out = np.zeros(d.shape)
        done = (d == 0) | (d == span)
        for _ in range(ROOT_LEVELS):
            mid = (lo + hi) // 2
            length = (hi - lo).astype(np.float64)
            # Displacement capped so long horizons don't drift without limit.
            sd = np.minimum(self.sd_day * np.sqrt(length / 4.0), 0.05)
            vmid = (vlo + vhi) / 2 + (_unit(hashed(self.k_day, mid + (lo << 20))) - 0.5) * 3.4641 * sd
            hit = (mid == d) & ~done
            out[hit] = vmid[hit]
            done |= hit
            left = d < mid
            hi = np.where(left, mid, hi)
            vhi = np.where(left, vmid, vhi)
            lo = np.where(left, lo, mid)
            vlo = np.where(left, vlo, vmid)
        return out

    def log_price(self, d0: int, d1: int, scale: float = 1.0) -> np.ndarray:
        """log(price) at every minute boundary of days [d0, d1): shape (days, 1441)."""
        if self.legs:
            # A cross is the product of its legs, plus a small wander of its own.
            own = self.log_price_own(d0, d1, 0.15)
            return own + sum(sign * leg.log_price(d0, d1) for leg, sign in self.legs)
        return math.log(self.sym.sim_price) + self.log_price_own(d0, d1, scale)

    def log_price_own(self, d0: int, d1: int, scale: float) -> np.ndarray:
        nd = d1 - d0
        anchors = self.day_anchor(np.arange(d0, d1 + 1)) * scale
        idx = np.arange(d0 * DAY_MIN, d1 * DAY_MIN, dtype=np.int64)
        # Brownian bridge inside each day between its anchors.
        steps = (_unit(hashed(self.k_min, idx)) - 0.5).reshape(nd, DAY_MIN) * (3.4641 * self.sd_min * scale)
        walk = np.zeros((nd, DAY_MIN + 1))
        np.cumsum(steps, axis=1, out=walk[:, 1:])
        frac = np.arange(DAY_MIN + 1) / DAY_MIN
        return (anchors[:-1, None] + (anchors[1:] - anchors[:-1])[:, None] * frac
                + walk - walk[:, -1:] * frac)

    def minutes(self, d0: int, d1: int) -> Minutes:
        """Trading minutes of days [d0, d1)."""
        nd = d1 - d0
        if nd <= 0:
            return empty_minutes()
        idx = np.arange(d0 * DAY_MIN, d1 * DAY_MIN, dtype=np.int64)
        pts = np.rint(np.exp(self.log_price(d0, d1)) / self.sym.point).astype(np.int64)
        o = pts[:, :-1].ravel()
        c_path = pts[:, 1:].ravel()
        h = hashed(self.k_bar, idx)
        step_pts = max(1.0, math.exp(self.log_p0) * self.sd_min)
        jc = np.rint((bits(h, 0, 12) / 4096.0 - 0.5) * 0.6 * step_pts).astype(np.int64)
        c = c_path + jc
        up = np.rint(bits(h, 12, 12) / 4096.0 * 0.8 * step_pts).astype(np.int64)
        dn = np.rint(bits(h, 24, 12) / 4096.0 * 0.8 * step_pts).astype(np.int64)
        hi = np.maximum(o, c) + up
        lo = np.maximum(np.minimum(o, c) - dn, 1)
        # Spreads widen around the daily rollover and vary minute to minute.
        base = self.sym.sim_spread
        hour = (idx // 60) % 24
        wide = np.where((hour >= 21) & (hour < 23), 2.0, 1.0)
        spread = np.maximum(1, np.rint(base * wide * (0.6 + 0.8 * bits(h, 36, 10) / 1024.0))).astype(np.int64)
        n = TICK_MIN + bits(h, 46, 10) % (TICK_MAX - TICK_MIN + 1)
        keep = trading_mask(self.sym, idx)
        if keep.all():
            return Minutes(idx, o, hi, lo, c, spread, n)
        return Minutes(idx[keep], o[keep], hi[keep], lo[keep], c[keep], spread[keep], n[keep])


class ImportedSource:
    """Minutes taken from imported M1 bars."""

    def __init__(self, sym: SymbolSpec, table: np.ndarray):
        self.sym = sym
        if len(table) and (table["n"].min() < 4 or table["n"].max() > 200):
            # A file put into history/ by hand: 4 ticks carry open, high, low and close.
            table = table.copy()
            table["n"] = np.clip(table["n"], 4, 200)
        self.table = table  # structured: minute, o, h, l, c, spread, n (int64)

    def minutes(self, d0: int, d1: int) -> Minutes:
        t = self.table
        a, b = np.searchsorted(t["minute"], [d0 * DAY_MIN, d1 * DAY_MIN])
        s = t[a:b]
        return Minutes(s["minute"].copy(), s["o"].copy(), s["h"].copy(), s["l"].copy(),
                       s["c"].copy(), s["spread"].copy(), s["n"].copy())

    @property
    def first_day(self) -> int:
        return int(self.table["minute"][0] // DAY_MIN) if len(self.table) else 0


def _tick_slots(mins: Minutes):
    """Room for the ticks of the given minutes, and where each tick stands: the empty tick
    array, the ticks per minute, each minute's first index, the minute of each tick, its
    index within the minute and its minute's tick count."""
    n = mins.n
    total = int(n.sum())
    starts = np.cumsum(n) - n
    rep = np.repeat(np.arange(len(n)), n)
    return np.zeros(total, dtype=TICK_DTYPE), n, starts, rep, np.arange(total) - starts[rep], n[rep]


def ticks_of_minutes(sym: SymbolSpec, k_tick: np.uint64, mins: Minutes) -> np.ndarray:
    """All ticks of the given minutes, as a tick array (time ordered).

    The first tick carries the open and the minute's minimal spread, the last the
    close; one inner tick touches the high and another the low; the others stay
    inside [low, high].  So the minute's bar is exactly the aggregate of its ticks.
    """
    out, n, starts, rep, i, nn = _tick_slots(mins)
    if len(out) == 0:
        return out
    minute = mins.minute[rep]
    tick_id = minute * 256 + i  # at most 200 ticks a minute
    h = hashed(k_tick, tick_id)
    slot = MIN_MS // nn
    t_ms = minute * MIN_MS + i * slot + bits(h, 0, 16) % np.maximum(slot // 4, 1)
    o, hi, lo, c = mins.o[rep], mins.h[rep], mins.l[rep], mins.c[rep]
    # Inner ticks: a straight line from open to close plus noise, kept in range.
    frac = i / np.maximum(nn - 1, 1)
    noise = (bits(h, 16, 16) / 65536.0 - 0.5) * (hi - lo) * 0.8
    bid = np.clip(np.rint(o + (c - o) * frac + noise).astype(np.int64), lo, hi)
    mh = hashed(k_tick, mins.minute)
    ih = 1 + bits(mh, 0, 16) % np.maximum(n - 2, 1)
    il = 1 + (ih + bits(mh, 16, 16) % np.maximum(n - 3, 1)) % np.maximum(n - 2, 1)
    bid[starts + ih] = mins.h
    bid[starts + il] = mins.l
    bid[starts] = mins.o
    bid[starts + n - 1] = mins.c
    extra = bits(h, 32, 8) % (np.maximum(mins.spread[rep] // 3, 1) + 1)
    extra[starts] = 0
    ask = bid + mins.spread[rep] + extra
    prev_bid = np.empty_like(bid)
    prev_ask = np.empty_like(ask)
    prev_bid[1:], prev_ask[1:] = bid[:-1], ask[:-1]
    prev_bid[0], prev_ask[0] = -1, -1
    flags = np.where(bid != prev_bid, FLAG_BID, 0) | np.where(ask != prev_ask, FLAG_ASK, 0)
    same = flags == 0
    same[starts] = False
    if same.any():  # every tick changes something: nudge the ask
        ask[same] += 1
        flags[same] = FLAG_ASK
    flags[starts] = FLAG_BID | FLAG_ASK
    point, digits = sym.point, sym.digits
    out["time_msc"] = t_ms
    out["time"] = t_ms // 1000
    out["bid"] = np.round(bid * point, digits)
    out["ask"] = np.round(ask * point, digits)
    out["flags"] = flags
    return out


def ticks_of_bars(sym: SymbolSpec, mins: Minutes) -> np.ndarray:
    """The ticks of imported M1 bars, laid out so that a replay can be worked out by hand.

    A bar with tick count n (its tick volume, kept between 4 and 200) has n ticks; tick i
    comes i * floor(60000 / n) ms after the minute starts.  The bid runs in straight lines
    (rounded to the nearest point) from the open at tick 0 to the extreme nearer to the
    open at tick n // 3 (the high when both are as near), to the other extreme at tick
    (2n - 1) // 3, to the close at tick n - 1.  The ask is the bid plus the bar's spread.
    """
    out, n, starts, rep, i, nn = _tick_slots(mins)
    if len(out) == 0:
        return out
    o, hi, lo, c = mins.o[rep], mins.h[rep], mins.l[rep], mins.c[rep]
    high_first = hi - o <= o - lo
    first = np.where(high_first, hi, lo)
    second = np.where(high_first, lo, hi)
    a, b, e = nn // 3, (2 * nn - 1) // 3, nn - 1
    bid = np.where(i <= a, o + (first - o) * i / a,
                   np.where(i <= b, first + (second - first) * (i - a) / (b - a),
                            second + (c - second) * (i - b) / (e - b)))
    bid = np.rint(bid).astype(np.int64)
    ask = bid + mins.spread[rep]
    prev_bid = np.r_[-1, bid[:-1]]
    prev_ask = np.r_[-1, ask[:-1]]
    flags = np.where(bid != prev_bid, FLAG_BID, 0) | np.where(ask != prev_ask, FLAG_ASK, 0)
    flags[starts] = FLAG_BID | FLAG_ASK
    t_ms = mins.minute[rep] * MIN_MS + i * (MIN_MS // nn)
    point, digits = sym.point, sym.digits
    out["time_msc"] = t_ms
    out["time"] = t_ms // 1000
    out["bid"] = np.round(bid * point, digits)
    out["ask"] = np.round(ask * point, digits)
    out["flags"] = flags
    return out


def bars_of_minutes(sym: SymbolSpec, tf: int, mins: Minutes) -> np.ndarray:
    """Aggregate minutes into bars of timeframe tf."""
    if len(mins.minute) == 0:
        return np.zeros(0, dtype=BAR_DTYPE)
    sec = mins.minute * 60
    if tf == 1:
        starts = np.arange(len(sec))
        key = sec
    else:
        key = period_start(tf, sec)
        starts = np.flatnonzero(np.r_[True, key[1:] != key[:-1]])
    ends = np.r_[starts[1:], len(sec)]
    out = np.zeros(len(starts), dtype=BAR_DTYPE)
    point, digits = sym.point, sym.digits
    out["time"] = key[starts]
    if tf == 1:
        o, h, l, c, n, s = mins.o, mins.h, mins.l, mins.c, mins.n, mins.spread
    else:
        o = mins.o[starts]
        c = mins.c[ends - 1]
        h = np.maximum.reduceat(mins.h, starts)
        l = np.minimum.reduceat(mins.l, starts)
        n = np.add.reduceat(mins.n, starts)
        s = np.minimum.reduceat(mins.spread, starts)
    out["open"] = np.round(o * point, digits)
    out["high"] = np.round(h * point, digits)
    out["low"] = np.round(l * point, digits)
    out["close"] = np.round(c * point, digits)
    out["tick_volume"] = n
    out["spread"] = s
    return out
