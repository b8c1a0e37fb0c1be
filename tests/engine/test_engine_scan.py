"""The engine's scan of the ticks between requests against the walk through every tick: random
portfolios on the synthetic market (several currencies, stops, pending orders of every
kind, expirations, swaps, stop-outs) come out with the same deals, orders and figures."""
from __future__ import annotations

import datetime as dt
import random
from dataclasses import astuple

import pytest

from engine_client import Client

from orbisyn.simulator.engine import TradingEngine
from orbisyn.simulator.install import default_settings
from orbisyn.simulator.market.market import Market

SYMBOLS = ["EURUSD", "USDJPY", "EURJPY", "XAUUSD", "DE40"]
MONDAY = int(dt.datetime(2024, 4, 1, tzinfo=dt.timezone.utc).timestamp() * 1000)
HOUR = 3_600_000


def accounts(currency: str) -> dict:
    settings = default_settings()
    for acc in settings["accounts"]:
        # Little money and much leverage: positions near the stop-out level.
        acc.update(deposit=3000.0 * (150 if currency == "JPY" else 1), leverage=500,
                   currency=currency, margin_so_so=60.0,
                   commission_per_lot=2.5)
    return settings


class Twins:
    """Two engines on one market and clock, one scanning, one walking every tick, that get
    the same requests at the same moments."""

    def __init__(self, tmp_path, seed: int, currency: str, login: int):
        self.clock = [MONDAY + (seed % 4) * 86_400_000 + 7 * HOUR]
        self.market = Market(seed=seed, clock=lambda: self.clock[0])
        self.clients = []
        for kind in ("scan", "walk"):
            engine = TradingEngine(str(tmp_path / kind), accounts(currency), self.market)
            engine.login(login)
            engine.events.walk = kind == "walk"
            self.clients.append(Client(engine))

    def send(self, **req):
        got = [c.send(**req) for c in self.clients]
        assert vars(got[0]) == vars(got[1]), req
        return got[0]

    def state(self, c: Client):
        return ([astuple(d) if hasattr(d, "__dataclass_fields__") else vars(d) for d in c.deals()],
                [vars(o) for o in c.history_orders()], [vars(p) for p in c.positions()],
                [vars(o) for o in c.orders()], c.engine.account_figures())

    def close(self):
        for c in self.clients:
            c.engine.close()


STEPS = 30


def gap(rnd: random.Random) -> int:
    """Seconds to hours, now and then past midnight (swaps, expirations) or a weekend."""
    return rnd.choice([5_000, 60_000, 15 * 60_000, HOUR, 3 * HOUR, 3 * HOUR, 20 * HOUR])


def random_request(rnd: random.Random, twins: Twins, now_ms: int) -> dict | None:
    name = rnd.choice(SYMBOLS)
    tick = twins.market.tick_at(name, now_ms)
    sym = twins.market.symbol(name)
    if tick is None or not twins.market.is_trading(name, now_ms):
        return None
    spread = max(tick.ask - tick.bid, sym.point)
    near = lambda k: round(k * spread * rnd.uniform(1, 6), sym.digits)  # noqa: E731
    volume = max(sym.volume_min, round(rnd.choice([0.1, 0.3, 1.0]) * sym.volume_max / 100, 2))
    fill = 2 if sym.filling_mode == 2 else (0 if sym.filling_mode & 1 else 1)
    roll = rnd.random()
    if roll < 0.45:
        side = rnd.randint(0, 1)
        sign = 1 if side == 0 else -1
        kw = {}
        if rnd.random() < 0.7:
            kw = dict(sl=round(tick.bid - sign * near(3) if side == 0 else tick.ask + near(3), sym.digits),
                      tp=round(tick.bid + near(3) if side == 0 else tick.ask - near(3), sym.digits))
        return dict(action=1, symbol=name, volume=volume, type=side, type_filling=fill, **kw)
    otype = rnd.choice([2, 3, 4, 5, 6, 7])
    d = near(2)
    price = {2: tick.ask - d, 3: tick.bid + d, 4: tick.ask + d, 5: tick.bid - d,
             6: tick.ask + d, 7: tick.bid - d}[otype]
    req = dict(action=5, symbol=name, volume=volume, type=otype, price=round(price, sym.digits),
               type_filling=2, type_time=rnd.choice([0, 0, 2]),
               expiration=now_ms // 1000 + rnd.randint(600, 20_000))
    if otype in (6, 7):
        req["stoplimit"] = round(price - d if otype == 6 else price + d, sym.digits)
    return req


@pytest.mark.parametrize("seed, currency, login", [
    (1, "USD", 5001001), (2, "USD", 5001002), (3, "EUR", 5001001), (4, "JPY", 5001002),
    (5, "USD", 5001001), (6, "EUR", 5001001)])
def test_the_scan_gives_the_deals_of_the_walk(tmp_path, seed, currency, login):
    rnd = random.Random(seed)
    twins = Twins(tmp_path, seed, currency, login)
    try:
        for _ in range(STEPS):
            req = random_request(rnd, twins, twins.clock[0])
            if req is not None:
                twins.send(**req)
            twins.clock[0] += gap(rnd)
            scanned, walked = (twins.state(c) for c in twins.clients)
            assert scanned == walked
        assert len(scanned[0]) > 10
    finally:
        twins.close()


def test_the_portfolios_meet_every_kind_of_event(tmp_path):
    # The comparison above proves something only if the portfolios trip what the scan looks
    # for: stop loss (4), take profit (5), stop-out (6) and filled pending orders.
    reasons, filled, swaps = set(), 0, 0
    for seed, currency, login in [(1, "USD", 5001001), (3, "EUR", 5001001), (5, "USD", 5001001)]:
        rnd = random.Random(seed)
        twins = Twins(tmp_path / str(seed), seed, currency, login)
        try:
            for _ in range(STEPS):
                req = random_request(rnd, twins, twins.clock[0])
                if req is not None:
                    twins.clients[0].send(**req)
                twins.clock[0] += gap(rnd)
            deals = twins.clients[0].deals()
            reasons |= {d.reason for d in deals}
            filled += sum(1 for o in twins.clients[0].history_orders() if o.type >= 2 and o.state == 4)
            swaps += sum(1 for d in deals if d.swap)
        finally:
            twins.close()
    assert {4, 5, 6} <= reasons and filled and swaps
