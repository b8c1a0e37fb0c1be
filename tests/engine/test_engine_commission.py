"""commission_per_lot: charged on every deal in and out, booked on the deal and the balance.

Figures by hand: EURUSD starts at 1.10000/1.10010, one lot is 100 000 EUR, so a pip is
10 USD a lot; the commission is 7 USD a lot.
"""
import pytest
from engine_client import Client
from engine_market import HEDGING_LOGIN, NETTING_LOGIN, make_settings


def with_commission(per_lot: float) -> dict:
    settings = make_settings()
    for acc in settings["accounts"]:
        acc["commission_per_lot"] = per_lot
    return settings


@pytest.fixture
def hedge7(open_engine):
    return Client(open_engine(with_commission(7.0), login=HEDGING_LOGIN))


@pytest.fixture
def net7(open_engine):
    return Client(open_engine(with_commission(7.0), login=NETTING_LOGIN))


def balance(c):
    return c.engine.account_figures()["balance"]


def test_hedging_every_deal_pays(hedge7, market):
    check = hedge7.check(action=1, symbol="EURUSD", volume=0.1, type=0)
    # After the buy: 0.70 paid, and 1 pip of spread (1.00) lost on the open position.
    assert (check.balance, check.equity) == (9999.30, 9998.30)
    assert balance(hedge7) == 10000.0  # a check charges nothing

    a = hedge7.buy(volume=0.1)
    assert hedge7.deal(a.deal).commission == -0.70
    assert balance(hedge7) == 9999.30
    market.tick("EURUSD", 1.10110, 1.10120)
    out = hedge7.sell(volume=0.1, position=a.order)
    deal = hedge7.deal(out.deal)
    assert (deal.entry, deal.profit, deal.commission) == (1, 10.0, -0.70)
    assert balance(hedge7) == 10008.60

    # Close-by: both deals pay for their 0.05 lot.
    b = hedge7.buy(volume=0.1)
    s = hedge7.sell(volume=0.05)
    by = hedge7.send(action=10, position=b.order, position_by=s.order)
    assert [d.commission for d in hedge7.deals() if d.order == by.order] == [-0.35, -0.35]
    # An exit by stop loss pays too.
    p = hedge7.buy(volume=0.2, sl=1.1000)
    market.tick("EURUSD", 1.09990, 1.10000)
    [sl_deal] = [d for d in hedge7.deals() if d.position_id == p.order and d.entry == 1]
    assert (sl_deal.reason, sl_deal.commission) == (4, -1.40)


def test_netting_reversal_pays_on_its_whole_volume(net7, market):
    net7.buy(volume=0.1)                  # in at 1.10010: -0.70
    rev = net7.sell(volume=0.3)           # out 0.1 at 1.10000 (-1.00), in 0.2: -2.10 on 0.3 lot
    deal = net7.deal(rev.deal)
    assert (deal.entry, deal.volume, deal.profit, deal.commission) == (2, 0.3, -1.0, -2.10)
    assert balance(net7) == pytest.approx(10000 - 0.70 - 1.00 - 2.10)
    [pos] = net7.positions()
    assert (pos.type, pos.volume) == (1, 0.2)
    market.tick("EURUSD", 1.09900, 1.09910)
    out = net7.buy(volume=0.2)            # out at 1.09910: +18.00 profit, -1.40
    assert (net7.deal(out.deal).profit, net7.deal(out.deal).commission) == (18.0, -1.40)
    assert balance(net7) == pytest.approx(10000 - 0.70 - 1.00 - 2.10 + 18.00 - 1.40)
    assert net7.positions_total() == 0


def test_no_money_counts_the_commission(open_engine):
    # 10 000 USD buys 9 lots on 1:100 margin; a commission of 1 000 a lot leaves nothing.
    c = Client(open_engine(with_commission(1000.0), login=HEDGING_LOGIN))
    assert c.buy(volume=9.0).retcode == 10019
    assert Client(open_engine(with_commission(0.0), login=NETTING_LOGIN)).buy(volume=9.0).retcode == 10009
