"""Checks of a trade request against its symbol: pure functions, raising Reject."""
from __future__ import annotations

import math
from typing import Optional, Tuple

from .book import EPS, Reject, vol
from .model import (
    BUY_LIMIT, BUY_STOP, BUY_STOP_LIMIT, CLOSE_ONLY, FROZEN, INVALID, INVALID_EXPIRATION,
    INVALID_FILL, INVALID_PRICE, INVALID_STOPS, INVALID_VOLUME, LONG_ONLY, SELL_LIMIT, SELL_STOP,
    SELL_STOP_LIMIT, SHORT_ONLY)

DAY_MS = 86_400_000


def finite(*xs: float) -> bool:
    return all(math.isfinite(x) for x in xs)


def expiry_ms(o) -> Optional[int]:
    """When a pending order expires (ms), or None for good till cancelled."""
    if o.type_time == 1:
        return (o.time_setup_msc // DAY_MS + 1) * DAY_MS
    if o.type_time == 2:
        return o.time_expiration * 1000
    if o.type_time == 3:
        return (o.time_expiration * 1000 // DAY_MS + 1) * DAY_MS
    return None


def point(sym) -> float:
    return float(getattr(sym, "point", 0.0) or 10.0 ** -int(getattr(sym, "digits", 5)))


def norm(sym, price: float) -> float:
    return round(price, int(getattr(sym, "digits", 5)))


def check_volume(sym, volume: float) -> float:
    vmin = float(getattr(sym, "volume_min", 0.01) or 0.0)
    vmax = float(getattr(sym, "volume_max", 0.0) or 0.0)
    step = float(getattr(sym, "volume_step", 0.0) or 0.0)
    if not math.isfinite(volume) or volume <= 0 or volume < vmin - EPS or (vmax and volume > vmax + EPS):
        raise Reject(INVALID_VOLUME, "Invalid volume")
    if step > 0:
        n = volume / step
        if abs(n - round(n)) > 1e-6:
            raise Reject(INVALID_VOLUME, "Invalid volume")
    return vol(volume)


def check_filling(sym, filling: int, pending: bool) -> None:
    bits = int(getattr(sym, "filling_mode", 0) or 0)
    if filling == 2:
        ok = pending or int(getattr(sym, "trade_exemode", 2)) != 2
    elif filling == 0:
        ok = bool(bits & 1)
    elif filling == 1:
        ok = bool(bits & 2)
    else:
        ok = False
    if not ok:
        raise Reject(INVALID_FILL, "Unsupported filling mode")


def check_order_mode(sym, bit: int) -> None:
    mode = getattr(sym, "order_mode", None)
    if mode is not None and not int(mode) & bit:
        raise Reject(INVALID, "Order type not allowed for the symbol")


def check_stops(sym, buy: bool, ref: float, sl: float, tp: float) -> None:
    """Stops of a buy sit below/above `ref` by at least the stops level (sell: mirrored)."""
    if not finite(sl, tp) or sl < 0 or tp < 0:
        raise Reject(INVALID_STOPS, "Invalid stops")
    if sl > 0:
        check_order_mode(sym, 16)
    if tp > 0:
        check_order_mode(sym, 32)
    dist = int(getattr(sym, "trade_stops_level", 0) or 0) * point(sym)
    tol = point(sym) * 1e-3
    sign = 1.0 if buy else -1.0
    if sl > 0 and not (sign * (ref - sl) > 0 and sign * (ref - sl) >= dist - tol):
        raise Reject(INVALID_STOPS, "Invalid stops")
    if tp > 0 and not (sign * (tp - ref) > 0 and sign * (tp - ref) >= dist - tol):
        raise Reject(INVALID_STOPS, "Invalid stops")


def check_direction(sym, plan_opens_buy: Optional[bool]) -> None:
    mode = int(getattr(sym, "trade_mode", 4))
    if plan_opens_buy is None:
        return
    if mode == 3:
        raise Reject(CLOSE_ONLY, "Only position closing is allowed")
    if mode == 1 and not plan_opens_buy:
        raise Reject(LONG_ONLY, "Only long positions are allowed")
    if mode == 2 and plan_opens_buy:
        raise Reject(SHORT_ONLY, "Only short positions are allowed")


def check_freeze(sym, level_price: float, market_price: float) -> None:
    freeze = int(getattr(sym, "trade_freeze_level", 0) or 0) * point(sym)
    if freeze > 0 and level_price > 0 and abs(market_price - level_price) < freeze:
        raise Reject(FROZEN, "Order or position frozen")


def pending_prices(sym, otype: int, price: float, stoplimit: float,
                    q: Tuple[float, float]) -> None:
    bid, ask = q
    dist = int(getattr(sym, "trade_stops_level", 0) or 0) * point(sym)
    tol = point(sym) * 1e-3
    if not finite(price, stoplimit) or price <= 0 or stoplimit < 0:
        raise Reject(INVALID_PRICE, "Invalid price")
    ok = {
        BUY_LIMIT: ask - price >= dist - tol,
        SELL_LIMIT: price - bid >= dist - tol,
        BUY_STOP: price - ask >= dist - tol,
        SELL_STOP: bid - price >= dist - tol,
        BUY_STOP_LIMIT: price - ask >= dist - tol and 0 < stoplimit <= price + tol,
        SELL_STOP_LIMIT: bid - price >= dist - tol and stoplimit >= price - tol,
    }[otype]
    if not ok:
        raise Reject(INVALID_PRICE, "Invalid price")


def expiration(sym, type_time: int, expiration: int, setup_ms: int) -> int:
    bits = int(getattr(sym, "expiration_mode", 15) or 0)
    if type_time not in (0, 1, 2, 3) or not bits & (1 << type_time):
        raise Reject(INVALID_EXPIRATION, "Invalid expiration")
    if type_time == 1:
        return (setup_ms // DAY_MS + 1) * DAY_MS // 1000
    if type_time == 2 and expiration * 1000 <= setup_ms:
        raise Reject(INVALID_EXPIRATION, "Invalid expiration")
    if type_time == 3 and (expiration * 1000 // DAY_MS + 1) * DAY_MS <= setup_ms:
        raise Reject(INVALID_EXPIRATION, "Invalid expiration")
    return expiration if type_time in (2, 3) else 0
