"""python -m orbisyn.quickstart on a machine without a Terminal."""
from __future__ import annotations

import io
import os
import subprocess
import sys

import numpy as np
import pytest

import orbisyn
from orbisyn import quickstart
from orbisyn.simulator import install as sim_install
from orbisyn.simulator.market.market import Market

from support.simulated import stop_pid_from_lock

FUNCTIONS = ("initialize", "terminal_info", "account_info", "symbols_get", "copy_rates_from_pos",
             "copy_ticks_from", "shutdown")


def test_ensure_terminal_installs_only_when_none_is_found(sim_env):
    out = io.StringIO()
    quickstart.ensure_terminal(out)
    found = sim_install.locate()
    assert found is not None and found["exe"] == os.path.join(sim_install.default_install_dir(), "terminal64.exe")
    assert "installed a simulated one" in out.getvalue() and found["data_dir"] in out.getvalue()
    again = io.StringIO()
    quickstart.ensure_terminal(again)
    assert again.getvalue() == ""


def test_a_launcher_whose_python_is_gone_is_refreshed(sim_env):
    res = sim_install.install(str(sim_env / "t"))
    assert sim_install.launcher_python(res["exe"]) == sys.executable
    text = open(res["exe"]).read().replace(sys.executable, str(sim_env / "gone" / "python"))
    with open(res["exe"], "w") as f:
        f.write(text)
    out = io.StringIO()
    quickstart.ensure_terminal(out)
    assert sim_install.launcher_python(res["exe"]) == sys.executable
    assert "now runs with" in out.getvalue()


def test_chart_is_a_png_of_the_candles(tmp_path):
    pytest.importorskip("matplotlib")
    rates = np.concatenate(Market(seed=1).bars_from_pos("EURUSD", 16385, 0, 1000))
    path = tmp_path / "chart.png"
    quickstart.draw_chart(rates, "EURUSD", str(path))
    assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" and path.stat().st_size > 10_000


@pytest.mark.skipif(not all(hasattr(orbisyn, f) for f in FUNCTIONS), reason="extension incomplete")
def test_quickstart_from_scratch(sim_env):
    env = dict(os.environ)
    # Run from another folder, as a user would; a relative PYTHONPATH must still find the package.
    env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in env.get("PYTHONPATH", "").split(os.pathsep) if p)
    try:
        out = subprocess.run([sys.executable, "-m", "orbisyn.quickstart"],
                             capture_output=True, text=True, timeout=180, cwd=sim_env, env=env)
    finally:
        stop_pid_from_lock(os.path.join(sim_install.default_install_dir(), "terminal64.exe"))
    assert out.returncode == 0, out.stderr
    text = out.stdout
    assert "installed a simulated one" in text and "EURUSD" in text and "BTCUSD" in text
    assert "1000 H1 bars of EURUSD" in text and "10000 ticks of EURUSD" in text and "points" in text
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        assert "Chart skipped" in text
    else:
        # Into the user's data folder, never the folder it runs in.
        chart = os.path.join(os.environ["XDG_DATA_HOME"], "orbisyn", "quickstart-EURUSD-H1.png")
        assert f"Chart written: {chart}" in text and os.path.exists(chart)
        assert not list(sim_env.glob("*.png"))
