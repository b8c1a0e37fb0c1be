"""Price-driven events: pending activation, stop loss, take profit, expiration, stop-out."""
import pytest
from engine_market import HEDGING_LOGIN, NETTING_LOGIN, make_settings
from engine_client import Client
from engine_market import T0, FakeMarket


@pytest.mark.parametrize("otype, price, path, fill", [
    (2, 1.0990, [(1.0995, 1.0996), (1.0988, 1.0989)], 1.0989),   # buy limit: ask falls to it
    (3, 1.1010, [(1.1005, 1.1006), (1.1012, 1.1013)], 1.1012),   # sell limit: bid rises to it
    (4, 1.1010, [(1.1005, 1.1006), (1.1011, 1.1012)], 1.1012),   # buy stop: ask rises to it
    (5, 1.0990, [(1.0995, 1.0996), (1.0989, 1.0990)], 1.0989),   # sell stop: bid falls to it
])
def test_pending_order_fills_on_the_first_tick_through_its_price(hedge, market, otype, price, path, fill):
    r = hedge.send(action=5, symbol="EURUSD", volume=0.3, type=otype, price=price,
                   sl=0.0, tp=0.0, magic=11, comment="pend")
    assert r.retcode == 10008
    market.tick("EURUSD", *path[0])
    assert hedge.orders_total() == 1 and hedge.positions_total() == 0
    t_hit = market.tick("EURUSD", *path[1])
    market.tick("EURUSD", 1.1, 1.1001)
    [pos] = hedge.positions()
    assert (pos.ticket, pos.type, pos.volume, pos.price_open) == (r.order, otype % 2, 0.3, fill)
    assert (pos.time_msc, pos.magic, pos.comment) == (t_hit, 11, "pend")
    order = hedge.history_order(r.order)
    assert (order.state, order.time_done_msc, order.position_id, order.volume_current) == (4, t_hit, r.order, 0.0)
    assert hedge.orders_total() == 0


def test_stop_limit_becomes_a_limit_then_fills(hedge, market):
    r = hedge.send(action=5, symbol="EURUSD", volume=0.1, type=6, price=1.1010, stoplimit=1.1005)
    market.tick("EURUSD", 1.1010, 1.1011)  # stop reached: a buy limit at 1.1005 now rests
    assert hedge.positions_total() == 0
    assert (hedge.order(r.order).type, hedge.order(r.order).price_open) == (2, 1.1005)
    t = market.tick("EURUSD", 1.1003, 1.1004)
    [pos] = hedge.positions()
    assert pos.price_open == 1.1004 and pos.time_msc == t


@pytest.mark.parametrize("side, sl, tp, path, reason, price", [
    (0, 1.0990, 1.1020, [(1.0995, 1.0996), (1.0989, 1.0990)], 4, 1.0989),
    (0, 1.0990, 1.1020, [(1.1015, 1.1016), (1.1021, 1.1022)], 5, 1.1021),
    (1, 1.1010, 1.0980, [(1.1005, 1.1006), (1.1009, 1.1011)], 4, 1.1011),
    (1, 1.1010, 1.0980, [(1.0990, 1.0991), (1.0978, 1.0979)], 5, 1.0979),
])
def test_stop_loss_and_take_profit_close_at_the_tick(hedge, market, side, sl, tp, path, reason, price):
    r = hedge.send(action=1, symbol="EURUSD", volume=1.0, type=side, sl=sl, tp=tp)
    market.tick("EURUSD", *path[0])
    assert hedge.positions_total() == 1
    t = market.tick("EURUSD", *path[1])
    assert hedge.positions_total() == 0
    [opening, closing] = hedge.deals(position=r.order)
    assert (closing.entry, closing.reason, closing.price, closing.time_msc) == (1, reason, price, t)
    expected = round((price - r.price if side == 0 else r.price - price) * 100000, 2)
    assert closing.profit == pytest.approx(expected)
    closing_order = hedge.history_order(closing.order)
    assert (closing_order.reason, closing_order.type, closing_order.state) == (reason, 1 - side, 4)
    assert hedge.engine.account_figures()["balance"] == pytest.approx(10000 + expected)


def test_expiration_needs_no_tick(hedge, market):
    r = hedge.send(action=5, symbol="EURUSD", volume=0.1, type=2, price=1.09, type_time=2,
                   expiration=T0 // 1000 + 30)
    day = hedge.send(action=5, symbol="EURUSD", volume=0.1, type=2, price=1.09, type_time=1)
    market.advance(29_000)
    assert hedge.orders_total() == 2
    market.advance(2_000)
    assert [o.ticket for o in hedge.orders()] == [day.order]
    expired = hedge.history_order(r.order)
    assert (expired.state, expired.time_done_msc) == (6, T0 + 30_000)
    market.now = (T0 // 86_400_000 + 1) * 86_400_000
    assert hedge.orders_total() == 0 and hedge.history_order(day.order).state == 6


def test_activation_without_margin_rejects_the_order(hedge, market):
    r = hedge.send(action=5, symbol="EURUSD", volume=5.0, type=4, price=1.1010)
    assert hedge.buy(volume=5.0).retcode == 10009  # takes 5 500 of the 10 000
    market.tick("EURUSD", 1.1011, 1.1012)
    assert hedge.positions_total() == 1
    assert hedge.history_order(r.order).state == 5


# In percent, closing the loser lifts the level back; in money it leaves equity where it was.
@pytest.mark.parametrize("so_mode, so_level, small_survives", [(0, 50.0, True), (1, 2000.0, False)])
def test_stop_out_closes_the_worst_positions_first(open_engine, market, so_mode, so_level,
                                                   small_survives):
    settings = make_settings()
    settings["accounts"][0].update(margin_so_mode=so_mode, margin_so_so=so_level)
    hedge = Client(open_engine(settings))
    big = hedge.buy(volume=8.0)         # margin 8 * 1100.1 = 8800.8
    small = hedge.buy(symbol="BTCUSD", volume=0.01)
    # Equity falls 800 USD per 10 pips: 5 900 (67 %) at 1.0950, 1 100 (13 %) at 1.0890.
    market.tick("EURUSD", 1.0950, 1.0951)
    assert hedge.positions_total() == 2
    t = market.tick("EURUSD", 1.0890, 1.0891)
    assert [p.ticket for p in hedge.positions()] == ([small.order] if small_survives else [])
    closing = hedge.deals(position=big.order)[-1]
    assert (closing.reason, closing.time_msc, closing.price) == (6, t, 1.0890)
    assert closing.comment.startswith("[so ")
    fig = hedge.engine.account_figures()
    deals = hedge.deals()
    assert fig["balance"] == pytest.approx(sum(d.profit + d.commission + d.swap for d in deals))


def _script(market):
    for i in range(60):
        bid = 1.1 + 0.0004 * ((i * 7) % 11 - 5)
        market.tick("EURUSD", round(bid, 5), round(bid + 0.0001, 5), at=T0 + 1000 * (i + 1))


def _trade(c):
    c.send(action=5, symbol="EURUSD", volume=0.1, type=2, price=1.0990, sl=1.0985, tp=1.1012)
    c.send(action=5, symbol="EURUSD", volume=0.2, type=5, price=1.0985, tp=1.0981)
    c.send(action=1, symbol="EURUSD", volume=0.1, type=0, sl=1.0982, tp=1.1015)


@pytest.mark.parametrize("login", [HEDGING_LOGIN, NETTING_LOGIN])
def test_outcome_does_not_depend_on_when_requests_arrive(open_engine, tmp_path, login):
    outcomes = []
    for polling in (True, False):
        mk = FakeMarket()
        _script(mk)
        clock_end = mk.now
        mk.now = T0
        c = Client(open_engine(login=login, data_dir=tmp_path / str(polling), mk=mk))
        _trade(c)
        if polling:
            while mk.now < clock_end:
                mk.advance(250)
                c.positions()
        mk.now = clock_end
        outcomes.append([(d.ticket, d.time_msc, d.entry, d.reason, d.price, d.volume, d.profit)
                         for d in c.deals()])
    assert outcomes[0] == outcomes[1]
    assert any(d[1] > T0 for d in outcomes[0])  # the script does trigger events


@pytest.mark.parametrize("mode, long_rate, per_night", [
    (1, -4.5, -4.5),          # points: 4.5 * 0.00001 * 100 000
    (3, -2.0, -2.0),          # account money per lot
    (4, 3.6, 1.1001 * 100000 * 3.6 / 100 / 360),  # yearly interest on the current price
])
def test_swaps_accrue_at_rollover_and_are_booked_on_close(hedge, market, mode, long_rate, per_night):
    spec = market.specs["EURUSD"]
    spec.swap_mode, spec.swap_long = mode, long_rate
    market.tick("EURUSD", 1.1001, 1.1002)
    r = hedge.buy(volume=1.0)
    day = T0 // 86_400_000 * 86_400_000       # Monday 00:00
    market.now = day + 86_400_000 - 1
    assert hedge.position(r.order).swap == 0.0
    market.now = day + 3 * 86_400_000 + 5     # after Mon, Tue and the triple Wednesday
    nights = round(per_night, 2) * 5
    assert hedge.position(r.order).swap == pytest.approx(nights)
    market.now = day + 7 * 86_400_000 + 5     # Thursday, Friday; no weekend charge
    total = round(per_night, 2) * 7
    assert hedge.position(r.order).swap == pytest.approx(total)
    before = hedge.engine.account_figures()
    close = hedge.sell(volume=1.0, position=r.order)
    deal = hedge.deal(close.deal)
    assert deal.swap == pytest.approx(total)
    after = hedge.engine.account_figures()
    assert after["balance"] == pytest.approx(10000 + deal.profit + total)
    assert after["equity"] == pytest.approx(before["equity"], abs=0.01)
