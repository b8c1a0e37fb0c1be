"""The report's figures against a hand computation, and the curve it rests on."""
from __future__ import annotations

import csv
import datetime as dt
import math
import statistics as st

import pytest

from orbisyn.simulator.replay import report
from orbisyn.simulator.engine.model import Deal

H = 3_600_000
MON = int(dt.datetime(2024, 5, 6, tzinfo=dt.timezone.utc).timestamp()) * 1000
TUE, WED, THU, FRI = (MON + k * 24 * H for k in range(1, 5))


def deal(ticket, t, type_, entry, pos, volume, price, profit=0.0, commission=0.0, swap=0.0,
         symbol="EURUSD"):
    return Deal(ticket, 5001001, ticket, t, type_, entry, 0, pos, 3, volume, price, commission,
                swap, profit, 0.0, symbol, "")


# A week of a hedging account: (result of each deal = profit + commission + swap)
DEALS = [
    Deal(1, 5001001, 0, MON, 2, 0, 0, 0, 0, 0.0, 0.0, 0.0, 0.0, 10000.0, 0.0, "", "Deposit"),
    deal(2, MON + 10 * H, 0, 0, 1, 1.0, 1.1000, commission=-7),               # -7
    deal(3, MON + 14 * H, 1, 1, 1, 1.0, 1.1050, 500, -7),                     # +493
    deal(4, TUE + 9 * H, 1, 0, 2, 0.5, 2300.0, commission=-3, symbol="XAUUSD"),  # -3
    deal(5, TUE + 15 * H, 0, 1, 2, 0.5, 2304.94, -247, -3, -2, symbol="XAUUSD"),  # -252
    deal(6, WED + 11 * H, 0, 0, 3, 2.0, 1.0900, commission=-14),              # -14
    deal(7, WED + 12 * H, 1, 1, 3, 1.0, 1.0912, 120, -7),                     # +113
    deal(8, THU + 16 * H, 1, 1, 3, 1.0, 1.0894, -60, -7, -4),                 # -71
]

# (time, balance, equity): the balance after the deals up to then, the equity with the
# floating profit of what is open.
CURVE = [
    (MON, 10000, 10000), (MON + 12 * H, 9993, 10150), (MON + 13 * H, 9993, 9900),
    (MON + 14 * H, 10486, 10486), (TUE, 10486, 10486), (TUE + 12 * H, 10483, 10300),
    (TUE + 15 * H, 10231, 10231), (WED, 10231, 10231), (WED + 12 * H, 10330, 10400),
    (THU, 10330, 10250), (THU + 16 * H, 10259, 10259), (FRI, 10259, 10259),
    (FRI + 18 * H, 10259, 10259),
]


def test_the_figures_equal_a_hand_computation():
    curve = report.Curve(*map(list, zip(*CURVE)))
    got = report.statistics(DEALS, curve)
    # Closing deals: +493, -252, +113, -71; opening deals pay -7, -3, -14.
    assert got["trades"] == 4 and got["win_rate"] == 50.0
    assert got["gross_profit"] == 606.0 and got["gross_loss"] == -323.0
    assert got["net_profit"] == 606.0 - 323.0 - 24.0 == 259.0
    assert got["profit_factor"] == pytest.approx(606 / 323)
    assert got["largest_loss"] == -252.0 and got["deposit"] == 10000.0
    # Falls below the running peak: 10150 -> 9900 (250, 2.463 %), 10486 -> 10231 (255,
    # 2.432 %): the largest in money and the largest relative are different falls.
    assert got["max_drawdown"] == 255.0
    assert got["max_drawdown_pct"] == pytest.approx(250 / 10150 * 100)
    # Day closes (Monday to Friday, Friday's at the end): 10486, 10231, 10250, 10259, 10259.
    closes = [10000, 10486, 10231, 10250, 10259, 10259]
    rets = [b / a - 1 for a, b in zip(closes, closes[1:])]
    assert got["sharpe"] == pytest.approx(st.mean(rets) / st.stdev(rets) * math.sqrt(252))
    assert got["balance"] == got["equity"] == 10259


@pytest.mark.parametrize("points, sharpe", [
    ([(MON, 10000, 10000), (MON + 5 * H, 10000, 10100)], None),          # one return
    ([(MON, 10000, 10000), (WED, 10000, 10000)], None),                 # no change at all
    # Saturday and Sunday are no days of their own: the weekend counts into Monday.
    # Friday 10000 -> 10100; Monday closes at 10000 over Friday's 10100, not Sunday's 10300.
    ([(FRI, 1e4, 1e4), (FRI + 24 * H, 1e4, 10100), (FRI + 72 * H, 1e4, 10300),
      (FRI + 96 * H, 1e4, 10000)], (0.01 - 1 / 101) / 2 / st.stdev([0.01, -1 / 101]) * math.sqrt(252)),
])
def test_sharpe_is_only_there_with_two_differing_daily_returns(points, sharpe):
    curve = report.Curve(*map(list, zip(*points)))
    got = report.statistics([], curve)["sharpe"]
    assert got == (pytest.approx(sharpe) if sharpe is not None else None)


def test_no_loss_leaves_the_profit_factor_undefined():
    got = report.statistics(DEALS[:3], report.Curve([MON, TUE], [1e4, 10486], [1e4, 10486]))
    assert got["profit_factor"] is None and got["largest_loss"] == 0.0 and got["win_rate"] == 100.0


def test_the_curve_rebuilds_netting_positions_from_the_deals():
    t = [MON + k * H for k in range(6)]
    price = {t[0]: 1.1000, t[1]: 1.1020, t[2]: 1.1030, t[3]: 1.1015, t[4]: 1.1000, t[5]: 1.1000}

    def valuer(when, positions):
        p = price[max(k for k in price if k <= when)]
        return sum((p - o) * v * 1e5 * (1 if buy else -1) for _, buy, v, o in positions)

    deals = [
        Deal(1, 1, 0, t[0], 2, 0, 0, 0, 0, 0.0, 0.0, 0.0, 0.0, 10000.0, 0.0, "", ""),
        deal(2, t[0], 0, 0, 7, 1.0, 1.1000),
        deal(3, t[1], 0, 0, 7, 1.0, 1.1020),                 # adds: 2 lots at 1.1010
        deal(4, t[2], 1, 2, 7, 3.0, 1.1030, profit=400.0),   # reverses: sells 1 lot at 1.1030
        deal(5, t[4], 0, 1, 7, 1.0, 1.1000, profit=300.0),   # closes it
    ]
    curve = report.build_curve(deals, t[0], t[5], valuer, steps=10)
    at = dict(zip(curve.times, zip(curve.balance, curve.equity)))
    assert at[t[1]] == (10000, 10000 + 200)          # (1.1020 - 1.1010) * 2 lots
    assert at[t[2]] == (10400, 10400)                # the sell opens at the price
    assert at[t[3]] == (10400, 10400 + 150)          # (1.1030 - 1.1015) * 1 lot, sold
    assert at[t[5]] == (10700, 10700)
    assert len(curve.times) >= 10 and curve.times == sorted(curve.times)


def test_the_files_hold_every_deal_and_the_figures(tmp_path):
    curve = report.Curve(*map(list, zip(*CURVE)))
    out = report.write(str(tmp_path), DEALS, curve, "Replay", "account 5001001", "USD")
    rows = list(csv.DictReader(open(out["csv"], encoding="utf-8")))
    assert [int(r["ticket"]) for r in rows] == [d.ticket for d in DEALS]
    assert rows[-1]["balance"] == "10259.00" and rows[2]["entry"] == "out" and rows[0]["type"] == "balance"
    page = open(out["html"], encoding="utf-8").read()
    for figure in ("259.00", "1.88", "50.00 %", "-252.00", "255.00", "2.46 %"):
        assert f">{figure}</td>" in page, figure
    if "png" in out:  # with matplotlib: embedded, so the page stands alone
        assert open(out["png"], "rb").read(8) == b"\x89PNG\r\n\x1a\n"
        assert 'src="data:image/png;base64,' in page


def test_without_a_replay_the_paper_account_is_reported(sim_env, capsys):
    from orbisyn.simulator import cli
    from orbisyn.simulator import install as sim_install
    from orbisyn.simulator.engine import reset_account

    res = sim_install.install(str(sim_env / "t"))
    inst = ["--dir", str(sim_env / "t"), "--out", str(sim_env / "r")]
    assert cli.main(["report", *inst]) == 1          # no account yet: nothing to report
    assert "no paper account" in capsys.readouterr().err
    reset_account(res["data_dir"], sim_install.load_settings(res["data_dir"]))
    assert cli.main(["report", *inst]) == 0
    out = capsys.readouterr().out
    assert out.startswith("Paper account 5001001") and "Net profit" in out
    rows = list(csv.DictReader(open(sim_env / "r" / "deals.csv", encoding="utf-8")))
    assert [(r["type"], r["profit"]) for r in rows] == [("balance", "10000.00")]


@pytest.mark.parametrize("running, facts, heading", [
    # The Terminal still runs, its replay at its end: finished, not running.
    (True, dict(started_at=1.0, until_ms=MON + 2 * H), " (finished at 2024-05-06 02:00 UTC)"),
    (True, dict(started_at=None, until_ms=MON + 2 * H), " (running)"),
    (False, dict(started_at=1.0, until_ms=MON + 2 * H, ended_ms=MON + 2 * H), " (finished at 2024-05-06 02:00 UTC)"),
    (False, dict(started_at=1.0, until_ms=MON + 2 * H, ended_ms=MON + H), " (stopped at 2024-05-06 01:00 UTC)"),
    (False, dict(started_at=1.0, until_ms=None, ended_ms=MON + H), " (stopped at 2024-05-06 01:00 UTC)"),
])
def test_the_heading_says_how_the_replay_stands(sim_env, capsys, monkeypatch, running, facts, heading):
    import json
    import os

    from orbisyn.simulator import cli
    from orbisyn.simulator import install as sim_install
    from orbisyn.simulator.engine import reset_account
    from orbisyn.simulator.replay import folder

    res = sim_install.install(str(sim_env / "t"))
    reset_account(folder.begin(res["data_dir"]), sim_install.load_settings(res["data_dir"]), now_ms=MON)
    with open(os.path.join(folder.replay_dir(res["data_dir"]), folder.FACTS_FILE), "w") as f:
        json.dump(dict(facts, pid=4242, start_ms=MON, speed=3600.0), f)
    monkeypatch.setattr(cli, "running_pid", lambda *a: 4242 if running else None)
    assert cli.main(["report", "--dir", str(sim_env / "t"), "--out", str(sim_env / "r")]) == 0
    head = capsys.readouterr().out.splitlines()[0]
    assert head.startswith("Replay from 2024-05-06 00:00") and head.endswith(" UTC" + heading), head
