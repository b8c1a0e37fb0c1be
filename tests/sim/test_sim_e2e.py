"""End to end: the extension finds, starts and uses a simulated Terminal.

The extension holds the GIL while it waits on the socket, so the Terminal always
runs in its own process (started by the extension or by the fixtures).
"""
from __future__ import annotations

import datetime as dt
import os
import socket
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import orbisyn
from orbisyn import _paths
from orbisyn.simulator import install as sim_install

from support.simulated import needs

H1, M1, D1 = 16385, 1, 16408
T0 = int(dt.datetime(2024, 3, 12, 9, tzinfo=dt.timezone.utc).timestamp())  # a Tuesday


def server_pid(exe: str) -> int:
    return int(open(_paths.socket_path(exe) + ".lock").read())


@needs("initialize", "version")
@pytest.mark.parametrize("folder", ["terminal", "Tërminål ü 😀 'quoted'"])
def test_initialize_without_path_finds_starts_and_reuses(installed, folder):
    res = installed(folder)
    assert not os.path.exists(_paths.socket_path(res["exe"]))
    assert orbisyn.initialize(), orbisyn.last_error()
    first = server_pid(res["exe"])
    assert orbisyn.version()[:2] == (sim_install.VERSION, sim_install.DEFAULT_BUILD)
    assert orbisyn.initialize(), orbisyn.last_error()
    assert server_pid(res["exe"]) == first  # the running Terminal was reused
    assert orbisyn.shutdown()
    assert orbisyn.version() == (0, 0, "")


@needs("initialize", "login")
def test_login_success_and_failures(installed):
    installed()
    assert not orbisyn.initialize(login=5001001, password="wrong")
    assert orbisyn.last_error()[0] == -6
    assert not orbisyn.initialize(login=5009999, password="otp-pass")
    assert orbisyn.last_error() == (-7, "Unsupported authorization mode, OTP or certificate password needed")
    assert orbisyn.initialize(login=5001002, password="demo-pass", server="Orbisyn-Demo"), orbisyn.last_error()
    assert orbisyn.login(5001001, "demo-pass"), orbisyn.last_error()
    assert not orbisyn.login(5001001, "nope") and orbisyn.last_error()[0] == -6


@needs("initialize", "terminal_info", "account_info")
def test_terminal_and_account_info(installed):
    res = installed()
    assert orbisyn.initialize(login=5001002, password="demo-pass"), orbisyn.last_error()
    info = orbisyn.terminal_info()
    assert info.path == res["install_dir"] and info.data_path == res["data_dir"]
    assert info.build == sim_install.DEFAULT_BUILD and info.connected and info.trade_allowed
    acc = orbisyn.account_info()
    assert (acc.login, acc.currency, acc.margin_mode, acc.leverage) == (5001002, "USD", 0, 100)
    assert acc.balance == acc.equity == 10000.0 and acc.server == "Orbisyn-Demo"


@needs("initialize", "symbols_total", "symbols_get", "symbol_info", "symbol_info_tick", "symbol_select")
def test_symbol_functions(installed):
    installed()
    assert orbisyn.initialize(), orbisyn.last_error()
    total = orbisyn.symbols_total()
    everything = orbisyn.symbols_get()
    assert total >= 12 and len(everything) == total
    usd = orbisyn.symbols_get("*USD*,!*JPY*")
    assert {s.name for s in usd} == {s.name for s in everything if "USD" in s.name and "JPY" not in s.name}
    eur = orbisyn.symbol_info("EURUSD")
    tick = orbisyn.symbol_info_tick("EURUSD")
    assert eur.name == "EURUSD" and eur.digits == 5 and eur.currency_base == "EUR"
    assert tick.time_msc >= eur.time * 1000 and tick.ask > tick.bid > 0
    assert orbisyn.symbol_info("NOSUCH") is None and orbisyn.last_error()[0] == -4
    assert orbisyn.symbol_select("LTCUSD", True) and orbisyn.symbol_info("LTCUSD").select
    assert orbisyn.symbol_select("LTCUSD", False) and not orbisyn.symbol_info("LTCUSD").visible


@needs("initialize", "copy_rates_range", "copy_rates_from", "copy_rates_from_pos", "copy_ticks_range",
       "copy_ticks_from")
def test_market_data_is_consistent(installed):
    installed()
    assert orbisyn.initialize(), orbisyn.last_error()
    h1 = orbisyn.copy_rates_range("EURUSD", H1, T0, T0 + 6 * 3600)
    m1 = orbisyn.copy_rates_range("EURUSD", M1, T0, T0 + 6 * 3600 - 1)
    assert len(h1) == 7 and len(m1) == 360
    hour = (m1["time"] - T0) // 3600
    for i in range(6):
        part = m1[hour == i]
        assert h1["open"][i] == part["open"][0] and h1["close"][i] == part["close"][-1]
        assert h1["high"][i] == part["high"].max() and h1["low"][i] == part["low"].min()
        assert h1["tick_volume"][i] == part["tick_volume"].sum()
    assert np.all(h1["high"] >= np.maximum(h1["open"], h1["close"]))
    assert np.all(np.minimum(h1["open"], h1["close"]) >= h1["low"])
    ticks = orbisyn.copy_ticks_range("EURUSD", T0, T0 + 3600, -1)
    assert np.all(np.diff(ticks["time_msc"]) > 0)
    idx = (ticks["time"] - T0) // 60
    inside = ticks[idx < 60]
    bar = m1[(inside["time"] - T0) // 60]
    assert np.all((inside["bid"] >= bar["low"]) & (inside["bid"] <= bar["high"]))
    first = orbisyn.copy_ticks_from("EURUSD", T0, 100, -1)
    assert np.array_equal(first, ticks[:100])
    recent = orbisyn.copy_rates_from_pos("BTCUSD", M1, 0, 5000)
    assert len(recent) == 5000 and np.all(np.diff(recent["time"]) > 0)
    before = orbisyn.copy_rates_from("EURUSD", H1, T0 + 3 * 3600, 4)
    assert np.array_equal(before, h1[:4])


@needs("initialize", "copy_rates_range")
def test_same_seed_gives_the_same_data(installed):
    a = installed("a", seed=5)
    b = installed("b", seed=5)
    c = installed("c", seed=6)
    data = []
    for res in (a, b, c):
        assert orbisyn.initialize(res["exe"]), orbisyn.last_error()
        data.append(orbisyn.copy_rates_range("XAUUSD", M1, T0, T0 + 86400))
    assert data[0].tobytes() == data[1].tobytes()
    assert not np.array_equal(data[0]["close"], data[2]["close"])


@needs("initialize", "symbol_info", "symbols_total")
def test_legacy_build(installed):
    installed(build=2363)
    assert orbisyn.initialize(), orbisyn.last_error()
    info = orbisyn.symbol_info("GBPUSD")
    assert info is not None and info.name == "GBPUSD" and info.digits == 5
    assert orbisyn.symbols_total() is None and orbisyn.last_error()[0] == -5


@needs("initialize", "market_book_add", "market_book_get", "market_book_release")
def test_depth_of_market(installed):
    installed()
    assert orbisyn.initialize(), orbisyn.last_error()
    assert orbisyn.market_book_get("EURUSD") is None
    assert orbisyn.market_book_add("EURUSD")
    book = orbisyn.market_book_get("EURUSD")
    assert len(book) == 20 and [b.type for b in book] == [1] * 10 + [2] * 10
    prices = [b.price for b in book]
    assert prices == sorted(prices, reverse=True)
    assert orbisyn.market_book_release("EURUSD")
    assert not orbisyn.market_book_release("EURUSD")


@needs("initialize", "version")
def test_a_stale_socket_is_replaced(installed):
    res = installed()
    _paths.ensure_pipe_dir()
    stale = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    stale.bind(_paths.socket_path(res["exe"]))
    stale.close()
    assert orbisyn.initialize(res["exe"]), orbisyn.last_error()
    assert orbisyn.version()[0] == sim_install.VERSION


@needs("initialize", "copy_rates_from_pos", "version")
def test_two_client_processes_at_once(installed):
    res = installed()
    assert orbisyn.initialize(res["exe"]), orbisyn.last_error()
    script = textwrap.dedent("""
        import sys, orbisyn
        assert orbisyn.initialize(sys.argv[1]), orbisyn.last_error()
        for i in range(200):
            bars = orbisyn.copy_rates_from_pos(sys.argv[2], 1, i, 300)
            assert bars is not None and len(bars) == 300, orbisyn.last_error()
            assert orbisyn.version()[1] > 0, orbisyn.last_error()
        print("ok")
    """)
    procs = [subprocess.Popen([sys.executable, "-c", script, res["exe"], sym], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True) for sym in ("EURUSD", "BTCUSD")]
    outs = [p.communicate(timeout=120) for p in procs]
    assert [p.returncode for p in procs] == [0, 0], outs
    assert all(o[0].strip() == "ok" for o in outs)
