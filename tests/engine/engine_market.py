"""A market with scripted ticks and a settable clock, for the engine's unit tests."""
from __future__ import annotations

import bisect
from dataclasses import dataclass, field
from typing import Dict, List, Optional

import numpy as np

from orbisyn.simulator.protocol import TICK_DTYPE


@dataclass
class FakeSymbol:
    name: str
    currency_base: str
    currency_profit: str
    currency_margin: str
    digits: int = 5
    point: float = 1e-5
    trade_calc_mode: int = 0
    trade_contract_size: float = 100000.0
    trade_tick_value: float = 1.0
    trade_tick_size: float = 1e-5
    volume_min: float = 0.01
    volume_max: float = 100.0
    volume_step: float = 0.01
    volume_limit: float = 0.0
    trade_mode: int = 4
    trade_exemode: int = 2
    filling_mode: int = 3
    expiration_mode: int = 15
    order_mode: int = 127
    trade_stops_level: int = 0
    trade_freeze_level: int = 0
    margin_initial: float = 0.0
    margin_maintenance: float = 0.0
    margin_hedged: float = 0.0
    margin_hedged_use_leg: bool = False
    swap_mode: int = 0
    swap_rollover3days: int = 3
    swap_long: float = 0.0
    swap_short: float = 0.0


@dataclass
class Tick:
    time_msc: int
    bid: float
    ask: float
    last: float = 0.0
    volume: int = 0
    flags: int = 6


def catalogue() -> List[FakeSymbol]:
    return [
        FakeSymbol("EURUSD", "EUR", "USD", "EUR"),
        FakeSymbol("GBPUSD", "GBP", "USD", "GBP"),
        FakeSymbol("USDJPY", "USD", "JPY", "USD", digits=3, point=1e-3, trade_tick_size=1e-3),
        FakeSymbol("EURGBP", "EUR", "GBP", "EUR"),
        FakeSymbol("XAUUSD", "XAU", "USD", "USD", digits=2, point=0.01, trade_calc_mode=2,
             trade_contract_size=100.0, trade_tick_size=0.01, trade_tick_value=1.0),
        FakeSymbol("US500", "USD", "USD", "USD", digits=2, point=0.01, trade_calc_mode=3,
             trade_contract_size=10.0, trade_tick_size=0.25, trade_tick_value=2.5,
             volume_min=0.1, volume_step=0.1),
        FakeSymbol("GER40", "EUR", "EUR", "EUR", digits=1, point=0.1, trade_calc_mode=4,
             trade_contract_size=1.0, trade_tick_size=0.1, trade_tick_value=0.1),
        FakeSymbol("BTCUSD", "BTC", "USD", "USD", digits=2, point=0.01, trade_calc_mode=4,
             trade_contract_size=1.0, trade_tick_size=0.01, trade_tick_value=0.01),
        FakeSymbol("ESZ6", "USD", "USD", "USD", digits=2, point=0.25, trade_calc_mode=1,
             trade_contract_size=50.0, trade_tick_size=0.25, trade_tick_value=12.5,
             margin_initial=12000.0, volume_min=1.0, volume_step=1.0),
    ]


T0 = 1_790_000_000_000  # Monday 2026-09-21 14:13:20 UTC

START_PRICES = {"EURUSD": (1.10000, 1.10010), "GBPUSD": (1.25000, 1.25020),
                "USDJPY": (150.000, 150.020), "EURGBP": (0.88000, 0.88010),
                "XAUUSD": (2000.00, 2000.30), "US500": (5000.00, 5000.50),
                "GER40": (18000.0, 18001.0), "BTCUSD": (60000.00, 60010.00),
                "ESZ6": (5000.00, 5000.25)}


@dataclass
class FakeMarket:
    specs: Dict[str, FakeSymbol] = field(default_factory=lambda: {s.name: s for s in catalogue()})
    now: int = T0
    ticks: Dict[str, List[Tick]] = field(default_factory=dict)
    times: Dict[str, List[int]] = field(default_factory=dict)
    closed: set = field(default_factory=set)

    def __post_init__(self) -> None:
        for name, (bid, ask) in START_PRICES.items():
            if name in self.specs:
                self.tick(name, bid, ask, self.now - 60_000)

    def tick(self, name: str, bid: float, ask: float, at: Optional[int] = None) -> int:
        """Add a tick (default: 1 ms after the clock) and move the clock onto it."""
        t = self.now + 1 if at is None else at
        times = self.times.setdefault(name, [])
        i = bisect.bisect_right(times, t)
        times.insert(i, t)
        self.ticks.setdefault(name, []).insert(i, Tick(t, bid, ask))
        self.now = max(self.now, t)
        return t

    def advance(self, ms: int) -> int:
        self.now += ms
        return self.now

    # market interface used by the engine
    def symbols(self):
        return list(self.specs)

    def symbol(self, name):
        return self.specs.get(name)

    def now_ms(self) -> int:
        return self.now

    def tick_at(self, name, time_ms):
        times = self.times.get(name, [])
        i = bisect.bisect_right(times, time_ms)
        return self.ticks[name][i - 1] if i else None

    def ticks_between(self, name, from_ms, to_ms):
        times = self.times.get(name, [])
        lo = bisect.bisect_left(times, from_ms)
        hi = bisect.bisect_right(times, to_ms)
        return self.ticks[name][lo:hi] if name in self.ticks else []

    def tick_array_between(self, name, from_ms, to_ms):
        got = self.ticks_between(name, from_ms, to_ms)
        out = np.zeros(len(got), dtype=TICK_DTYPE)
        for i, t in enumerate(got):
            out[i] = (t.time_msc // 1000, t.bid, t.ask, t.last, t.volume, t.time_msc, t.flags, 0.0)
        return out

    def is_trading(self, name, time_ms) -> bool:
        return name not in self.closed


NETTING_LOGIN, HEDGING_LOGIN = 5001, 5002


def make_settings(**over):
    accounts = [
        dict(login=HEDGING_LOGIN, password="p", server="Sim", name="Hedger", company="Sim",
             currency="USD", leverage=100, deposit=10000.0, margin_mode=2, margin_so_call=100.0,
             margin_so_so=50.0, otp=False),
        dict(login=NETTING_LOGIN, password="p", server="Sim", name="Netter", company="Sim",
             currency="USD", leverage=100, deposit=10000.0, margin_mode=0, margin_so_call=100.0,
             margin_so_so=50.0, otp=False),
    ]
    settings = dict(trade_api_allowed=True, accounts=accounts)
    settings.update(over)
    return settings
