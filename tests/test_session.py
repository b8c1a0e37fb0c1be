"""initialize, login and shutdown: argument rules, readiness wait, starting and finding a Terminal."""
from __future__ import annotations

import os
import time
from pathlib import Path

import pytest

import orbisyn
from support.fake_terminal import close, i32, reply, request, session, text, u64

HELLO = reply(4, 0, i32(3000))
READY = reply(109, 0, i32(2))
AUTH_MODE = "Unsupported authorization mode, OTP or certificate password needed"
WAYS_OUT = ("install the simulated Terminal (orbisyn-terminal install), set WINEPREFIX to the Wine "
            "prefix that holds your Terminal, or pass its path: initialize(path=...)")


def not_found() -> tuple[int, str]:
    """What initialize() says when no Terminal is found: where it looked, and what to do."""
    root = terminals_root()
    return (-10003, f"IPC initialize failed, Orbisyn x64 not found: looked in '{root}/'; {WAYS_OUT}")


@pytest.fixture
def no_wine(tmp_path, monkeypatch):
    """No Wine prefix the locator would look in: WINEPREFIX unset, a HOME without .wine."""
    monkeypatch.delenv("WINEPREFIX", raising=False)
    monkeypatch.setenv("HOME", str(tmp_path / "home"))


def state(n: int) -> bytes:
    return reply(109, 0, i32(n))


def login_frame(login=0, password="", server="") -> bytes:
    return request(5, i32(0) + u64(login) + text(password) + text(server))


# ---------------------------------------------------------------------------
# Argument rules

INITIALIZE_REFUSALS = [
    (("a", "b"), {}, "Invalid number of arguments"),
    (("a", "b"), {"login": -1}, "Invalid number of arguments"),
    ((5,), {}, "Invalid 1st unnamed argument"),
    ((None,), {}, "Invalid 1st unnamed argument"),
    ((b"/bin/true",), {}, "Invalid 1st unnamed argument"),
    (("x" * 258,), {}, "Invalid 1st unnamed argument"),
    (("\U0001F600" * 129,), {}, "Invalid 1st unnamed argument"),  # 258 units
    ((5,), {"login": -1}, "Invalid 1st unnamed argument"),
    ((), {"login": -1}, 'Invalid "login" argument'),
    ((), {"login": 2**64}, 'Invalid "login" argument'),
    ((), {"login": "1"}, 'Invalid "login" argument'),
    ((), {"login": 1.0}, 'Invalid "login" argument'),
    ((), {"login": None}, 'Invalid "login" argument'),
    ((), {"server": 5}, 'Invalid "server" argument'),
    ((), {"server": "s" * 254}, 'Invalid "server" argument'),
    ((), {"password": b"pw"}, 'Invalid "password" argument'),
    ((), {"password": "p" * 254}, 'Invalid "password" argument'),
    ((), {"password": "\U0001F600" * 127}, 'Invalid "password" argument'),  # 254 units
    ((), {"timeout": -1}, 'Invalid "timeout" argument'),
    ((), {"timeout": 2**32}, 'Invalid "timeout" argument'),
    ((), {"timeout": 1.5}, 'Invalid "timeout" argument'),
    ((), {"timeout": "10"}, 'Invalid "timeout" argument'),
    ((), {"path": 5}, 'Invalid "path" argument'),
    ((), {"path": "x" * 258}, 'Invalid "path" argument'),
    # Keywords are checked in the order login, server, password, timeout, path.
    ((), {"path": 5, "timeout": -1, "password": 5, "server": 5, "login": -1}, 'Invalid "login" argument'),
    ((), {"path": 5, "timeout": -1, "password": 5, "server": 5}, 'Invalid "server" argument'),
    ((), {"path": 5, "timeout": -1, "password": 5}, 'Invalid "password" argument'),
    ((), {"path": 5, "timeout": -1}, 'Invalid "timeout" argument'),
]


def test_initialize_argument_rules(fake_terminal):
    # One peer for the table; each case starts from an open session.
    for args, kwargs, message in INITIALIZE_REFUSALS:
        fake_terminal.clear()
        session(fake_terminal)
        assert orbisyn.initialize(*args, **kwargs) is False, (args, kwargs)
        assert orbisyn.last_error() == (-2, message), (args, kwargs)
        # The open link is closed first, and nothing is sent.
        assert not fake_terminal.connected(), (args, kwargs)
        assert fake_terminal.codes() == [4, 109], (args, kwargs)


@pytest.mark.parametrize("path", ["x" * 257, "\U0001F600" * 128 + "x", "Tërmïnal-ünïcode/terminal64.exe"])
@pytest.mark.parametrize("by_keyword", [False, True])
def test_path_that_cannot_start(tmp_path, monkeypatch, path, by_keyword):
    # Up to 257 units pass the argument rule; the path names nothing, so starting fails
    # and the message carries the path as UTF-8.
    monkeypatch.chdir(tmp_path)
    ok = orbisyn.initialize(path=path) if by_keyword else orbisyn.initialize(path)
    assert ok is False
    assert orbisyn.last_error() == (-10003, f"IPC initialize failed, Process create failed '{path}': no such file")


@pytest.mark.parametrize("kind", ["not executable", "directory"])
def test_file_that_cannot_start(tmp_path, kind):
    target = tmp_path / "Term" / "terminal64.exe"
    if kind == "directory":
        target.mkdir(parents=True)
    else:
        target.parent.mkdir()
        target.write_text("#!/bin/sh\n")
        target.chmod(0o644)
    assert orbisyn.initialize(path=str(target)) is False
    assert orbisyn.last_error() == (-10003, f"IPC initialize failed, Process create failed '{target}'")


@pytest.mark.parametrize("kwargs, login", [
    (dict(password="p" * 253), login_frame(password="p" * 253)),
    (dict(server="s" * 253), login_frame(server="s" * 253)),
    (dict(password="\U0001F600" * 126 + "p"), login_frame(password="\U0001F600" * 126 + "p")),
    (dict(login=1, timeout=2**32 - 1), login_frame(login=1)),
    (dict(login=0), None),
    (dict(timeout=0), None),
    (dict(portable=False), None),
])
def test_initialize_limits_accepted(fake_terminal, kwargs, login):
    fake_terminal.script(HELLO, *([reply(5, 0)] if login else []), READY)
    assert orbisyn.initialize(path=fake_terminal.exe_path, **kwargs) is True, orbisyn.last_error()
    frames = fake_terminal.requests()
    assert frames[1:-1] == ([login] if login else [])


def test_path_keyword_wins_over_positional(fake_terminal, tmp_path):
    fake_terminal.script(HELLO, READY)
    assert orbisyn.initialize(str(tmp_path / "nothing.exe"), path=fake_terminal.exe_path) is True
    assert fake_terminal.starts() == 1


@pytest.mark.parametrize("args, kwargs", [((), {}), (("",), {}), ((), {"path": ""})])
def test_empty_path_searches_data_folders(no_wine, args, kwargs):
    assert orbisyn.initialize(*args, **kwargs) is False
    assert orbisyn.last_error() == not_found()


LOGIN_REFUSALS = [
    ((), {}, 'Invalid "login" argument'),
    ((0,), {}, 'Invalid "login" argument'),
    ((False,), {}, 'Invalid "login" argument'),
    ((), {"password": "p", "server": "s"}, 'Invalid "login" argument'),
    ((5,), {"login": 0}, 'Invalid "login" argument'),
    ((1, "a", "b", "c"), {}, "Invalid number of arguments"),
    ((-1,), {}, "Invalid 1st unnamed argument"),
    ((2**64,), {}, "Invalid 1st unnamed argument"),
    (("1",), {}, "Invalid 1st unnamed argument"),
    ((1.0,), {}, "Invalid 1st unnamed argument"),
    ((None,), {}, "Invalid 1st unnamed argument"),
    ((-1, 5, 5), {}, "Invalid 1st unnamed argument"),
    ((1, 5), {}, "Invalid 2nd unnamed argument"),
    ((1, None), {}, "Invalid 2nd unnamed argument"),
    ((1, "p" * 254), {}, "Invalid 2nd unnamed argument"),
    ((1, 5, 5), {"login": -1}, "Invalid 2nd unnamed argument"),
    ((1, "p", 5), {}, "Invalid 3rd unnamed argument"),
    ((1, "p", "s" * 254), {}, "Invalid 3rd unnamed argument"),
    ((1,), {"login": -1}, 'Invalid "login" argument'),
    ((1,), {"login": 2**64}, 'Invalid "login" argument'),
    ((1,), {"server": 5}, 'Invalid "server" argument'),
    ((1,), {"password": 5}, 'Invalid "password" argument'),
    ((1,), {"timeout": -1}, 'Invalid "timeout" argument'),
    ((1,), {"timeout": 2**32}, 'Invalid "timeout" argument'),
    ((1,), {"timeout": -1, "password": 5, "server": 5, "login": -1}, 'Invalid "login" argument'),
    ((1,), {"timeout": -1, "password": 5, "server": 5}, 'Invalid "server" argument'),
    ((1,), {"timeout": -1, "password": 5}, 'Invalid "password" argument'),
]


def test_login_argument_rules(fake_terminal):
    # One session for the table: a refused login sends nothing and keeps the link.
    session(fake_terminal)
    for args, kwargs, message in LOGIN_REFUSALS:
        assert orbisyn.login(*args, **kwargs) is False, (args, kwargs)
        assert orbisyn.last_error() == (-2, message), (args, kwargs)
    assert fake_terminal.codes() == [4, 109]
    assert fake_terminal.connected()


@pytest.mark.parametrize("args, kwargs", [((1,), {}), ((2**64 - 1, "p", "s"), {"timeout": 2**32 - 1}), ((True,), {})])
def test_login_without_link(args, kwargs):
    orbisyn.shutdown()
    assert orbisyn.login(*args, **kwargs) is False
    assert orbisyn.last_error() == (-10004, "No IPC connection")


# ---------------------------------------------------------------------------
# Log-in and readiness

@pytest.mark.parametrize("answer, error", [
    (reply(5, -7), (-7, AUTH_MODE)),
    (reply(5, -6), (-6, "Terminal: Authorization failed")),
    (reply(5, -1), (-1, "Terminal: Call failed")),
    (reply(4, 0), (-10000, "IPC call failed")),
    (reply(5, 0, i32(1)), (-10002, "IPC recv failed")),
    (close(), (-10002, "IPC recv failed")),
])
def test_initialize_login_failure_closes(fake_terminal, answer, error):
    fake_terminal.script(HELLO, answer)
    assert orbisyn.initialize(path=fake_terminal.exe_path, login=42, password="pw") is False
    assert orbisyn.last_error() == error
    assert fake_terminal.codes() == [4, 5]
    assert not fake_terminal.connected()


@pytest.mark.parametrize("answers, kwargs, error", [
    ([reply(5, -7)], {}, (-7, AUTH_MODE)),
    ([reply(5, -6)], {}, (-6, "Terminal: Authorization failed")),
    ([reply(5, 0), state(3)], {}, (-6, "Terminal: Authorization failed")),
    ([reply(5, 0), state(0)], {"timeout": 1}, (-10005, "IPC timeout")),
    ([reply(5, 0), reply(109, -3)], {}, (-3, "Terminal: Out of memory")),
])
def test_login_failure_keeps_link(fake_terminal, answers, kwargs, error):
    session(fake_terminal)
    fake_terminal.script(*answers)
    assert orbisyn.login(7, "pw", "srv", **kwargs) is False
    assert orbisyn.last_error() == error
    assert fake_terminal.requests()[2] == login_frame(7, "pw", "srv")
    assert fake_terminal.connected()


@pytest.mark.parametrize("states, timeout, polls", [
    ([2], 0, 1),
    ([0, 1, 4, -1, 2], 0, 5),
    ([0, 2], 150, 2),
    ([0] * 8 + [2], 0, 9),  # timeout 0 means 60 s, not "no wait"
    ([0, 0, 0, 2], 2**32 - 1, 4),
])
def test_wait_ready(fake_terminal, states, timeout, polls):
    fake_terminal.script(HELLO, *[state(s) for s in states])
    assert orbisyn.initialize(path=fake_terminal.exe_path, timeout=timeout) is True, orbisyn.last_error()
    assert orbisyn.last_error() == (1, "Success")
    assert fake_terminal.codes() == [4] + [109] * polls
    assert fake_terminal.connected()


@pytest.mark.parametrize("answers, timeout, error, polls", [
    ([state(3)], 0, (-6, "Terminal: Authorization failed"), 1),
    ([state(0), state(1), state(3)], 0, (-6, "Terminal: Authorization failed"), 3),
    ([reply(109, -2)], 0, (-2, "Terminal: Invalid params"), 1),
    ([state(0), reply(108, 0, i32(2))], 0, (-10000, "IPC call failed"), 2),
    ([reply(109, 0)], 0, (-10002, "IPC recv failed"), 1),
])
def test_wait_ready_failure(fake_terminal, answers, timeout, error, polls):
    fake_terminal.script(HELLO, *answers)
    assert orbisyn.initialize(path=fake_terminal.exe_path, timeout=timeout) is False
    assert orbisyn.last_error() == error
    assert fake_terminal.codes() == [4] + [109] * polls
    assert fake_terminal.unscripted() == []
    assert not fake_terminal.connected()


@pytest.mark.parametrize("timeout, most_polls", [(1, 1), (250, 3), (301, 4)])
def test_wait_ready_ends_at_the_timeout(fake_terminal, timeout, most_polls):
    # The timeout bounds the whole call, connect and handshake included: polls at 0, 100,
    # 200 and 300 ms after those, as far as the time goes.
    fake_terminal.script(HELLO)
    fake_terminal.standing(109, state(0))
    fake_terminal.sync()
    started = time.monotonic()
    assert orbisyn.initialize(path=fake_terminal.exe_path, timeout=timeout) is False
    took = time.monotonic() - started
    assert orbisyn.last_error() == (-10005, "IPC timeout")
    assert timeout / 1000 - 0.005 <= took < timeout / 1000 + 0.5
    polls = fake_terminal.codes().count(109)
    assert (0 if timeout < 100 else 1) <= polls <= most_polls
    assert not fake_terminal.connected()


def test_login_waits_with_its_own_timeout(fake_terminal):
    session(fake_terminal)
    fake_terminal.script(reply(5, 0), state(0), state(0), state(2))
    assert orbisyn.login(3, timeout=1000) is True
    assert fake_terminal.codes() == [4, 109, 5, 109, 109, 109]


# ---------------------------------------------------------------------------
# shutdown and reconnecting

def test_shutdown(fake_terminal):
    session(fake_terminal)
    orbisyn.version()  # unscripted: a failure to overwrite
    assert orbisyn.shutdown() is True
    assert orbisyn.last_error() == (1, "Success")
    assert not fake_terminal.connected()
    assert orbisyn.shutdown() is True
    assert orbisyn.last_error() == (1, "Success")
    assert orbisyn.version() == (0, 0, "")
    assert orbisyn.last_error() == (-10004, "No IPC connection")
    assert fake_terminal.codes() == [4, 109, 1]


def test_initialize_reconnects(make_terminal):
    first, second = make_terminal("One"), make_terminal("Two")
    session(first)
    session(second)
    assert not first.connected()
    assert second.connected()
    session(first)
    assert first.connections() == 2
    assert not second.connected()


def test_failed_handshake_link_is_replaced(fake_terminal):
    fake_terminal.script(reply(4, -5))
    assert orbisyn.initialize(path=fake_terminal.exe_path) is False
    assert fake_terminal.connected()
    session(fake_terminal)
    assert fake_terminal.connections() == 2
    fake_terminal.sync()
    assert fake_terminal.codes() == [4, 4, 109]


# ---------------------------------------------------------------------------
# Finding the socket and starting the Terminal

@pytest.mark.parametrize("portable, argv", [
    (None, []), (True, ["/portable"]), ("yes", ["/portable"]), (0, []), ("", []),
])
def test_missing_terminal_is_started(make_terminal, portable, argv):
    term = make_terminal(start=False)
    term.script(HELLO, READY)
    kwargs = {} if portable is None else {"portable": portable}
    assert orbisyn.initialize(path=term.exe_path, **kwargs) is True, orbisyn.last_error()
    assert term.argv() == argv
    assert term.codes() == [4, 109]
    assert term.starts() == 1


def _children_of(pid: int) -> list[tuple[int, str]]:
    out = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if int(fields[1]) == pid:
                out.append((int(entry), fields[0]))
    return out


def test_started_terminal_is_detached(make_terminal):
    term = make_terminal(start=False)
    term.script(HELLO, READY)
    assert orbisyn.initialize(path=term.exe_path) is True, orbisyn.last_error()
    pid = term.pid()
    assert os.getsid(pid) != os.getsid(0)
    assert os.readlink(f"/proc/{pid}/fd/0") == "/dev/null"
    assert os.readlink(f"/proc/{pid}/fd/1") == "/dev/null"
    # No child of ours is left behind, zombie or not.
    assert _children_of(os.getpid()) == []


def test_stale_socket_starts_terminal(fake_terminal):
    fake_terminal.stop()
    assert os.path.exists(fake_terminal.socket_path)  # nobody listens: ECONNREFUSED
    fake_terminal.script(HELLO, READY)
    assert orbisyn.initialize(path=fake_terminal.exe_path) is True, orbisyn.last_error()
    assert fake_terminal.starts() == 2
    assert fake_terminal.connections() == 1


@pytest.mark.parametrize("name, form", [
    ("Term", "same"), ("Term", "upper"), ("Term", "relative"), ("Term", "symlink"), ("Term", "dotdot"),
    ("Ωmega Térm", "lower"),
])
def test_path_forms_reach_running_terminal(make_terminal, tmp_path, monkeypatch, name, form):
    term = make_terminal(name)
    exe = term.exe_path
    if form == "same":
        path = exe
    elif form == "upper":
        path = exe.upper()  # no such file: hashed as given, lower-cased
    elif form == "lower":
        path = exe.lower()
    elif form == "relative":
        monkeypatch.chdir(tmp_path)
        path = os.path.relpath(exe)
    elif form == "symlink":
        link = tmp_path / "link.exe"
        link.symlink_to(exe)
        path = str(link)
    else:
        path = str(Path(exe).parent / ".." / name / "terminal64.exe")
    term.script(HELLO, READY)
    assert orbisyn.initialize(path=path) is True, orbisyn.last_error()
    assert term.starts() == 1
    assert term.connections() == 1


# ---------------------------------------------------------------------------
# Data folders

def terminals_root() -> Path:
    return Path(os.environ["XDG_DATA_HOME"]) / "Quillmark" / "Terminal"


def data_folder(name: str, exe: str, mtime: int = 1_700_000_000, *, portable=False, scrivel=True,
                marker="accounts") -> Path:
    folder = terminals_root() / name
    (folder / "config").mkdir(parents=True)
    if scrivel:
        (folder / "Scrivel").mkdir()
    (folder / "origin.txt").write_bytes(b"\xff\xfe" + os.path.dirname(exe).encode("utf-16-le"))
    marker_file = folder / ("portable.txt" if portable else
                            "config/accounts.dat" if marker == "accounts" else "config/terminal.ini")
    marker_file.write_bytes(b"x")
    os.utime(marker_file, (mtime, mtime))
    return folder


# Which folder wins, and which are skipped, is the C++ locator's own table in
# tests/native; these check that initialize() uses it and starts what it finds.
@pytest.mark.parametrize("newer, marker", [("A", "accounts"), ("B", "ini")])
def test_locator_picks_latest_folder(make_terminal, newer, marker):
    a = make_terminal("A", start=False).auto()
    b = make_terminal("B", start=False).auto()
    data_folder("fa", a.exe_path, 1_700_000_000 + (100 if newer == "A" else 0), marker=marker)
    data_folder("fb", b.exe_path, 1_700_000_000 + (100 if newer == "B" else 0), marker=marker)
    assert orbisyn.initialize() is True, orbisyn.last_error()
    chosen, other = (a, b) if newer == "A" else (b, a)
    assert chosen.connections() == 1
    assert other.starts() == 0


def test_locator_takes_later_of_both_marker_files(make_terminal):
    a = make_terminal("A", start=False).auto()
    b = make_terminal("B", start=False).auto()
    fa = data_folder("fa", a.exe_path, 1_700_000_000)
    data_folder("fb", b.exe_path, 1_700_000_100)
    ini = fa / "config" / "terminal.ini"
    ini.write_bytes(b"x")
    os.utime(ini, (1_700_000_200, 1_700_000_200))
    assert orbisyn.initialize() is True, orbisyn.last_error()
    assert a.connections() == 1
    assert b.starts() == 0


@pytest.mark.parametrize("kind", ["no Scrivel", "empty root"])
def test_locator_finds_nothing(make_terminal, no_wine, kind):
    bad = make_terminal("Bad", start=False).auto()
    if kind == "empty root":
        terminals_root().mkdir(parents=True)
    else:
        data_folder("bad", bad.exe_path, scrivel=False)
    assert orbisyn.initialize() is False
    assert orbisyn.last_error() == not_found()
    assert bad.starts() == 0


def test_locator_portable_folder_starts_portable(make_terminal):
    term = make_terminal("P", start=False).auto()
    data_folder("p", term.exe_path, portable=True, scrivel=False)
    assert orbisyn.initialize() is True, orbisyn.last_error()
    assert term.argv() == ["/portable"]
