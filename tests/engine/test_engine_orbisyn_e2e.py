"""Trading through the extension against a simulated Terminal with the engine inside.

The extension holds the GIL while it waits, so the Terminal runs as its own process
(the extension starts it through its launcher).
"""
import pytest

pytest.importorskip("orbisyn.simulator.serving.server")
import orbisyn  # noqa: E402
from orbisyn.simulator import install as sim_install  # noqa: E402
from support.simulated import needs  # noqa: E402

SYMBOL = "BTCUSD"  # trades every day
HEDGING, NETTING = sim_install.DEFAULT_ACCOUNTS[0], sim_install.DEFAULT_ACCOUNTS[1]


@pytest.fixture
def terminal(installed):
    """start(**settings) starts the Terminal with those settings and connects the module."""
    res = installed(delay_ms=0)

    def start(**settings_over):
        settings = sim_install.load_settings(res["data_dir"])
        settings.update(settings_over)
        sim_install.save_settings(res["data_dir"], settings)
        assert orbisyn.initialize(res["exe"], timeout=30000), orbisyn.last_error()

    return start


def market(**kw):
    req = dict(action=1, symbol=SYMBOL, volume=0.01, type=0)
    req.update(kw)
    return orbisyn.order_send(req)


@needs("initialize", "order_send", "positions_get", "history_deals_get")
def test_open_show_close_and_read_the_deals(terminal):
    terminal()
    opened = market(comment="e2e")
    assert opened.retcode == 10009, opened
    [pos] = orbisyn.positions_get(ticket=opened.order)
    assert (pos.symbol, pos.volume, pos.comment, pos.reason) == (SYMBOL, 0.01, "e2e", 3)
    closed = market(type=1, position=opened.order)
    assert closed.retcode == 10009 and closed.request_id == opened.request_id + 1
    assert orbisyn.positions_get() == ()
    deals = orbisyn.history_deals_get(position=opened.order)
    assert [(d.entry, d.order) for d in deals] == [(0, opened.order), (1, closed.order)]
    # the group mask is the extension's: the deposit deal has no symbol and drops out
    assert len(orbisyn.history_deals_get(0, 2**31 - 1, group="BTC*")) == 2
    assert len(orbisyn.history_deals_get(0, 2**31 - 1)) == 3
    assert orbisyn.history_orders_total(0, 2**31 - 1) == 2


@needs("initialize", "order_send", "history_deals_get", "account_info")
def test_balance_is_the_sum_of_the_deals(terminal):
    terminal()
    opened = market(volume=0.02)
    market(type=1, volume=0.01, position=opened.order)
    market(type=1, volume=0.01, position=opened.order)
    info = orbisyn.account_info()
    everything = orbisyn.history_deals_get(0, 2**31 - 1)
    assert info.balance == pytest.approx(sum(d.profit + d.swap + d.commission for d in everything))
    assert len(everything) == 4 and everything[0].type == 2  # the deposit comes first


@needs("initialize", "login", "order_send", "positions_get", "history_deals_get")
def test_netting_account_keeps_one_position(terminal):
    terminal()
    assert orbisyn.login(NETTING["login"], password=NETTING["password"], server=NETTING["server"])
    assert market(volume=0.02).retcode == 10009
    assert market(type=1, volume=0.01).retcode == 10009
    [pos] = orbisyn.positions_get(symbol=SYMBOL)
    assert (pos.type, pos.volume) == (0, 0.01)
    deals = orbisyn.history_deals_get(0, 2**31 - 1)
    assert [d.entry for d in deals] == [0, 0, 1]  # deposit, in, out


@needs("initialize", "order_send", "orders_get", "history_orders_get")
def test_pending_order_modify_and_remove(terminal):
    terminal()
    placed = orbisyn.order_send(action=5, symbol=SYMBOL, volume=0.01, type=2, price=1000.0,
                                type_filling=2)
    assert placed.retcode == 10008, placed
    [order] = orbisyn.orders_get(symbol=SYMBOL)
    assert (order.ticket, order.state) == (placed.order, 1)
    moved = orbisyn.order_send(action=7, order=placed.order, price=900.0)
    assert moved.retcode == 10009
    assert orbisyn.orders_get(ticket=placed.order)[0].price_open == 900.0
    assert orbisyn.order_send(action=8, order=placed.order).retcode == 10009
    assert orbisyn.orders_get() == ()
    assert orbisyn.history_orders_get(ticket=placed.order)[0].state == 2


@needs("initialize", "order_check", "order_send", "order_calc_margin", "order_calc_profit")
def test_check_calc_and_rejections(terminal):
    terminal()
    check = orbisyn.order_check(action=1, symbol=SYMBOL, volume=0.01, type=0)
    assert check.retcode == 0 and check.margin > 0 and check.balance == HEDGING["deposit"]
    assert orbisyn.order_calc_profit(0, "EURUSD", 1.0, 1.1, 1.105) == pytest.approx(500.0)
    assert orbisyn.order_calc_margin(0, "USDJPY", 1.0, 150.0) == pytest.approx(1000.0)
    assert orbisyn.order_calc_margin(0, "NOPE", 1.0, 1.0) is None
    assert orbisyn.last_error()[0] == -4
    assert market(volume=0.001).retcode == 10014
    assert market(symbol="NOPE").retcode == 10013
    assert market(volume=1000.0).retcode in (10014, 10019)


@needs("initialize", "order_send", "last_error")
def test_trading_disabled_in_the_settings(terminal):
    terminal(trade_api_allowed=False)
    assert market() is None
    assert orbisyn.last_error() == (-8, "Auto-Trading using Python API disabled in Terminal")
