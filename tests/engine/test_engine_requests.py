"""Trade actions and their rejections, hedging and netting, through handle()."""
import struct

import pytest
from engine_market import make_settings
from engine_client import Client, request


def test_market_buy_fills_at_ask_and_is_recorded(hedge):
    first = hedge.buy(volume=1.0, magic=7, comment="hello")
    assert (first.retcode, first.price, first.volume) == (10009, 1.1001, 1.0)
    assert (first.bid, first.ask) == (1.1, 1.1001)
    second = hedge.sell(volume=0.5)
    assert second.price == 1.1 and second.request_id == first.request_id + 1

    pos = hedge.position(first.order)
    assert (pos.type, pos.volume, pos.price_open, pos.price_current) == (0, 1.0, 1.1001, 1.1)
    assert (pos.magic, pos.identifier, pos.reason, pos.comment) == (7, first.order, 3, "hello")
    assert pos.profit == -10.0  # one lot, 1 pip of spread, 10 USD a pip
    order = hedge.history_order(first.order)
    assert (order.state, order.type, order.position_id, order.reason) == (4, 0, first.order, 3)
    deal = hedge.deal(first.deal)
    assert (deal.order, deal.entry, deal.type, deal.position_id) == (first.order, 0, 0, first.order)
    assert deal.time_msc // 1000 == deal.time


def _reject_cases():
    return [
        (dict(symbol="NOPE"), None, 10013),
        (dict(volume=0.0), None, 10014),
        (dict(volume=0.005), None, 10014),
        (dict(volume=0.015), None, 10014),
        (dict(volume=101.0), None, 10014),
        (dict(volume=float("nan")), None, 10014),
        (dict(type=2), None, 10013),
        (dict(action=3), None, 10013),
        (dict(type_filling=1), ("filling_mode", 1), 10030),
        (dict(), ("trade_mode", 0), 10017),
        (dict(), ("trade_mode", 3), 10044),
        (dict(), ("trade_mode", 2), 10043),
        (dict(type=1), ("trade_mode", 1), 10042),
        (dict(price=1.1005, deviation=39), None, 10004),
        (dict(sl=1.1002), None, 10016),
        (dict(tp=1.0990), None, 10016),
        (dict(sl=1.0999), ("trade_stops_level", 11), 10016),
        (dict(volume=100.0), None, 10019),
    ]


@pytest.mark.parametrize("req, spec_change, retcode", _reject_cases())
def test_rejections_leave_no_trace(hedge, market, req, spec_change, retcode):
    if spec_change:
        setattr(market.specs["EURUSD"], *spec_change)
    full = dict(action=1, symbol="EURUSD", volume=0.1, type=0)
    full.update(req)
    assert hedge.check(**full).retcode == retcode
    result = hedge.send(**full)
    assert result.retcode == retcode and result.deal == 0 and result.order == 0
    assert result.comment
    assert hedge.positions_total() == 0 and hedge.orders_total() == 0
    assert len(hedge.deals()) == 1  # only the deposit


def test_requote_within_deviation_executes(hedge):
    assert hedge.buy(price=1.1005, deviation=40).retcode == 10009


def test_market_closed(hedge, market):
    market.closed.add("EURUSD")
    assert hedge.buy().retcode == 10018


def test_api_trading_disabled(open_engine):
    c = Client(open_engine(make_settings(trade_api_allowed=False)))
    assert c.raw(161, request(action=1, symbol="EURUSD", volume=0.1))[0] == -8
    assert c.check(action=1, symbol="EURUSD", volume=0.1).retcode == 0
    assert c.positions_total() == 0


def test_check_reports_figures_after_the_order(hedge):
    r = hedge.check(action=1, symbol="EURUSD", volume=1.0, type=0)
    # margin 100000 / 100 * ask 1.1001; equity loses the spread of 10 USD
    assert (r.retcode, r.balance, r.equity, r.margin) == (0, 10000.0, 9990.0, 1100.1)
    assert r.margin_free == pytest.approx(8889.9) and r.margin_level == pytest.approx(908.10, abs=0.005)
    assert hedge.positions_total() == 0


def test_hedging_partial_close_and_close_by(hedge, market):
    a = hedge.buy(volume=1.0)
    b = hedge.sell(volume=0.4)
    assert hedge.positions_total() == 2
    assert hedge.sell(volume=1.5, position=a.order).retcode == 10038
    assert hedge.buy(volume=0.1, position=a.order).retcode == 10013
    market.tick("EURUSD", 1.1020, 1.1021)
    part = hedge.sell(volume=0.5, position=a.order)
    assert part.retcode == 10009
    assert hedge.position(a.order).volume == 0.5
    assert hedge.deal(part.deal).entry == 1 and hedge.deal(part.deal).profit == 95.0

    by = hedge.send(action=10, position=a.order, position_by=b.order)
    assert by.retcode == 10009
    # 0.4 of the buy at 1.1001 closed at the sell's open 1.1000
    deals = [d for d in hedge.deals() if d.order == by.order]
    assert [d.entry for d in deals] == [3, 3]
    assert sum(d.profit for d in deals) == -4.0
    remaining = hedge.positions()
    assert [(p.ticket, round(p.volume, 8)) for p in remaining] == [(a.order, 0.1)]
    assert hedge.history_order(by.order).type == 8
    assert hedge.send(action=10, position=a.order, position_by=b.order).retcode == 10036


def test_netting_accumulates_reduces_and_reverses(net, market):
    first = net.buy(volume=1.0)
    market.tick("EURUSD", 1.1010, 1.1011)
    net.buy(volume=1.0)
    [pos] = net.positions()
    assert pos.ticket == first.order and pos.volume == 2.0
    assert pos.price_open == pytest.approx(1.1006)
    out = net.sell(volume=0.5)
    assert net.deal(out.deal).entry == 1
    assert net.deal(out.deal).profit == pytest.approx(20.0)  # 0.5 lot * 4 pips
    rev = net.sell(volume=2.0)
    deal = net.deal(rev.deal)
    assert deal.entry == 2 and deal.profit == pytest.approx(60.0)
    [pos] = net.positions()
    assert (pos.type, pos.volume, pos.identifier, pos.price_open) == (1, 0.5, first.order, 1.1010)
    assert net.send(action=10, position=pos.ticket, position_by=pos.ticket).retcode == 10013
    acct = net.engine.account_figures()
    assert acct["balance"] == 10080.0


def test_modify_position_stops(hedge, market):
    a = hedge.buy(volume=0.1)
    assert hedge.positions()[0].sl == 0.0
    ok = hedge.send(action=6, position=a.order, sl=1.0950, tp=1.1100)
    assert ok.retcode == 10009
    [p] = hedge.positions()
    assert (p.sl, p.tp) == (1.0950, 1.1100)
    assert hedge.send(action=6, position=a.order, sl=1.0950, tp=1.1100).retcode == 10025
    assert hedge.send(action=6, position=a.order, sl=1.1050).retcode == 10016
    assert hedge.send(action=6, position=a.order + 999, sl=1.09).retcode == 10036
    assert hedge.send(action=6, symbol="EURUSD", sl=1.09).retcode == 10013  # hedging needs a ticket
    market.specs["EURUSD"].trade_freeze_level = 600
    assert hedge.send(action=6, position=a.order, sl=1.0900).retcode == 10029


@pytest.mark.parametrize("otype, price, stoplimit, ok", [
    (2, 1.0990, 0.0, True), (2, 1.1005, 0.0, False),
    (3, 1.1010, 0.0, True), (3, 1.0995, 0.0, False),
    (4, 1.1010, 0.0, True), (4, 1.0990, 0.0, False),
    (5, 1.0990, 0.0, True), (5, 1.1010, 0.0, False),
    (6, 1.1010, 1.1005, True), (6, 1.1010, 1.1015, False),
    (7, 1.0990, 1.0995, True), (7, 1.0990, 1.0985, False),
])
def test_pending_price_rules(hedge, otype, price, stoplimit, ok):
    r = hedge.send(action=5, symbol="EURUSD", volume=0.1, type=otype, price=price,
                   stoplimit=stoplimit)
    assert r.retcode == (10008 if ok else 10015)
    assert hedge.orders_total() == (1 if ok else 0)


def test_pending_modify_and_remove(hedge, market):
    r = hedge.send(action=5, symbol="EURUSD", volume=0.2, type=2, price=1.0950, sl=1.0900,
                   magic=3, type_filling=2)
    o = hedge.order(r.order)
    assert (o.state, o.type, o.volume_initial, o.volume_current, o.price_current) == (1, 2, 0.2, 0.2, 1.1001)
    assert hedge.send(action=7, order=r.order, price=1.0960, sl=1.0910).retcode == 10009
    assert hedge.order(r.order).price_open == 1.0960
    assert hedge.send(action=7, order=r.order, price=1.0960, sl=1.0910).retcode == 10025
    assert hedge.send(action=7, order=r.order, price=1.1050).retcode == 10015
    assert hedge.send(action=8, order=r.order + 99).retcode == 10035
    assert hedge.send(action=8, order=r.order).retcode == 10009
    assert hedge.order(r.order) is None and hedge.orders_total() == 0
    done = hedge.history_order(r.order)
    assert done.state == 2 and done.time_done_msc == market.now
    assert hedge.send(action=8, order=r.order).retcode == 10035


@pytest.mark.parametrize("type_time, expiration, mode, ok", [
    (0, 0, 15, True), (1, 0, 15, True), (2, 0, 15, False), (2, 1_790_000_100, 15, True),
    (3, 1_790_000_000 - 86_400, 15, False), (3, 1_790_000_000, 15, True), (2, 1_790_000_100, 1, False),
    (7, 0, 15, False),
])
def test_pending_expiration_rules(hedge, market, type_time, expiration, mode, ok):
    market.specs["EURUSD"].expiration_mode = mode
    r = hedge.send(action=5, symbol="EURUSD", volume=0.1, type=2, price=1.09,
                   type_time=type_time, expiration=expiration)
    assert r.retcode == (10008 if ok else 10022)


@pytest.mark.parametrize("command, payload", [
    (160, b"\0" * 231), (161, b"\0" * 233), (122, struct.pack("<i", 5) + b"E\0"),
    (123, b"\0" * 7), (141, b"\0" * 12), (162, struct.pack("<Ii", 0, -1)),
    (120, b"x"),
])
def test_malformed_payload_is_refused(hedge, command, payload):
    assert hedge.raw(command, payload) == (-2, b"")


def test_unknown_tickets_and_commands(hedge):
    for command in (123, 133, 143, 153):
        assert hedge.raw(command, struct.pack("<Q", 424242)) == (-4, b"")
    assert hedge.raw(199, b"")[0] == -7
