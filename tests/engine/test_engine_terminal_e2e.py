"""The engine inside a running simulated Terminal, driven over its socket.

The Terminal runs as its own process (started through its launcher); requests
are the documented byte frames.
"""
import os
import signal
import struct
import subprocess
import sys

import pytest
from engine_client import Client

pytest.importorskip("orbisyn._core")  # the Terminal's process imports the package
pytest.importorskip("orbisyn.simulator.serving.server")
from orbisyn import _paths  # noqa: E402

SYMBOL = "BTCUSD"  # trades every day, so the tests don't depend on the weekday


@pytest.fixture
def terminal(installed, start_sim):
    """(install paths, start): start() runs the Terminal, -> (process, raw client, engine client)."""
    res = installed(delay_ms=0)

    def start():
        sim = start_sim(res["exe"])
        raw = sim.client()
        return sim.proc, raw, Client(call=raw.call)

    return res, start


def account(raw):
    status, body = raw.call(190)
    assert status == 0 and len(body) == 851
    return dict(zip(("balance", "credit", "profit", "equity", "margin", "margin_free"),
                    struct.unpack_from("<6d", body, 35)))


def test_trade_through_the_terminal(terminal):
    res, start = terminal
    proc, raw, c = start()
    opened = c.buy(SYMBOL, volume=0.1)
    assert opened.retcode == 10009
    [pos] = c.positions()
    assert (pos.ticket, pos.symbol, pos.volume) == (opened.order, SYMBOL, 0.1)
    acct = account(raw)
    assert acct["margin"] > 0 and acct["equity"] == pytest.approx(
        acct["balance"] + acct["profit"], abs=0.01)
    assert c.sell(SYMBOL, volume=0.1, position=opened.order).retcode == 10009
    assert c.positions() == []
    assert [d.entry for d in c.deals()] == [0, 0, 1]
    assert account(raw)["balance"] == pytest.approx(sum(d.profit for d in c.deals()))


def test_sigkill_and_restart_keep_every_acknowledged_trade(terminal):
    res, start = terminal
    proc, raw, c = start()
    orders = [c.buy(SYMBOL, volume=0.01).order for _ in range(15)]
    os.kill(proc.pid, signal.SIGKILL)
    proc.wait()
    raw.close()
    proc, raw, c = start()
    assert sorted(p.ticket for p in c.positions()) == sorted(orders)


CLIENT = """
import sys
sys.path[:0] = [{tests!r}, {tests!r} + "/.."]
from engine_client import Client
from orbisyn.simulator.serving.client import RawClient
c = Client(call=RawClient({sock!r}).call)
for i in range(15):
    opened = c.buy({symbol!r}, volume=0.01)
    assert opened.retcode == 10009, opened
    assert c.sell({symbol!r}, volume=0.01, position=opened.order).retcode == 10009
"""


def test_two_clients_trading_at_once_keep_one_account(terminal):
    res, start = terminal
    proc, raw, c = start()
    code = CLIENT.format(tests=os.path.dirname(os.path.abspath(__file__)),
                         sock=_paths.socket_path(res["exe"]), symbol=SYMBOL)
    workers = [subprocess.Popen([sys.executable, "-c", code]) for _ in range(2)]
    assert [w.wait(120) for w in workers] == [0, 0]
    history = c.deals()
    assert len({d.ticket for d in history}) == len(history) == 61  # the deposit and 60 deals
    assert c.positions() == [] and any(d.profit for d in history[1:])
    assert account(raw)["balance"] == pytest.approx(
        sum(d.profit + d.swap + d.commission for d in history), abs=0.005)
