"""The engine inside a running simulated Terminal, driven over its socket.

The Terminal runs as its own process (started through its launcher); requests
are the documented byte frames.
"""
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

import pytest
from engine_client import DEAL_FIELDS, POSITION_FIELDS, decode, request

pytest.importorskip("orbisyn._core")  # the Terminal's process imports the package
server = pytest.importorskip("orbisyn.simulator.server")
from orbisyn import _paths  # noqa: E402
from orbisyn.simulator import install as sim_install  # noqa: E402
from orbisyn.simulator.client import RawClient  # noqa: E402

SYMBOL = "BTCUSD"  # trades every day, so the tests don't depend on the weekday


@pytest.fixture
def terminal(tmp_path, monkeypatch):
    run = tempfile.mkdtemp(prefix="oeng", dir="/tmp")
    os.chmod(run, 0o700)
    monkeypatch.setenv("XDG_DATA_HOME", str(tmp_path / "xdg"))
    monkeypatch.setenv("XDG_RUNTIME_DIR", run)
    res = sim_install.install(str(tmp_path / "term"))
    settings = sim_install.load_settings(res["data_dir"])
    settings["connect_delay_ms"] = 0
    sim_install.save_settings(res["data_dir"], settings)
    procs = []

    def start():
        proc = subprocess.Popen([res["exe"]], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, start_new_session=True)
        procs.append(proc)
        sock = _paths.socket_path(res["exe"])
        deadline = time.monotonic() + 30
        while True:
            try:
                return proc, RawClient(sock)
            except OSError:
                assert proc.poll() is None and time.monotonic() < deadline
                time.sleep(0.05)

    yield res, start
    for proc in procs:
        if proc.poll() is None:
            proc.send_signal(signal.SIGTERM)
            try:
                proc.wait(10)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
    shutil.rmtree(run, ignore_errors=True)


def send(c, **req):
    status, body = c.call(161, request(**req))
    assert status == 0
    retcode, deal, order = struct.unpack_from("<IQQ", body)
    return retcode, deal, order


def positions(c):
    status, body = c.call(121)
    n = struct.unpack_from("<I", body)[0]
    return [decode(POSITION_FIELDS, body[4 + 320 * i:4 + 320 * (i + 1)]) for i in range(n)]


def deals(c):
    status, body = c.call(151, struct.pack("<qq", 0, 2**40))
    n = struct.unpack_from("<I", body)[0]
    return [decode(DEAL_FIELDS, body[4 + 300 * i:4 + 300 * (i + 1)]) for i in range(n)]


def account(c):
    status, body = c.call(190)
    assert status == 0 and len(body) == 851
    return dict(zip(("balance", "credit", "profit", "equity", "margin", "margin_free"),
                    struct.unpack_from("<6d", body, 35)))


def test_trade_through_the_terminal(terminal):
    res, start = terminal
    proc, c = start()
    retcode, deal, order = send(c, action=1, symbol=SYMBOL, volume=0.1, type=0)
    assert retcode == 10009
    [pos] = positions(c)
    assert (pos.ticket, pos.symbol, pos.volume) == (order, SYMBOL, 0.1)
    acct = account(c)
    assert acct["margin"] > 0 and acct["equity"] == pytest.approx(
        acct["balance"] + acct["profit"], abs=0.01)
    assert send(c, action=1, symbol=SYMBOL, volume=0.1, type=1, position=order)[0] == 10009
    assert positions(c) == []
    assert [d.entry for d in deals(c)] == [0, 0, 1]
    assert account(c)["balance"] == pytest.approx(sum(d.profit for d in deals(c)))


def test_sigkill_and_restart_keep_every_acknowledged_trade(terminal):
    res, start = terminal
    proc, c = start()
    orders = [send(c, action=1, symbol=SYMBOL, volume=0.01, type=0)[2] for _ in range(15)]
    os.kill(proc.pid, signal.SIGKILL)
    proc.wait()
    c.close()
    proc, c = start()
    assert sorted(p.ticket for p in positions(c)) == sorted(orders)


CLIENT = """
import struct, sys
sys.path[:0] = [{tests!r}]
from engine_client import request
from orbisyn.simulator.client import RawClient
c = RawClient({sock!r})
for i in range(15):
    status, body = c.call(161, request(action=1, symbol={symbol!r}, volume=0.01, type=0))
    retcode, deal, order = struct.unpack_from("<IQQ", body)
    assert status == 0 and retcode == 10009, retcode
    status, body = c.call(161, request(action=1, symbol={symbol!r}, volume=0.01, type=1,
                                       position=order))
    assert status == 0 and struct.unpack_from("<I", body)[0] == 10009
"""


def test_two_clients_trading_at_once_keep_one_account(terminal):
    res, start = terminal
    proc, c = start()
    code = CLIENT.format(tests=os.path.dirname(os.path.abspath(__file__)),
                         sock=_paths.socket_path(res["exe"]), symbol=SYMBOL)
    workers = [subprocess.Popen([sys.executable, "-c", code]) for _ in range(2)]
    assert [w.wait(120) for w in workers] == [0, 0]
    history = deals(c)
    assert len(history) == 61  # the deposit and 60 deals
    assert len({d.ticket for d in history}) == 61
    assert positions(c) == [] and any(d.profit for d in history[1:])
    acct = account(c)
    assert acct["balance"] == pytest.approx(
        sum(d.profit + d.swap + d.commission for d in history), abs=0.005)
