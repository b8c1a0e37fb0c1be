"""Symbol catalogue and the deterministic synthetic market.

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

import dataclasses
import datetime as _dt
import hashlib
import logging
import math
import os
import threading
import time
from collections import OrderedDict
from typing import Iterable, NamedTuple

import numpy as np

from .protocol import BAR_DTYPE, TICK_DTYPE

log = logging.getLogger("orbisyn.simulator.market")

MIN_MS = 60_000
DAY_MIN = 1440
DAY_SEC = 86_400
BLOCK_DAYS = 32                 # minute tables and intraday bar caches cover 32 UTC days
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


class Tick(NamedTuple):
    time_msc: int
    bid: float
    ask: float
    last: float
    volume: int
    flags: int


@dataclasses.dataclass
class SymbolSpec:
    """Every static field of a symbol, named as in the symbol record.

    Price fields (bid, ask, session figures...) stay 0 here: the Terminal fills
    them from the market when it answers.  ``trade_tick_value`` is in the profit
    currency; the record sent to clients converts it to the account currency.
    The generator's own parameters start with ``sim_``.
    """
    name: str
    description: str = ""
    path: str = ""
    category: str = ""
    custom: bool = False
    chart_mode: int = 0
    digits: int = 5
    point: float = 1e-5
    spread_float: bool = True
    ticks_bookdepth: int = 10
    trade_calc_mode: int = 0
    trade_mode: int = 4
    start_time: int = 0
    expiration_time: int = 0
    trade_stops_level: int = 0
    trade_freeze_level: int = 0
    trade_exemode: int = 2
    swap_mode: int = 1
    swap_rollover3days: int = 3
    margin_hedged_use_leg: bool = False
    expiration_mode: int = 15
    filling_mode: int = 3
    order_mode: int = 127
    order_gtc_mode: int = 0
    option_mode: int = 0
    option_right: int = 0
    option_strike: float = 0.0
    trade_tick_value: float = 1.0
    trade_tick_value_profit: float = 1.0
    trade_tick_value_loss: float = 1.0
    trade_tick_size: float = 1e-5
    trade_contract_size: float = 100000.0
    trade_accrued_interest: float = 0.0
    trade_face_value: float = 0.0
    trade_liquidity_rate: float = 0.0
    volume_min: float = 0.01
    volume_max: float = 100.0
    volume_step: float = 0.01
    volume_limit: float = 0.0
    swap_long: float = 0.0
    swap_short: float = 0.0
    margin_initial: float = 0.0
    margin_maintenance: float = 0.0
    margin_hedged: float = 0.0
    basis: str = ""
    currency_base: str = ""
    currency_profit: str = "USD"
    currency_margin: str = ""
    bank: str = ""
    exchange: str = ""
    formula: str = ""
    isin: str = ""
    page: str = ""
    sim_price: float = 1.0        # price level the path wanders around
    sim_daily_vol: float = 0.005  # daily volatility of the log price
    sim_spread: int = 10          # typical spread in points
    sim_all_week: bool = False    # crypto: no weekend close
    sim_legs: tuple = ()          # a cross follows the product of its legs: ((symbol, +1/-1), ...)


def _fx(name, desc, digits, price, spread, vol=0.005, **kw):
    base, profit = name[:3], name[3:]
    point = 10.0 ** -digits
    return SymbolSpec(
        name=name, description=desc, path=f"Forex\\{name}", category="Forex", digits=digits,
        point=point, trade_tick_size=point, trade_contract_size=100000.0,
        trade_tick_value=100000.0 * point, trade_tick_value_profit=100000.0 * point,
        trade_tick_value_loss=100000.0 * point, currency_base=base, currency_profit=profit,
        currency_margin=base, margin_hedged=50000.0, swap_long=-4.5, swap_short=1.2,
        sim_price=price, sim_daily_vol=vol, sim_spread=spread, **kw)


def _cfd(name, desc, path, category, digits, price, contract, spread, vol, calc, profit="USD",
         base=None, vmin=0.01, vmax=100.0, vstep=0.01, all_week=False, **kw):
    point = 10.0 ** -digits
    return SymbolSpec(
        name=name, description=desc, path=path, category=category, digits=digits, point=point,
        trade_tick_size=point, trade_contract_size=contract, trade_tick_value=contract * point,
        trade_tick_value_profit=contract * point, trade_tick_value_loss=contract * point,
        trade_calc_mode=calc, currency_base=base or profit, currency_profit=profit,
        currency_margin=profit if base is None else base, volume_min=vmin, volume_max=vmax,
        volume_step=vstep, margin_hedged=contract / 2, swap_long=-6.0, swap_short=-3.0,
        sim_price=price, sim_daily_vol=vol, sim_spread=spread, sim_all_week=all_week, **kw)


def default_catalogue() -> list[SymbolSpec]:
    return [
        _fx("EURUSD", "Euro vs US Dollar", 5, 1.0850, 8),
        _fx("GBPUSD", "Great Britain Pound vs US Dollar", 5, 1.2700, 11),
        _fx("USDJPY", "US Dollar vs Japanese Yen", 3, 151.50, 12, 0.006),
        _fx("USDCHF", "US Dollar vs Swiss Franc", 5, 0.8900, 13),
        _fx("AUDUSD", "Australian Dollar vs US Dollar", 5, 0.6600, 10, 0.006),
        _fx("USDCAD", "US Dollar vs Canadian Dollar", 5, 1.3600, 14),
        _fx("NZDUSD", "New Zealand Dollar vs US Dollar", 5, 0.6100, 15, 0.006),
        _fx("EURJPY", "Euro vs Japanese Yen", 3, 164.00, 18, 0.006,
            sim_legs=(("EURUSD", 1), ("USDJPY", 1))),
        _fx("EURGBP", "Euro vs Great Britain Pound", 5, 0.8550, 12, 0.004,
            sim_legs=(("EURUSD", 1), ("GBPUSD", -1))),
        _cfd("XAUUSD", "Gold vs US Dollar", "Metals\\XAUUSD", "Metals", 2, 2300.0, 100.0, 25,
             0.010, 4, base="XAU", vmax=50.0),
        _cfd("XAGUSD", "Silver vs US Dollar", "Metals\\XAGUSD", "Metals", 3, 27.5, 5000.0, 30,
             0.016, 4, base="XAG", vmax=50.0),
        _cfd("US500", "US 500 Cash Index", "Indices\\US500", "Indices", 2, 5200.0, 1.0, 50,
             0.011, 3, vmin=0.1, vmax=500.0, vstep=0.1, filling_mode=2, trade_stops_level=10),
        _cfd("DE40", "Germany 40 Cash Index", "Indices\\DE40", "Indices", 2, 18000.0, 1.0, 120,
             0.012, 3, profit="EUR", vmin=0.1, vmax=500.0, vstep=0.1, filling_mode=2,
             trade_stops_level=10),
        _cfd("UK100", "UK 100 Cash Index", "Indices\\UK100", "Indices", 2, 8000.0, 1.0, 100,
             0.010, 3, profit="GBP", vmin=0.1, vmax=500.0, vstep=0.1, filling_mode=2,
             trade_stops_level=10),
        _cfd("BTCUSD", "Bitcoin vs US Dollar", "Crypto\\BTCUSD", "Crypto", 2, 65000.0, 1.0, 1500,
             0.035, 4, base="BTC", vmax=10.0, all_week=True, filling_mode=1),
        _cfd("ETHUSD", "Ethereum vs US Dollar", "Crypto\\ETHUSD", "Crypto", 2, 3200.0, 1.0, 150,
             0.040, 4, base="ETH", vmax=50.0, all_week=True, filling_mode=1),
        _cfd("LTCUSD", "Litecoin vs US Dollar", "Crypto\\LTCUSD", "Crypto", 2, 80.0, 1.0, 12,
             0.045, 4, base="LTC", vmax=200.0, all_week=True, filling_mode=1),
    ]


# ---- hashing ------------------------------------------------------------------------------

_GOLD = np.uint64(0x9E3779B97F4A7C15)
_C1 = np.uint64(0xBF58476D1CE4E5B9)
_C2 = np.uint64(0x94D049BB133111EB)
_S30, _S27, _S31, _S11 = np.uint64(30), np.uint64(27), np.uint64(31), np.uint64(11)


def _mix(x: np.ndarray) -> np.ndarray:
    x = (x ^ (x >> _S30)) * _C1
    x = (x ^ (x >> _S27)) * _C2
    return x ^ (x >> _S31)


def _hash(key: np.uint64, idx) -> np.ndarray:
    with np.errstate(over="ignore"):
        return _mix(np.asarray(idx, dtype=np.int64).astype(np.uint64) * _GOLD + key)


def _unit(h: np.ndarray) -> np.ndarray:
    """Uniform in [0, 1) from the top 53 bits."""
    return (h >> _S11).astype(np.float64) * (1.0 / (1 << 53))


def _bits(h: np.ndarray, shift: int, width: int) -> np.ndarray:
    return ((h >> np.uint64(shift)) & np.uint64((1 << width) - 1)).astype(np.int64)


def _key(seed: int, symbol: str, purpose: str) -> np.uint64:
    d = hashlib.sha256(f"{seed}/{symbol}/{purpose}".encode()).digest()
    return np.uint64(int.from_bytes(d[:8], "little"))


# ---- calendar helpers ---------------------------------------------------------------------

def week_minute(minute: np.ndarray) -> np.ndarray:
    """Minutes since the Monday 00:00 UTC before each epoch minute."""
    return (minute + 3 * DAY_MIN) % (7 * DAY_MIN)


def trading_mask(spec: SymbolSpec, minute: np.ndarray) -> np.ndarray:
    if spec.sim_all_week:
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


def _block_days(tf: int, block: int) -> tuple[int, int]:
    """Day range [d0, d1) of cache block number `block` for a timeframe."""
    if tf == TF_W1:
        d0 = MONDAY0_DAY + 28 * block
        return d0, d0 + 28
    if tf == TF_MN1:
        d0 = (_dt.date(1970 + block, 1, 1) - _dt.date(1970, 1, 1)).days
        d1 = (_dt.date(1971 + block, 1, 1) - _dt.date(1970, 1, 1)).days
        return d0, d1
    return BLOCK_DAYS * block, BLOCK_DAYS * (block + 1)


def _block_of_day(tf: int, day: int) -> int:
    if tf == TF_W1:
        return (day - MONDAY0_DAY) // 28
    if tf == TF_MN1:
        return (_dt.date(1970, 1, 1) + _dt.timedelta(days=int(day))).year - 1970
    return day // BLOCK_DAYS


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


def _empty_minutes() -> Minutes:
    z = np.zeros(0, dtype=np.int64)
    return Minutes(z, z, z, z, z, z, z)


def _concat_minutes(parts: list[Minutes]) -> Minutes:
    parts = [p for p in parts if len(p.minute)]
    if not parts:
        return _empty_minutes()
    if len(parts) == 1:
        return parts[0]
    return Minutes(*(np.concatenate(cols) for cols in zip(*parts)))


class _Source:
    """Generates the minutes of one symbol from the seed."""

    def __init__(self, spec: SymbolSpec, seed: int, legs: list | None = None):
        self.spec = spec
        self.legs = legs or []  # [(_Source, sign)]
        self.k_day = _key(seed, spec.name, "day")
        self.k_min = _key(seed, spec.name, "minute")
        self.k_bar = _key(seed, spec.name, "bar")
        self.log_p0 = math.log(spec.sim_price / spec.point)
        self.sd_day = spec.sim_daily_vol
        self.sd_min = spec.sim_daily_vol / math.sqrt(DAY_MIN)

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
            vmid = (vlo + vhi) / 2 + (_unit(_hash(self.k_day, mid + (lo << 20))) - 0.5) * 3.4641 * sd
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
        return math.log(self.spec.sim_price) + self.log_price_own(d0, d1, scale)

    def log_price_own(self, d0: int, d1: int, scale: float) -> np.ndarray:
        nd = d1 - d0
        anchors = self.day_anchor(np.arange(d0, d1 + 1)) * scale
        idx = np.arange(d0 * DAY_MIN, d1 * DAY_MIN, dtype=np.int64)
        # Brownian bridge inside each day between its anchors.
        steps = (_unit(_hash(self.k_min, idx)) - 0.5).reshape(nd, DAY_MIN) * (3.4641 * self.sd_min * scale)
        walk = np.zeros((nd, DAY_MIN + 1))
        np.cumsum(steps, axis=1, out=walk[:, 1:])
        frac = np.arange(DAY_MIN + 1) / DAY_MIN
        return (anchors[:-1, None] + (anchors[1:] - anchors[:-1])[:, None] * frac
                + walk - walk[:, -1:] * frac)

    def minutes(self, d0: int, d1: int) -> Minutes:
        """Trading minutes of days [d0, d1)."""
        nd = d1 - d0
        if nd <= 0:
            return _empty_minutes()
        idx = np.arange(d0 * DAY_MIN, d1 * DAY_MIN, dtype=np.int64)
        pts = np.rint(np.exp(self.log_price(d0, d1)) / self.spec.point).astype(np.int64)
        o = pts[:, :-1].ravel()
        c_path = pts[:, 1:].ravel()
        h = _hash(self.k_bar, idx)
        step_pts = max(1.0, math.exp(self.log_p0) * self.sd_min)
        jc = np.rint((_bits(h, 0, 12) / 4096.0 - 0.5) * 0.6 * step_pts).astype(np.int64)
        c = c_path + jc
        up = np.rint(_bits(h, 12, 12) / 4096.0 * 0.8 * step_pts).astype(np.int64)
        dn = np.rint(_bits(h, 24, 12) / 4096.0 * 0.8 * step_pts).astype(np.int64)
        hi = np.maximum(o, c) + up
        lo = np.maximum(np.minimum(o, c) - dn, 1)
        # Spreads widen around the daily rollover and vary minute to minute.
        base = self.spec.sim_spread
        hour = (idx // 60) % 24
        wide = np.where((hour >= 21) & (hour < 23), 2.0, 1.0)
        spread = np.maximum(1, np.rint(base * wide * (0.6 + 0.8 * _bits(h, 36, 10) / 1024.0))).astype(np.int64)
        n = TICK_MIN + _bits(h, 46, 10) % (TICK_MAX - TICK_MIN + 1)
        keep = trading_mask(self.spec, idx)
        if keep.all():
            return Minutes(idx, o, hi, lo, c, spread, n)
        return Minutes(idx[keep], o[keep], hi[keep], lo[keep], c[keep], spread[keep], n[keep])


class _ImportedSource:
    """Minutes taken from imported M1 bars."""

    def __init__(self, spec: SymbolSpec, table: np.ndarray):
        self.spec = spec
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


IMPORT_DTYPE = np.dtype([("minute", "<i8"), ("o", "<i8"), ("h", "<i8"), ("l", "<i8"),
                         ("c", "<i8"), ("spread", "<i8"), ("n", "<i8")])


def ticks_of_minutes(spec: SymbolSpec, k_tick: np.uint64, mins: Minutes) -> np.ndarray:
    """All ticks of the given minutes, as a tick array (time ordered).

    The first tick carries the open and the minute's minimal spread, the last the
    close; one inner tick touches the high and another the low; the others stay
    inside [low, high].  So the minute's bar is exactly the aggregate of its ticks.
    """
    n = mins.n
    total = int(n.sum())
    out = np.zeros(total, dtype=TICK_DTYPE)
    if total == 0:
        return out
    starts = np.cumsum(n) - n
    rep = np.repeat(np.arange(len(n)), n)
    i = np.arange(total) - starts[rep]
    nn = n[rep]
    minute = mins.minute[rep]
    tick_id = minute * 256 + i  # at most 200 ticks a minute
    h = _hash(k_tick, tick_id)
    slot = MIN_MS // nn
    t_ms = minute * MIN_MS + i * slot + _bits(h, 0, 16) % np.maximum(slot // 4, 1)
    o, hi, lo, c = mins.o[rep], mins.h[rep], mins.l[rep], mins.c[rep]
    # Inner ticks: a straight line from open to close plus noise, kept in range.
    frac = i / np.maximum(nn - 1, 1)
    noise = (_bits(h, 16, 16) / 65536.0 - 0.5) * (hi - lo) * 0.8
    bid = np.clip(np.rint(o + (c - o) * frac + noise).astype(np.int64), lo, hi)
    mh = _hash(k_tick, mins.minute)
    ih = 1 + _bits(mh, 0, 16) % np.maximum(n - 2, 1)
    il = 1 + (ih + _bits(mh, 16, 16) % np.maximum(n - 3, 1)) % np.maximum(n - 2, 1)
    bid[starts + ih] = mins.h
    bid[starts + il] = mins.l
    bid[starts] = mins.o
    bid[starts + n - 1] = mins.c
    extra = _bits(h, 32, 8) % (np.maximum(mins.spread[rep] // 3, 1) + 1)
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
    point, digits = spec.point, spec.digits
    out["time_msc"] = t_ms
    out["time"] = t_ms // 1000
    out["bid"] = np.round(bid * point, digits)
    out["ask"] = np.round(ask * point, digits)
    out["flags"] = flags
    return out


def bars_of_minutes(spec: SymbolSpec, tf: int, mins: Minutes) -> np.ndarray:
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
    point, digits = spec.point, spec.digits
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
    * ``now_ms() -> int``: wall clock, ms since the epoch (UTC);
    * ``tick_at(name, time_ms) -> Tick | None``: the latest tick at or before time_ms;
    * ``ticks_between(name, from_ms, to_ms) -> list[Tick]``: ticks in [from_ms, to_ms],
      time ordered (``tick_array_between`` gives the same as a tick array);
    * ``is_trading(name, time_ms) -> bool``: whether the symbol quotes at that time;
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
        self._clock = clock or (lambda: time.time_ns() // 1_000_000)
        self._sources: dict[str, object] = {}
        self._import_mtime: dict[str, float | None] = {}
        self._import_checked: dict[str, float] = {}
        self._tick_keys = {s.name: _key(self.seed, s.name, "tick") for s in self._specs}
        self._minute_cache = _LRU(cache_bytes // 4)
        self._bar_cache = _LRU(cache_bytes)
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
        return os.path.join(self.history_dir, f"{name}.m1.npy")

    def _source(self, name: str):
        spec = self._by_name[name]
        path = self.import_path(name)
        now = time.monotonic()
        if path is not None and now - self._import_checked.get(name, -10.0) > 1.0:
            self._import_checked[name] = now
            try:
                mtime = os.stat(path).st_mtime
            except OSError:
                mtime = None
            if mtime != self._import_mtime.get(name, None) or name not in self._sources:
                self._import_mtime[name] = mtime
                with self._lock:
                    src_new = None
                    if mtime is not None:
                        try:
                            src_new = _ImportedSource(spec, np.load(path))
                        except (OSError, ValueError) as exc:
                            log.error("imported bars %s unreadable (%s): serving synthetic prices", path, exc)
                    self._sources[name] = src_new or self._synthetic(spec)
                    self._drop_caches(name)
        src = self._sources.get(name)
        if src is None:
            src = self._sources[name] = self._synthetic(spec)
        return src

    def _synthetic(self, spec: SymbolSpec) -> "_Source":
        legs = [(self._synthetic(self._by_name[n]), sign) for n, sign in spec.sim_legs
                if n in self._by_name]
        return _Source(spec, self.seed, legs)

    def _drop_caches(self, name: str) -> None:
        for cache in (self._minute_cache, self._bar_cache):
            with cache.lock:
                for key in [k for k in cache.items if k[0] == name]:
                    cache.used -= cache._size(cache.items.pop(key))
        self._tick_cache.pop(name, None)

    def first_day(self, name: str) -> int:
        src = self._source(name)
        if isinstance(src, _ImportedSource):
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
            return _empty_minutes()
        b0 = (m0 // DAY_MIN) // BLOCK_DAYS
        b1 = ((m1 - 1) // DAY_MIN) // BLOCK_DAYS
        parts = []
        for b in range(b0, b1 + 1):
            blk = self._minute_block(name, b)
            a, z = np.searchsorted(blk.minute, [m0, m1])
            parts.append(blk.slice(a, z))
        return _concat_minutes(parts)

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
    def _ticks_of_minute(self, name: str, minute: int) -> np.ndarray:
        cached = self._tick_cache.get(name)
        if cached is not None and cached[0] == minute:
            return cached[1]
        mins = self.minutes_between(name, minute, minute + 1)
        ticks = ticks_of_minutes(self._by_name[name], self._tick_keys[name], mins)
        self._tick_cache[name] = (minute, ticks)
        return ticks

    def tick_array_between(self, name: str, from_ms: int, to_ms: int,
                           limit: int | None = None) -> np.ndarray:
        """Ticks with time in [from_ms, min(to_ms, now)], oldest first, at most `limit`."""
        to_ms = min(to_ms, self.now_ms())
        from_ms = max(from_ms, self.first_day(name) * DAY_SEC * 1000)
        if to_ms < from_ms:
            return np.zeros(0, dtype=TICK_DTYPE)
        spec = self._by_name[name]
        key = self._tick_keys[name]
        m0, m_end = from_ms // MIN_MS, to_ms // MIN_MS + 1
        parts: list[np.ndarray] = []
        got = 0
        step = 240
        m = m0
        while m < m_end:
            m1 = min(m + step, m_end)
            if m1 - m == 1:
                t = self._ticks_of_minute(name, m)
            else:
                t = ticks_of_minutes(spec, key, self.minutes_between(name, m, m1))
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

    def tick_record_at(self, name: str, time_ms: int) -> np.ndarray | None:
        """The latest tick at or before time_ms as a one-element tick array."""
        time_ms = min(time_ms, self.now_ms())
        minute = time_ms // MIN_MS
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
        spec = self._by_name.get(name)
        if spec is None:
            return False
        src = self._source(name)
        minute = time_ms // MIN_MS
        if isinstance(src, _ImportedSource):
            t = src.table["minute"]
            i = int(np.searchsorted(t, minute))
            return i < len(t) and int(t[i]) == minute
        return bool(trading_mask(spec, np.array([minute]))[0])

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
    def _bar_block(self, name: str, tf: int, block: int) -> np.ndarray:
        """All bars of a cache block, ignoring the clock (deterministic)."""
        src = self._source(name)
        key = (name, tf, block, id(src))
        got = self._bar_cache.get(key)
        if got is None:
            d0, d1 = _block_days(tf, block)
            spec = self._by_name[name]
            if tf in TIMEFRAMES_MIN:
                mins = self._minute_block(name, block)
            else:
                mins = self.minutes_between(name, d0 * DAY_MIN, d1 * DAY_MIN)
            got = bars_of_minutes(spec, tf, mins)
            self._bar_cache.put(key, got)
        return got

    def _forming_bar(self, name: str, tf: int, now_ms: int) -> np.ndarray:
        """The bar holding `now`, aggregated from the ticks so far (maybe empty)."""
        spec = self._by_name[name]
        open_sec = int(period_start(tf, np.array([now_ms // 1000]))[0])
        now_min = now_ms // MIN_MS
        done = self.minutes_between(name, open_sec // 60, now_min)
        ticks = self._ticks_of_minute(name, now_min)
        ticks = ticks[:int(np.searchsorted(ticks["time_msc"], now_ms, side="right"))]
        if len(ticks):
            pt = spec.point
            b = np.rint(ticks["bid"] / pt).astype(np.int64)
            a = np.rint(ticks["ask"] / pt).astype(np.int64)
            part = Minutes(np.array([now_min]), b[:1], np.array([b.max()]), np.array([b.min()]),
                           b[-1:], np.array([(a - b).min()]), np.array([len(b)]))
            done = _concat_minutes([done, part])
        bars = bars_of_minutes(spec, tf, done)
        return bars[bars["time"] == open_sec]

    def _bar_segments(self, name: str, tf: int, from_sec: int, to_sec: int, now_ms: int,
                      newest_first: bool = False):
        """Bar arrays covering open times [from_sec, to_sec], clock applied, in block order."""
        now_sec = now_ms // 1000
        cur_open = int(period_start(tf, np.array([now_sec]))[0])
        to_sec = min(to_sec, now_sec)
        first_open = int(period_start(tf, np.array([self.first_day(name) * DAY_SEC]))[0])
        from_sec = max(from_sec, first_open)
        if to_sec < from_sec:
            return
        b_first = _block_of_day(tf, from_sec // DAY_SEC)
        b_last = _block_of_day(tf, to_sec // DAY_SEC)
        blocks = range(b_last, b_first - 1, -1) if newest_first else range(b_first, b_last + 1)
        for b in blocks:
            bars = self._bar_block(name, tf, b)
            lo_t, hi_t = from_sec, min(to_sec, cur_open - 1)
            a, z = np.searchsorted(bars["time"], [lo_t, hi_t + 1])
            seg = bars[a:z]
            d0, d1 = _block_days(tf, b)
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
        segs = self.bars_before(name, tf, now_ms // 1000, start_pos + count, now_ms)
        # Drop the newest start_pos bars.
        drop = start_pos
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
        from .protocol import BOOK_DTYPE
        now_ms = self.now_ms() if now_ms is None else now_ms
        rec = self.tick_record_at(name, now_ms)
        spec = self._by_name[name]
        out = np.zeros(2 * depth, dtype=BOOK_DTYPE)
        if rec is None:
            return out[:0]
        pt = spec.point
        bid = int(round(float(rec["bid"][0]) / pt))
        ask = int(round(float(rec["ask"][0]) / pt))
        step = max(1, spec.sim_spread // 4)
        lv = np.arange(depth)
        h = _hash(_key(self.seed, name, "book"), (now_ms // 1000) * 64 + np.arange(2 * depth))
        lots = 1 + _bits(h, 0, 16) % 50 + np.where(_bits(h, 16, 1) == 1, 0.5, 0.0)
        sells = ask + (depth - 1 - lv) * step
        buys = bid - lv * step
        out["type"][:depth] = 1
        out["type"][depth:] = 2
        out["price"][:depth] = np.round(sells * pt, spec.digits)
        out["price"][depth:] = np.round(buys * pt, spec.digits)
        out["volume_dbl"] = lots
        out["volume"] = np.floor(lots).astype(np.uint64)
        return out


def imported_table(rows: np.ndarray) -> np.ndarray:
    """Sort and de-duplicate an import table by minute (later rows win)."""
    order = np.argsort(rows["minute"], kind="stable")
    rows = rows[order]
    keep = np.r_[rows["minute"][1:] != rows["minute"][:-1], True]
    return rows[keep]
