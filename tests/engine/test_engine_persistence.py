"""Persistence: reopening, SIGKILL, two engines on one data folder, reset."""
import os
import signal
import subprocess
import sys
import textwrap

import pytest
from engine_market import HEDGING_LOGIN, NETTING_LOGIN, make_settings
from engine_client import Client

from orbisyn.simulator.engine import reset_account


def _state(c):
    return ([vars(p) for p in c.positions()], [vars(o) for o in c.orders()],
            [vars(d) for d in c.deals()], [vars(o) for o in c.history_orders()],
            c.engine.account_figures())


def test_reopened_engine_continues_where_it_stopped(open_engine, tmp_path, market):
    first = Client(open_engine())
    a = first.buy(volume=0.5, sl=1.09)
    first.send(action=5, symbol="EURUSD", volume=0.1, type=4, price=1.1050)
    market.tick("EURUSD", 1.1010, 1.1011)
    first.sell(volume=0.2, position=a.order)
    before = _state(first)
    first.engine.close()

    again = Client(open_engine())
    assert _state(again) == before
    more = again.buy(volume=0.1)
    assert more.order > max(d["ticket"] for d in before[2])
    assert more.request_id == 4  # three requests before the restart
    # the pending order saved before the restart still triggers
    market.tick("EURUSD", 1.1060, 1.1061)
    assert again.orders_total() == 0 and again.positions_total() == 3


def test_events_while_closed_are_replayed_at_their_tick_time(open_engine, market):
    c = Client(open_engine())
    r = c.send(action=5, symbol="EURUSD", volume=0.1, type=2, price=1.0950)
    c.engine.close()
    t = market.tick("EURUSD", 1.0949, 1.0950)
    market.advance(60_000)
    c = Client(open_engine())
    assert c.position(r.order).time_msc == t


CHILD = textwrap.dedent("""
    import sys
    sys.path[:0] = [{tests!r}, {tests!r} + "/.."]
    from engine_market import FakeMarket, make_settings
    from orbisyn.simulator.engine import TradingEngine
    from engine_client import Client
    c = Client(TradingEngine({data!r}, make_settings(), FakeMarket()))
    while True:
        r = c.buy(volume=0.01)
        assert r.retcode == 10009
        print(r.deal, r.order, flush=True)
""")


def test_sigkill_loses_no_acknowledged_trade(tmp_path, open_engine):
    tests = os.path.dirname(os.path.abspath(__file__))
    data = str(tmp_path / "killed")
    child = subprocess.Popen([sys.executable, "-c", CHILD.format(tests=tests, data=data)],
                             stdout=subprocess.PIPE, text=True)
    acked = []
    try:
        for line in child.stdout:
            acked.append(tuple(map(int, line.split())))
            if len(acked) == 40:
                child.send_signal(signal.SIGKILL)
                break
    finally:
        child.kill()
        child.wait()
    assert len(acked) == 40
    c = Client(open_engine(data_dir=data))
    positions = {p.ticket for p in c.positions()}
    deals = {d.ticket for d in c.deals()}
    assert all(order in positions and deal in deals for deal, order in acked)
    assert c.engine.account_figures()["margin"] > 0


def test_two_engines_on_one_folder_keep_one_account(open_engine, market):
    one = Client(open_engine())
    two = Client(open_engine())
    a = one.buy(volume=1.0)
    assert [p.ticket for p in two.positions()] == [a.order]
    market.tick("EURUSD", 1.1030, 1.1031)
    b = two.sell(volume=1.0, position=a.order)
    c = one.buy(volume=0.3)
    assert len({a.order, a.deal, b.order, b.deal, c.order, c.deal}) == 6
    assert one.positions_total() == two.positions_total() == 1
    for client in (one, two):
        fig = client.engine.account_figures()
        deals = client.deals()
        assert fig["balance"] == pytest.approx(
            sum(d.profit + d.commission + d.swap for d in deals)) == 10290.0


def test_accounts_are_separate(open_engine):
    eng = open_engine()
    c = Client(eng)
    c.buy(volume=0.1)
    eng.login(NETTING_LOGIN)
    assert c.positions_total() == 0 and len(c.deals()) == 1
    eng.login(HEDGING_LOGIN)
    assert c.positions_total() == 1
    with pytest.raises(KeyError):
        eng.login(1)


def test_reset_starts_an_account_afresh_under_a_running_engine(open_engine, tmp_path, market):
    eng = open_engine()
    c = Client(eng)
    c.buy(volume=0.1)
    c.send(action=5, symbol="EURUSD", volume=0.1, type=2, price=1.05)
    Client(eng).engine.login(NETTING_LOGIN)
    kept = c.buy(volume=0.1)
    eng.login(HEDGING_LOGIN)

    market.advance(1000)
    assert reset_account(str(tmp_path), make_settings(), HEDGING_LOGIN,
                         now_ms=market.now) == [HEDGING_LOGIN]
    assert c.positions_total() == 0 and c.orders_total() == 0
    [deposit] = c.deals()
    assert (deposit.type, deposit.profit, deposit.time_msc) == (2, 10000.0, market.now)
    assert eng.account_figures()["balance"] == 10000.0
    eng.login(NETTING_LOGIN)
    assert [p.ticket for p in c.positions()] == [kept.order]
    assert c.buy(volume=0.1).order > kept.order  # tickets are never reused
    with pytest.raises(KeyError):
        reset_account(str(tmp_path), make_settings(), 42)


def test_database_is_wal(open_engine, tmp_path):
    open_engine()
    import sqlite3
    db = sqlite3.connect(tmp_path / "trading.sqlite")
    assert db.execute("PRAGMA journal_mode").fetchone()[0] == "wal"
    db.close()
