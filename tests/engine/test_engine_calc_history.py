"""Margin and profit against hand-computed figures; history selection."""
import pytest
from engine_market import T0


@pytest.mark.parametrize("action, symbol, volume, price, expected", [
    (0, "EURUSD", 1.0, 1.1, 1100.00),       # 100 000 EUR / 100, at 1.1 USD
    (1, "USDJPY", 1.0, 150.0, 1000.00),     # margin currency is the account's
    (0, "EURGBP", 1.0, 0.88, 1100.00),      # 1 000 EUR = 880 GBP, GBPUSD bid 1.25
    (0, "XAUUSD", 0.1, 2000.0, 20000.00),   # CFD: 0.1 * 100 oz * 2000, no leverage
    (0, "US500", 1.0, 5000.0, 500000.00),   # CFD index: 10 * 5000 * 2.5 / 0.25
    (1, "GER40", 1.0, 18000.0, 198.00),     # CFD leverage: 180 EUR at EURUSD bid 1.1
    (0, "BTCUSD", 0.5, 60000.0, 300.00),
    (0, "ESZ6", 2.0, 5000.0, 24000.00),     # futures: initial margin per lot
    (2, "EURUSD", 0.5, 1.0, 500.00),        # a buy limit is a buy
])
def test_margin(hedge, action, symbol, volume, price, expected):
    assert hedge.calc_margin(action, symbol, volume, price) == (0, expected)


@pytest.mark.parametrize("action, symbol, volume, po, pc, expected", [
    (0, "EURUSD", 1.0, 1.1, 1.105, 500.00),
    (1, "EURUSD", 1.0, 1.1, 1.105, -500.00),
    (0, "USDJPY", 1.0, 150.0, 151.0, 666.58),   # 100 000 JPY / USDJPY ask 150.02
    (1, "EURGBP", 1.0, 0.88, 0.87, 1250.00),    # 1 000 GBP at GBPUSD bid 1.25
    (0, "GER40", 2.0, 18000.0, 18100.0, 220.00),
    (0, "ESZ6", 1.0, 5000.0, 5010.0, 500.00),   # 40 ticks of 12.5
    (0, "XAUUSD", 0.01, 2000.0, 1990.0, -10.00),
])
def test_profit(hedge, action, symbol, volume, po, pc, expected):
    assert hedge.calc_profit(action, symbol, volume, po, pc) == (0, expected)


@pytest.mark.parametrize("call", [
    lambda c: c.calc_margin(0, "NOPE", 1.0, 1.0), lambda c: c.calc_profit(0, "", 1.0, 1.0, 2.0)])
def test_calc_unknown_symbol(hedge, call):
    assert call(hedge) == (-4, None)


@pytest.mark.parametrize("action, volume", [(8, 1.0), (0, -1.0), (0, float("inf"))])
def test_calc_invalid_arguments(hedge, action, volume):
    assert hedge.calc_margin(action, "EURUSD", volume, 1.1)[0] == -2


def test_account_figures_follow_prices_across_currencies(hedge, market):
    hedge.sell(symbol="USDJPY", volume=1.0)     # at bid 150.000
    hedge.buy(symbol="GER40", volume=1.0)       # at ask 18001.0
    market.tick("USDJPY", 149.000, 149.020)
    market.tick("GER40", 18101.0, 18102.0)
    market.tick("EURUSD", 1.2000, 1.2002)
    fig = hedge.engine.account_figures()
    jpy = 657.63    # closes at ask 149.020: 0.98 yen * 100 000 = 98 000 JPY / 149.02
    ger = 120.0     # closes at bid 18101: 100 EUR at the new EURUSD bid 1.2
    assert [p.profit for p in hedge.positions()] == [jpy, ger]
    margin = 1000.0 + 18102.0 / 100 * 1.2
    assert fig["margin"] == pytest.approx(margin, abs=0.01)
    assert fig["equity"] == pytest.approx(10000 + jpy + ger, abs=0.01)
    assert fig["margin_level"] == pytest.approx(fig["equity"] / fig["margin"] * 100, abs=0.01)


@pytest.mark.parametrize("margin_hedged, use_leg, expected", [
    (50000.0, False, 1100.05 * 0.4 * 0.5 + 0.6 * 1100.1),  # overlap 0.4 lot at half the contract
    (0.0, False, 0.6 * 1100.1),                       # overlap free
    (0.0, True, 1100.1),                              # larger leg only
])
def test_hedged_margin(hedge, market, margin_hedged, use_leg, expected):
    market.specs["EURUSD"].margin_hedged = margin_hedged
    market.specs["EURUSD"].margin_hedged_use_leg = use_leg
    hedge.buy(volume=1.0)
    hedge.sell(volume=0.4)
    assert hedge.engine.account_figures()["margin"] == pytest.approx(expected, abs=0.006)


def test_history_by_range_position_and_ticket(hedge, market):
    a = hedge.buy(volume=0.1)                   # at T0
    market.now = T0 + 5_000
    b = hedge.buy(volume=0.2)
    market.now = T0 + 10_999
    close_a = hedge.sell(volume=0.1, position=a.order)
    s = T0 // 1000
    assert [d.ticket for d in hedge.deals(s, s)] == [hedge.deals()[0].ticket, a.deal]
    assert [d.ticket for d in hedge.deals(s + 1, s + 9)] == [b.deal]
    assert [d.ticket for d in hedge.deals(s + 10, s + 10)] == [close_a.deal]
    assert hedge.history_deals_total(s + 1, s + 10) == 2
    assert [o.ticket for o in hedge.history_orders(s + 5, s + 20)] == [b.order, close_a.order]
    assert hedge.history_orders_total(s, s) == 1
    assert hedge.history_orders_total(s + 11, s + 99) == 0
    assert [d.ticket for d in hedge.deals(position=a.order)] == [a.deal, close_a.deal]
    assert [o.ticket for o in hedge.history_orders(position=a.order)] == [a.order, close_a.order]
    assert hedge.deals(position=999999) == [] and hedge.history_orders(position=999999) == []
    assert hedge.deal(close_a.deal).position_id == a.order
    # the pending order is active, so it is not history yet
    p = hedge.send(action=5, symbol="EURUSD", volume=0.1, type=2, price=1.05)
    assert hedge.history_order(p.order) is None and hedge.order(p.order).ticket == p.order


def test_lists_by_symbol(hedge, market):
    hedge.buy(volume=0.1)
    hedge.buy(symbol="GBPUSD", volume=0.1)
    assert [p.profit for p in hedge.positions()] == [-1.0, -2.0]
    market.tick("GBPUSD", 1.2510, 1.2512)
    assert [(p.price_current, p.profit) for p in hedge.positions()] == [(1.1, -1.0), (1.251, 8.0)]
    hedge.send(action=5, symbol="GBPUSD", volume=0.1, type=2, price=1.2)
    assert [p.symbol for p in hedge.positions()] == ["EURUSD", "GBPUSD"]
    assert [p.symbol for p in hedge.positions("GBPUSD")] == ["GBPUSD"]
    assert hedge.positions("USDJPY") == [] and hedge.orders("EURUSD") == []
    assert [o.symbol for o in hedge.orders("GBPUSD")] == ["GBPUSD"]
