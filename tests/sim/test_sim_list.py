"""orbisyn-terminal list (and python -m orbisyn): every Terminal initialize() can find, native
and under Wine, what it is, whether it runs, and the one initialize() picks. Wine prefixes
here are folders laid out as Wine lays them out; no Wine runs."""
from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys

import pytest

import orbisyn
from orbisyn.simulator import cli
from orbisyn.simulator.hosting import relayed

from simkit import install_terminal, wait_named
from test_sim_wine import fake_prefix, fake_relay, linux_only  # noqa: F401 (fixtures)

OLD, NEW = 1_700_000_000, 1_700_000_100


def listing(capsys, *args: str) -> tuple[int, list[str]]:
    code = cli.main(["list", *args])
    return code, capsys.readouterr().out.splitlines()


def entries(lines: list[str]) -> dict[str, list[str]]:
    """The listing's Terminals by their head line's kind and place, each with its detail lines."""
    got: dict[str, list[str]] = {}
    head = None
    for line in lines:
        m = re.match(r"^[* ](\d+)\. (.*)$", line)
        if m:
            head = m.group(2)
            got[head] = [line]
        elif head and line.startswith("     "):
            got[head].append(line.strip())
        else:
            head = None
    return got


def picked(lines: list[str]) -> str:
    """The head of the entry marked as initialize()'s pick."""
    [line] = [line for line in lines if line.startswith("*")]
    return line.split(". ", 1)[1]


def used_at(data_dir: str, when: int) -> None:
    for name in ("terminal.ini", "accounts.dat"):
        os.utime(os.path.join(data_dir, "config", name), (when, when))


@pytest.fixture
def both(sim_env, fake_prefix, fake_relay, monkeypatch):
    """A simulated Terminal natively (used later) and one in a Wine prefix; no WINEPREFIX,
    a HOME without .wine."""
    monkeypatch.delenv("WINEPREFIX", raising=False)
    (sim_env / "home").mkdir()
    monkeypatch.setenv("HOME", str(sim_env / "home"))
    native = install_terminal(sim_env)
    assert cli.main(["install", "--wine", fake_prefix]) == 0
    wine = relayed.find_wine(fake_prefix)
    used_at(native["data_dir"], NEW)
    used_at(wine["data_dir"], OLD)
    return native, wine


@linux_only
@pytest.mark.parametrize("wineprefix, home_wine, listed, pick", [
    # WINEPREFIX names the prefix: its Terminal wins though the native one was used later.
    (True, False, 2, "under Wine"),
    # Without it the prefix is not looked in at all.
    (False, False, 1, "native"),
    # The prefix as ~/.wine: looked in, but after the native folders.
    (False, True, 2, "native"),
])
def test_list_native_and_wine(both, fake_prefix, sim_env, monkeypatch, capsys, wineprefix, home_wine, listed,
                              pick):
    native, wine = both
    if wineprefix:
        monkeypatch.setenv("WINEPREFIX", fake_prefix)
    if home_wine:
        os.symlink(fake_prefix, sim_env / "home" / ".wine")
    code, lines = listing(capsys)
    assert code == 0
    got = entries(lines)
    assert len(got) == listed, lines
    natives = [h for h in got if "under Wine" not in h]
    assert natives == ["simulated Terminal, not running"]
    assert got[natives[0]][1:3] == [f"path         : {native['exe']}", f"data folder  : {native['data_dir']}"]
    if listed == 2:
        [under] = [h for h in got if "under Wine" in h]
        assert under == f"simulated Terminal under Wine (prefix {fake_prefix}), not running"
        user = relayed._unix_user()
        assert got[under][1:5] == [
            "Windows path : C:\\Program Files\\Orbisyn Simulated Terminal\\terminal64.exe",
            f"Linux path   : {wine['exe']}",
            f"data folder  : C:\\users\\{user}\\AppData\\Roaming\\Quillmark\\Terminal\\"
            f"{os.path.basename(wine['data_dir'])}",
            f"({wine['data_dir']})"]
    assert ("under Wine" in picked(lines)) == (pick == "under Wine"), lines
    [at] = [i for i, line in enumerate(lines) if line.startswith("initialize() picks ")]
    # The reason is the module's own, word for word.
    assert lines[at + 1].strip() == orbisyn._core._terminals()["reason"]


@linux_only
def test_what_runs(sim_env, fake_prefix, make_terminal, start_sim, monkeypatch, capsys, tmp_path):
    # A simulated Terminal running natively, a fake one listening on its socket, and a
    # real Terminal in the prefix whose process runs (a stand-in named as Wine names it).
    monkeypatch.setenv("WINEPREFIX", fake_prefix)
    monkeypatch.setenv("HOME", str(tmp_path))
    sim = install_terminal(sim_env)
    proc = start_sim(sim["exe"])
    fake = make_terminal("Fake")
    data = os.path.join(os.path.dirname(sim["data_dir"]), "FAKE")
    os.makedirs(os.path.join(data, "Scrivel"))
    with open(os.path.join(data, "origin.txt"), "wb") as f:
        f.write(b"\xff\xfe" + os.path.dirname(fake.exe_path).encode("utf-16-le"))
    real = os.path.join(fake_prefix, "drive_c", "Real")
    os.makedirs(real)
    with open(os.path.join(real, "terminal64.exe"), "wb") as f:
        f.write(b"MZ")
    wine_data = os.path.join(relayed.wine_user_dir(fake_prefix), "AppData", "Roaming", "Quillmark", "Terminal", "R")
    os.makedirs(os.path.join(wine_data, "Scrivel"))
    with open(os.path.join(wine_data, "origin.txt"), "wb") as f:
        f.write(b"\xff\xfe" + "C:\\Real".encode("utf-16-le"))
    code, lines = listing(capsys)
    assert code == 0
    heads = set(entries(lines))
    assert f"simulated Terminal, running (pid {proc.proc.pid})" in heads
    assert "real Terminal, running (its socket listens)" in heads
    assert f"real Terminal under Wine (prefix {fake_prefix}), not running" in heads
    # Wine's loader runs a Windows program under the program's Windows path.
    loader = tmp_path / "wine64"
    shutil.copy("/bin/sleep", loader)
    stand_in = subprocess.Popen(["bash", "-c", f'exec -a "C:\\Real\\terminal64.exe" {loader} 60'],
                                env=dict(os.environ, WINEPREFIX=fake_prefix))
    try:
        wait_named(stand_in.pid, "C:\\Real\\terminal64.exe")
        code, lines = listing(capsys)
        assert f"real Terminal under Wine (prefix {fake_prefix}), running (pid {stand_in.pid})" in entries(lines)
    finally:
        stand_in.kill()
        stand_in.wait()
    fake.close()
    proc.stop()
    code, lines = listing(capsys)
    assert {h.rsplit(", ", 1)[1] for h in entries(lines)} == {"not running"}


def test_nothing_found(sim_env, monkeypatch, capsys):
    monkeypatch.setenv("WINEPREFIX", str(sim_env / "no-such-prefix"))
    monkeypatch.setenv("HOME", str(sim_env))
    code, lines = listing(capsys)
    assert code == 1 and len(lines) == 1
    assert lines[0].startswith("initialize() finds no Terminal: Orbisyn x64 not found: looked in '")
    assert f"WINEPREFIX names '{sim_env / 'no-such-prefix'}', which does not exist" in lines[0]
    assert orbisyn.initialize() is False
    assert orbisyn.last_error()[1] == "IPC initialize failed, " + lines[0].split(": ", 1)[1]


def test_python_m_orbisyn_lists_the_same(sim_env, monkeypatch):
    monkeypatch.delenv("WINEPREFIX", raising=False)
    monkeypatch.setenv("HOME", str(sim_env))
    install_terminal(sim_env)
    runs = [subprocess.run([sys.executable, *how], capture_output=True, text=True, timeout=60)
            for how in (["-m", "orbisyn"], ["-m", "orbisyn.simulator", "list"])]
    assert [r.returncode for r in runs] == [0, 0], [r.stderr for r in runs]
    assert runs[0].stdout == runs[1].stdout and "initialize() picks 1, because:\n" in runs[0].stdout
