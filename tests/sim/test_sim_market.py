"""The synthetic market: determinism, bar/tick consistency, calendars, request semantics."""
from __future__ import annotations

import datetime as dt

import numpy as np
import pytest

from orbisyn.simulator.market.market import Market, period_start

H1, M1, M5, D1, W1, MN1 = 16385, 1, 5, 16408, 32769, 49153
# A Wednesday, mid-session, fixed so the tests don't depend on the wall clock.
NOW = int(dt.datetime(2024, 3, 13, 14, 37, 21, 500000, tzinfo=dt.timezone.utc).timestamp() * 1000)


def ts(*args) -> int:
    return int(dt.datetime(*args, tzinfo=dt.timezone.utc).timestamp())


@pytest.fixture(scope="module")
def market():
    return Market(seed=7, clock=lambda: NOW)


def cat(segs):
    return np.concatenate(segs) if segs else np.zeros(0)


def test_same_seed_same_data_and_other_seed_differs():
    a, b, c = (Market(seed=s, clock=lambda: NOW) for s in (3, 3, 4))
    t0, t1 = ts(2024, 3, 4), ts(2024, 3, 6)
    ra, rb, rc = (cat(m.bars_range("EURUSD", M1, t0, t1)) for m in (a, b, c))
    assert ra.tobytes() == rb.tobytes()
    assert len(ra) == len(rc) and not np.array_equal(ra["close"], rc["close"])
    ta = a.tick_array_between("BTCUSD", t0 * 1000, t0 * 1000 + 3_600_000)
    tb = b.tick_array_between("BTCUSD", t0 * 1000, t0 * 1000 + 3_600_000)
    assert ta.tobytes() == tb.tobytes()


def test_a_period_generated_alone_equals_the_same_period_inside_a_longer_request(market):
    fresh = Market(seed=7, clock=lambda: NOW)
    t0 = ts(2023, 11, 20, 9)
    alone = cat(fresh.bars_range("GBPUSD", M1, t0, t0 + 3600))
    inside = cat(market.bars_range("GBPUSD", M1, t0 - 40 * 86400, t0 + 3600))
    inside = inside[inside["time"] >= t0]
    assert alone.tobytes() == inside.tobytes()


def _aggregate(m1, tf):
    key = period_start(tf, m1["time"])
    starts = np.flatnonzero(np.r_[True, key[1:] != key[:-1]])
    return {
        "time": key[starts],
        "open": m1["open"][starts],
        "close": m1["close"][np.r_[starts[1:], len(m1)] - 1],
        "high": np.maximum.reduceat(m1["high"], starts),
        "low": np.minimum.reduceat(m1["low"], starts),
        "tick_volume": np.add.reduceat(m1["tick_volume"], starts),
        "spread": np.minimum.reduceat(m1["spread"], starts),
    }


ALL_TF = [2, 3, 4, 5, 6, 10, 12, 15, 20, 30, 16385, 16386, 16387, 16388, 16390, 16392, 16396, D1, W1, MN1]
SYMBOLS = ["EURUSD", "XAUUSD", "BTCUSD", "US500", "EURJPY"]


@pytest.mark.parametrize("symbol,tf", [(SYMBOLS[i % len(SYMBOLS)], tf) for i, tf in enumerate(ALL_TF)])
def test_bars_are_exact_aggregates_of_m1(market, symbol, tf):
    t0, t1 = ts(2023, 12, 1), NOW // 1000
    m1 = cat(market.bars_range(symbol, M1, t0, t1))
    bars = cat(market.bars_range(symbol, tf, t0, t1))
    agg = _aggregate(m1, tf)
    # The first bar may start before t0 (weeks, months): compare from the first complete one.
    first = 1 if agg["time"][0] < t0 or bars["time"][0] < t0 else 0
    bars = bars[bars["time"] >= agg["time"][first]]
    for field, values in agg.items():
        np.testing.assert_array_equal(bars[field], values[first:], err_msg=field)


@pytest.mark.parametrize("symbol", ["EURUSD", "USDJPY", "BTCUSD", "DE40"])
def test_m1_bars_are_aggregates_of_their_ticks(market, symbol):
    t0 = ts(2024, 3, 12, 10)
    t1 = NOW // 1000  # includes the forming minute, cut at the clock
    m1 = cat(market.bars_range(symbol, M1, t0, t1))
    ticks = market.tick_array_between(symbol, t0 * 1000, NOW)
    assert np.all(np.diff(ticks["time_msc"]) > 0)
    assert ticks["time_msc"][-1] <= NOW
    minute = ticks["time_msc"] // 60_000
    starts = np.flatnonzero(np.r_[True, minute[1:] != minute[:-1]])
    np.testing.assert_array_equal(minute[starts] * 60, m1["time"])
    np.testing.assert_array_equal(ticks["bid"][starts], m1["open"])
    np.testing.assert_array_equal(np.maximum.reduceat(ticks["bid"], starts), m1["high"])
    np.testing.assert_array_equal(np.minimum.reduceat(ticks["bid"], starts), m1["low"])
    np.testing.assert_array_equal(ticks["bid"][np.r_[starts[1:], len(ticks)] - 1], m1["close"])
    np.testing.assert_array_equal(np.diff(np.r_[starts, len(ticks)]), m1["tick_volume"])
    sym = market.symbol(symbol)
    spread = np.rint((ticks["ask"] - ticks["bid"]) / sym.point).astype(np.int64)
    np.testing.assert_array_equal(np.minimum.reduceat(spread, starts), m1["spread"])


@pytest.mark.parametrize("symbol", ["EURUSD", "XAUUSD", "BTCUSD"])
def test_bar_invariants_and_varying_spreads(market, symbol):
    bars = cat(market.bars_before(symbol, M1, NOW // 1000, 20000))
    assert len(bars) == 20000
    assert np.all(np.diff(bars["time"]) > 0) and np.all(bars["time"] % 60 == 0)
    assert np.all(bars["high"] >= np.maximum(bars["open"], bars["close"]))
    assert np.all(bars["low"] <= np.minimum(bars["open"], bars["close"]))
    assert np.all(bars["low"] > 0) and np.all(bars["spread"] > 0)
    assert len(np.unique(bars["spread"])) > 3
    digits = market.symbol(symbol).digits
    np.testing.assert_array_equal(bars["close"], np.round(bars["close"], digits))


def test_forex_is_closed_at_the_weekend_and_crypto_is_not(market):
    sat0, sun_close = ts(2024, 3, 8, 22), ts(2024, 3, 10, 22)
    fx = market.tick_array_between("EURUSD", sat0 * 1000 - 60_000, sun_close * 1000 + 60_000)
    assert len(fx) > 0
    inside = (fx["time"] >= sat0) & (fx["time"] < sun_close)
    assert not inside.any()
    assert fx["time"].min() < sat0 and fx["time"].max() >= sun_close
    btc = market.tick_array_between("BTCUSD", sat0 * 1000, sun_close * 1000)
    assert len(btc) > 2 * 24 * 60 * 8
    assert not market.is_trading("EURUSD", (sat0 + 3600) * 1000)
    assert market.is_trading("BTCUSD", (sat0 + 3600) * 1000)
    # A weekend tick request returns Friday's last tick.
    last = market.tick_at("EURUSD", (sat0 + 86400) * 1000)
    assert last is not None and sat0 * 1000 - 10_000 < last.time_msc < sat0 * 1000


def test_ticks_never_more_than_ten_seconds_apart_while_trading(market):
    t = market.tick_array_between("USDCHF", ts(2024, 3, 11, 0) * 1000, ts(2024, 3, 12, 0) * 1000)
    assert np.diff(t["time_msc"]).max() <= 10_000
    assert np.all(t["ask"] > t["bid"])
    assert np.all(t["flags"] & 6)
    assert np.all(t["time"] == t["time_msc"] // 1000)


def test_request_semantics(market):
    now_s = NOW // 1000
    pos = cat(market.bars_from_pos("EURUSD", H1, 0, 10))
    assert len(pos) == 10 and pos["time"][-1] == now_s - now_s % 3600  # forming bar is position 0
    shifted = cat(market.bars_from_pos("EURUSD", H1, 3, 7))
    np.testing.assert_array_equal(shifted, pos[:7])
    frm = cat(market.bars_before("EURUSD", H1, int(pos["time"][5]), 4))
    np.testing.assert_array_equal(frm, pos[2:6])
    rng = cat(market.bars_range("EURUSD", H1, int(pos["time"][1]), int(pos["time"][4])))
    np.testing.assert_array_equal(rng, pos[1:5])  # both ends inclusive
    # Nothing after the clock, even when asked for.
    assert cat(market.bars_range("EURUSD", M1, now_s + 60, now_s + 86400)).size == 0
    t = market.tick_array_between("EURUSD", NOW - 60_000, NOW + 3_600_000)
    assert t["time_msc"].max() <= NOW
    first = market.tick_array_between("EURUSD", NOW - 3_600_000, 1 << 62, limit=5)
    assert len(first) == 5 and first["time_msc"][0] >= NOW - 3_600_000


def test_week_and_month_bars_are_aligned(market):
    w = cat(market.bars_range("BTCUSD", W1, ts(2023, 1, 1), ts(2024, 1, 1)))
    assert all(dt.datetime.fromtimestamp(int(t), dt.timezone.utc).weekday() == 0 for t in w["time"])
    mn = cat(market.bars_range("BTCUSD", MN1, ts(2023, 1, 1), ts(2024, 1, 1)))
    assert [dt.datetime.fromtimestamp(int(t), dt.timezone.utc).day for t in mn["time"]] == [1] * 13


def test_history_starts_at_the_configured_date():
    m = Market(seed=1, history_start="2024-01-01", clock=lambda: NOW)
    bars = cat(m.bars_before("BTCUSD", D1, NOW // 1000, 10_000))
    assert bars["time"][0] == ts(2024, 1, 1)
    assert m.tick_at("BTCUSD", ts(2023, 12, 31) * 1000) is None


def test_book_brackets_the_current_prices(market):
    book = market.book("EURUSD")
    tick = market.tick_at("EURUSD", NOW)
    sells, buys = book[book["type"] == 1], book[book["type"] == 2]
    assert len(sells) == 10 and len(buys) == 10
    assert sells["price"].min() == pytest.approx(tick.ask) and buys["price"].max() == pytest.approx(tick.bid)
    assert np.all(np.diff(book["price"]) < 0)
    assert np.all(book["volume_dbl"] >= 1)


def test_currency_conversion_uses_direct_inverse_and_cross_rates(market):
    eurusd = market.tick_at("EURUSD", NOW)
    usdjpy = market.tick_at("USDJPY", NOW)
    assert market.convert(1.0, "EUR", "USD", NOW) == pytest.approx((eurusd.bid + eurusd.ask) / 2)
    assert market.convert(100.0, "JPY", "USD", NOW) == pytest.approx(200 / (usdjpy.bid + usdjpy.ask))
    eurjpy = market.tick_at("EURJPY", NOW)
    assert market.convert(1.0, "EUR", "JPY", NOW) == pytest.approx((eurjpy.bid + eurjpy.ask) / 2)
    gbpusd = market.tick_at("GBPUSD", NOW)
    cross = market.convert(1.0, "GBP", "JPY", NOW)  # no GBPJPY: through USD
    assert cross == pytest.approx((gbpusd.bid + gbpusd.ask) / 2 * (usdjpy.bid + usdjpy.ask) / 2)
    assert market.convert(1.0, "EUR", "XYZ", NOW) is None
