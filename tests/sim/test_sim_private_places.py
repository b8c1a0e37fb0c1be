"""Private places, attacked by a second local user: the socket and relay folder, the data
folders and installations, a Wine prefix.

The other user works in a shared, sticky temporary folder that the tests give as TMPDIR,
so that nothing here touches the real /tmp/orbisyn-UID that other tests share.
"""
from __future__ import annotations

import hashlib
import json
import os
import pwd
import shutil
import stat
import subprocess
import sys
import tempfile
import time

import pytest

import orbisyn
from orbisyn import _paths
from orbisyn.simulator import install as sim_install

from support.simulated import stop_pid_from_lock
from support.other_user import other_user

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="POSIX folders")

UID = os.getuid()
ME = pwd.getpwuid(UID).pw_name

# Listens where a victim might connect and says "connected" for every connection.
LISTEN_UNIX = r"""
import os, socket, sys
s = socket.socket(socket.AF_UNIX)
s.bind(sys.argv[1]); os.chmod(sys.argv[1], 0o777); s.listen(16)
print("ready", flush=True)
while True:
    s.accept(); print("connected", flush=True)
"""
LISTEN_TCP = r"""
import socket
s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen(16)
print(s.getsockname()[1], flush=True)
while True:
    s.accept(); print("connected", flush=True)
"""
# Tries every path given (JSON on stdin); prints those it could read or list.
PEEK = r"""
import json, os, sys
got = []
for path in json.load(sys.stdin):
    try:
        if os.path.isdir(path):
            os.listdir(path)
        else:
            open(path, "rb").close()
        got.append(path)
    except OSError:
        pass
print(json.dumps(got))
"""


class World:
    """TMPDIR (root's, sticky, open to all: the other user can make folders there) and a
    home (0755, so that only our own modes keep the other user out)."""

    def __init__(self, monkeypatch):
        self.tmp = tempfile.mkdtemp(prefix="opp", dir="/tmp")   # short: sockets go in it
        os.chmod(self.tmp, 0o1777)
        self.home = tempfile.mkdtemp(prefix="oph", dir="/tmp")
        os.chmod(self.home, 0o755)
        self.data = os.path.join(self.home, "data")
        self.control = os.path.join(self.home, "control")   # proves the other user gets this far
        with open(self.control, "w") as f:
            f.write("open to all")
        os.chmod(self.control, 0o644)
        self.mp = monkeypatch
        monkeypatch.setenv("TMPDIR", self.tmp)
        monkeypatch.setenv("XDG_DATA_HOME", self.data)
        monkeypatch.delenv("XDG_RUNTIME_DIR", raising=False)
        self.other = other_user()
        self.watchers: list[subprocess.Popen] = []
        self.installed: list[dict] = []

    def fallback(self, i: int = 0) -> str:
        return f"{self.tmp}/orbisyn-{UID}" + (f"-{i}" if i else "")

    def as_other(self, *argv: str) -> None:
        done = self.other.run(list(argv))
        assert done.returncode == 0, done.stderr

    def listen(self, code: str, *args: str) -> tuple[subprocess.Popen, str]:
        proc = self.other.python(code, *args, stdout=subprocess.PIPE, text=True)
        self.watchers.append(proc)
        return proc, proc.stdout.readline().strip()

    @staticmethod
    def heard(proc: subprocess.Popen) -> str:
        proc.kill()
        return proc.communicate(timeout=10)[0]

    def install(self) -> dict:
        res = sim_install.install(os.path.join(self.home, "inst"))
        settings = sim_install.load_settings(res["data_dir"])
        settings["connect_delay_ms"] = 0
        sim_install.save_settings(res["data_dir"], settings)
        self.installed.append(res)
        return res

    def wine_path(self) -> tuple[str, str]:
        """A Terminal path in a (bare) Wine prefix, and its prefix's relay record name."""
        prefix = os.path.join(self.home, "pfx")
        os.makedirs(os.path.join(prefix, "dosdevices"), exist_ok=True)
        os.makedirs(os.path.join(prefix, "drive_c", "T"), exist_ok=True)
        if not os.path.lexists(os.path.join(prefix, "dosdevices", "c:")):
            os.symlink("../drive_c", os.path.join(prefix, "dosdevices", "c:"))
        exe = os.path.join(prefix, "drive_c", "T", "terminal64.exe")
        with open(exe, "wb") as f:   # a missing one is reported before any relay
            f.write(b"MZ")
        key = hashlib.sha256(prefix.encode()).hexdigest()[:16]
        return exe, f"orbisyn-relay-{key}"

    def close(self) -> None:
        orbisyn.shutdown()
        for res in self.installed:
            try:
                stop_pid_from_lock(res["exe"])
            except OSError:   # no folder of ours: nothing ever started
                pass
        for proc in self.watchers:
            proc.kill()
            proc.wait()
        shutil.rmtree(self.tmp, ignore_errors=True)
        shutil.rmtree(self.home, ignore_errors=True)


@pytest.fixture
def world(monkeypatch):
    w = World(monkeypatch)
    yield w
    w.close()


def shared_runtime(world: World) -> str:
    """XDG_RUNTIME_DIR set to a folder every user may write to."""
    shared = tempfile.mkdtemp(prefix="ops", dir="/tmp")
    os.chmod(shared, 0o1777)
    world.mp.setenv("XDG_RUNTIME_DIR", shared)
    return shared


def taken_fallback(world: World) -> str:
    world.as_other("mkdir", "-m", "777", world.fallback())
    return world.fallback()


@pytest.mark.parametrize("place, ours", [(shared_runtime, 0), (taken_fallback, 1)],
                         ids=["shared XDG_RUNTIME_DIR", "fallback of another user"])
def test_a_socket_planted_by_another_user_is_never_reached(world, place, ours):
    res = world.install()
    planted = place(world)
    watcher, ready = world.listen(LISTEN_UNIX, os.path.join(planted, _paths.pipe_name(res["exe"])))
    assert ready == "ready"
    try:
        assert orbisyn.initialize(res["exe"], timeout=60000), orbisyn.last_error()
        assert orbisyn.account_info().balance == 10000.0
        # The module and the Terminal it started met in the same folder of our own.
        assert os.path.exists(os.path.join(world.fallback(ours), _paths.pipe_name(res["exe"])))
        assert _paths.socket_path(res["exe"]).startswith(world.fallback(ours) + "/")
    finally:
        orbisyn.shutdown()
        if place is shared_runtime:
            shutil.rmtree(planted, ignore_errors=True)
    assert "connected" not in world.heard(watcher)


@pytest.mark.parametrize("place, ours", [(shared_runtime, 0), (taken_fallback, 1)],
                         ids=["shared XDG_RUNTIME_DIR", "fallback of another user"])
def test_a_relay_record_planted_by_another_user_is_never_used(world, place, ours, tmp_path):
    path, record = world.wine_path()
    planted = place(world)
    watcher, port = world.listen(LISTEN_TCP)
    code = f"open({os.path.join(planted, record)!r}, 'w').write('port={port}\\ntoken={'ab' * 32}\\n')"
    world.as_other(world.other.python_exe, "-c", code)
    world.mp.setenv("PATH", str(tmp_path))   # no wine: a fresh relay cannot start
    try:
        assert orbisyn.initialize(path, timeout=20000) is False
        # It went for a fresh relay, with its lock in a private folder of ours.
        assert any(n.startswith("orbisyn-relay-") for n in os.listdir(world.fallback(ours)))
        assert stat.S_IMODE(os.stat(world.fallback(ours)).st_mode) == 0o700
    finally:
        if place is shared_runtime:
            shutil.rmtree(planted, ignore_errors=True)
    assert "connected" not in world.heard(watcher)


def _module(world, res):
    ok = orbisyn.initialize(res["exe"], timeout=30000)
    assert ok is False and orbisyn.last_error()[0] == -10003
    return orbisyn.last_error()[1]


def _module_relay(world, res):
    path, _ = world.wine_path()
    assert orbisyn.initialize(path, timeout=30000) is False
    return orbisyn.last_error()[1]


def _terminal(world, res):
    done = subprocess.run([res["exe"]], capture_output=True, text=True, timeout=60)
    assert done.returncode == 4
    return done.stderr


def _cli_run(world, res):
    done = subprocess.run([sys.executable, "-m", "orbisyn.simulator", "run", "--dir", res["install_dir"]],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 1
    return done.stderr


@pytest.mark.parametrize("who", [_module, _module_relay, _terminal, _cli_run],
                         ids=["module", "module via relay", "simulated Terminal", "cli run"])
def test_every_folder_taken_fails_at_once_naming_it_and_the_fix(world, who):
    res = world.install()
    for i in range(_paths.FALLBACK_ALTERNATIVES + 1):
        world.as_other("mkdir", "-m", "700", world.fallback(i))
    start = time.monotonic()
    text = who(world, res)
    took = time.monotonic() - start
    assert world.fallback() in text and "XDG_RUNTIME_DIR" in text and "mode 0700" in text, text
    assert took < 10, f"{took:.1f} s: it waited instead of saying so"
    if who is _module:   # nothing was started that could only fail
        assert not os.path.exists(os.path.join(res["data_dir"], "logs", "simulator.log"))


# ---- modes of what is made ----------------------------------------------------------------------

USE_TERMINAL = r"""
import sys, orbisyn
assert orbisyn.initialize(sys.argv[1], timeout=60000), orbisyn.last_error()
sent = orbisyn.order_send(action=1, symbol="BTCUSD", volume=0.01, type=0)
assert sent is not None and sent.retcode == 10009, (sent, orbisyn.last_error())
orbisyn.shutdown()
"""

FAKE_WINEBOOT = """#!/bin/sh
# Lays out a bare prefix as wineboot would, with whatever umask it was given.
mkdir -p "$WINEPREFIX/drive_c/users/$(id -un)/AppData/Roaming" "$WINEPREFIX/dosdevices"
echo registry > "$WINEPREFIX/system.reg"
"""


def _walk(*roots: str) -> list[str]:
    found = []
    for root in roots:
        found.append(root)
        for folder, dirs, files in os.walk(root):
            found += [os.path.join(folder, n) for n in dirs + files]
    return found


def _open_to_others(paths: list[str]) -> list[str]:
    return [f"{p} {stat.S_IMODE(os.lstat(p).st_mode):04o}" for p in paths if os.lstat(p).st_mode & 0o077]


def _other_reaches(world: World, paths: list[str]) -> list[str]:
    """Those of paths that the other user can read or list (the control file aside)."""
    proc = world.other.python(PEEK, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    out, _ = proc.communicate(json.dumps(paths + [world.control]), timeout=60)
    reached = json.loads(out)
    assert world.control in reached
    return [p for p in reached if p != world.control]


def _cli(world: World, umask: int, *args: str) -> subprocess.CompletedProcess:
    done = subprocess.run([sys.executable, "-m", "orbisyn.simulator", *args], capture_output=True,
                          text=True, timeout=120, umask=umask, stdin=subprocess.DEVNULL)
    assert done.returncode == 0, done.stderr
    return done


def _install_in_process(world: World, umask: int, inst: str) -> None:
    old = os.umask(umask)
    try:
        sim_install.install(inst)
    finally:
        os.umask(old)


@pytest.mark.parametrize("umask", [0o000, 0o022], ids=["umask 000", "umask 022"])
@pytest.mark.parametrize("how", ["cli", "library"])
def test_posix_install_and_running_terminal_make_nothing_others_reach(world, umask, how):
    inst = os.path.join(world.home, "inst")
    if how == "cli":
        _cli(world, umask, "install", "--dir", inst)
    else:
        _install_in_process(world, umask, inst)
    res = sim_install.find(inst)
    world.installed.append(res)
    used = subprocess.run([sys.executable, "-c", USE_TERMINAL, res["exe"]], capture_output=True, text=True,
                          timeout=120, umask=umask)
    assert used.returncode == 0, used.stderr
    made = _walk(world.data, inst, world.fallback())
    names = {os.path.basename(p) for p in made}
    # While it runs: the store with its journal files, the log, the login facts, the relay endpoint.
    assert {"trading.sqlite", "trading.sqlite-wal", "trading.sqlite-shm", "simulator.log", "login.json",
            "accounts.dat", "simulator.json", "relay", "endpoint", "terminal64.exe"} <= names, names
    assert _open_to_others(made) == []
    assert _other_reaches(world, made) == []


@pytest.fixture
def fake_wine(world, tmp_path):
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    for name, text in (("wineboot", FAKE_WINEBOOT), ("wine", "#!/bin/sh\nexit 0\n")):
        (bin_dir / name).write_text(text)
        (bin_dir / name).chmod(0o755)
    relay = tmp_path / "relay.exe"
    relay.write_bytes(b"MZ relay")
    world.mp.setenv("PATH", f"{bin_dir}:{os.environ['PATH']}")
    world.mp.setenv("ORBISYN_RELAY", str(relay))
    return os.path.join(world.home, "pfx")


@pytest.mark.parametrize("umask", [0o000, 0o022], ids=["umask 000", "umask 022"])
def test_wine_install_makes_a_private_prefix(world, fake_wine, umask):
    done = _cli(world, umask, "install", "--wine", fake_wine)
    assert "warning" not in done.stdout
    made = _walk(fake_wine)
    assert any(p.endswith("terminal64.exe") for p in made) and any(p.endswith("simulator.json") for p in made)
    assert _open_to_others(made) == []
    assert _other_reaches(world, made) == []


@pytest.mark.parametrize("mode, warned", [(0o755, True), (0o770, True), (0o711, False), (0o700, False)],
                         ids=["0755", "0770", "0711", "0700"])
def test_wine_install_into_an_open_prefix_says_so(world, fake_wine, mode, warned):
    os.makedirs(os.path.join(fake_wine, "drive_c", "users", ME))
    os.makedirs(os.path.join(fake_wine, "dosdevices"))
    os.chmod(fake_wine, mode)
    done = _cli(world, 0o022, "install", "--wine", fake_wine)
    said = [line for line in done.stdout.splitlines() if line.startswith("warning")]
    if warned:
        assert len(said) == 1 and fake_wine in said[0] and f"chmod 700 {fake_wine}" in said[0], done.stdout
    else:
        assert said == []
    # Ours inside it are private whatever the prefix's own mode.
    ours = [os.path.join(fake_wine, "drive_c", "users", ME, "AppData", "Roaming", "Quillmark"),
            os.path.join(fake_wine, "drive_c", "Program Files")]
    assert _open_to_others(_walk(*ours)) == []
