"""The account figures the engine keeps (each symbol's part, worked out again when its
positions or quotes change) equal a full recomputation to the cent, whatever the portfolio,
the ticks and the deals: after each request and at every tick the engine processes."""
from __future__ import annotations

import tempfile

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from engine_client import Client
from engine_market import FakeMarket, make_settings, START_PRICES

from orbisyn.simulator.engine import TradingEngine

NAMES = sorted(START_PRICES)

# Ticks come in bursts: the engine processes each burst in one go, tick by tick, and a
# symbol's kept figures must follow the ticks of the pairs that convert its currencies.
tick = st.tuples(st.just("ticks"), st.lists(st.tuples(st.sampled_from(NAMES), st.integers(-400, 400),
                                                      st.integers(1, 40), st.integers(1, 90_000)),
                                            min_size=1, max_size=6))
deal = st.tuples(st.just("deal"), st.sampled_from(NAMES), st.integers(0, 1), st.integers(1, 30))
close = st.tuples(st.just("close"), st.integers(0, 50), st.floats(0.1, 1.0))
stops = st.tuples(st.just("stops"), st.integers(0, 50), st.integers(5, 200))


def check(engine) -> int:
    """Kept figures against a full recomputation; 1 with positions to value, else 0."""
    val, acc = engine.valuation, engine.acc
    assert val.figures(acc) == val.recomputed_figures(acc)
    return 1 if acc.positions else 0


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(ops=st.lists(st.one_of(tick, tick, deal, close, stops), min_size=5, max_size=45),
       currency=st.sampled_from(["USD", "EUR", "JPY"]), hedging=st.booleans(),
       leverage=st.sampled_from([30, 100, 500]))
def test_kept_figures_equal_a_full_recomputation(ops, currency, hedging, leverage):
    market = FakeMarket()
    config = make_settings()
    for acc in config["accounts"]:
        acc.update(currency=currency, leverage=leverage,
                   deposit=1_000_000.0 * (150 if currency == "JPY" else 1))
    with tempfile.TemporaryDirectory() as tmp:
        engine = TradingEngine(tmp, config, market)
        engine.login(5002 if hedging else 5001)
        engine.events.walk = True   # every tick goes through _on_tick: checked there too
        on_tick = engine.events._on_tick
        checked = [0]

        def on_tick_checked(acc, name, t_ms, bid, ask):
            checked[0] += check(engine)
            on_tick(acc, name, t_ms, bid, ask)
            checked[0] += check(engine)
        engine.events._on_tick = on_tick_checked
        client = Client(engine)
        opened = 0
        try:
            for op in ops:
                opened += run(op, client, market)
                checked[0] += engine.transaction(lambda: check(engine))
        finally:
            engine.close()
    # A portfolio that never held a position would prove nothing.
    assert checked[0] or not opened


def run(op, client: Client, market: FakeMarket) -> int:
    """Carries out one operation; 1 when it was a deal that was done."""
    kind = op[0]
    if kind == "ticks":
        for name, move, spread, gap in op[1]:
            last = market.tick_at(name, market.now)
            point = market.specs[name].point
            bid = round(max(last.bid + move * point, 100 * point), 6)
            market.tick(name, bid, round(bid + spread * point, 6), at=market.now + gap)
        return 0
    if kind == "deal":
        _, name, side, lots = op
        sym = market.specs[name]
        volume = min(sym.volume_max, max(sym.volume_min, lots * sym.volume_step * 10))
        got = client.send(action=1, symbol=name, type=side, type_filling=0, volume=round(volume, 2))
        assert got.retcode in (10009, 10019), got   # done, or no money for it
        return int(got.retcode == 10009)
    positions = client.positions()
    if not positions:
        return 0
    p = positions[op[1] % len(positions)]
    if kind == "close":
        step = market.specs[p.symbol].volume_step
        volume = max(step, round(p.volume * op[2] / step) * step)
        got = client.send(action=1, symbol=p.symbol, volume=round(min(volume, p.volume), 2),
                          type=1 - p.type, position=p.ticket, type_filling=0)
        assert got.retcode == 10009, got
    else:
        point = market.specs[p.symbol].point
        d = op[2] * point
        sign = 1 if p.type == 0 else -1
        client.send(action=6, symbol=p.symbol, position=p.ticket,
                    sl=round(p.price_current - sign * d, 6), tp=round(p.price_current + sign * d, 6))
    return 0
