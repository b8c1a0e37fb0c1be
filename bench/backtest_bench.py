"""Benchmark of backtests (not a test): the moving-average cross of docs/recipes/ma_cross.py.

(a) the strategy file stepped over a year of M5 bars in the simulated Terminal (`run
    --replay --until --stepped`, then the file as it is): wall time from `run` to the
    file's end, replay hours per wall second, bars seen; against (b) and against the
    link's floor, two small calls a bar timed in the same run;
(b) the same strategy in backtesting.py on the same year of bars, fetched from a simulated
    Terminal with copy_rates_range: wall time and trades (reference: fetching the bars);
(c) a sweep of 16 combinations (`orbisyn-terminal optimize`) on 1 local worker, on 2, and
    on a 2-worker Dask LocalCluster: wall times; the goal is 2 workers <= 0.6x 1 worker.
    Each run is a stepped replay.

    PYTHONPATH=src python bench/backtest_bench.py [--fast 10 --slow 30] [--skip-sweep]
"""
from __future__ import annotations

import argparse
import csv
import datetime as dt
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "src"))
STRATEGY = os.path.join(HERE, "..", "docs", "recipes", "ma_cross.py")

SYMBOL = "EURUSD"
YEAR = (dt.datetime(2024, 1, 1, tzinfo=dt.timezone.utc), dt.datetime(2025, 1, 1, tzinfo=dt.timezone.utc))
# The sweep: a day of M5 bars per run, 4 x 4 combinations.
SWEEP_SPAN = ("2024-05-07", "2024-05-08")
SWEEP_GRID = ["--param", "fast=3,5,8,12", "--param", "slow=20,30,45,60"]


def year_of_bars(res):
    import orbisyn
    from orbisyn.codes import Timeframe
    assert orbisyn.initialize(res["exe"], timeout=30000), orbisyn.last_error()
    try:
        t0 = time.perf_counter()
        rates = orbisyn.copy_rates_range(SYMBOL, Timeframe.M5, *YEAR)
        took = time.perf_counter() - t0
        assert rates is not None and len(rates), orbisyn.last_error()
        return rates, took
    finally:
        orbisyn.shutdown()


def stepped_year(res, fast: int, slow: int):
    """(a): the strategy file stepped over YEAR, from `run` to its end; (wall s, replay hours
    per wall s, bars seen, trades)."""
    import json
    inst = os.path.dirname(res["exe"])
    sim = [sys.executable, "-m", "orbisyn.simulator"]
    t0 = time.perf_counter()
    subprocess.run([*sim, "run", "--dir", inst, "--replay", f"{YEAR[0]:%Y-%m-%d}", "--until",
                    f"{YEAR[1]:%Y-%m-%d}", "--stepped"], check=True, capture_output=True)
    try:
        env = dict(os.environ, ORBISYN_PARAMS=json.dumps({"fast": fast, "slow": slow, "trace": 1}))
        got = subprocess.run([sys.executable, STRATEGY], env=env, capture_output=True, text=True)
        took = time.perf_counter() - t0
        if got.returncode != 0:
            raise RuntimeError(f"the strategy failed: {got.stderr[-2000:]}")
        import orbisyn
        assert orbisyn.initialize(res["exe"], timeout=30000), orbisyn.last_error()
        try:
            deals = orbisyn.history_deals_get(0, 4102444800) or ()
            trades = sum(1 for d in deals if d.entry == 1)
        finally:
            orbisyn.shutdown()
    finally:
        subprocess.run([*sim, "stop", "--dir", inst], capture_output=True)
    hours = (YEAR[1] - YEAR[0]).total_seconds() / 3600
    return took, hours / took, [int(t) for t in got.stdout.split()], trades


def two_calls_a_bar(res, bars: int, sample: int = 20000) -> float:
    """The link's floor: two small calls a bar (a tick and a one-bar copy, as a strategy's
    wait and look), timed over `sample` bars against a Terminal on the wall clock, scaled to
    `bars`."""
    import orbisyn
    from orbisyn.codes import Timeframe
    inst = os.path.dirname(res["exe"])
    sim = [sys.executable, "-m", "orbisyn.simulator"]
    subprocess.run([*sim, "run", "--dir", inst], check=True, capture_output=True)
    try:
        assert orbisyn.initialize(res["exe"], timeout=30000), orbisyn.last_error()
        tick, rates = orbisyn.symbol_info_tick, orbisyn.copy_rates_from_pos
        t0 = time.perf_counter()
        for _ in range(sample):
            tick(SYMBOL)
            rates(SYMBOL, Timeframe.M5, 0, 1)
        took = time.perf_counter() - t0
        orbisyn.shutdown()
    finally:
        subprocess.run([*sim, "stop", "--dir", inst], capture_output=True)
    return took * bars / sample


def backtesting_py(rates, fast: int, slow: int):
    """(b): (wall s, trades) of the same cross in backtesting.py."""
    import warnings

    from backtesting import Backtest, Strategy

    from orbisyn import frames
    data = frames.rates(rates, ohlcv=True)

    def sma(values, n):
        import pandas as pd
        return pd.Series(values).rolling(n).mean()

    class Cross(Strategy):
        def init(self):
            self.f = self.I(sma, self.data.Close, fast)
            self.s = self.I(sma, self.data.Close, slow)

        def next(self):
            above = self.f[-1] > self.s[-1]
            long = self.position.is_long
            if self.position and above == long:
                return
            self.position.close()
            (self.buy if above else self.sell)(size=10_000)   # 0.1 lot

    t0 = time.perf_counter()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        stats = Backtest(data, Cross, cash=10_000, margin=0.01, spread=0.0001,
                         finalize_trades=True).run()
    return time.perf_counter() - t0, int(stats["# Trades"]), len(data)


def sweep(base: str, where: list) -> float:
    out = tempfile.mkdtemp(prefix="sweep-out-", dir=base)
    t0 = time.perf_counter()
    got = subprocess.run([sys.executable, "-m", "orbisyn.simulator", "optimize", STRATEGY, "--replay",
                          SWEEP_SPAN[0], "--until", SWEEP_SPAN[1],
                          *SWEEP_GRID, "--out", out, *where], capture_output=True, text=True)
    took = time.perf_counter() - t0
    if got.returncode != 0:
        raise RuntimeError(f"the sweep {' '.join(where)} failed: {got.stderr[-2000:]}")
    with open(os.path.join(out, "results.csv"), newline="") as f:
        rows = list(csv.DictReader(f))
    failed = [r["error"] for r in rows if r["error"]]
    if len(rows) != 16 or failed:
        raise RuntimeError(f"the sweep {' '.join(where)}: {len(rows)} rows, failed: {failed[:2]}")
    return took


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--fast", type=int, default=10)
    ap.add_argument("--slow", type=int, default=30)
    ap.add_argument("--skip-sweep", action="store_true")
    a = ap.parse_args()
    base = tempfile.mkdtemp(prefix="orbbt", dir="/tmp")
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
        try:
            rates, fetch = year_of_bars(res)
        finally:
            subprocess.run([sys.executable, "-m", "orbisyn.simulator", "stop", "--dir",
                            os.path.dirname(res["exe"])], capture_output=True)
        print(f"{SYMBOL} M5 from {YEAR[0]:%Y-%m-%d} to {YEAR[1]:%Y-%m-%d}: {len(rates)} bars "
              f"(fetched in {fetch:.2f} s); fast {a.fast}, slow {a.slow}")

        wall, speed, seen_times, stepped_trades = stepped_year(res, a.fast, a.slow)
        # The bars that open before the replay's end: every one of them, in order.
        due = [int(t) for t in rates["time"] if t < YEAR[1].timestamp()]
        seen = len(seen_times)
        every = "every bar seen" if seen_times == due else "NOT every bar seen"
        floor = two_calls_a_bar(res, len(due))
        print(f"(a) stepped in the simulated Terminal: {wall:.1f} s wall (goal <= 30 s), "
              f"{speed:.0f} replay hours per wall second, {seen} of {len(due)} bars ({every}), "
              f"{stepped_trades} trades; the floor of two small calls a bar: {floor:.1f} s "
              f"({wall / floor:.1f}x of it)")
        bt, trades, bars = backtesting_py(rates, a.fast, a.slow)
        print(f"(b) backtesting.py: {bt:.2f} s, {trades} trades over {bars} bars; "
              f"(a)/(b) = {wall / bt:.1f}")
        print(f"FIGURE stepped_year_s {wall:.2f} s backtesting_year_s {bt:.3f}")
        print(f"FIGURE stepped_year_s {wall:.2f} s two_calls_a_bar_s {floor:.2f}")
        print(f"FIGURE stepped_bars_seen {seen} bars bars {len(due)}")
        print(f"FIGURE backtesting_year_s {bt:.3f} s fetch_year_of_bars_s {fetch:.3f}")
        print(f"FIGURE backtesting_trades {trades} trades bars {bars}")

        if not a.skip_sweep:
            one = sweep(base, ["--workers", "1"])
            two = sweep(base, ["--workers", "2"])
            try:
                from distributed import LocalCluster
            except ImportError:
                cluster_s = None
            else:
                with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster:
                    cluster_s = sweep(base, ["--dask", cluster.scheduler_address])
            print(f"(c) 16 stepped runs of a day of M5 bars: 1 worker {one:.1f} s, "
                  f"2 workers {two:.1f} s ({two / one:.2f}x; goal <= 0.6x)"
                  + ("" if cluster_s is None else f", 2-worker LocalCluster {cluster_s:.1f} s "
                                                   f"({cluster_s / one:.2f}x)"))
            print(f"FIGURE sweep16_2_workers_s {two:.2f} s sweep16_1_worker_s {one:.2f}")
            if cluster_s is not None:
                print(f"FIGURE sweep16_localcluster_s {cluster_s:.2f} s sweep16_1_worker_s {one:.2f}")
        return 0
    finally:
        shutil.rmtree(base, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
