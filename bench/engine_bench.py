"""Benchmark of the simulated Terminal's trading engine (engine side of the pipe).

  python bench/engine_bench.py [--sends N] [--positions N] [--static] [--e2e]

* order_send: a call of command 161 (through the engine's commands) for a market deal, including its durable
  SQLite commit (WAL, synchronous=FULL); median over alternating buy/sell on a
  netting account, so each send opens or closes a position.
* positions_get: command 121 with 10 000 open positions on a hedging account.

Uses the simulator's synthetic market when it is available (prices follow the
wall clock, so each request also replays the new ticks), else a static quote.

--e2e measures the same through the extension (orbisyn.order_send, positions_get)
against a simulated Terminal installed into a temporary folder.
"""
from __future__ import annotations

import argparse
import os
import statistics
import struct
import sys
import tempfile
import time
import types
from collections import namedtuple

HERE = os.path.dirname(os.path.abspath(__file__))
SRC = os.path.join(HERE, "..", "src")
sys.path.insert(0, SRC)
from orbisyn.simulator.commands import Registry  # noqa: E402
from orbisyn.simulator.engine import TradingEngine  # noqa: E402
from orbisyn.simulator.engine.commands import EngineCommands  # noqa: E402

REQ = struct.Struct("<IQQ64sdddddQIIIq64sQQ")


def commands_of(eng):
    commands = Registry()
    commands.add(EngineCommands(eng))
    return commands.call
Tick = namedtuple("Tick", "time_msc bid ask last volume flags")


def text(s: str) -> bytes:
    raw = s.encode("utf-16-le")
    return raw + b"\0" * (64 - len(raw))


def deal_request(symbol: str, volume: float, side: int, filling: int) -> bytes:
    return REQ.pack(1, 0, 0, text(symbol), volume, 0.0, 0.0, 0.0, 0.0, 10, side, filling, 0, 0,
                    text(""), 0, 0)


class StaticMarket:
    """One quote that never moves, for a figure without the price generator."""

    def __init__(self):
        self.sym = types.SimpleNamespace(
            name="EURUSD", digits=5, point=1e-5, trade_calc_mode=0, trade_contract_size=100000.0,
            trade_tick_value=1.0, trade_tick_size=1e-5, volume_min=0.01, volume_max=100.0,
            volume_step=0.01, volume_limit=0.0, currency_base="EUR", currency_profit="USD",
            currency_margin="EUR", trade_mode=4, trade_exemode=2, filling_mode=3,
            expiration_mode=15, order_mode=127, trade_stops_level=0, trade_freeze_level=0,
            margin_initial=0.0, margin_hedged=50000.0, margin_hedged_use_leg=False)

    def symbols(self):
        return [self.sym]

    def symbol(self, name):
        return self.sym if name == "EURUSD" else None

    def now_ms(self):
        return time.time_ns() // 1_000_000

    def tick_at(self, name, t):
        return Tick(t, 1.085, 1.0851, 0.0, 0, 6)

    def ticks_between(self, name, a, b):
        return []

    def is_trading(self, name, t):
        return True


def make_market(static: bool):
    if not static:
        try:
            from orbisyn.simulator.market.market import Market
            m = Market(seed=1)
            # pick a symbol that trades now (crypto trades at weekends too)
            now = m.now_ms()
            for name in ("EURUSD", "BTCUSD"):
                if m.symbol(name) is not None and m.is_trading(name, now):
                    return m, name, "synthetic market"
        except ImportError:
            pass
    return StaticMarket(), "EURUSD", "static quote"


def settings(margin_mode: int, deposit: float) -> dict:
    return {"trade_api_allowed": True, "accounts": [dict(
        login=1, password="x", server="Sim", name="Bench", company="Sim", currency="USD",
        leverage=500, deposit=deposit, margin_mode=margin_mode, margin_so_call=100.0,
        margin_so_so=50.0, otp=False)]}


def median_ms(samples):
    return statistics.median(samples) * 1e3


def run_e2e(args) -> None:
    import shutil
    import orbisyn as o
    from orbisyn.simulator import install
    base = tempfile.mkdtemp(prefix="oebench")
    run = tempfile.mkdtemp(prefix="oeb", dir="/tmp")
    os.chmod(run, 0o700)
    os.environ["XDG_DATA_HOME"] = os.path.join(base, "xdg")
    os.environ["XDG_RUNTIME_DIR"] = run
    res = install.install(os.path.join(base, "term"))
    s = install.load_settings(res["data_dir"])
    s["connect_delay_ms"] = 0
    for a in s["accounts"]:
        a["deposit"] = 1e12
    install.save_settings(res["data_dir"], s)
    try:
        assert o.initialize(res["exe"], timeout=30000), o.last_error()
        symbol = "BTCUSD"  # trades every day
        lat = []
        for i in range(args.positions):
            t = time.perf_counter()
            r = o.order_send(action=1, symbol=symbol, volume=0.01, type=i & 1)
            lat.append(time.perf_counter() - t)
            assert r is not None and r.retcode == 10009, (r, o.last_error())
        print(f"orbisyn.order_send round trip: median {median_ms(lat):.3f} ms over {len(lat)} sends")
        times = []
        for _ in range(20):
            t = time.perf_counter()
            got = o.positions_get()
            times.append(time.perf_counter() - t)
        assert len(got) == args.positions
        print(f"orbisyn.positions_get() with {len(got)} positions: median {median_ms(times):.3f} ms")
    finally:
        o.shutdown()
        try:
            from orbisyn import _paths
            lock = _paths.socket_path(res["exe"]) + ".lock"
            os.kill(int(open(lock).read().strip()), 15)  # the Terminal this run started
            time.sleep(0.5)
        except (OSError, ValueError):
            pass
        shutil.rmtree(base, ignore_errors=True)
        shutil.rmtree(run, ignore_errors=True)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--sends", type=int, default=2000)
    ap.add_argument("--positions", type=int, default=10_000)
    ap.add_argument("--static", action="store_true", help="use a fixed quote")
    ap.add_argument("--e2e", action="store_true", help="through the extension and a Terminal")
    args = ap.parse_args()
    if args.e2e:
        return run_e2e(args)

    market, symbol, kind = make_market(args.static)
    sym = market.symbol(symbol)
    filling = 0 if sym.filling_mode & 1 else 1
    vol = max(0.01, sym.volume_min)
    print(f"market: {kind}, symbol {symbol}")

    with tempfile.TemporaryDirectory() as d:
        eng = TradingEngine(os.path.join(d, "send"), settings(0, 1e9), market)
        call = commands_of(eng)
        reqs = [deal_request(symbol, vol, 0, filling), deal_request(symbol, vol, 1, filling)]
        times = []
        for i in range(args.sends):
            t = time.perf_counter()
            status, reply = call(161, reqs[i & 1])
            times.append(time.perf_counter() - t)
            code = struct.unpack_from("<I", reply)[0]
            assert status == 0 and code == 10009, (status, code)
        eng.close()
        times.sort()
        print(f"order_send round trip with durable commit: median {median_ms(times):.3f} ms, "
              f"p90 {times[int(len(times) * 0.9)] * 1e3:.3f} ms  (n={args.sends}, target <= 2 ms)")

        eng = TradingEngine(os.path.join(d, "many"), settings(2, 1e12), market)
        call = commands_of(eng)
        t0 = time.perf_counter()
        for i in range(args.positions):
            status, reply = call(161, reqs[i & 1])
            assert status == 0 and struct.unpack_from("<I", reply)[0] == 10009
        fill = time.perf_counter() - t0
        times = []
        size = 0
        for _ in range(30):
            t = time.perf_counter()
            status, reply = call(121, b"")
            times.append(time.perf_counter() - t)
            size = len(reply)
        assert status == 0 and struct.unpack_from("<I", reply)[0] == args.positions
        assert size == 4 + 320 * args.positions
        print(f"positions_get with {args.positions} open positions: median {median_ms(times):.3f} ms"
              f"  ({size / 1e6:.1f} MB reply, target <= 20 ms; opening them took {fill:.1f} s)")
        times = []
        for _ in range(30):
            t = time.perf_counter()
            call(120, b"")
            times.append(time.perf_counter() - t)
        print(f"positions_total with {args.positions} open positions: median {median_ms(times):.3f} ms")
        t = time.perf_counter()
        eng.close()
        eng = TradingEngine(os.path.join(d, "many"), settings(2, 1e12), market)
        commands_of(eng)(120, b"")
        print(f"reopening the engine with {args.positions} positions: {time.perf_counter() - t:.3f} s")
        eng.close()


if __name__ == "__main__":
    main()
