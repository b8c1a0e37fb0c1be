"""The Terminal server over its socket, with a raw protocol client."""
from __future__ import annotations

import os
import socket
import stat
import struct
import subprocess
import threading
import time

import numpy as np
import pytest

from orbisyn import _paths
from orbisyn.simulator import install as sim_install
from orbisyn.simulator import protocol
from orbisyn.simulator.serving.client import RawClient

from support.simulated import install_terminal

H1, M1 = 16385, 1


def wait_state(client: RawClient, wanted: int, timeout: float = 5.0) -> int:
    deadline = time.monotonic() + timeout
    while True:
        state = client.state()
        if state == wanted or time.monotonic() > deadline:
            return state
        time.sleep(0.02)


def test_session_commands(shared_sim):
    res, proc = shared_sim
    with proc.client() as c:
        assert c.handshake() == sim_install.DEFAULT_BUILD
        version, build, date = c.version()
        assert (version, build) == (sim_install.VERSION, sim_install.DEFAULT_BUILD) and date
        assert wait_state(c, 2) == 2
        # Unknown and trading commands without an engine: unsupported.
        assert c.call(999)[0] == protocol.E_UNSUPPORTED
        assert c.call(protocol.Command.SYMBOL_INFO, protocol.pack_text("NOSUCH"))[0] == protocol.E_NOT_FOUND
        # A payload that doesn't hold what the command needs is refused, the link stays.
        assert c.call(protocol.Command.COPY_RATES_FROM_POS, protocol.pack_text("EURUSD"))[0] == protocol.E_PARAMS
        assert c.call(protocol.Command.COPY_RATES_FROM_POS, protocol.pack_text("EURUSD") + struct.pack("<iii", 7777, 0, 5))[0] == protocol.E_PARAMS
        assert c.version()[0] == sim_install.VERSION


@pytest.mark.parametrize("head", [struct.pack("<I", 3), struct.pack("<I", protocol.MAX_REQUEST + 1)])
def test_malformed_length_closes_only_that_client(shared_sim, head):
    _, proc = shared_sim
    with proc.client() as bad, proc.client() as good:
        bad.send_raw(head + b"\0" * 8)
        with pytest.raises(ConnectionError):
            bad.read_reply()
        assert good.version()[0] == sim_install.VERSION


def test_login_states(sim_env, start_sim):
    res = install_terminal(sim_env, delay_ms=1500)  # long enough to see "connecting" on a busy machine
    proc = start_sim(res["exe"])
    with proc.client() as c:
        assert c.state() == 1  # connecting right after start
        assert wait_state(c, 2) == 2
        assert c.login(5001001, "wrong") == 0
        assert c.state() == 3
        assert c.call(protocol.Command.ACCOUNT_INFO)[0] == protocol.E_AUTH
        assert c.login(5009999, "otp-pass") == protocol.E_UNSUPPORTED
        assert c.login(5001002, "demo-pass", "Orbisyn-Demo") == 0
        assert c.state() == 1
        assert wait_state(c, 2) == 2
        status, body = c.call(protocol.Command.ACCOUNT_INFO)
        acc = protocol.ACCOUNT_LAYOUT.unpack(body)
        assert (acc["login"], acc["margin_mode"], acc["balance"], acc["equity"]) == (5001002, 0, 10000.0, 10000.0)
        assert c.login(5001001, "demo-pass", "Other-Server") == 0 and c.state() == 3
    # The last good login is remembered for the next start.
    assert sim_install.load_settings(res["data_dir"])["current_login"] == 5001002


def test_terminal_and_symbol_records(shared_sim):
    res, proc = shared_sim
    with proc.client() as c:
        status, body = c.call(protocol.Command.TERMINAL_INFO)
        term = protocol.TERMINAL_LAYOUT.unpack(body)
        assert term["path"] == res["install_dir"] and term["data_path"] == res["data_dir"]
        assert term["trade_allowed"] and not term["tradeapi_disabled"]
        status, body = c.call(protocol.Command.SYMBOLS_TOTAL)
        total = struct.unpack("<I", body)[0]
        assert total >= 12
        status, body = c.call(protocol.Command.SYMBOLS_GET)
        assert len(body) == 4 + total * 2993
        records = [protocol.SYMBOL_LAYOUT.unpack(body[4 + i * 2993: 4 + (i + 1) * 2993]) for i in range(total)]
        categories = {r["category"] for r in records}
        assert {"Forex", "Metals", "Indices", "Crypto"} <= categories
        for r in records:
            assert r["point"] == pytest.approx(10.0 ** -r["digits"])
            assert r["ask"] > r["bid"] > 0 and r["spread"] == round((r["ask"] - r["bid"]) / r["point"])
            assert r["bidlow"] <= r["bid"] <= r["bidhigh"]
            assert 0 < r["volume_min"] <= r["volume_max"] and r["volume_step"] > 0
            assert r["trade_tick_value"] > 0 and r["trade_tick_size"] == r["point"]
            assert r["path"].endswith(r["name"]) and r["description"] and r["currency_profit"]
        tick_status, tick = c.call(protocol.Command.SYMBOL_INFO_TICK, protocol.pack_text("USDJPY"))
        assert tick_status == 0 and len(tick) == 60
        t = np.frombuffer(tick, protocol.TICK_DTYPE)[0]
        usdjpy = next(r for r in records if r["name"] == "USDJPY")
        # Tick value in the account currency (USD) for a JPY-profit symbol.
        assert usdjpy["trade_tick_value"] == pytest.approx(100.0 / t["bid"], rel=0.01)
        status, body = c.call(protocol.Command.SYMBOLS_GET_BY_GROUP, protocol.pack_text("*USD*,!XAU*,!BTC*"))
        names = [protocol.SYMBOL_LAYOUT.unpack(body[4 + i * 2993: 4 + (i + 1) * 2993])["name"]
                 for i in range(struct.unpack_from("<I", body)[0])]
        assert "EURUSD" in names and "XAUUSD" not in names and "BTCUSD" not in names
        assert "EURJPY" not in names


def test_symbol_select_persists(sim_env, start_sim):
    res = install_terminal(sim_env)
    proc = start_sim(res["exe"])
    with proc.client() as c:
        assert c.call(protocol.Command.SYMBOL_SELECT, protocol.pack_text("LTCUSD") + b"\x01")[0] == 0
        assert c.call(protocol.Command.SYMBOL_SELECT, protocol.pack_text("EURUSD") + b"\x00")[0] == 0
        assert c.call(protocol.Command.SYMBOL_SELECT, protocol.pack_text("NOPE") + b"\x01")[0] == protocol.E_NOT_FOUND
        rec = protocol.SYMBOL_LAYOUT.unpack(c.call(protocol.Command.SYMBOL_INFO, protocol.pack_text("LTCUSD"))[1])
        assert rec["select"] and rec["visible"]
    proc.stop()
    selected = sim_install.load_settings(res["data_dir"])["symbols"]["selected"]
    assert "LTCUSD" in selected and "EURUSD" not in selected


def test_bars_and_ticks_over_the_socket(shared_sim):
    _, proc = shared_sim
    with proc.client() as c:
        st, h1 = c.rates_from_pos("EURUSD", H1, 1, 24)
        assert st == 0 and len(h1) == 24
        st, m1 = c.rates_range("EURUSD", M1, int(h1["time"][-1]), int(h1["time"][-1]) + 3599)
        assert len(m1) >= 1 and m1["high"].max() == h1["high"][-1] and m1["low"].min() == h1["low"][-1]
        assert m1["tick_volume"].sum() == h1["tick_volume"][-1]
        st, frm = c.rates_from("EURUSD", H1, int(h1["time"][10]), 5)
        assert np.array_equal(frm, h1[6:11])
        st, ticks = c.ticks_range("EURUSD", int(m1["time"][0]) * 1000, (int(m1["time"][-1]) + 59) * 1000)
        assert len(ticks) == m1["tick_volume"].sum()
        st, some = c.ticks_from("EURUSD", int(m1["time"][0]) * 1000, 7)
        assert np.array_equal(some, ticks[:7])
        assert c.ticks_from("EURUSD", int(m1["time"][0]) * 1000, 7, flags=2)[1].size == 0
        assert c.ticks_from("EURUSD", 0, -1)[0] == protocol.E_PARAMS
        assert c.rates_from_pos("NOPE", H1, 0, 1)[0] == protocol.E_NOT_FOUND
        assert c.rates_from_pos("EURUSD", H1, 0, 0)[1].size == 0


def test_depth_of_market_is_per_connection(shared_sim):
    _, proc = shared_sim
    with proc.client() as a, proc.client() as b:
        assert a.call(protocol.Command.MARKET_BOOK_GET, protocol.pack_text("XAUUSD"))[0] == protocol.E_NOT_FOUND
        assert a.call(protocol.Command.MARKET_BOOK_ADD, protocol.pack_text("XAUUSD"))[0] == 0
        st, body = a.call(protocol.Command.MARKET_BOOK_GET, protocol.pack_text("XAUUSD"))
        book = np.frombuffer(body, protocol.BOOK_DTYPE, offset=4)
        assert struct.unpack_from("<I", body)[0] == 20 == len(book)
        assert list(book["type"]) == [1] * 10 + [2] * 10
        assert b.call(protocol.Command.MARKET_BOOK_GET, protocol.pack_text("XAUUSD"))[0] == protocol.E_NOT_FOUND
        assert a.call(protocol.Command.MARKET_BOOK_RELEASE, protocol.pack_text("XAUUSD"))[0] == 0
        assert a.call(protocol.Command.MARKET_BOOK_RELEASE, protocol.pack_text("XAUUSD"))[0] == protocol.E_NOT_FOUND
        assert a.call(protocol.Command.MARKET_BOOK_GET, protocol.pack_text("XAUUSD"))[0] == protocol.E_NOT_FOUND


def test_two_clients_at_once_get_their_own_replies_in_order(shared_sim):
    _, proc = shared_sim
    errors = []

    def work(symbol):
        try:
            with proc.client() as c:
                for i in range(40):
                    st, bars = c.rates_from_pos(symbol, M1, i, 500)
                    assert st == 0 and len(bars) == 500
                    st, body = c.call(protocol.Command.SYMBOL_INFO, protocol.pack_text(symbol))
                    assert protocol.SYMBOL_LAYOUT.unpack(body)["name"] == symbol
        except Exception as exc:  # pragma: no cover - reported below
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(s,)) for s in ("EURUSD", "BTCUSD", "XAGUSD")]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert not errors


def test_legacy_build_sends_the_short_symbol_record(sim_env, start_sim):
    res = install_terminal(sim_env, build=2363)
    proc = start_sim(res["exe"])
    with proc.client() as c:
        assert c.handshake() == 2363
        st, body = c.call(protocol.Command.SYMBOL_INFO, protocol.pack_text("EURUSD"))
        assert st == 0 and len(body) == 2929
        assert protocol.SYMBOL_LAYOUT.unpack(body + b"\0" * 64)["description"] == "Euro vs US Dollar"
        for cmd in (protocol.Command.SYMBOLS_TOTAL, protocol.Command.SYMBOLS_GET):
            assert c.call(cmd)[0] == protocol.E_UNSUPPORTED


def test_socket_life_cycle(sim_env, start_sim):
    res = install_terminal(sim_env)
    sock_path = _paths.socket_path(res["exe"])
    # A stale socket left by a killed Terminal is replaced.
    stale = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    stale.bind(sock_path)
    stale.close()
    first = start_sim(res["exe"])
    assert stat.S_IMODE(os.stat(sock_path).st_mode) == 0o600
    with first.client() as c:
        assert c.version()[0] == sim_install.VERSION
    # A second start refuses and leaves the first one serving.
    second = start_sim(res["exe"], wait=False)
    assert second.proc.wait(30) == 3
    with first.client() as c:
        assert c.version()[0] == sim_install.VERSION
    # SIGTERM removes the socket.
    assert first.stop() == 0
    assert not os.path.exists(sock_path)


def test_portable_argument_is_accepted(sim_env, start_sim):
    res = install_terminal(sim_env, portable=True)
    proc = start_sim(res["exe"], "/portable")
    with proc.client() as c:
        assert c.handshake() == sim_install.DEFAULT_BUILD
    log = open(os.path.join(res["data_dir"], "logs", "simulator.log")).read()
    assert "/portable" in log


def test_started_by_a_relative_path_from_another_folder(sim_env):
    res = install_terminal(sim_env)
    parent = os.path.dirname(res["install_dir"])
    proc = subprocess.Popen([os.path.join(".", os.path.basename(res["install_dir"]), "terminal64.exe")],
                            cwd=parent, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, start_new_session=True)
    try:
        deadline = time.monotonic() + 30
        while True:
            try:
                with RawClient(_paths.socket_path(res["exe"])) as c:
                    assert c.handshake() == sim_install.DEFAULT_BUILD
                break
            except OSError:
                assert time.monotonic() < deadline and proc.poll() is None
                time.sleep(0.05)
        # The server left the caller's folder.
        assert os.readlink(f"/proc/{proc.pid}/cwd") == "/"
    finally:
        proc.terminate()
        proc.wait(10)


def test_broken_settings_are_reported_in_the_log(sim_env, start_sim):
    res = install_terminal(sim_env)
    with open(sim_install.settings_path(res["data_dir"]), "w") as f:
        f.write("{ not json")
    proc = start_sim(res["exe"], wait=False)
    assert proc.proc.wait(30) != 0
    log = open(os.path.join(res["data_dir"], "logs", "simulator.log")).read()
    assert "cannot start" in log and "JSONDecodeError" in log
    assert not os.path.exists(_paths.socket_path(res["exe"]))
