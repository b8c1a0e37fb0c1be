"""orbisyn-terminal: install layout, run/status/stop, import-bars."""
from __future__ import annotations

import datetime as dt
import os
import subprocess
import sys
import time

import numpy as np
import pytest

from orbisyn import _paths
from orbisyn.simulator import cli
from orbisyn.simulator import install as sim_install
from orbisyn.simulator.serving.client import RawClient
from orbisyn.simulator.market.market import Market

from support.simulated import install_terminal, stop_pid_from_lock


def run_cli(*args: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-m", "orbisyn.simulator", *args], capture_output=True,
                          text=True, timeout=60, stdin=subprocess.DEVNULL)


def test_install_lays_out_what_the_locator_reads(sim_env):
    inst = sim_env / "dir with spaces" / "Terminal"
    assert cli.main(["install", "--dir", str(inst), "--seed", "9", "--login", "777", "--password", "pw"]) == 0
    exe = inst / "terminal64.exe"
    assert os.access(exe, os.X_OK)
    found = sim_install.locate()
    assert found is not None and found["exe"] == str(exe) and not found["portable"]
    data = found["data_dir"]
    assert os.path.dirname(data) == _paths.terminals_root()
    raw = open(os.path.join(data, "origin.txt"), "rb").read()
    assert raw[:2] == b"\xff\xfe" and raw[2:].decode("utf-16-le") == str(inst)
    for part in ("Scrivel", "config/terminal.ini", "config/accounts.dat", "config/simulator.json"):
        assert os.path.exists(os.path.join(data, part)), part
    settings = sim_install.load_settings(data)
    assert settings["seed"] == 9 and settings["current_login"] == 777
    assert settings["accounts"][0]["password"] == "pw" and settings["build"] >= 2364
    # Re-installing keeps the settings that were not given again.
    assert cli.main(["install", "--dir", str(inst), "--build", "2363"]) == 0
    settings = sim_install.load_settings(data)
    assert settings["seed"] == 9 and settings["build"] == 2363


def test_portable_install_and_most_recent_wins(sim_env):
    a = sim_install.install(str(sim_env / "a"))
    b = sim_install.install(str(sim_env / "b"), portable=True)
    assert os.path.exists(os.path.join(b["data_dir"], "portable.txt"))
    assert not os.path.exists(os.path.join(b["data_dir"], "Scrivel"))
    os.utime(os.path.join(a["data_dir"], "config", "terminal.ini"), (1, 1))
    os.utime(os.path.join(a["data_dir"], "config", "accounts.dat"), (1, 1))
    found = sim_install.locate()
    assert found["exe"] == b["exe"] and found["portable"]


def test_run_status_stop(sim_env):
    res = sim_install.install(str(sim_env / "t"))
    try:
        assert run_cli("status").returncode == 1
        started = run_cli("run")
        assert started.returncode == 0, started.stderr
        status = run_cli("status", "--dir", str(sim_env / "t"))
        assert status.returncode == 0 and "running" in status.stdout
        assert run_cli("run").returncode == 0  # already running: no second server
        stopped = run_cli("stop")
        assert stopped.returncode == 0 and "stopped" in stopped.stdout
        assert run_cli("status").returncode == 1
        assert not os.path.exists(_paths.socket_path(res["exe"]))
    finally:
        stop_pid_from_lock(res["exe"])


def test_run_says_why_a_terminal_that_exits_at_once_did_not_start(sim_env):
    from orbisyn.simulator.engine.store import VERSION, connect
    res = sim_install.install(str(sim_env / "t"))
    connect(res["data_dir"]).execute(f"PRAGMA user_version={VERSION + 1}").connection.close()
    started = run_cli("run", "--dir", str(sim_env / "t"))
    log = os.path.join(res["data_dir"], "logs", "simulator.log")
    assert started.returncode == 1
    assert started.stderr.strip() == f"orbisyn-terminal: the Terminal exited with code 5; see {log}"
    assert "newer release" in open(log).read()


@pytest.mark.parametrize("sub", ["install", "run", "status", "stop", "import-bars", "reset"])
def test_every_command_has_help(sub):
    out = run_cli(sub, "--help")
    assert out.returncode == 0 and "usage: orbisyn-terminal" in out.stdout


def _subcommands():
    parser = cli.build_parser()
    action = next(a for a in parser._actions if isinstance(a, __import__("argparse")._SubParsersAction))
    return parser, action.choices


def test_help_is_plain_text_and_names_every_command():
    parser, choices = _subcommands()
    main_help = parser.format_help()
    for name, sub in choices.items():
        assert f"    {name}" in main_help
        text = sub.format_help()
        # reST or Markdown markup shows up raw in a terminal.
        assert "``" not in text and ":class:" not in text and "**" not in text, name
    assert "``" not in main_help
    readme = open(os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, "README.md")).read()
    section = readme[readme.index("## The simulated Terminal"):]
    missing = [name for name in choices if f"orbisyn-terminal {name}" not in section]
    assert not missing, f"README does not show: {missing}"


def _write_csv(path, rows, header=True):
    with open(path, "w") as f:
        if header:
            f.write("time,open,high,low,close,tick_volume,spread\n")
        for r in rows:
            f.write(",".join(str(x) for x in r) + "\n")


def test_import_bars_replace_synthetic_prices(sim_env, start_sim):
    res = sim_install.install(str(sim_env / "t"))
    t0 = int(dt.datetime(2024, 5, 6, 9, 0, tzinfo=dt.timezone.utc).timestamp())
    rows = []
    for i in range(300):
        o = 1.1 + 0.0001 * (i % 17)
        rows.append((t0 + 60 * i, f"{o:.5f}", f"{o + 0.0004:.5f}", f"{o - 0.0003:.5f}", f"{o + 0.0001:.5f}",
                     10 + i % 5, 7))
    rows[10] = (dt.datetime.fromtimestamp(t0 + 600, dt.timezone.utc).strftime("%Y.%m.%d %H:%M"),) + rows[10][1:]
    csv = sim_env / "bars.csv"
    _write_csv(csv, rows)
    out = run_cli("import-bars", "EURUSD", str(csv))
    assert out.returncode == 0, out.stderr
    assert "300 M1 bars" in out.stdout and out.stderr == ""  # no progress when redirected

    m = Market(seed=1, history_dir=os.path.join(res["data_dir"], "history"))
    bars = np.concatenate(m.bars_range("EURUSD", 1, 0, 2**40))
    assert len(bars) == 300 and bars["time"][0] == t0
    np.testing.assert_allclose(bars["open"], [float(r[1]) for r in rows])
    np.testing.assert_allclose(bars["high"], [float(r[2]) for r in rows])
    assert list(bars["tick_volume"][:5]) == [10, 11, 12, 13, 14]
    h1 = np.concatenate(m.bars_range("EURUSD", 16385, 0, 2**40))
    assert len(h1) == 5 and h1["high"][0] == bars["high"][:60].max()
    ticks = m.tick_array_between("EURUSD", t0 * 1000, (t0 + 3600) * 1000 - 1)
    assert len(ticks) == bars["tick_volume"][:60].sum()
    assert ticks["bid"].max() == bars["high"][:60].max()
    # The latest tick is the last imported one, whatever the clock says.
    assert m.tick_at("EURUSD", m.now_ms()).time_msc // 60000 == (t0 + 299 * 60) // 60
    # A running Terminal serves them too.
    proc = start_sim(res["exe"])
    with RawClient(proc.sock) as c:
        st, served = c.rates_range("EURUSD", 1, t0, t0 + 3600)
        assert st == 0 and np.array_equal(served, bars[:61])


# (row, reason of its refusal or None); the file starts with a header on line 1.
BAD_ROWS = [
    ("2024-05-06 09:00,1.1,1.2,1.0,1.1", None),
    ("2024-05-06 09:01,-1.1,1.2,1.0,1.1", "open -1.1 is negative or zero"),
    ("2024-05-06 09:02,1.1,1.2,0,1.1", "low 0 is negative or zero"),
    ("2024-05-06 09:03,1.1,1.2,1.15,1.1", "low 1.15 is above the open or the close"),
    ("2024-05-06 09:04,1.1,1.05,1.0,1.1", "high 1.05 is below the open or the close"),
    ("2024-13-06 09:05,1.1,1.2,1.0,1.1", "bad date '2024-13-06 09:05' (month must be in 1..12)"),
    ("2024-05-06 09:06:30,1.1,1.2,1.0,1.1", "time 2024-05-06 09:06:30 is not on a minute"),
    ("2024-05-06 09:07,1.1,1.2,1.0,1.1", None),
    ("2024-05-06 09:07,1.1,1.2,1.0,1.1", "time 2024-05-06 09:07 repeats line 9"),
    ("2024-05-06 09:05,1.1,1.2,1.0,1.1", "time 2024-05-06 09:05 goes back before line 9 (2024-05-06 09:07)"),
    ("2024-05-06 09:08,1.1,abc,1.0,1.1", "high 'abc' is not a number"),
    ("2024-05-06 09:09,1.1,inf,1.0,1.1", "high 'inf' is not a number"),
    ("2024-05-06 09:10,1.1,1.2", "expected open, high, low, close after the time"),
    ("2024.05.06,09:11,1.1,1.2,1.0,1.1", None),
    ("1714987920,1.1,1.2,1.0,1.1", None),  # 09:32
    ("hello,1.1,1.2,1.0,1.1", "no date or time in 'hello'"),
]


def test_import_bars_names_every_refused_row_and_imports_nothing(sim_env):
    res = sim_install.install(str(sim_env / "t"))
    csv = sim_env / "bad.csv"
    csv.write_text("time,open,high,low,close\n" + "".join(row + "\n" for row, _ in BAD_ROWS))
    out = run_cli("import-bars", "EURUSD", str(csv))
    assert out.returncode == 1
    listed = [line.strip() for line in out.stderr.splitlines() if line.startswith("  line ")]
    assert listed == [f"line {n}: {why}" for n, (_, why) in enumerate(BAD_ROWS, 2) if why]
    assert "nothing imported" in out.stderr
    assert not os.path.exists(os.path.join(res["data_dir"], "history", "EURUSD.m1.npy"))


def test_a_running_terminal_serves_an_import_on_the_next_request(sim_env, start_sim):
    res = sim_install.install(str(sim_env / "t"))
    proc = start_sim(res["exe"])
    t0 = int(dt.datetime(2024, 5, 6, 9, 0, tzinfo=dt.timezone.utc).timestamp())
    with RawClient(proc.sock) as c:
        assert c.rates_range("EURUSD", 1, t0, t0 + 120)[0] == 0  # synthetic bars, now cached
        for k in range(3):  # imports in quick succession: each is served at once
            base = 1.2 + 0.01 * k
            csv = sim_env / f"bars{k}.csv"
            _write_csv(csv, [(t0 + 60 * i, base, base + 0.001, base - 0.001, base, 10, 5)
                             for i in range(3)])
            assert cli.main(["import-bars", "EURUSD", str(csv)]) == 0
            st, bars = c.rates_range("EURUSD", 1, t0, t0 + 120)
            assert st == 0 and list(bars["open"]) == [base] * 3


def _status(*args) -> tuple[int, dict]:
    out = run_cli("status", *args)
    fields = dict(line.strip().split(" : ", 1) for line in out.stdout.splitlines()[1:] if " : " in line)
    return out.returncode, {k.strip(): v for k, v in fields.items()}


def test_status_tells_the_connection_state(sim_env, start_sim):
    assert run_cli("status").returncode == 2  # nothing installed
    res = install_terminal(sim_env, delay_ms=3000)
    code, f = _status()
    assert code == 1 and f["installation"] == os.path.dirname(res["exe"])
    proc = start_sim(res["exe"])
    code, f = _status()
    assert code == 0 and f["connection"] == "connecting"
    assert f["account"].startswith("5001001 on Orbisyn-Demo (Demo Hedging, USD), balance 10000.00")
    with RawClient(proc.sock) as c:
        deadline = time.monotonic() + 10
        while c.state() != 2 and time.monotonic() < deadline:
            time.sleep(0.05)
        assert _status()[1]["connection"] == "connected"
        c.login(5001002, "typo")
        code, f = _status()
        assert code == 0 and f["account"] == "none"
        assert f["connection"].startswith("failed authorization: login 5001002 refused at ")
        c.login(5001002, "demo-pass")
        code, f = _status()
        assert f["connection"] == "connecting" and f["account"].startswith("5001002 on Orbisyn-Demo")


@pytest.mark.parametrize("args, running, code", [
    (("status",), True, 0), (("status",), False, 1), (("install", "--dir", "{dir}"), False, 0),
])
def test_output_closed_early_is_no_error(sim_env, start_sim, args, running, code):
    res = sim_install.install(str(sim_env / "t"))
    if running:
        start_sim(res["exe"])
    argv = [a.replace("{dir}", str(sim_env / "t")) for a in args]
    proc = subprocess.Popen([sys.executable, "-m", "orbisyn.simulator", *argv], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)
    proc.stdout.close()  # the reader is gone before anything is written, as with `| head -0`
    _, err = proc.communicate(timeout=60)
    assert proc.returncode == code and b"Error" not in err and b"Traceback" not in err, err
