"""The road to a Terminal inside a Wine prefix, without Wine: a script named ``wine`` on
PATH starts support/fake_relay.py, which answers as the relay does and joins the client
to a fake Terminal's socket. Strangers on the relay's port are support/strangers.py, run as
a second user where one can be made. The real relay under Wine is tested in
tests/sim/test_wine_chain.py and tests/windows/relay_cases.py."""
from __future__ import annotations

import hashlib
import json
import os
import signal
import stat
import sys
import threading
import time
from pathlib import Path

import pytest

import orbisyn
from support.fake_terminal import i32, no_reply, reply, request, text, u64
from support.other_user import other_user
from support.strangers import Squatter, second_user

FAKE_RELAY = Path(__file__).parent / "support" / "fake_relay.py"


class Prefix:
    """A folder that looks like a Wine prefix, with a Terminal at C:\\Terminal."""

    def __init__(self, root: Path):
        self.root = root
        (root / "drive_c" / "Terminal").mkdir(parents=True)
        (root / "system.reg").write_text("WINE REGISTRY Version 2\n")
        (root / "dosdevices").mkdir()
        (root / "dosdevices" / "c:").symlink_to("../drive_c")
        self.exe = root / "drive_c" / "Terminal" / "terminal64.exe"
        self.exe.write_bytes(b"MZ")

    def data_folder(self, user: str = "someone", name: str = "D0", origin: str = "C:\\Terminal") -> Path:
        folder = root = self.root / "drive_c" / "users" / user / "AppData" / "Roaming" / "Quillmark" / "Terminal" / name
        (folder / "Scrivel").mkdir(parents=True)
        (folder / "config").mkdir()
        (folder / "config" / "terminal.ini").write_text("[Common]\n")
        (folder / "origin.txt").write_bytes(b"\xff\xfe" + origin.encode("utf-16-le"))
        return root


class Relays:
    """Reads what the fake relays logged; ends them at teardown."""

    def __init__(self, log: Path):
        self.log = log

    def events(self, kind: str) -> list[dict]:
        if not self.log.exists():
            return []
        lines = self.log.read_text().splitlines()
        return [e for e in map(json.loads, lines) if e["event"] == kind]

    def kill(self) -> None:
        for e in self.events("start"):
            try:
                os.kill(e["pid"], signal.SIGKILL)
            except ProcessLookupError:
                pass
        for e in self.events("start"):
            wait_gone(e["pid"])

    def port(self) -> int:
        return int(record_of(self.runtime)["port"])


def wait_gone(pid: int) -> None:
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        try:
            state = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0]
        except (FileNotFoundError, ProcessLookupError):
            return
        if state in "ZX":
            return
        time.sleep(0.01)


def relay_files(runtime: Path) -> dict[str, Path]:
    """The record, its lock and the log, by their suffix ("" for the record)."""
    found = {p.name.split(".", 1)[1] if "." in p.name else "": p
             for p in runtime.iterdir() if p.name.startswith("orbisyn-relay-")}
    return found


def record_of(runtime: Path) -> dict[str, str]:
    return dict(line.split("=", 1) for line in relay_files(runtime)[""].read_text().split())


def start_time(pid: int) -> int:
    return int(Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[19])


@pytest.fixture
def prefix(tmp_path) -> Prefix:
    return Prefix(tmp_path / "pfx")


@pytest.fixture
def relays(tmp_path, monkeypatch, fake_terminal, private_env):
    """`wine` on PATH is the fake relay; it joins clients to the fake Terminal."""
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    wine = bin_dir / "wine"
    wine.write_text(f"#!/bin/sh\nexec {sys.executable} {FAKE_RELAY} \"$@\"\n")
    wine.chmod(0o755)
    relay_exe = tmp_path / "orbisyn-relay.exe"
    relay_exe.write_bytes(b"MZ")
    log = tmp_path / "relay.jsonl"
    monkeypatch.setenv("PATH", str(bin_dir))
    monkeypatch.setenv("ORBISYN_RELAY", str(relay_exe))
    monkeypatch.setenv("FAKE_RELAY_LOG", str(log))
    monkeypatch.setenv("FAKE_RELAY_SOCKET", fake_terminal.socket_path)
    monkeypatch.delenv("WINEDEBUG", raising=False)
    monkeypatch.delenv("WINEPREFIX", raising=False)
    fake_terminal.auto(build=3000, state=2)
    r = Relays(log)
    r.runtime = private_env
    r.bytes = tmp_path / "relay-bytes"
    monkeypatch.setenv("FAKE_RELAY_BYTES", str(r.bytes))
    yield r
    orbisyn.shutdown()
    r.kill()


def init_error() -> str:
    code, message = orbisyn.last_error()
    assert code == -10003, (code, message)
    return message


# ---- which paths go through Wine, and the failures before any relay ----------------------

@pytest.mark.parametrize("form", ["drive_c", "dosdevices", "symlink", "relative"])
def test_paths_in_a_prefix_go_to_wine(prefix, tmp_path, monkeypatch, form):
    monkeypatch.setenv("PATH", str(tmp_path))  # no wine
    if form == "drive_c":
        path = str(prefix.exe)
    elif form == "dosdevices":
        path = str(prefix.root / "dosdevices" / "c:" / "Terminal" / "terminal64.exe")
    elif form == "symlink":
        (tmp_path / "link").symlink_to(prefix.exe)
        path = str(tmp_path / "link")
    else:
        monkeypatch.chdir(prefix.root / "drive_c")
        path = "Terminal/terminal64.exe"
    assert orbisyn.initialize(path=path) is False
    assert "wine not found on PATH" in init_error()


def test_windows_path_needs_a_prefix(tmp_path, monkeypatch):
    monkeypatch.setenv("WINEPREFIX", str(tmp_path / "nowhere"))
    assert orbisyn.initialize(path=r"C:\Program Files\T\terminal64.exe") is False
    assert "No Wine prefix at" in init_error() and "nowhere" in init_error()


def test_missing_relay_program(prefix, relays, monkeypatch, tmp_path):
    monkeypatch.setenv("ORBISYN_RELAY", str(tmp_path / "gone.exe"))
    assert orbisyn.initialize(path=str(prefix.exe)) is False
    assert "orbisyn-relay.exe not found at" in init_error() and "gone.exe" in init_error()


def test_paths_outside_prefixes_stay_native(fake_terminal, tmp_path):
    # A drive_c folder that is no prefix (no system.reg, no dosdevices) means nothing.
    fake_terminal.auto(build=3000, state=2)
    assert orbisyn.initialize(path=fake_terminal.exe_path) is True


# ---- through the relay ---------------------------------------------------------------------

@pytest.mark.parametrize("portable", [False, True])
def test_hello_and_exchange_through_the_relay(prefix, relays, fake_terminal, portable):
    fake_terminal.script(reply(1, 1, i32(500) + i32(4850) + i32(0)))
    assert orbisyn.initialize(path=str(prefix.exe), portable=portable) is True
    assert orbisyn.version() == (500, 4850, "")
    (start,) = relays.events("start")
    (hello,) = relays.events("hello")
    assert start["argv"][1:3] == ["serve-terminal", "--log"]
    assert start["argv"][3] == str(relay_files(relays.runtime)["log"])
    assert start["prefix"] == str(prefix.root)
    assert start["winedebug"] == "-all"
    assert start["stdin_ended"] is True
    assert hello == {"event": "hello", "magic": "ORBR", "proof_ok": True, "flags": int(portable),
                     "path": "C:\\Terminal\\terminal64.exe"}


def test_relay_is_reused_and_its_files_are_private(prefix, relays, private_env, monkeypatch):
    monkeypatch.setattr(os, "umask", os.umask)  # restored below whatever happens
    old = os.umask(0)  # files made 0600 whatever the umask
    try:
        for _ in range(3):
            assert orbisyn.initialize(path=str(prefix.exe)) is True
    finally:
        os.umask(old)
    assert len(relays.events("start")) == 1
    assert len(relays.events("hello")) == 3
    files = relay_files(private_env)
    assert sorted(files) == ["", "lock", "log"]
    for f in files.values():
        st = f.lstat()
        assert stat.S_ISREG(st.st_mode) and stat.S_IMODE(st.st_mode) == 0o600, f
    record = record_of(private_env)
    pid = relays.events("start")[0]["pid"]
    assert (int(record["pid"]), int(record["start"])) == (pid, start_time(pid))
    for where in ("cmdline", "environ"):
        assert record["token"].encode() not in Path(f"/proc/{pid}/{where}").read_bytes()


def test_a_relay_that_went_away_is_replaced(prefix, relays):
    assert orbisyn.initialize(path=str(prefix.exe)) is True
    orbisyn.shutdown()
    relays.kill()
    assert orbisyn.initialize(path=str(prefix.exe)) is True
    assert len(relays.events("start")) == 2


@pytest.mark.parametrize("mode, expected", [
    ("fail:Process create failed 'C:\\Terminal\\terminal64.exe'",
     "IPC initialize failed, Process create failed 'C:\\Terminal\\terminal64.exe'"),
    ("exit", "the relay exited before it listened"),
    ("squat", "did not prove that it is the relay"),
    ("forge", "did not prove that it is the relay"),
    ("mute", "did not answer within 2 s"),
])
def test_relay_failures_say_what_happened(prefix, relays, monkeypatch, mode, expected):
    monkeypatch.setenv("FAKE_RELAY_MODE", mode)
    started = time.monotonic()
    assert orbisyn.initialize(path=str(prefix.exe), password="hunter2") is False
    assert time.monotonic() - started < 8  # never the whole time limit
    message = init_error()
    assert expected in message
    assert len(relays.events("start")) == 1  # a relay started now is not started again
    if mode == "exit":
        assert "fake relay gives up" in message  # the tail of its log
    # Only our hellos reached a peer that did not prove itself.
    assert "hunter2".encode("utf-16-le") not in (relays.bytes.read_bytes() if relays.bytes.exists() else b"")


@pytest.mark.parametrize("timeout", [1500, None])
def test_a_relay_that_keeps_dropping_us_is_retried_never_replaced(prefix, relays, monkeypatch, timeout):
    # What a flood of strangers makes a live relay do to our handshake.
    monkeypatch.setenv("FAKE_RELAY_MODE", "drop")
    started = time.monotonic()
    assert orbisyn.initialize(path=str(prefix.exe), **({"timeout": timeout} if timeout else {})) is False
    if timeout:
        assert orbisyn.last_error() == (-10005, "IPC timeout")
    else:
        assert "kept closing our connection for 15 s" in init_error()
        assert time.monotonic() - started < 25
    assert len(relays.events("start")) == 1
    tries = relays.bytes.read_bytes()
    assert len(tries) % 36 == 0 and len(tries) // 36 >= 3, len(tries)


def test_the_log_of_a_running_relay_is_kept(prefix, relays, private_env, monkeypatch):
    assert orbisyn.initialize(path=str(prefix.exe)) is True
    orbisyn.shutdown()
    log = relay_files(private_env)["log"]
    with open(log, "a") as writer:  # the running relay's own line
        writer.write("earlier relay: still writing\n")
    relay_files(private_env)[""].unlink()  # its record lost: the next start cannot know it
    monkeypatch.setenv("FAKE_RELAY_MODE", "exit")
    assert orbisyn.initialize(path=str(prefix.exe)) is False
    message = init_error()
    assert "fake relay gives up" in message and "earlier relay" not in message  # this start's tail
    assert log.read_text().startswith("earlier relay: still writing\n")
    assert log.stat().st_ino == os.stat(writer.name).st_ino


# ---- strangers on the relay's port ----------------------------------------------------------

def log_in(prefix, fake_terminal, **kwargs):
    fake_terminal.script(reply(5, 0))
    assert orbisyn.initialize(path=str(prefix.exe), login=5001, password="hunter2", **kwargs) is True
    assert request(5, i32(0) + u64(5001) + text("hunter2") + text("")) in fake_terminal.requests()


@pytest.mark.parametrize("mode", ["squat", "mute"])
@pytest.mark.parametrize("local", [False, True], ids=["other-user", "same-user"])
def test_a_dead_relays_port_taken_by_a_stranger(prefix, relays, fake_terminal, mode, local):
    user = None if local else other_user()
    assert orbisyn.initialize(path=str(prefix.exe)) is True
    orbisyn.shutdown()
    port, token = relays.port(), record_of(relays.runtime)["token"]
    relays.kill()
    squatter = Squatter(port, mode, user)
    try:
        started = time.monotonic()
        log_in(prefix, fake_terminal)
        assert time.monotonic() - started < 5
    finally:
        got = squatter.stop()
    # A record whose relay has gone is not even tried: the stranger gets no connection.
    assert got == []
    assert len(relays.events("start")) == 2 and relays.port() != port
    assert record_of(relays.runtime)["token"] != token


@pytest.mark.parametrize("mode", ["squat", "forge", "mute"])
def test_a_stranger_behind_a_record_of_a_running_process(prefix, relays, fake_terminal, mode):
    # The record names a process that runs (ours), but the port is someone else's: a relay
    # that died a moment ago, its port taken before we looked.
    squatter = Squatter(0, mode, second_user())
    try:
        record = relays.runtime / ("orbisyn-relay-" + record_key(prefix))
        fake_token = "ab" * 32
        record.write_text(f"port={squatter.port}\ntoken={fake_token}\npid={os.getpid()}\n"
                          f"start={start_time(os.getpid())}\n")
        record.chmod(0o600)
        started = time.monotonic()
        log_in(prefix, fake_terminal)
        assert time.monotonic() - started < 8  # two silent tries of 2 s at most
    finally:
        got = squatter.stop()
    assert len(got) >= 1 and all(len(b) == 36 and b[:4] == b"ORBR" for b in got), got
    assert all(bytes.fromhex(fake_token) not in b for b in got)
    assert len(relays.events("start")) == 1 and relays.port() != squatter.port


def record_key(prefix) -> str:
    return hashlib.sha256(os.path.realpath(prefix.root).encode()).hexdigest()[:16]


@pytest.mark.parametrize("flaw", ["mode 0644", "mode 0640", "another owner", "symlink", "fifo"])
def test_a_record_not_private_is_never_followed(prefix, relays, fake_terminal, tmp_path, flaw):
    squatter = Squatter(0, "squat", None)
    try:
        record = relays.runtime / ("orbisyn-relay-" + record_key(prefix))
        text_ = (f"port={squatter.port}\ntoken={'cd' * 32}\npid={os.getpid()}\n"
                 f"start={start_time(os.getpid())}\n")
        if flaw == "symlink":
            target = tmp_path / "elsewhere"
            target.write_text(text_)
            target.chmod(0o600)
            record.symlink_to(target)
        elif flaw == "fifo":
            os.mkfifo(record, 0o600)
        else:
            record.write_text(text_)
            record.chmod(0o600 if flaw == "another owner" else int(flaw[-4:], 8))
            if flaw == "another owner":
                user = other_user()
                os.chown(record, user.uid, user.gid)
        log_in(prefix, fake_terminal)
    finally:
        got = squatter.stop()
    assert got == []
    st = relay_files(relays.runtime)[""].lstat()
    assert stat.S_ISREG(st.st_mode) and st.st_uid == os.getuid() and stat.S_IMODE(st.st_mode) == 0o600


@pytest.mark.parametrize("flaw", ["mode 0666", "another owner", "symlink"])
def test_a_lock_file_not_private_is_replaced(prefix, relays, tmp_path, flaw):
    lock = relays.runtime / ("orbisyn-relay-" + record_key(prefix) + ".lock")
    if flaw == "symlink":
        (tmp_path / "victim").write_text("keep")
        lock.symlink_to(tmp_path / "victim")
    else:
        lock.write_text("")
        lock.chmod(0o666)
        if flaw == "another owner":
            user = other_user()
            os.chown(lock, user.uid, user.gid)
    assert orbisyn.initialize(path=str(prefix.exe)) is True
    st = lock.lstat()
    assert stat.S_ISREG(st.st_mode) and st.st_uid == os.getuid() and stat.S_IMODE(st.st_mode) == 0o600
    if flaw == "symlink":
        assert (tmp_path / "victim").read_text() == "keep"


def test_terminal_gone_mid_session_closes_the_link(prefix, relays, fake_terminal):
    assert orbisyn.initialize(path=str(prefix.exe)) is True
    fake_terminal.script(no_reply(hold=0.1))
    assert orbisyn.positions_total() is None
    assert orbisyn.last_error()[0] in (-10002, -10004)
    assert orbisyn.positions_total() is None
    assert orbisyn.last_error() == (-10004, "No IPC connection")


def test_locator_finds_terminals_in_prefixes(prefix, relays, monkeypatch):
    prefix.data_folder()
    monkeypatch.setenv("WINEPREFIX", str(prefix.root))
    assert orbisyn.initialize() is True
    (hello,) = relays.events("hello")
    assert hello["path"] == "C:\\Terminal\\terminal64.exe"


def test_locator_skips_folders_naming_no_terminal(prefix, relays, monkeypatch):
    prefix.data_folder(origin="C:\\Elsewhere")
    monkeypatch.setenv("WINEPREFIX", str(prefix.root))
    assert orbisyn.initialize() is False
    looked = f"'{prefix.root}/drive_c/users/*/AppData/Roaming/Quillmark/Terminal/'"
    assert init_error().startswith("IPC initialize failed, Orbisyn x64 not found: looked in ")
    assert looked in init_error()
    assert relays.events("start") == []


# ---- which Terminal a plain initialize() picks, and what it says when it cannot ------------

def native_folder(exe: str, mtime: int) -> Path:
    """A native data folder naming exe, used last at mtime."""
    folder = Path(os.environ["XDG_DATA_HOME"]) / "Quillmark" / "Terminal" / "N0"
    (folder / "Scrivel").mkdir(parents=True)
    (folder / "config").mkdir()
    (folder / "origin.txt").write_bytes(b"\xff\xfe" + os.path.dirname(exe).encode("utf-16-le"))
    used_at(folder, mtime)
    return folder


def used_at(folder: Path, mtime: int) -> None:
    ini = folder / "config" / "terminal.ini"
    ini.write_text("[Common]\n")
    os.utime(ini, (mtime, mtime))


@pytest.fixture
def places(prefix, fake_terminal, tmp_path, monkeypatch):
    """Terminals natively, in a prefix WINEPREFIX may name, and in ~/.wine, as a case asks."""
    home = tmp_path / "home"
    home.mkdir()
    monkeypatch.setenv("HOME", str(home))
    monkeypatch.delenv("WINEPREFIX", raising=False)

    def make(native=None, env=None, home_wine=None, wineprefix=None):
        if native is not None:
            native_folder(fake_terminal.exe_path, native)
        if env is not None:
            used_at(prefix.data_folder(), env)
        if home_wine is not None:
            other = Prefix(home / ".wine")
            used_at(other.data_folder(), home_wine)
        if wineprefix == "prefix":
            monkeypatch.setenv("WINEPREFIX", str(prefix.root))
        elif wineprefix is not None:
            monkeypatch.setenv("WINEPREFIX", str(tmp_path / wineprefix))
        found = orbisyn._core._terminals()
        picked = None if found["pick"] is None else found["terminals"][found["pick"]]
        return found, picked

    make.home = home
    return make


OLD, NEW = 1_700_000_000, 1_700_000_100


NATIVE, ENV, HOME = "native", "WINEPREFIX", "~/.wine"
BY_NATIVE, BY_ENV, BY_HOME = ("it was used last of the Terminals in '", "WINEPREFIX names its prefix '",
                              "of the Terminals in the Wine prefix '")


@pytest.mark.parametrize("case, listed, expected, reason", [
    # Terminals laid out (and when each was used last), WINEPREFIX; the places listed, the
    # place picked and its reason's head. A prefix WINEPREFIX does not name is not looked in.
    (dict(native=OLD), [NATIVE], NATIVE, BY_NATIVE),
    (dict(env=OLD, wineprefix="prefix"), [ENV], ENV, BY_ENV),
    (dict(native=NEW, env=OLD, wineprefix="prefix"), [NATIVE, ENV], ENV, BY_ENV),
    (dict(native=OLD, env=NEW), [NATIVE], NATIVE, BY_NATIVE),
    (dict(native=OLD, home_wine=NEW), [NATIVE, HOME], NATIVE, BY_NATIVE),
    (dict(home_wine=OLD), [HOME], HOME, BY_HOME),
    (dict(native=OLD, home_wine=NEW, wineprefix="prefix"), [NATIVE, HOME], NATIVE, BY_NATIVE),
    (dict(env=OLD, home_wine=NEW, wineprefix="prefix"), [ENV, HOME], ENV, BY_ENV),
    (dict(native=OLD, wineprefix="gone"), [NATIVE], NATIVE, BY_NATIVE),
])
def test_the_pick_and_its_reason(places, prefix, case, listed, expected, reason):
    found, picked = places(**case)
    assert [t["place"] for t in found["terminals"]] == listed
    assert picked is not None and picked["place"] == expected, found
    assert found["reason"].startswith(reason), found["reason"]
    if expected != NATIVE:
        root = prefix.root if expected == ENV else places.home / ".wine"
        assert picked["prefix"] == str(root) and picked["windows_path"] == "C:\\Terminal\\terminal64.exe"
        assert picked["path"] == str(root / "dosdevices" / "c:" / "Terminal" / "terminal64.exe")
    if case.get("wineprefix") == "prefix" and expected == NATIVE:
        assert f"the Wine prefix WINEPREFIX names ('{prefix.root}') holds none" in found["reason"]
    if case.get("wineprefix") == "gone":
        assert found["reason"].endswith("/gone', which does not exist")


def test_initialize_goes_where_the_pick_points(places, prefix, relays, fake_terminal, monkeypatch):
    # A native Terminal used later, and one in the prefix WINEPREFIX names.
    _, picked = places(native=NEW, env=OLD, wineprefix="prefix")
    assert orbisyn.initialize() is True, orbisyn.last_error()
    (hello,) = relays.events("hello")
    assert hello["path"] == picked["windows_path"]
    orbisyn.shutdown()
    # Without WINEPREFIX the native one, straight to its socket: no second hello.
    monkeypatch.delenv("WINEPREFIX")
    assert orbisyn.initialize() is True, orbisyn.last_error()
    assert len(relays.events("hello")) == 1


def test_what_the_listing_skips_and_where_it_looked(places, prefix, monkeypatch):
    prefix.data_folder(name="D1", origin="C:\\Elsewhere")
    bare = prefix.data_folder(name="D2")
    (bare / "Scrivel").rmdir()
    monkeypatch.setenv("WINEPREFIX", str(prefix.root))
    found = orbisyn._core._terminals()
    assert found["pick"] is None and found["terminals"] == []
    assert found["looked_in"] == [
        os.path.join(os.environ["XDG_DATA_HOME"], "Quillmark", "Terminal") + "/",
        f"{prefix.root}/drive_c/users/*/AppData/Roaming/Quillmark/Terminal/"]
    assert sorted((os.path.basename(f), why) for f, why in found["skipped"]) == [
        ("D1", "origin.txt names 'C:\\Elsewhere', which holds no terminal64.exe"),
        ("D2", "no Scrivel folder (nor portable.txt)")]
    # What initialize() says is the listing's reason, word for word.
    assert orbisyn.initialize() is False
    assert init_error() == "IPC initialize failed, " + found["reason"]
    assert found["reason"].endswith("; install the simulated Terminal (orbisyn-terminal install), set WINEPREFIX "
                                    "to the Wine prefix that holds your Terminal, or pass its path: "
                                    "initialize(path=...)")


@pytest.mark.parametrize("where, expected", [
    ("missing prefix", "Process create failed '{path}': no such file; '{folder}' is no Wine prefix: "
                       "the folder does not exist"),
    ("folder, no prefix", "Process create failed '{path}': no such file; '{folder}' is no Wine prefix: "
                          "it holds neither system.reg nor dosdevices"),
    ("prefix, no file", "Process create failed 'C:\\Program Files\\Nothing Here\\terminal64.exe': "
                        "no such file in the Wine prefix '{folder}'"),
    ("windows form, no file", "Process create failed 'C:\\Program Files\\Nothing Here\\terminal64.exe': "
                              "no such file in the Wine prefix '{folder}'"),
    ("windows form, missing prefix", "No Wine prefix at '{folder}' for the Windows path '{path}': the folder "
                                     "does not exist (set WINEPREFIX to the prefix that holds the Terminal)"),
])
def test_setup_texts_say_what_is_missing(prefix, relays, tmp_path, monkeypatch, where, expected):
    folder = prefix.root if "prefix, no file" in where or where == "windows form, no file" else tmp_path / "nope"
    if where == "folder, no prefix":
        folder.mkdir()
    path = str(folder / "drive_c" / "Program Files" / "Nothing Here" / "terminal64.exe")
    if where.startswith("windows form"):
        monkeypatch.setenv("WINEPREFIX", str(folder))
        path = "C:\\Program Files\\Nothing Here\\terminal64.exe"
    started = time.monotonic()
    assert orbisyn.initialize(path=path) is False
    assert init_error() == "IPC initialize failed, " + expected.format(path=path, folder=folder)
    assert time.monotonic() - started < 2 and relays.events("start") == []  # no relay for it


# ---- waits that end early ---------------------------------------------------------------

def test_shutdown_from_another_thread_ends_the_wait_for_the_relay(prefix, relays, monkeypatch):
    monkeypatch.setenv("FAKE_RELAY_MODE", "slow:30")
    timer = threading.Timer(0.5, orbisyn.shutdown)
    timer.start()
    started = time.monotonic()
    assert orbisyn.initialize(path=str(prefix.exe)) is False
    assert time.monotonic() - started < 5
    timer.join()


@pytest.mark.parametrize("mode", ["silent", "slow:30"])
def test_ctrl_c_while_the_relay_starts_or_answers(prefix, relays, monkeypatch, mode):
    monkeypatch.setenv("FAKE_RELAY_MODE", mode)
    timer = threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    started = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        orbisyn.initialize(path=str(prefix.exe))
    assert time.monotonic() - started < 5
    timer.join()
    assert orbisyn.positions_total() is None
    assert orbisyn.last_error()[0] == -10004


@pytest.mark.parametrize("mode", ["silent", "slow:30"])
def test_initialize_timeout_bounds_the_relay(prefix, relays, monkeypatch, mode):
    monkeypatch.setenv("FAKE_RELAY_MODE", mode)
    started = time.monotonic()
    assert orbisyn.initialize(path=str(prefix.exe), timeout=1000) is False
    assert time.monotonic() - started < 2.5
    assert orbisyn.last_error() == (-10005, "IPC timeout")
