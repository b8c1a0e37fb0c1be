"""stop --wine ends what orbisyn started in the prefix (the relay of initialize(), then Wine's
server when no other Windows program runs there) and leaves no token behind; status --wine
shows them. Process look-alikes stand in for the relay where no Wine is needed."""
from __future__ import annotations

import os
import shutil
import subprocess
import sys
import tempfile
import time

import pytest

import orbisyn
from orbisyn import _paths
from orbisyn.simulator import cli
from orbisyn.simulator.hosting import prefix as wine_prefix_mod
from orbisyn.simulator.hosting import relayed
from support.other_user import other_user
from support.simulated import wait_named
from test_sim_wine import (fake_prefix, fake_relay, linux_only, real_relay, run_cli,  # noqa: F401
                           wine_prefix, wine_processes)

TREES = """\
 pid      threads  executable (all id:s are in hex)
 000000f8 1        'start.exe'
=00000100 1        \\_ 'winedbg.exe'
 000000d8 1        'orbisyn-relay.exe'
 00000120 2        \\_ 'terminal64.exe'
 00000040 2        'explorer.exe'
 00000038 7        'services.exe'
 000000bc 3        \\_ 'svchost.exe'
 00000078 8        \\_ 'winedevice.exe'
 00000130 1        'cmd.exe'
 00000134 1          \\_ 'conhost.exe'
"""


@pytest.mark.parametrize("text, trees", [
    (TREES, [["orbisyn-relay.exe", "terminal64.exe"], ["cmd.exe", "conhost.exe"]]),
    # Wine's own and the question's only.
    ("\n".join(TREES.splitlines()[:3] + TREES.splitlines()[5:9]), []),
    ("wine: could not load kernel32.dll\n", None),
])
def test_windows_programs_from_wines_process_list(text, trees):
    assert wine_prefix_mod.parse_process_list(text) == trees


# ---- without Wine: who may be ended ----------------------------------------------------------

def look_alike(folder: str, *, user=None, prefix: str, wine: bool = True) -> subprocess.Popen:
    """A process that looks like the prefix's serve-terminal relay (argv, WINEPREFIX, an
    image named as Wine's loader: a copy of bash reading a script named serve-terminal),
    as us or as another user; it waits on its standard input."""
    loader = os.path.join(folder, "wine64" if wine else "plain")
    if not os.path.exists(loader):
        shutil.copy("/bin/bash", loader)
        os.chmod(loader, 0o755)
        with open(os.path.join(folder, "serve-terminal"), "w") as f:
            f.write("read -t 60 line\n")
        os.chmod(os.path.join(folder, "serve-terminal"), 0o644)
    argv = ["bash", "-c", 'exec -a "$0" "$@"', "/opt/orbisyn/orbisyn-relay.exe", loader, "serve-terminal"]
    kw = dict(env={"PATH": "/usr/bin:/bin", "WINEPREFIX": prefix}, cwd=folder, stdin=subprocess.PIPE)
    return user.popen(argv, **kw) if user else subprocess.Popen(argv, **kw)


@linux_only
@pytest.mark.parametrize("simulated", [True, False], ids=["simulated-terminal", "real-terminals-prefix"])
def test_stop_wine_ends_relays_of_ours_only(fake_prefix, fake_relay, sim_env, capsys, simulated):
    # Without a simulated Terminal there, the relay of initialize() is stopped all the same.
    if simulated:
        assert cli.main(["install", "--wine", fake_prefix]) == 0
    record = wine_prefix_mod.record_path(fake_prefix)
    with open(record, "w") as f:
        f.write(f"port=4242\ntoken={'ab' * 32}\npid=1\nstart=1\n")
    os.chmod(record, 0o600)
    folder = tempfile.mkdtemp(prefix="orbisyn-stand-in.")
    os.chmod(folder, 0o755)
    ours = look_alike(folder, prefix=fake_prefix)
    plain = look_alike(folder, prefix=fake_prefix, wine=False)
    others = look_alike(folder, prefix=fake_prefix, user=other_user())
    try:
        for p in (ours, plain, others):
            wait_named(p.pid, "/opt/orbisyn/orbisyn-relay.exe")
        capsys.readouterr()
        assert cli.main(["status", "--wine", fake_prefix]) == (1 if simulated else 2)   # not running; not installed
        assert f"initialize   : a relay of it runs (pid {ours.pid}) without a record here" in capsys.readouterr().out
        assert cli.main(["stop", "--wine", fake_prefix]) == 0
        assert f"stopped the relay of initialize() (pid {ours.pid})" in capsys.readouterr().out
        assert ours.wait(5) is not None
        # A program of ours that only carries WINEPREFIX, and another user's process, are left.
        assert plain.poll() is None and others.poll() is None
        assert not os.path.lexists(record)
    finally:
        for p in (ours, plain, others):
            p.kill()
            p.wait()
            p.stdin.close()
        shutil.rmtree(folder)


@linux_only
def test_a_simulated_terminal_in_a_prefix_names_its_windows_folders(fake_prefix, fake_relay, sim_env):
    from orbisyn.simulator import protocol
    from orbisyn.simulator.serving.client import RawClient
    from orbisyn.simulator.serving.running import running_pid
    assert cli.main(["install", "--wine", fake_prefix]) == 0
    inst = relayed.find_wine(fake_prefix)
    argv = relayed.simulator_argv(sys.executable, inst["exe"], inst["data_dir"], None)
    proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 30
        while not running_pid(inst["exe"], inst["data_dir"]) or not os.path.exists(_paths.socket_path(inst["exe"])):
            assert proc.poll() is None and time.monotonic() < deadline
            time.sleep(0.05)
        with RawClient(_paths.socket_path(inst["exe"])) as c:
            status, body = c.call(protocol.Command.TERMINAL_INFO)
        info = protocol.TERMINAL_LAYOUT.unpack(body)
    finally:
        proc.terminate()
        proc.wait(10)
    user_data = "C:\\users\\" + relayed._unix_user() + "\\AppData\\Roaming\\Quillmark\\Terminal\\"
    assert status == 0 and info["path"] == "C:\\Program Files\\Orbisyn Simulated Terminal"
    assert info["data_path"] == user_data + os.path.basename(inst["data_dir"])
    assert info["commondata_path"] == user_data + "Common"


# ---- with Wine --------------------------------------------------------------------------------

def runtime_files_with(token: str) -> list[str]:
    folder = os.environ["XDG_RUNTIME_DIR"]
    found = []
    for name in os.listdir(folder):
        path = os.path.join(folder, name)
        if os.path.isfile(path) and token.encode() in open(path, "rb").read():
            found.append(name)
    return found


@pytest.fixture
def installed(wine_prefix, sim_env, monkeypatch):
    monkeypatch.setenv("ORBISYN_RELAY", real_relay())
    monkeypatch.setenv("WINEPREFIX", wine_prefix)
    done = run_cli("install", "--wine", wine_prefix)
    assert done.returncode == 0, done.stderr
    yield relayed.find_wine(wine_prefix)
    orbisyn.shutdown()
    run_cli("stop", "--wine", wine_prefix)


def test_stop_wine_leaves_no_process_and_no_token(installed, wine_prefix):
    # A plain initialize() with WINEPREFIX set: the Terminal in that prefix, through the relay.
    assert orbisyn.initialize(timeout=120_000), orbisyn.last_error()
    info = orbisyn.terminal_info()
    assert info.path == relayed.WINE_INSTALL_DIR
    assert info.data_path == relayed.to_windows(wine_prefix, installed["data_dir"])
    orbisyn.shutdown()
    relay = wine_prefix_mod.module_relay(wine_prefix)
    assert relay is not None and relay.runs()
    token = open(relay.record).read().split("token=")[1].split()[0]
    status = run_cli("status", "--wine", wine_prefix)
    assert f"initialize   : its relay runs (pid {relay.pid}, 127.0.0.1:{relay.port})" in status.stdout
    server = wine_prefix_mod.wineserver_pid(wine_prefix)
    assert f"wine server  : pid {server}; Windows programs: orbisyn-relay.exe > terminal64.exe" in status.stdout
    stopped = run_cli("stop", "--wine", wine_prefix)
    assert stopped.returncode == 0, stopped.stdout + stopped.stderr
    assert f"stopped the relay of initialize() (pid {relay.pid})" in stopped.stdout
    assert f"ended Wine's server of the prefix and its helpers (wineserver pid {server})" in stopped.stdout
    assert wine_prefix_mod.prefix_processes(wine_prefix) == [] and wine_processes(wine_prefix) == []
    assert runtime_files_with(token) == [] and not os.path.exists(relay.record)
    status = run_cli("status", "--wine", wine_prefix)
    assert "initialize   : no relay of it runs" in status.stdout and "wine server  : not running" in status.stdout


def test_stop_wine_spares_another_windows_program(installed, wine_prefix):
    assert orbisyn.initialize(timeout=120_000), orbisyn.last_error()
    orbisyn.shutdown()
    other = subprocess.Popen(["wine", "cmd.exe"], env=relayed.wine_env(wine_prefix), stdin=subprocess.PIPE,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 30
        while "cmd.exe" not in str(wine_prefix_mod.windows_programs(wine_prefix)):
            assert time.monotonic() < deadline, wine_prefix_mod.windows_programs(wine_prefix)
            time.sleep(0.2)
        relay = wine_prefix_mod.module_relay(wine_prefix)
        stopped = run_cli("stop", "--wine", wine_prefix)
        assert stopped.returncode == 0, stopped.stderr
        [left] = [line for line in stopped.stdout.splitlines() if line.startswith("left running")]
        assert left.startswith("left running in the Wine prefix: the relay of initialize() and Wine's server; "
                               "other Windows programs run there: ") and left.endswith("cmd.exe"), left
        assert relay.runs() and wine_prefix_mod.wineserver_pid(wine_prefix) is not None
    finally:
        other.stdin.close()
        other.wait(30)
    stopped = run_cli("stop", "--wine", wine_prefix)
    assert stopped.returncode == 0 and "ended Wine's server" in stopped.stdout, stopped.stdout + stopped.stderr
    assert wine_prefix_mod.prefix_processes(wine_prefix) == []


# ---- install --wine: Wine's chatter only when it failed ----------------------------------------

@linux_only
@pytest.mark.parametrize("fails", [False, True])
def test_install_wine_shows_wines_output_only_on_failure(tmp_path, sim_env, fake_relay, monkeypatch, capsys,
                                                         fails):
    # A wineboot that talks as Debian's wrapper does, then makes the prefix (or not).
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    (bin_dir / "wine").write_text("#!/bin/sh\nexit 0\n")
    (bin_dir / "wineboot").write_text(
        "#!/bin/sh\n"
        "echo 'it looks like wine32 is missing, you should install it.' >&2\n"
        "echo 'wine: created the configuration directory' >&2\n"
        + ("echo 'wine: could not load kernel32.dll' >&2\nexit 1\n" if fails else
           'mkdir -p "$WINEPREFIX/dosdevices" "$WINEPREFIX/drive_c/users/$(id -un)"\n'))
    for name in ("wine", "wineboot"):
        (bin_dir / name).chmod(0o755)
    monkeypatch.setenv("PATH", f"{bin_dir}:{os.environ['PATH']}")
    prefix = tmp_path / "new-prefix"
    code = cli.main(["install", "--wine", str(prefix)])
    out = capsys.readouterr()
    if fails:
        assert code == 1 and out.err.startswith(f"orbisyn-terminal: wineboot -i failed for {prefix} (exit 1): ")
        assert out.err.rstrip().endswith("wine: could not load kernel32.dll")
    else:
        assert code == 0 and out.err == ""
        assert out.out.startswith(f"creating the Wine prefix {prefix}")
        assert "wine32" not in out.out and "wine:" not in out.out
