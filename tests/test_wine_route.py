"""The road to a Terminal inside a Wine prefix, without Wine: a script named ``wine`` on
PATH starts support/fake_relay.py, which answers as the relay does and joins the client
to a fake Terminal's socket. The real relay under Wine is tested in tests/wine/."""
from __future__ import annotations

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
from support.fake_terminal import i32, no_reply, reply

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


@pytest.fixture
def prefix(tmp_path) -> Prefix:
    return Prefix(tmp_path / "pfx")


@pytest.fixture
def relays(tmp_path, monkeypatch, fake_terminal):
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
    assert start["argv"][1:] == ["serve-terminal"]
    assert start["prefix"] == str(prefix.root)
    assert start["winedebug"] == "-all"
    assert hello == {"event": "hello", "magic": "ORBR", "token_ok": True, "flags": int(portable),
                     "path": "C:\\Terminal\\terminal64.exe"}


def test_relay_is_reused_and_its_record_is_private(prefix, relays, private_env):
    for _ in range(3):
        assert orbisyn.initialize(path=str(prefix.exe)) is True
    assert len(relays.events("start")) == 1
    assert len(relays.events("hello")) == 3
    (record,) = [p for p in private_env.iterdir() if p.name.startswith("orbisyn-relay-")
                 and "." not in p.name]
    assert stat.S_IMODE(record.stat().st_mode) == 0o600
    token = record.read_text().split("token=")[1].strip()
    pid = relays.events("start")[0]["pid"]
    assert token.encode() not in Path(f"/proc/{pid}/cmdline").read_bytes()


def test_a_relay_that_went_away_is_replaced(prefix, relays):
    assert orbisyn.initialize(path=str(prefix.exe)) is True
    orbisyn.shutdown()
    relays.kill()
    assert orbisyn.initialize(path=str(prefix.exe)) is True
    assert len(relays.events("start")) == 2


@pytest.mark.parametrize("mode, expected", [
    ("fail:Process create failed 'C:\\Terminal\\terminal64.exe'",
     "IPC initialize failed, Process create failed 'C:\\Terminal\\terminal64.exe'"),
    ("drop", "refused the connection"),
    ("exit", "the relay exited before it listened"),
])
def test_relay_failures_say_what_happened(prefix, relays, monkeypatch, mode, expected):
    monkeypatch.setenv("FAKE_RELAY_MODE", mode)
    assert orbisyn.initialize(path=str(prefix.exe)) is False
    message = init_error()
    assert expected in message
    if mode == "exit":
        assert "fake relay gives up" in message  # the tail of its log


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
    assert init_error().endswith("Orbisyn x64 not found")
    assert relays.events("start") == []


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
