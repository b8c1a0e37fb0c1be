"""Replays of history through the extension, against a simulated Terminal in its own process."""
from __future__ import annotations

import csv
import datetime as dt
import json
import os
import subprocess
import sys
import time
from dataclasses import astuple

import numpy as np
import pytest

orbisyn = pytest.importorskip("orbisyn")
if not hasattr(orbisyn, "order_send"):
    pytest.skip("extension incomplete", allow_module_level=True)

from orbisyn.simulator import install as sim_install  # noqa: E402
from orbisyn.simulator.engine import reset_account  # noqa: E402
from orbisyn.simulator.engine.store import Store, connect  # noqa: E402
from orbisyn.simulator.market.market import Market  # noqa: E402

from support.simulated import stop_pid_from_lock  # noqa: E402

MONDAY = int(dt.datetime(2024, 5, 6, tzinfo=dt.timezone.utc).timestamp())
FAR = 4102444800   # 2100
SPEED = 600.0
SLACK_MS = 0.010 * SPEED * 1000   # 10 ms of wall time: two processes' clocks, read apart


def cli(*args: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-m", "orbisyn.simulator", *args], capture_output=True,
                          text=True, timeout=60, stdin=subprocess.DEVNULL)


class Replay:
    """A replay started with `orbisyn-terminal run --replay`, stopped at the end of the test."""

    def __init__(self, res: dict, *args: str):
        self.res = res
        out = cli("run", "--dir", os.path.dirname(res["exe"]), *args)
        assert out.returncode == 0, out.stderr
        # The clock waits for the first program that connects.
        assert self._facts()["started_at"] is None
        assert orbisyn.initialize(res["exe"], timeout=30000), orbisyn.last_error()
        self.facts = self._facts()
        assert self.facts["started_at"] is not None

    def _facts(self) -> dict:
        with open(os.path.join(self.res["data_dir"], "replay", "replay.json")) as f:
            return json.load(f)

    def present_ms(self) -> float:
        f = self.facts
        return f["start_ms"] + (time.time() - f["started_at"]) * f["speed"] * 1000

    def latest_present_ms(self) -> float:
        """The replay's present can be no later than this now (ms)."""
        return self.present_ms() + SLACK_MS

    def earliest_present_ms(self) -> float:
        return self.present_ms() - SLACK_MS

    def wait_tick(self, symbol: str, at_s: float, timeout: float = 60.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            tick = orbisyn.symbol_info_tick(symbol)
            if tick is not None and tick.time_msc >= at_s * 1000:
                return tick
            time.sleep(0.01)
        raise TimeoutError(f"no tick of {symbol} at {at_s} in time")

    def stop(self) -> None:
        orbisyn.shutdown()
        stop_pid_from_lock(self.res["exe"])


@pytest.fixture
def replays(sim_env):
    res = sim_install.install(str(sim_env / "t"), seed=11)
    settings = sim_install.load_settings(res["data_dir"])
    settings["connect_delay_ms"] = 0
    sim_install.save_settings(res["data_dir"], settings)
    started: list[Replay] = []

    def start(*args: str) -> Replay:
        r = Replay(res, *args)
        started.append(r)
        return r

    start.res = res
    yield start
    for r in started:
        r.stop()


def _bars_csv(path) -> None:
    """EURUSD from Monday 00:00: an hour flat at 1.10000, an hour at 1.10500, a bar that
    dips through 1.10400, half an hour at 1.10300; spread 10 points, 4 ticks a bar."""
    rows = [(1.10000,) * 4] * 60 + [(1.10500,) * 4] * 60 + [(1.10500, 1.10530, 1.10200, 1.10300)] \
        + [(1.10300,) * 4] * 30
    with open(path, "w") as f:
        for i, (o, h, l, c) in enumerate(rows):
            f.write(f"{MONDAY + 60 * i},{o:.5f},{h:.5f},{l:.5f},{c:.5f},4,10\n")


def _no_future(replay: Replay) -> None:
    """Every call that returns times returns none after the replay's present."""
    got = []
    for sym in ("EURUSD", "BTCUSD"):
        got.append([orbisyn.symbol_info_tick(sym).time_msc])
        got.append([orbisyn.symbol_info(sym).time * 1000])
        got.append(orbisyn.copy_ticks_from(sym, MONDAY, 1_000_000, -1)["time_msc"])
        got.append(orbisyn.copy_ticks_range(sym, MONDAY, FAR, -1)["time_msc"])
        for tf in (1, 16385, 16408):
            got.append(orbisyn.copy_rates_from(sym, tf, FAR, 100)["time"] * 1000)
            got.append(orbisyn.copy_rates_range(sym, tf, MONDAY, FAR)["time"] * 1000)
            got.append(orbisyn.copy_rates_from_pos(sym, tf, 0, 10)["time"] * 1000)
    got.append([d.time_msc for d in orbisyn.history_deals_get(0, FAR)])
    got.append([o.time_setup_msc for o in orbisyn.history_orders_get(0, FAR)])
    bound = replay.latest_present_ms()
    latest = max(int(np.max(g)) for g in got if len(g))
    assert latest <= bound, f"served {latest - bound:.0f} ms after the present"
    assert latest >= MONDAY * 1000


def test_a_replay_at_600x_trades_on_its_own_account(replays, sim_env):
    res = replays.res
    data = res["data_dir"]
    _bars_csv(sim_env / "bars.csv")
    assert cli("import-bars", "EURUSD", str(sim_env / "bars.csv"), "--dir", os.path.dirname(res["exe"])).returncode == 0
    settings = sim_install.load_settings(data)
    reset_account(data, settings)   # a paper account with its deposit, to stay untouched
    paper = Store(connect(data))
    paper_deals = [astuple(d) for d in paper.deals_between(5001001, 0, 1 << 62)]

    end = MONDAY + 2 * 3600 + 300
    replay = replays("--replay", "2024-05-06 00:00", "--speed", "600", "--until", str(end))
    # The present moves 600 s a second; the tick is the latest at or before it (they come
    # every 15 s here). Over a second of wall time it moves ten replay minutes.
    seen = []
    for _ in range(4):
        earliest = replay.earliest_present_ms()
        tick = orbisyn.symbol_info_tick("EURUSD")
        assert earliest - 15_000 <= tick.time_msc <= replay.latest_present_ms()
        seen.append(tick.time_msc)
        time.sleep(0.25)
    assert seen[-1] - seen[0] >= 0.75 * SPEED * 1000 - 15_000 - 2 * SLACK_MS
    _no_future(replay)

    opened = orbisyn.order_send(action=1, symbol="EURUSD", volume=1.0, type=0, type_filling=1)
    assert opened.retcode == 10009 and opened.price == 1.10010, opened   # the ask of the first hour
    assert orbisyn.account_info().balance == 10000.0    # the replay's own fresh deposit
    bought = opened_time(opened)
    replay.wait_tick("EURUSD", bought / 1000 + 3600)     # a replay hour later
    closed = orbisyn.order_send(action=1, symbol="EURUSD", volume=1.0, type=1, type_filling=1,
                                position=opened.order)
    assert closed.retcode == 10009 and closed.price == 1.10500
    [out] = [d for d in orbisyn.history_deals_get(position=opened.order) if d.entry == 1]
    assert out.profit == 490.0          # (1.10500 - 1.10010) * 100 000 * 1 lot
    assert 3600 * 1000 <= out.time_msc - bought <= 3600 * 1000 + 15_000 + 2 * SLACK_MS

    # A stop loss at 1.10400 under a buy at 1.10510: the 02:00 bar opens at 1.10500, ticks
    # 1.10530 at :15 (the high is nearer), 1.10200 at :30, so the stop fills there, at :30.
    with_sl = orbisyn.order_send(action=1, symbol="EURUSD", volume=0.1, type=0, type_filling=1, sl=1.10400)
    assert with_sl.retcode == 10009 and with_sl.price == 1.10510
    replay.wait_tick("EURUSD", MONDAY + 2 * 3600 + 60)
    _no_future(replay)
    assert orbisyn.positions_get() == ()
    [stop] = [d for d in orbisyn.history_deals_get(position=with_sl.order) if d.entry == 1]
    assert (stop.reason, stop.price, stop.time_msc) == (4, 1.10200, (MONDAY + 2 * 3600 + 30) * 1000)
    assert stop.profit == -31.0         # (1.10200 - 1.10510) * 100 000 * 0.1 lot

    replay.wait_tick("EURUSD", end)      # the last tick is at the end: the replay is over
    late = orbisyn.order_send(action=1, symbol="EURUSD", volume=0.1, type=0, type_filling=1)
    assert late.retcode == 10018
    again = cli("run", "--dir", os.path.dirname(res["exe"]), "--replay", "2024-05-07")
    assert again.returncode == 1 and "stop` it first to start a replay" in again.stderr
    status = cli("status", "--dir", os.path.dirname(res["exe"]))
    assert "replay       : from 2024-05-06 00:00:00 UTC until 2024-05-06 02:05:00 UTC at 600x" in status.stdout
    assert "present      : 2024-05-06 02:05:00 UTC: the replay is over" in status.stdout

    # The report of the replay, as worked out above.
    out_dir = sim_env / "report"
    rep = cli("report", "--out", str(out_dir), "--dir", os.path.dirname(res["exe"]))
    assert rep.returncode == 0, rep.stderr
    figures = dict(line.strip().rsplit(" : ", 1) for line in rep.stdout.splitlines() if " : " in line)
    figures = {k.strip(): v for k, v in figures.items()}
    assert figures["Net profit"] == "459.00" and figures["Trades (closing deals)"] == "2"
    assert figures["Largest loss"] == "-31.00" and figures["Profit factor"] == f"{490 / 31:.2f}"
    rows = list(csv.DictReader(open(out_dir / "deals.csv")))
    assert [r["reason"] for r in rows] == ["client", "program", "program", "program", "stop loss"]

    # The paper account saw none of it.
    assert [astuple(d) for d in paper.deals_between(5001001, 0, 1 << 62)] == paper_deals
    assert len(paper_deals) == 1
    paper.close()


def opened_time(result) -> int:
    [d] = [d for d in orbisyn.history_deals_get(position=result.order) if d.entry == 0]
    return d.time_msc


def _levels(start: int, hours: tuple[int, int]) -> list[dict]:
    """Stop orders that no price reaches in the first hours of the replay but one does later."""
    market = Market(seed=11, clock=lambda: (start + hours[1] * 3600) * 1000)
    orders = []
    for name in ("EURUSD", "XAUUSD", "BTCUSD"):
        digits = market.symbol(name).digits
        early = market.tick_array_between(name, start * 1000, (start + hours[0] * 3600) * 1000)
        whole = market.tick_array_between(name, start * 1000, (start + hours[1] * 3600) * 1000)
        width = float(early["ask"].max() - early["bid"].min())
        if whole["ask"].max() > early["ask"].max():
            level = round(float(early["ask"].max() + whole["ask"].max()) / 2, digits)
            orders.append(dict(symbol=name, type=4, price=level, sl=round(level - width, digits),
                               tp=round(level + width / 2, digits)))
        if whole["bid"].min() < early["bid"].min():
            level = round(float(early["bid"].min() + whole["bid"].min()) / 2, digits)
            orders.append(dict(symbol=name, type=5, price=level, sl=round(level + width, digits),
                               tp=round(level - width / 2, digits)))
    return orders


def test_two_replays_with_the_same_seed_and_script_give_identical_deals(replays):
    start = MONDAY + 9 * 3600
    orders = _levels(start, (2, 6))
    assert len(orders) >= 3
    runs = []
    for _ in range(2):
        replay = replays("--replay", str(start), "--speed", "3600", "--until", str(start + 6 * 3600))
        for o in orders:
            sent = orbisyn.order_send(action=5, volume=0.1, type_filling=2, **o)
            assert sent.retcode == 10008, (o, sent)
        assert orbisyn.symbol_info_tick("EURUSD").time_msc < (start + 2 * 3600) * 1000, \
            "orders placed too late to be sure that no price had reached them"
        replay.wait_tick("BTCUSD", start + 6 * 3600 - 10, timeout=30)
        runs.append([tuple(d) for d in orbisyn.history_deals_get(0, FAR)])
        replay.stop()
    assert runs[0] == runs[1]
    fills = [d for d in runs[0] if d[4] in (0, 1)]
    assert len(fills) >= 3 and all(start * 1000 < d[3] <= (start + 6 * 3600) * 1000 for d in fills)
