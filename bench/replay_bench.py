"""Benchmark of replays (not a test): how many replay hours a wall second gets through.

A strategy polls 5 symbols through the extension: every round it reads each symbol's new
ticks (copy_ticks_range from the last one it saw) and its current tick, and its positions.
The replay runs far faster than anything can follow (SPEED replay seconds a second) over
one trading week and then stops, so the wall time the strategy needs to have seen every
tick of the week is what the Terminal and the strategy sustain:

* polling: nothing open, the engine has nothing to follow;
* with positions: a position with far stops on each symbol, so the engine replays every
  tick of the 5 symbols at each request to watch the stops (and the rates behind them).

References in the same run: the market generating the same week's ticks of the 5 symbols in
this process (what any replay must at least do), and the engine alone following them for
the open positions (one request at the end of the week). The profile of the engine's part
says what limits it.

    PYTHONPATH=src python bench/replay_bench.py [--days 5] [--speed 1000000]
"""
from __future__ import annotations

import argparse
import cProfile
import datetime as dt
import io
import os
import pstats
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "src"))

SYMBOLS = ["EURUSD", "GBPUSD", "USDJPY", "XAUUSD", "BTCUSD"]
START = int(dt.datetime(2024, 5, 6, tzinfo=dt.timezone.utc).timestamp())   # a Monday


def open_positions(res) -> None:
    """A position with far stops on each symbol, at the replay's start: sent without the
    handshake that starts the replay's clock, so they open before it runs."""
    from orbisyn import _paths
    from orbisyn.simulator import protocol
    from orbisyn.simulator.serving.client import RawClient
    from orbisyn.simulator.market.market import Market
    market = Market(seed=1, clock=lambda: START * 1000)
    with RawClient(_paths.socket_path(res["exe"])) as c:
        for name in SYMBOLS:
            tick = market.tick_at(name, START * 1000)
            fok = market.symbol(name).filling_mode & 1
            req = protocol.TradeRequest(action=1, symbol=name, volume=0.01, type=0, type_filling=0 if fok else 1,
                                 sl=round(tick.bid * 0.5, 2), tp=round(tick.ask * 2.0, 2))
            status, body = c.call(protocol.Command.ORDER_SEND, req.pack())
            assert status == 0 and protocol.SEND_RESULT.unpack(body)[0] == 10009, name


def strategy(orbisyn, end_s: int) -> tuple[float, int]:
    """Poll until every tick up to the end was seen; (wall seconds, ticks seen)."""
    last = {name: START * 1000 for name in SYMBOLS}
    seen = 0
    t0 = time.perf_counter()
    while True:
        for name in SYMBOLS:
            ticks = orbisyn.copy_ticks_range(name, (last[name] + 1) / 1000, end_s + 1, -1)
            if ticks is not None and len(ticks):
                last[name] = int(ticks["time_msc"][-1])
                seen += len(ticks)
            orbisyn.symbol_info_tick(name)
        orbisyn.positions_get()
        # Over when the all-week symbol has ticked within 10 s of the end.
        if last["BTCUSD"] >= (end_s - 10) * 1000:
            return time.perf_counter() - t0, seen


def run_replay(res, speed: float, end_s: int, positions: bool) -> tuple[float, int]:
    import orbisyn
    out = subprocess.run([sys.executable, "-m", "orbisyn.simulator", "run", "--dir",
                          os.path.dirname(res["exe"]), "--replay", str(START), "--speed", str(speed),
                          "--until", str(end_s)], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    try:
        if positions:
            open_positions(res)
        assert orbisyn.initialize(res["exe"], timeout=30000), orbisyn.last_error()
        if positions:
            assert len(orbisyn.positions_get()) == len(SYMBOLS)
        return strategy(orbisyn, end_s)
    finally:
        orbisyn.shutdown()
        subprocess.run([sys.executable, "-m", "orbisyn.simulator", "stop", "--dir",
                        os.path.dirname(res["exe"])], capture_output=True)


def generation(end_s: int) -> float:
    from orbisyn.simulator.market.market import Market
    m = Market(seed=1, clock=lambda: end_s * 1000)
    t0 = time.perf_counter()
    for name in SYMBOLS:
        m.tick_array_between(name, START * 1000, end_s * 1000)
    return time.perf_counter() - t0


def engine_alone(end_s: int, folder: str, profile: bool = False) -> tuple[float, str]:
    """The engine following the days for 5 open positions in one request (and its profile)."""
    from orbisyn.simulator import protocol
    from orbisyn.simulator.market.clock import ReplayClock
    from orbisyn.simulator.commands import Registry
    from orbisyn.simulator.engine import TradingEngine
    from orbisyn.simulator.engine.commands import EngineCommands
    from orbisyn.simulator.install import default_settings
    from orbisyn.simulator.market.market import Market

    now = [0]
    clock = ReplayClock(START * 1000, 1.0, end_s * 1000, source=lambda: now[0])
    market = Market(seed=1, clock=clock)
    os.makedirs(folder, exist_ok=True)
    eng = TradingEngine(folder, default_settings(), market)
    commands = Registry()
    commands.add(EngineCommands(eng))
    clock.start()
    for name in SYMBOLS:
        tick = market.tick_at(name, clock())
        fok = market.symbol(name).filling_mode & 1
        req = protocol.TradeRequest(action=1, symbol=name, volume=0.01, type=0, type_filling=0 if fok else 1,
                             sl=round(tick.bid * 0.5, 2), tp=round(tick.ask * 2.0, 2))
        commands.call(protocol.Command.ORDER_SEND, req.pack())
    assert len(eng.acc.positions) == len(SYMBOLS)
    for name in SYMBOLS:   # the ticks generated once, as a running Terminal has them cached
        market.tick_array_between(name, START * 1000, end_s * 1000)
    now[0] = (end_s - START) * 10**9
    prof = cProfile.Profile() if profile else None
    t0 = time.perf_counter()
    if prof:
        prof.enable()
    eng.account_figures()
    if prof:
        prof.disable()
    took = time.perf_counter() - t0
    eng.close()
    text = io.StringIO()
    if prof:
        pstats.Stats(prof, stream=text).sort_stats("tottime").print_stats(6)
    return took, text.getvalue()


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--days", type=int, default=5)
    ap.add_argument("--speed", type=float, default=1_000_000.0)
    a = ap.parse_args()
    base = tempfile.mkdtemp(prefix="orb", dir="/tmp")
    os.environ["XDG_DATA_HOME"] = os.path.join(base, "data")
    os.environ["XDG_RUNTIME_DIR"] = os.path.join(base, "run")
    os.makedirs(os.environ["XDG_RUNTIME_DIR"], mode=0o700)
    try:
        import orbisyn
        if not hasattr(orbisyn, "order_send"):
            print("the extension is not built: nothing measured")
            return 0
        from orbisyn.simulator import install as sim_install
        res = sim_install.install(os.path.join(base, "inst"))
        settings = sim_install.load_settings(res["data_dir"])
        settings["connect_delay_ms"] = 0
        sim_install.save_settings(res["data_dir"], settings)
        end = START + a.days * 86400
        hours = a.days * 24

        gen = hours / min(generation(end) for _ in range(2))
        w, n_poll = run_replay(res, a.speed, end, positions=False)
        polling = hours / w
        w, n_held = run_replay(res, a.speed, end, positions=True)
        held = hours / w
        alone = hours / engine_alone(end, os.path.join(base, "engine"))[0]
        _, profile = engine_alone(START + 86400, os.path.join(base, "profiled"), profile=True)

        print(f"{a.days} days of {', '.join(SYMBOLS)} from {dt.date.fromtimestamp(START)}, "
              f"replayed at {a.speed:g}x ({n_poll} ticks seen), in replay hours per wall second:")
        print(f"  the market generating the ticks  : {gen:8.1f}")
        print(f"  strategy polling, nothing open   : {polling:8.1f}")
        print(f"  strategy polling, 5 positions    : {held:8.1f}")
        print(f"  the engine alone, 5 positions    : {alone:8.1f}")
        print("Where the engine's time goes (following a day for 5 positions, profiled):")
        src = os.path.join(HERE, "..", "src") + os.sep
        lines = [line.replace(src, "") for line in profile.strip().splitlines()]
        print("\n".join("  " + line for line in lines if "function calls" in line or line.strip()
                         and not line.strip().startswith(("Ordered", "List"))))
        print(f"FIGURE replay_hours_per_s_polling {polling:.2f} h/s market_generation {gen:.2f}")
        print(f"FIGURE replay_hours_per_s_positions {held:.2f} h/s polling_no_positions {polling:.2f}")
        print(f"FIGURE engine_hours_per_s_positions {alone:.2f} h/s market_generation {gen:.2f}")
        return 0
    finally:
        shutil.rmtree(base, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
