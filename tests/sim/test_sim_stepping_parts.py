"""The parts of a stepped replay in one process: its clock, the next bar's first tick, and the
short roads to bars and ticks that it takes at every bar (held to the general ones)."""
from __future__ import annotations

import datetime as dt
import random

import numpy as np
import pytest

from orbisyn.simulator.market.clock import SteppedClock
from orbisyn.simulator.market.market import BAR_DTYPE, Market, period_start

M1, M5, M15, H1, D1, W1, MN1 = 1, 5, 15, 16385, 16408, 32769, 49153
START = int(dt.datetime(2024, 3, 4, tzinfo=dt.timezone.utc).timestamp() * 1000)   # a Monday
FAR = START + 400 * 86_400_000


class FakeTime:
    """Monotonic nanoseconds that move only when told to."""

    def __init__(self):
        self.ns = 7_000_000_000

    def __call__(self) -> int:
        return self.ns

    def wall(self, ms: int) -> None:
        self.ns += ms * 1_000_000


@pytest.fixture(scope="module")
def market():
    return Market(seed=5, clock=lambda: FAR)


# ---- the clock -----------------------------------------------------------------------------

def test_until_its_first_wait_the_present_follows_the_wall_clock_only_while_the_link_is_idle():
    t = FakeTime()
    clock = SteppedClock(START, START + 3_600_000, speed=60, source=t)
    t.wall(5000)
    assert clock() == START                       # not started: no program yet
    clock.start()
    t.wall(900)
    assert clock() == START                       # idle under a second
    t.wall(1100)
    assert clock() == START + 1000 * 60           # a second past the idle second, at 60x
    clock.request_began()                         # a request holds it where it is
    t.wall(5000)
    assert clock() == START + 60_000
    clock.request_ended()
    t.wall(1500)
    assert clock() == START + 60_000 + 500 * 60
    t.wall(10 ** 9)
    assert clock() == START + 3_600_000 and clock.over()   # never past the end


def test_from_the_first_wait_only_waits_move_it_and_never_back():
    t = FakeTime()
    clock = SteppedClock(START, START + 3_600_000, source=t)
    clock.start()
    assert clock.move_to(START + 1000) == START + 1000
    t.wall(60_000)
    assert clock() == START + 1000                # idle wall time no longer counts
    assert clock.move_to(START + 500) == START + 1000
    assert clock.move_to(START + 10 ** 9) == START + 3_600_000 and clock.over()
    assert clock.waited and clock.moves == 3


@pytest.mark.parametrize("start, until, speed", [(START, START, 1.0), (START, START + 1, 0.0),
                                                 (START, START + 1, float("inf"))])
def test_a_clock_that_cannot_be_is_refused(start, until, speed):
    with pytest.raises(ValueError):
        SteppedClock(start, until, speed)


# ---- the next bar's first tick -------------------------------------------------------------

def first_ticks(market, name, tf, lo, hi):
    """Brute force: every tick in [lo, hi) that opens a bar (its bar differs from the tick
    before it)."""
    ticks = market.tick_array_between(name, lo - 7 * 86_400_000, hi)
    t = ticks["time_msc"]
    opens = period_start(tf, t // 1000)
    new = np.r_[True, opens[1:] != opens[:-1]]
    keep = new & (t >= lo) & (t < hi)
    return t[keep], opens[keep], ticks[keep]


@pytest.mark.parametrize("name, tf", [("EURUSD", M5), ("EURUSD", H1), ("BTCUSD", M15), ("EURUSD", D1),
                                      ("XAUUSD", W1), ("US500", MN1), ("EURUSD", M1)])
def test_each_step_lands_on_the_first_tick_of_the_next_bar(market, name, tf):
    span = {D1: 20, W1: 60, MN1: 120}.get(tf, 3) * 86_400_000
    lo = START + 3 * 86_400_000 + 12_345           # Thursday: the weekend comes within three days
    times, opens, ticks = first_ticks(market, name, tf, lo + 1, lo + span)
    got, at = [], lo
    while True:
        tick = market.next_bar_tick(name, tf, at, lo + span)
        if tick is None:
            break
        at = int(tick["time_msc"][0])
        got.append((at, market.bar_open(tf, at), tick.tobytes()))
    assert [g[0] for g in got] == times.tolist()
    assert [g[1] for g in got] == opens.tolist()
    assert [g[2] for g in got] == [ticks[i:i + 1].tobytes() for i in range(len(ticks))]
    assert len(got) >= 3


def test_a_bar_already_open_at_the_start_is_not_the_next_one(market):
    # At 00:00:00.000 of a Monday no tick of the 00:00 bar has come: that bar is the next.
    monday = START + 7 * 86_400_000
    tick = market.next_bar_tick("EURUSD", M5, monday, monday + 3_600_000)
    assert market.bar_open(M5, int(tick["time_msc"][0])) * 1000 == monday
    # Once its first tick has come, the next is the 00:05 bar.
    after = market.next_bar_tick("EURUSD", M5, int(tick["time_msc"][0]), monday + 3_600_000)
    assert market.bar_open(M5, int(after["time_msc"][0])) * 1000 == monday + 300_000


def test_no_tick_before_the_limit_gives_none(market):
    saturday = START + 5 * 86_400_000
    assert market.next_bar_tick("EURUSD", M5, saturday, saturday + 86_400_000) is None


# ---- the short roads, held to the general ones ---------------------------------------------

def forming_by_aggregation(market, name, tf, now_ms):
    """The forming bar as every bar is made: the minutes so far and the current minute's ticks
    through bars_of_minutes."""
    from orbisyn.simulator.market.prices import Minutes, bars_of_minutes, concat_minutes
    sym = market.symbol(name)
    open_sec = int(period_start(tf, np.array([now_ms // 1000]))[0])
    now_min = now_ms // 60_000
    done = market.minutes_between(name, open_sec // 60, now_min)
    ticks = market.tick_array_between(name, now_min * 60_000, now_ms)
    if len(ticks):
        b = np.rint(ticks["bid"] / sym.point).astype(np.int64)
        a = np.rint(ticks["ask"] / sym.point).astype(np.int64)
        done = concat_minutes([done, Minutes(np.array([now_min]), b[:1], np.array([b.max()]),
                                             np.array([b.min()]), b[-1:], np.array([(a - b).min()]),
                                             np.array([len(b)]))])
    bars = bars_of_minutes(sym, tf, done)
    return bars[bars["time"] == open_sec]


def bars_by_position(market, name, tf, start_pos, count, now_ms):
    """Bars start_pos.. counted back from the forming one, cut from all bars up to now."""
    segs = market.bars_before(name, tf, now_ms // 1000, start_pos + count, now_ms)
    bars = np.concatenate(segs) if segs else np.zeros(0, BAR_DTYPE)
    return bars[:max(len(bars) - start_pos, 0)]


@pytest.mark.parametrize("seed", range(4))
def test_forming_and_closed_bars_are_those_of_the_general_road(market, seed):
    rnd = random.Random(seed)
    for _ in range(150):
        name = rnd.choice(["EURUSD", "USDJPY", "BTCUSD", "US500", "XAUUSD"])
        tf = rnd.choice([M1, M5, M15, H1, D1, W1, MN1])
        now = START + rnd.randrange(0, 300 * 86_400_000)
        if rnd.random() < 0.4:
            now -= now % 60_000                    # a minute's first millisecond: no tick yet
        assert market._forming_bar(name, tf, now).tobytes() == \
            forming_by_aggregation(market, name, tf, now).tobytes()
        start_pos, count = rnd.choice([1, 2, 7]), rnd.choice([1, 31])
        got = market.bars_from_pos(name, tf, start_pos, count, now)
        got = np.concatenate(got) if got else np.zeros(0, BAR_DTYPE)
        assert got.tobytes() == bars_by_position(market, name, tf, start_pos, count, now).tobytes()
