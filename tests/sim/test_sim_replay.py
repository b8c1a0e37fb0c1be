"""The replay clock, imported bars' ticks and the engine on a replay, in one process."""
from __future__ import annotations

import datetime as dt
from dataclasses import astuple

import numpy as np
import pytest

from orbisyn.simulator import protocol
from orbisyn.simulator.market.catalogue import default_catalogue
from orbisyn.simulator.market.clock import ReplayClock, parse_when
from orbisyn.simulator.commands import Registry
from orbisyn.simulator.engine import TradingEngine
from orbisyn.simulator.engine.commands import EngineCommands
from orbisyn.simulator.install import default_settings
from orbisyn.simulator.market.market import Market
from orbisyn.simulator.market.prices import Minutes, ticks_of_bars

MONDAY = int(dt.datetime(2024, 5, 6, tzinfo=dt.timezone.utc).timestamp()) * 1000
EURUSD = next(s for s in default_catalogue() if s.name == "EURUSD")


class FakeTime:
    """Monotonic nanoseconds that only move when told to."""

    def __init__(self):
        self.ns = 5_000_000_000

    def __call__(self) -> int:
        return self.ns

    def wait(self, seconds: float) -> None:
        self.ns += int(seconds * 1e9)


@pytest.mark.parametrize("speed", [0.5, 1.0, 600.0, 3600.0])
def test_the_replay_clock_moves_speed_times_the_wall_time_and_stops_at_the_end(speed):
    wall = FakeTime()
    until = MONDAY + 3_600_000
    clock = ReplayClock(MONDAY, speed, until, source=wall)
    wall.wait(30)
    assert clock() == MONDAY and not clock.over()   # still until the Terminal is ready
    clock.start()
    wall.wait(0.25)
    assert clock() == MONDAY + int(250 * speed)
    wall.wait(3600 / speed)
    assert clock() == until and clock.over()


@pytest.mark.parametrize("text, ms", [
    ("2024-05-06", MONDAY), ("2024-05-06 00:30", MONDAY + 1_800_000),
    ("2024-05-06T00:00:07Z", MONDAY + 7000), ("2024-05-06 01:00 UTC", MONDAY + 3_600_000),
    (str(MONDAY // 1000), MONDAY),
])
def test_replay_times_are_read_as_utc(text, ms):
    assert parse_when(text) == ms


@pytest.mark.parametrize("text", ["2024-13-01", "yesterday", "2024-05-06 25:00", "2024-05-06+02:00"])
def test_a_time_that_is_no_time_is_refused(text):
    with pytest.raises(ValueError, match="is no time"):
        parse_when(text)


def _bar(o, h, l, c, n, spread=10, minute=MONDAY // 60000):
    pts = [round(x / EURUSD.point) for x in (o, h, l, c)]
    return Minutes(*(np.array([v], dtype=np.int64) for v in (minute, *pts, spread, n)))


# (open, high, low, close, tick count) -> the bids of its ticks, worked out by hand: tick i at
# i * floor(60000 / n) ms; open, nearer extreme at n // 3, the other at (2n - 1) // 3, close.
BAR_TICKS = [
    ((1.10000, 1.10010, 1.09950, 1.09980, 4), [1.10000, 1.10010, 1.09950, 1.09980]),   # high nearer
    ((1.10000, 1.10050, 1.09990, 1.10020, 4), [1.10000, 1.09990, 1.10050, 1.10020]),   # low nearer
    ((1.10000, 1.10020, 1.09980, 1.10000, 4), [1.10000, 1.10020, 1.09980, 1.10000]),   # as near: high
    # n = 7: turns at ticks 2 and 4; the straight lines are rounded to the nearest point
    ((1.10000, 1.10030, 1.09900, 1.09920, 7),
     [1.10000, 1.10015, 1.10030, 1.09965, 1.09900, 1.09910, 1.09920]),
]


@pytest.mark.parametrize("bar, bids", BAR_TICKS)
def test_ticks_of_an_imported_bar_follow_the_documented_path(bar, bids):
    *prices, n = bar
    ticks = ticks_of_bars(EURUSD, _bar(*prices, n))
    assert list(ticks["time_msc"] - MONDAY) == [i * (60000 // n) for i in range(n)]
    np.testing.assert_allclose(ticks["bid"], bids, atol=1e-9)
    np.testing.assert_allclose(ticks["ask"] - ticks["bid"], 10 * EURUSD.point, atol=1e-9)
    assert ticks["flags"][0] == 6


def _send(eng, **req) -> tuple[int, int]:
    commands = Registry()
    commands.add(EngineCommands(eng))
    status, body = commands.call(protocol.Command.ORDER_SEND, protocol.TradeRequest(**req).pack())
    assert status == 0
    retcode, deal, order = protocol.SEND_RESULT.unpack(body)[:3]
    return retcode, order


def _scripted_replay(folder, clock_wall: FakeTime) -> list[tuple]:
    """One replay in a fresh folder: market and pending orders at fixed replay times."""
    clock = ReplayClock(MONDAY + 9 * 3_600_000, 600.0, MONDAY + 14 * 3_600_000, source=clock_wall)
    market = Market(seed=5, clock=clock)
    eng = TradingEngine(str(folder), default_settings(), market)
    clock.start()
    tick = market.tick_at("XAUUSD", clock())
    assert _send(eng, action=1, symbol="EURUSD", volume=1.0, type=0, type_filling=1)[0] == 10009
    _send(eng, action=1, symbol="XAUUSD", volume=0.5, type=1, type_filling=1,
          sl=round(tick.ask + 3.0, 2), tp=round(tick.bid - 3.0, 2))
    btc = market.tick_at("BTCUSD", clock())
    assert _send(eng, action=5, symbol="BTCUSD", volume=0.1, type=2, type_filling=2,
                 price=round(btc.ask - 150.0, 2), tp=round(btc.ask + 100.0, 2))[0] == 10008
    clock_wall.wait(2.0)        # 20 replay minutes
    retcode, order = _send(eng, action=1, symbol="EURUSD", volume=1.0, type=1, type_filling=1,
                           position=eng.acc.positions and min(eng.acc.positions) or 0)
    assert retcode == 10009
    for _ in range(30):         # the rest of the replay, polled
        clock_wall.wait(1.0)
        eng.account_figures()
    assert clock.over()
    assert _send(eng, action=1, symbol="BTCUSD", volume=0.1, type=0, type_filling=1)[0] == 10018
    deals = eng.store.deals_between(eng.login_id, 0, 1 << 62)
    eng.close()
    return [astuple(d) for d in deals]


def test_the_same_requests_at_the_same_replay_times_give_the_same_deals(tmp_path):
    first = _scripted_replay(tmp_path / "a", FakeTime())
    second = _scripted_replay(tmp_path / "b", FakeTime())
    assert first == second
    start = MONDAY + 9 * 3_600_000
    times = [d[3] for d in first]
    # The deposit and the first buy at the replay's start, the close 20 replay minutes on;
    # then whatever the prices triggered, never after the end.
    assert times[0] == times[1] == start
    assert start + 1_200_000 in times
    assert max(times) <= start + 5 * 3_600_000
    assert len(first) >= 5, "the script should trigger its stops or its pending order"
