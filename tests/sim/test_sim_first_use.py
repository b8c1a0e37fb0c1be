"""Mends found by trying the simulated Terminal as a new user: import-bars' refusals and
progress, `run --replay` arguments, a launcher whose Python is gone."""
from __future__ import annotations

import datetime as dt
import os
import pty
import subprocess
import sys

import pytest

from orbisyn.simulator import cli
from orbisyn.simulator import install as sim_install
from orbisyn.simulator.market.catalogue import default_catalogue
from orbisyn.simulator.market.import_bars import Refused, read_bars_csv

EURUSD = next(s for s in default_catalogue() if s.name == "EURUSD")
WILD = 17149879200   # an epoch with one digit too many: the year 2513
WILD_TEXT = dt.datetime.fromtimestamp(WILD, dt.timezone.utc).strftime("%Y-%m-%d %H:%M")

# (row, its refusal or None); line 1 is a header.
ROWS = [
    ("2024-05-06 09:00,1.1,1.2,1.0,1.1", None),
    ("2024-05-06 09:01,1.1,1.2,1.0,1.1", None),
    (f"{WILD},1.1,1.2,1.0,1.1", f"time {WILD_TEXT} is later than line 5 (2024-05-06 09:02) after it"),
    ("2024-05-06 09:02,1.1,1.2,1.0,1.1", None),
    ("2024-05-06 09:03,1.1,abc,1.0,1.1", "high 'abc' is not a number"),
    ("2024-05-06 09:04,nan,1.2,1.0,1.1", "open 'nan' is not a number"),
    ("2024-05-06 09:05,1.1,1.2", "expected open, high, low, close after the time"),
    ("2024-05-06 09:06,1.1,1.2,1.0,1.1,-5,10", "tick volume '-5' is negative"),
    ("2024-05-06 09:07,1.1,1.2,1.0,1.1,12,-3", "spread '-3' is negative"),
    ("2024-05-06 09:08,1.1,1.2,1.0,1.1,12.5,-1",
     "tick volume '12.5' is not a whole number; spread '-1' is negative"),
    ("2024-05-06 09:09,1.1,1.2,1.0,1.1,7,3", None),
    ("2024-05-06 09:09,1.1,1.2,1.0,1.1", "time 2024-05-06 09:09 repeats line 12"),
    ("2024-05-06 08:59,1.1,1.2,1.0,1.1", "time 2024-05-06 08:59 goes back before line 12 (2024-05-06 09:09)"),
    ("1714987920,1.1,1.2,1.0,1.1", None),
]


def test_each_bad_row_is_named_with_its_own_fault(tmp_path):
    path = tmp_path / "bars.csv"
    path.write_text("time,open,high,low,close,tick_volume,spread\n" + "".join(r + "\n" for r, _ in ROWS))
    with pytest.raises(Refused) as got:
        read_bars_csv(str(path), EURUSD)
    assert got.value.rows == [(n, why) for n, (_, why) in enumerate(ROWS, 2) if why]


def test_without_the_bad_rows_the_rest_imports_with_their_counts(tmp_path):
    path = tmp_path / "bars.csv"
    path.write_text("".join(r + "\n" for r, why in ROWS if why is None))
    table = read_bars_csv(str(path), EURUSD)
    assert list(table["n"]) == [12, 12, 12, 7, 12] and list(table["spread"][3:]) == [3, EURUSD.sim_spread]


@pytest.mark.parametrize("tty", [True, False])
def test_progress_is_shown_only_on_a_terminal(sim_env, tty):
    res = sim_install.install(str(sim_env / "t"))
    csv = sim_env / "bars.csv"
    t0 = 1714986000
    csv.write_text("".join(f"{t0 + 60 * i},1.1,1.2,1.0,1.1\n" for i in range(5000)))
    argv = [sys.executable, "-m", "orbisyn.simulator", "import-bars", "EURUSD", str(csv),
            "--dir", os.path.dirname(res["exe"])]
    if tty:
        master, slave = pty.openpty()
        proc = subprocess.run(argv, stdout=subprocess.PIPE, stderr=slave, timeout=60)
        os.close(slave)
        chunks = []
        while True:
            try:
                chunk = os.read(master, 65536)
            except OSError:   # EIO: the other end is closed and everything read
                break
            if not chunk:
                break
            chunks.append(chunk)
        os.close(master)
        err = b"".join(chunks).decode()
        assert "importing [" in err and err.endswith("\r\n")
    else:
        proc = subprocess.run(argv, capture_output=True, text=True, timeout=60)
        assert proc.stderr == ""
    assert proc.returncode == 0


@pytest.mark.parametrize("args, says", [
    (["--replay", "2999-01-01"], "after the present"),
    (["--replay", "2024-05-06", "--until", "2024-05-05"], "is not after"),
    (["--replay", "2024-05-06", "--speed", "0"], "positive number"),
    (["--replay", "2024-05-06", "--speed", "-600"], "positive number"),
    (["--replay", "2024-05-06", "--speed", "inf"], "positive number"),
    (["--replay", "last monday"], "is no time"),
    (["--speed", "600"], "go with --replay"),
    (["--replay", "2024-05-06", "09:00"], 'quote a date with its time, as in --replay "2024-05-06 09:00"'),
])
def test_replay_arguments_are_checked_before_anything_starts(sim_env, capsys, args, says):
    sim_install.install(str(sim_env / "t"))
    assert cli.main(["run", "--dir", str(sim_env / "t"), *args]) == 2
    assert says in capsys.readouterr().err


def test_a_launcher_whose_python_is_gone_says_so(sim_env, capsys):
    res = sim_install.install(str(sim_env / "t"))
    gone = str(sim_env / "venv" / "bin" / "python")
    text = open(res["exe"]).read().replace(sys.executable, gone)
    with open(res["exe"], "w") as f:
        f.write(text)
    # Started as the extension starts it: the message goes to stderr and to the log.
    proc = subprocess.run([res["exe"]], capture_output=True, text=True, timeout=30)
    hint = f"orbisyn-terminal install --dir {sim_env / 't'}"
    assert proc.returncode == 127 and gone in proc.stderr and hint in proc.stderr
    assert hint in open(os.path.join(res["data_dir"], "logs", "simulator.log")).read()
    # `run` says it before it starts anything, naming this Python as the way out.
    assert cli.main(["run", "--dir", str(sim_env / "t")]) == 1
    err = capsys.readouterr().err
    assert f"is gone: {gone}" in err and sys.executable in err and hint in err
    assert cli.main(["status", "--dir", str(sim_env / "t")]) == 1
    assert f"launcher     : the Python this Terminal was installed with is gone: {gone}" in capsys.readouterr().out
