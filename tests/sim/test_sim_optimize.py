"""Parameter sweeps: `orbisyn-terminal optimize` and orbisyn.params()."""
from __future__ import annotations

import contextlib
import csv
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import pytest

import orbisyn
from orbisyn.simulator import cli
from orbisyn.simulator.optimize import grid

from support.simulated import install_terminal

HERE = os.path.dirname(os.path.abspath(__file__))
MA_CROSS = os.path.join(HERE, os.pardir, os.pardir, "docs", "recipes", "ma_cross.py")

# Buys and sells BTCUSD once (one trade), after refusing x=2; notes what it saw in p["log"].
TRADE_ONCE = '''
import json
import orbisyn
p = orbisyn.params()
if p["x"] == 2:
    raise RuntimeError("no good value: 2")
assert orbisyn.initialize(), orbisyn.last_error()
balance = orbisyn.account_info().balance
fill = 0 if orbisyn.symbol_info("BTCUSD").filling_mode & 1 else 1
buy = orbisyn.order_send(action=1, symbol="BTCUSD", volume=p["volume"], type=0, type_filling=fill)
assert buy.retcode == 10009, buy
sell = orbisyn.order_send(action=1, symbol="BTCUSD", volume=p["volume"], type=1, type_filling=fill,
                          position=buy.order)
assert sell.retcode == 10009, sell
with open(p["log"], "a") as f:
    f.write(json.dumps({"params": p, "balance": balance,
                        "data_path": orbisyn.terminal_info().data_path}) + "\\n")
'''

# Opens a position and waits 15 replay minutes every half wall second: a run of 5 replay
# hours lasts about 10 s and ends with its replay.
HOLD = '''
import time
import orbisyn
assert orbisyn.initialize(), orbisyn.last_error()
orbisyn.order_send(action=1, symbol="BTCUSD", volume=0.1, type=0, type_filling=0)
while orbisyn.sleep(900):
    time.sleep(0.5)
'''


def rows_of(out) -> list:
    with open(os.path.join(out, "results.csv"), newline="") as f:
        return list(csv.DictReader(f))


def optimize(*args: str) -> int:
    return cli.main(["optimize", *args])


# ---- the pieces ----------------------------------------------------------------------------

def test_params_outside_a_sweep_is_empty_and_inside_typed():
    code = ("import json, orbisyn, orbisyn.aio as a; "
            "print(json.dumps([orbisyn.params(), a.params() == orbisyn.params()]))")
    env = {k: v for k, v in os.environ.items() if k != "ORBISYN_PARAMS"}
    outside = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)
    assert json.loads(outside.stdout) == [{}, True], outside.stderr
    env["ORBISYN_PARAMS"] = grid.encode({"fast": 5, "rate": 0.5, "sym": "EURUSD", "big": 10 ** 20})
    inside = subprocess.run([sys.executable, "-c", code + "; p = orbisyn.params(); "
                             "print([type(p[k]).__name__ for k in sorted(p)])"],
                            env=env, capture_output=True, text=True)
    got, types = inside.stdout.splitlines()
    assert json.loads(got) == [{"fast": 5, "rate": 0.5, "sym": "EURUSD", "big": 10 ** 20}, True]
    assert types == "['int', 'int', 'float', 'str']"


@pytest.mark.parametrize("text", ['[1, 2]', '{"a": true}', '{"a": [1]}', '{"a": null}', '{"a": NaN}',
                                  'not json'])
def test_params_refuses_what_a_sweep_never_gives(monkeypatch, text):
    monkeypatch.setenv("ORBISYN_PARAMS", text)
    with pytest.raises(ValueError, match="ORBISYN_PARAMS|parameter a"):
        orbisyn.params()


@pytest.mark.parametrize("spec, values", [
    ("fast=5,10", [5, 10]), ("r=0.5, 1e-3", [0.5, 0.001]), ("s=EURUSD,GBPUSD", ["EURUSD", "GBPUSD"]),
    ("m=1,1.5,x", [1, 1.5, "x"]), ("n=nan,inf", ["nan", "inf"]), ("k=-3", [-3])])
def test_values_are_int_then_float_then_text(spec, values):
    name, got = grid.parse_param(spec)
    assert got == values and [type(v) for v in got] == [type(v) for v in values]


@pytest.mark.parametrize("spec", ["fast", "=1,2", "fast=", "fast=1,,2", "fast=1,1", "1x=2",
                                  "trades=1,2", "error=a"])
def test_bad_params_are_refused(spec):
    with pytest.raises(ValueError):
        grid.parse_param(spec)


def test_rows_order_best_first_then_undefined_then_failed():
    def row(i, error="", **stats):
        return {"index": i, "params": {}, "seconds": 0.0, "error": error,
                "stats": None if error else {**dict.fromkeys(grid.BY), **stats}}
    rows = [row(0, "boom"), row(1, net_profit=-5.0, profit_factor=None, max_drawdown_pct=3.0),
            row(2, net_profit=7.0, profit_factor=2.0, max_drawdown_pct=9.0),
            row(3, net_profit=7.0, profit_factor=0.5, max_drawdown_pct=1.0)]
    assert [r["index"] for r in grid.ordered(rows, "net_profit")] == [2, 3, 1, 0]   # a tie keeps grid order
    assert [r["index"] for r in grid.ordered(rows, "profit_factor")] == [2, 3, 1, 0]
    assert [r["index"] for r in grid.ordered(rows, "max_drawdown_pct")] == [3, 1, 2, 0]   # lowest first


# ---- sweeps --------------------------------------------------------------------------------

@pytest.fixture
def script(tmp_path):
    def write(text: str, name: str = "strategy.py") -> str:
        path = tmp_path / name
        path.write_text(text)
        return str(path)
    return write


def test_a_failing_combination_is_a_row_and_each_run_has_its_own_terminal(sim_env, script, start_sim):
    # The user's own Terminal runs meanwhile: no run of the sweep may use or touch it.
    mine = install_terminal(sim_env, "mine")
    user_terminal = start_sim(mine["exe"])
    log = sim_env / "seen.jsonl"
    out = sim_env / "out"
    code = optimize(script(TRADE_ONCE), "--replay", "2024-05-07", "--until", "2024-05-07 02:00",
                    "--param", "x=1,2,3", "--param", "volume=0.1", "--param", f"log={log}",
                    "--out", str(out), "--workers", "2")
    assert code == 0
    rows = rows_of(out)
    assert [r["x"] for r in rows][-1] == "2" and len(rows) == 3   # failed runs last
    failed = rows[-1]
    assert "the script failed (exit 1)" in failed["error"]
    assert "RuntimeError: no good value: 2" in failed["error"]
    assert failed["net_profit"] == failed["trades"] == ""
    for r in rows[:2]:
        assert r["error"] == "" and r["trades"] == "1" and r["volume"] == "0.1"
        float(r["net_profit"]), float(r["max_drawdown_pct"])
    assert float(rows[0]["net_profit"]) >= float(rows[1]["net_profit"])
    seen = [json.loads(line) for line in log.read_text().splitlines()]
    assert sorted(s["params"]["x"] for s in seen) == [1, 3]
    assert all(s["params"]["volume"] == 0.1 and s["balance"] == 10000.0 for s in seen)
    paths = {s["data_path"] for s in seen}
    assert len(paths) == 2 and mine["data_dir"] not in paths
    assert not any(os.path.exists(p) for p in paths)   # each run's place is gone
    # The best run's report is the `report` command's, with its one trade.
    with open(out / "best" / "deals.csv") as f:
        deals = list(csv.DictReader(f))
    assert [d["entry"] for d in deals if d["type"] in ("buy", "sell")] == ["in", "out"]
    assert (out / "best" / "report.html").exists()
    assert not (out / "heatmap.png").exists()   # one parameter varies
    assert user_terminal.proc.poll() is None


# Hangs, or kills its own Terminal, as p["how"] says.
BREAK = '''
import glob, os, signal, time
import orbisyn
assert orbisyn.initialize(), orbisyn.last_error()
if orbisyn.params()["how"] == "kill":
    [lock] = glob.glob(os.environ["XDG_RUNTIME_DIR"] + "/*.lock")
    os.kill(int(open(lock).read()), signal.SIGKILL)
while True:
    time.sleep(0.05)
'''


def test_a_hung_script_and_a_dead_terminal_are_rows(sim_env, script):
    out = sim_env / "out"
    # Two replay hours: a script that never waits keeps them far from their end.
    code = optimize(script(BREAK), "--replay", "2024-05-07", "--until", "2024-05-07 02:00",
                    "--param", "how=hang,kill", "--timeout", "4", "--out", str(out), "--workers", "2")
    assert code == 1   # no run succeeded
    errors = {r["how"]: r["error"] for r in rows_of(out)}
    assert errors["hang"] == "timeout: the script ran longer than 4 s"
    assert errors["kill"].startswith("the Terminal died")
    assert all(float(r["seconds"]) < 60 for r in rows_of(out))
    assert not (out / "best").exists()


def _sweep_processes(marker: str, but: int = -1) -> dict:
    """{pid: command line} of the processes whose command line names `marker`."""
    found = {}
    for pid in os.listdir("/proc"):
        if not pid.isdigit() or int(pid) == but:
            continue
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                args = f.read().replace(b"\0", b" ").decode(errors="replace")
        except OSError:
            continue
        if marker in args:
            found[int(pid)] = args
    return found


@pytest.fixture
def sweep_tmp(monkeypatch):
    """The temporary folder of this test's runs: their processes name it."""
    tmp = tempfile.mkdtemp(prefix="osw", dir="/tmp")
    monkeypatch.setenv("TMPDIR", tmp)
    monkeypatch.setattr(tempfile, "tempdir", None)
    yield tmp
    shutil.rmtree(tmp, ignore_errors=True)


@pytest.mark.parametrize("where", ["local", "dask"])
def test_ctrl_c_keeps_the_finished_rows_and_leaves_nothing_running(sim_env, script, sweep_tmp, where):
    tmp = sweep_tmp
    out = sim_env / "out"
    # Its name marks this test's scripts, where they run and as sent to a Dask worker.
    path = script(HOLD, f"hold_{os.getpid()}_{where}.py")
    hold = os.path.basename(path)
    argv = [sys.executable, "-m", "orbisyn.simulator", "optimize", path, "--replay", "2024-05-07",
            "--until", "2024-05-07 05:00", "--param", "x=1,2,3,4", "--out", str(out)]
    with contextlib.ExitStack() as stack:
        if where == "dask":   # its workers make their runs' folders in this test's TMPDIR
            argv += ["--dask", stack.enter_context(local_cluster())]
        else:
            argv += ["--workers", "1"]
        runner = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, text=True)
        stderr = _interrupt_mid_sweep(runner, out, tmp, hold)
    assert runner.returncode == 130, stderr
    rows = rows_of(out)
    assert 1 <= len(rows) < 4 and all(r["error"] == "" for r in rows)
    assert f"interrupted: {len(rows)} of 4 runs done" in stderr
    assert _sweep_processes(tmp) == {} and _sweep_processes(hold, but=runner.pid) == {}
    assert [n for n in os.listdir(tmp) if n.startswith("orbisyn-sweep-")] == []


def test_a_sweep_killed_outright_leaves_no_run_behind(sim_env, script, sweep_tmp):
    # SIGKILL: no handler runs in the sweep; each run sees it gone and ends by itself.
    tmp = sweep_tmp
    path = script(HOLD, f"hold_{os.getpid()}_killed.py")
    runner = subprocess.Popen([sys.executable, "-m", "orbisyn.simulator", "optimize", path, "--replay",
                               "2024-05-07", "--until", "2024-05-07 05:00", "--param", "x=1,2",
                               "--workers", "2", "--out", str(sim_env / "out")],
                              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 120
        while _live_run(tmp) is None or len(_sweep_processes(os.path.basename(path), but=runner.pid)) < 2:
            assert runner.poll() is None and time.monotonic() < deadline, "no runs in progress to leave"
            time.sleep(0.1)
        run_dir = _live_run(tmp)[1]
    finally:
        runner.kill()
        runner.wait()
    deadline = time.monotonic() + 30
    while _sweep_processes(tmp) or _sweep_processes(os.path.basename(path)) or os.listdir(tmp):
        assert time.monotonic() < deadline, (_sweep_processes(tmp), os.listdir(tmp))
        time.sleep(0.1)
    assert not os.path.exists(run_dir)


def _interrupt_mid_sweep(runner, out, tmp: str, hold: str) -> str:
    """SIGINT once a row is done and another run's Terminal and script are up; its stderr."""
    from support.other_user import other_user
    try:
        deadline = time.monotonic() + 120
        found = None
        while time.monotonic() < deadline and runner.poll() is None and found is None:
            if (out / "results.csv").exists() and len(rows_of(out)) >= 1 \
                    and _sweep_processes(hold, but=runner.pid):
                found = _live_run(tmp)   # the first run's Terminal may still be on its way out
            time.sleep(0.1)
        assert found and runner.poll() is None, "no run in progress to interrupt"
        base, run_dir, sock = found
        try:
            user = other_user()
        except pytest.skip.Exception:
            user = None
        if user is not None:
            # Another user reaches neither that run's folder nor its Terminal's socket.
            probe = user.python(
                "import socket, sys\n"
                "for act in (lambda: socket.socket(socket.AF_UNIX).connect(sys.argv[1]),\n"
                "            lambda: open(sys.argv[2] + '/result.json', 'w'),\n"
                "            lambda: open(sys.argv[2] + '/spec.json')):\n"
                "    try:\n        act()\n    except PermissionError:\n        print('refused')\n"
                "    else:\n        print('reached')\n", sock, base, stdout=subprocess.PIPE, text=True)
            assert probe.communicate(timeout=30)[0].split() == ["refused"] * 3
        runner.send_signal(signal.SIGINT)
        stderr = runner.communicate(timeout=120)[1]
    finally:
        if runner.poll() is None:
            runner.kill()
    assert not os.path.exists(run_dir)
    return stderr


def _live_run(tmp: str):
    """(run folder, runtime folder, socket) of a sweep run whose Terminal listens now, or None."""
    for pid, args in _sweep_processes(tmp).items():
        if "--foreground" not in args:
            continue
        try:
            environ = open(f"/proc/{pid}/environ", "rb").read().split(b"\0")
            run_dir = next(e for e in environ if e.startswith(b"XDG_RUNTIME_DIR=")).split(b"=", 1)[1].decode()
            socks = [os.path.join(run_dir, n) for n in os.listdir(run_dir) if not n.endswith(".lock")]
        except (OSError, StopIteration):
            continue   # gone meanwhile
        if len(socks) == 1:
            exe = args.split("--exe ", 1)[1].split(" ", 1)[0]
            return os.path.dirname(os.path.dirname(exe)), run_dir, socks[0]
    return None


@pytest.fixture
def shared():
    """A folder every user may write to, like /tmp."""
    folder = tempfile.mkdtemp(prefix="oswshared", dir="/tmp")
    os.chmod(folder, 0o1777)
    yield folder
    shutil.rmtree(folder, ignore_errors=True)


def _other_users_out(tmp_path, shared: str, kind: str) -> str:
    """An output folder that another user controls, in a shared sticky folder."""
    from support.other_user import other_user
    user = other_user()
    victim = tmp_path / "victim"
    victim.write_text("mine\n")
    out = os.path.join(shared, "out")
    if kind == "theirs":
        code = f"import os; os.mkdir({out!r}, 0o777); os.symlink({str(victim)!r}, {out!r} + '/results.csv')"
    elif kind == "their link":
        code = f"import os; os.symlink({str(tmp_path)!r}, {out!r})"
    else:   # ours, but others may write to it
        code = "pass"
        os.mkdir(out)
        os.chmod(out, 0o777)
    made = user.python(code)
    assert made.wait(30) == 0
    return out


@pytest.mark.parametrize("kind", ["theirs", "their link", "ours, writable by others"])
def test_an_output_folder_another_user_controls_is_refused(sim_env, script, tmp_path, shared, capsys, kind):
    out = _other_users_out(tmp_path, shared, kind)
    code = optimize(script(TRADE_ONCE), "--replay", "2024-05-07", "--until", "2024-05-07 01:00",
                    "--param", "x=1", "--out", out)
    assert code == 2 and "--out" in capsys.readouterr().err
    assert (tmp_path / "victim").read_text() == "mine\n"
    assert not (tmp_path / "results.csv").exists()


CLUSTER = """
import sys
from distributed import LocalCluster
with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as c:
    print(c.scheduler_address, flush=True)
    sys.stdin.read()
"""


@contextlib.contextmanager
def local_cluster():
    """A 2-worker LocalCluster in a process of its own (its helpers then never outlive it as
    children of the test process); yields the scheduler's address."""
    pytest.importorskip("distributed")
    proc = subprocess.Popen([sys.executable, "-c", CLUSTER], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        address = proc.stdout.readline().strip()
        assert address.startswith("tcp://"), "the cluster did not start"
        yield address
    finally:
        proc.stdin.close()
        try:
            proc.wait(60)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


@pytest.fixture(scope="module")
def cluster():
    with local_cluster() as address:
        yield address


def test_the_same_rows_through_a_dask_cluster(sim_env, script, cluster):
    log = sim_env / "seen.jsonl"
    out = sim_env / "out"
    code = optimize(script(TRADE_ONCE), "--replay", "2024-05-07", "--until", "2024-05-07 02:00",
                    "--param", "x=1,2,3", "--param", "volume=0.1", "--param", f"log={log}",
                    "--out", str(out), "--dask", cluster)
    assert code == 0
    rows = rows_of(out)
    assert [r["x"] for r in rows][-1] == "2"
    assert "RuntimeError: no good value: 2" in rows[-1]["error"]
    assert [(r["error"], r["trades"]) for r in rows[:2]] == [("", "1")] * 2
    assert (out / "best" / "report.html").exists()
    assert sorted(json.loads(line)["params"]["x"] for line in log.read_text().splitlines()) == [1, 3]


# ---- repeatability: a stepped replay gives the same deals every time ------------------------

GRID = ["--param", "fast=3,5", "--param", "slow=8,13"]
SPAN = ("2024-05-07", "2024-05-08")
FIGURES = [key for key, _, _ in grid.FIGURES]


def _single_run(base, params: dict) -> dict:
    """The script run by hand in a stepped replay: install, run, script, stop; its figures."""
    from orbisyn.simulator import install
    from orbisyn.simulator.replay import folder as replay, report
    inst = str(base / f"single-{params['fast']}-{params['slow']}")
    res = install.install(inst)
    settings = install.load_settings(res["data_dir"])
    settings["connect_delay_ms"] = 0
    install.save_settings(res["data_dir"], settings)
    assert cli.main(["run", "--dir", inst, "--replay", SPAN[0], "--until", SPAN[1], "--stepped"]) == 0
    try:
        env = dict(os.environ, ORBISYN_PARAMS=json.dumps(params))
        proc = subprocess.Popen([sys.executable, MA_CROSS], env=env)
        deadline = time.monotonic() + 300
        # As by hand: the script ends by itself, or is ended once its replay is over.
        while proc.poll() is None and time.monotonic() < deadline:
            facts = replay.facts(res["data_dir"])
            if facts and replay.present(facts) >= facts["until_ms"]:
                time.sleep(1.0)
                break
            time.sleep(0.1)
        proc.terminate()
        assert proc.wait(30) in (0, -signal.SIGTERM)
    finally:
        cli.main(["stop", "--dir", inst])
    src, curve = report.measure(res["data_dir"], install.load_settings(res["data_dir"]))
    stats = report.statistics(src.deals, curve)
    return {k: grid._cell(k, stats[k]) for k in FIGURES}


def test_four_rows_equal_four_single_runs(sim_env):
    out = sim_env / "out"
    assert optimize(MA_CROSS, "--replay", *SPAN[:1], "--until", SPAN[1], *GRID, "--out", str(out),
                    "--workers", "2") == 0
    rows = rows_of(out)
    assert len(rows) == 4 and all(r["error"] == "" for r in rows)
    for r in rows:
        params = {"fast": int(r["fast"]), "slow": int(r["slow"])}
        assert {k: r[k] for k in FIGURES} == _single_run(sim_env, params), params
    assert (out / "heatmap.png").exists()


def test_dask_rows_equal_the_local_rows(sim_env, cluster):
    got = {}
    for where in (["--workers", "2"], ["--dask", cluster]):
        out = sim_env / where[0].strip("-")
        assert optimize(MA_CROSS, "--replay", SPAN[0], "--until", SPAN[1], *GRID, "--out", str(out), *where) == 0
        got[where[0]] = [{k: v for k, v in r.items() if k != "seconds"} for r in rows_of(out)]
    assert got["--workers"] == got["--dask"] and len(got["--dask"]) == 4
