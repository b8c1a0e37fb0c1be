"""The platform layer and the locator, through a small C++ driver linked against the core."""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unicodedata
from pathlib import Path

import pytest

from orbisyn import _paths as paths
from orbisyn.simulator.serving import proof
from support.locator_layouts import CASES as LOCATOR_CASES, data_folder
from support.native import drivers

REPO = Path(__file__).resolve().parents[2]



@pytest.fixture(scope="session")
def driver():
    return drivers() / "test_platform"


def run(driver, *args, env=None, **kw):
    proc = subprocess.run([str(driver), *map(str, args)], capture_output=True, env=env, timeout=60, **kw)
    assert proc.returncode == 0, proc.stderr.decode()
    return proc.stdout


def test_socket_round_trip_and_failures(driver, tmp_path):
    run(driver, "socket", tmp_path)


def test_files_and_directories(driver, tmp_path):
    (tmp_path / "sub").mkdir()
    (tmp_path / ".hidden").mkdir()
    (tmp_path / "linkdir").symlink_to(tmp_path / "sub")
    (tmp_path / "dangling").symlink_to(tmp_path / "missing")
    (tmp_path / "Ärger").write_bytes(b"")
    (tmp_path / "big").write_bytes(bytes(i % 251 for i in range(600)))
    (tmp_path / "link-to-big").symlink_to(tmp_path / "big")
    os.mkfifo(tmp_path / "fifo")
    for name, ns in [("early", 10**12), ("late", 10**12 + 1), ("negative", -5 * 10**9)]:
        (tmp_path / name).write_bytes(b"abc")
        os.utime(tmp_path / name, ns=(ns, ns))
    listing = run(driver, "files", tmp_path).decode().strip()
    # readdir order, directories decided by stat() (through symlinks)
    expected = " ".join(n + "/" if (tmp_path / n).is_dir() else n for n in os.listdir(tmp_path))
    assert listing == expected


def test_lower_case_matches_python_twin(driver):
    lowered = run(driver, "lower")
    mine = [lowered[2 * i] | lowered[2 * i + 1] << 8 for i in range(0x10000)]
    # Only what this Python's Unicode knows: Python 3.9 and 3.10 are at Unicode 13, and
    # leave the letters of later versions (U+2C2F, U+A7C0, ...) as they are.
    known = [u for u in range(0x10000) if unicodedata.category(chr(u)) != "Cn"]
    diff = [u for u in known if mine[u] != ord(paths._lower_unit(chr(u)))]
    assert diff == []
    assert mine[ord("Ä")] == ord("ä") and mine[0xD835] == 0xD835 and mine[0x130] == ord("i")


@pytest.mark.parametrize("case", ["symlink", "relative", "missing", "too-long"])
def test_digest_matches_python_twin(driver, tmp_path, case):
    real = tmp_path / "Install Ä" / "Terminal64.EXE"
    real.parent.mkdir()
    real.write_bytes(b"")
    cwd = None
    if case == "symlink":
        arg = tmp_path / "LINK.exe"
        arg.symlink_to(real)
    elif case == "relative":
        arg, cwd = "Install Ä/../Install Ä/Terminal64.EXE", tmp_path
    elif case == "missing":
        arg = "/Missing/ÄRGER/\U0001d538.EXE"
    else:  # the resolved path is over 260 units: hashed as given
        deep = tmp_path.joinpath(*["d" * 50] * 5)
        deep.mkdir(parents=True)
        (deep / "T.exe").write_bytes(b"")
        arg = tmp_path / "S.exe"
        arg.symlink_to(deep / "T.exe")
    got = run(driver, "digest", arg, cwd=cwd).decode().strip()
    here = os.getcwd()
    try:
        os.chdir(cwd or here)
        want = paths.path_digest(str(arg)).hex()
    finally:
        os.chdir(here)
    assert got == want
    if case in ("symlink", "relative"):
        assert got == paths.path_digest(str(real)).hex()


REPORTER = """#!{python}
import json, os, sys
fds = {{}}
for fd in os.listdir("/proc/self/fd"):
    try:
        fds[fd] = os.readlink("/proc/self/fd/" + fd)
    except OSError:
        pass
info = dict(argv=sys.argv, sid=os.getsid(0), pid=os.getpid(), ppid=os.getppid(), cwd=os.getcwd(),
            mark=os.environ.get("ORBISYN_SPAWN_MARK"), fds=fds)
with open({report!r} + ".tmp", "w") as f:
    json.dump(info, f)
os.rename({report!r} + ".tmp", {report!r})
"""


@pytest.mark.parametrize("portable", [False, True])
def test_spawn_detached(driver, tmp_path, portable):
    report = tmp_path / "report.json"
    exe = tmp_path / "terminal64.exe"
    exe.write_text(REPORTER.format(python=sys.executable, report=str(report)))
    exe.chmod(0o755)
    (tmp_path / "cwd").mkdir()
    spawner = int(run(driver, "spawn", exe, int(portable), 1, tmp_path / "cwd"))
    deadline = time.monotonic() + 20
    while not report.exists() and time.monotonic() < deadline:
        time.sleep(0.05)
    info = json.loads(report.read_text())
    assert info["argv"] == [str(exe)] + (["/portable"] if portable else [])
    assert info["sid"] == info["pid"] and info["ppid"] != spawner
    assert info["cwd"] == str(tmp_path / "cwd") and info["mark"] == "kept"
    assert [info["fds"].get(fd) for fd in "012"] == ["/dev/null"] * 3
    assert "/dev/zero" not in info["fds"].values()


@pytest.mark.parametrize("kind", ["missing", "not-executable", "directory"])
def test_spawn_failure(driver, tmp_path, kind):
    target = tmp_path / "terminal64.exe"
    if kind == "not-executable":
        target.write_text("#!/bin/sh\n")
        target.chmod(0o644)
    elif kind == "directory":
        target.mkdir()
    run(driver, "spawn", target, 0, 0, tmp_path)


# ---- locator over temporary data folders -------------------------------------------------

def install(tmp_path, name):
    folder = tmp_path / "install" / name
    folder.mkdir(parents=True)
    (folder / "terminal64.exe").write_bytes(b"")
    return folder


NOT_FOUND = "Orbisyn x64 not found: looked in '{root}/'; install the simulated Terminal " \
    "(orbisyn-terminal install), set WINEPREFIX to the Wine prefix that holds your Terminal, or " \
    "pass its path: initialize(path=...)"


def scenario(name, tmp_path, root):
    """Builds one layout; returns (connected exe or None, portable, setup text)."""
    a, b = install(tmp_path, "A"), install(tmp_path, "B")
    if name == "no-root":
        return None, False, NOT_FOUND
    root.mkdir(parents=True)
    if name == "only-files-and-dot-folders":
        (root / "file").write_bytes(b"")
        data_folder(root, ".hidden", a, accounts=100)
        return None, False, NOT_FOUND
    if name == "later-of-two-files-wins":
        data_folder(root, "one", a, accounts=500, ini=100)
        data_folder(root, "two", b, accounts=300, ini=400)
        return a, False, "untouched"
    if name == "portable-needs-no-scrivel":
        data_folder(root, "one", a, portable=900, scrivel=False)
        data_folder(root, "two", b, ini=100)
        return a, True, "untouched"
    if name == "bad-origins-write-nothing":
        data_folder(root, "good", a, accounts=1)
        bom = b"\xff\xfe"
        data_folder(root, "ansi", b, accounts=9, origin=str(b).encode())
        # 7 bytes naming "B/", which exists relative to the driver's working directory
        data_folder(root, "short", b, accounts=9, origin=bom + "B/".encode("utf-16-le") + b"\0")
        data_folder(root, "newline", b, accounts=9, origin=bom + (str(b) + "\n").encode("utf-16-le"))
        data_folder(root, "no-exe", tmp_path, accounts=9)
        return a, False, "untouched"
    if name == "no-scrivel":
        data_folder(root, "good", a, accounts=1)
        data_folder(root, "bad", b, accounts=9, scrivel=False)
        return a, False, f"No Scrivel folder in '{root}/bad'"
    if name == "no-origin":
        data_folder(root, "good", a, accounts=1)
        data_folder(root, "bad", b, accounts=9, origin=b"none")
        return a, False, f"No origin.txt in '{root}/bad'"
    if name == "only-invalid":
        data_folder(root, "bad", b, accounts=9, scrivel=False)
        return None, False, NOT_FOUND
    if name == "tie-goes-to-first-enumerated":
        data_folder(root, "one", a, accounts=100)
        data_folder(root, "two", b, accounts=100)
        first = os.listdir(root)[0]
        return (a if first == "one" else b), False, "untouched"
    if name == "parent-terminal-preferred":
        # The driver's parent is this Python process: a Terminal whose exe resolves to it.
        p = tmp_path / "install" / "P"
        p.mkdir()
        (p / "terminal64.exe").symlink_to(os.readlink("/proc/self/exe"))
        data_folder(root, "newer", a, accounts=900)
        data_folder(root, "parent", p, accounts=1)
        return p, False, "untouched"
    raise AssertionError(name)


@pytest.mark.parametrize("name", LOCATOR_CASES)
def test_locate(driver, tmp_path, name):
    root = tmp_path / "data" / "Quillmark" / "Terminal"
    folder, portable, text = scenario(name, tmp_path, root)
    env = dict(os.environ, XDG_DATA_HOME=str(tmp_path / "data"), HOME=str(tmp_path))
    env.pop("WINEPREFIX", None)
    connected, setup = run(driver, "locate", env=env, cwd=tmp_path / "install").decode().split("\n")[:2]
    want = "-" if folder is None else f"{folder}/terminal64.exe {'portable' if portable else 'installed'}"
    assert (connected, setup) == (want, text.format(root=root))


@pytest.mark.parametrize("parent", [True, False])
def test_the_parents_terminal_before_wineprefix(driver, tmp_path, parent):
    # A newer Terminal in the prefix WINEPREFIX names wins over native folders, but not
    # over the Terminal that started the process.
    root = tmp_path / "data" / "Quillmark" / "Terminal"
    prefix = tmp_path / "pfx"
    (prefix / "dosdevices").mkdir(parents=True)
    (prefix / "dosdevices" / "c:").symlink_to("../drive_c")
    install(prefix / "drive_c", "T")
    users = prefix / "drive_c" / "users" / "me" / "AppData" / "Roaming" / "Quillmark" / "Terminal"
    data_folder(users, "W", "C:\\install\\T", accounts=900)
    p = install(tmp_path, "P")
    (p / "terminal64.exe").unlink()
    (p / "terminal64.exe").symlink_to(os.readlink("/proc/self/exe"))
    data_folder(root, "native", p if parent else install(tmp_path, "A"), accounts=1)
    env = dict(os.environ, XDG_DATA_HOME=str(tmp_path / "data"), HOME=str(tmp_path), WINEPREFIX=str(prefix))
    connected = run(driver, "locate", env=env, cwd=tmp_path).decode().split("\n")[0]
    want = p if parent else prefix / "dosdevices" / "c:" / "install" / "T"
    assert connected == f"{want}/terminal64.exe installed"


def test_locate_without_appdata(driver):
    env = {k: v for k, v in os.environ.items() if k not in ("XDG_DATA_HOME", "HOME")}
    assert run(driver, "locate", env=env).decode().split("\n")[:2] == ["-", "untouched"]


def test_loopback_proofs_match_python_twin(driver):
    token, client, server = bytes(range(32)), bytes(range(32, 64)), bytes(range(64, 96))
    lines = run(driver, "proofs", "what do ya want for nothing?").decode().split()
    assert lines[:2] == [proof.prove(side, token, b"ORBR", client, server).hex()
                         for side in (proof.SERVER, proof.CLIENT)]
    assert lines[0] != lines[1]
    # RFC 4231, test case 2
    assert lines[2] == "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"


# ---- the socket folder: the module and its Python twin choose alike -----------------------------

ENOENT, EACCES, ENAMETOOLONG = 2, 13, 36
STRANGER = 4321   # an owner that is not us (root can give folders away)
F = f"orbisyn-{os.getuid()}"
DEEP = "d" * 30
# name: (folders to make in the base, as {name: mode, (mode, owner) or "->target"}; the
# environment, {b} the base; the expected (state, folder in the base), None for one in the
# real /tmp, which other tests share).
FOLDER_CASES = {
    "private XDG_RUNTIME_DIR": ({"x": 0o700}, {}, (0, "x")),
    "trailing slashes": ({"x": 0o700}, {"XDG_RUNTIME_DIR": "{b}/x//"}, (0, "x")),
    "shared XDG_RUNTIME_DIR": ({"x": 0o1777}, {}, (ENOENT, F)),
    "XDG_RUNTIME_DIR of another user": ({"x": (0o700, STRANGER)}, {}, (ENOENT, F)),
    "XDG_RUNTIME_DIR a symlink": ({"real": 0o700, "x": "->real"}, {}, (ENOENT, F)),
    "XDG_RUNTIME_DIR missing": ({}, {}, (ENOENT, F)),
    "XDG_RUNTIME_DIR relative": ({"x": 0o700}, {"XDG_RUNTIME_DIR": "x"}, (ENOENT, F)),
    "fallback of another user": ({F: (0o700, STRANGER)}, {}, (ENOENT, F + "-1")),
    "fallback of ours open to all": ({F: 0o777}, {}, (ENOENT, F + "-1")),
    "fallback a symlink to ours": ({"mine": 0o700, F: "->mine"}, {}, (ENOENT, F + "-1")),
    # -1 is missing and -3 ours: a folder that frees up must not split the processes.
    "an alternative of ours before a missing one": ({F: (0o700, STRANGER), F + "-3": 0o700}, {}, (0, F + "-3")),
    "every fallback taken": ({F: (0o700, STRANGER), **{f"{F}-{i}": (0o700, STRANGER) for i in range(1, 9)}},
                             {}, (EACCES, F)),
    "XDG_RUNTIME_DIR too deep for a socket": ({DEEP: 0o700}, {"XDG_RUNTIME_DIR": "{b}/" + DEEP}, (0, DEEP)),
    "TMPDIR too deep for a socket": ({"t" * 20: 0o1777}, {"TMPDIR": "{b}/" + "t" * 20}, None),
    "TMPDIR open to all, not sticky": ({"t": 0o777}, {"TMPDIR": "{b}/t"}, None),
    "TMPDIR of another user": ({"t": (0o700, STRANGER)}, {"TMPDIR": "{b}/t"}, None),
    "TMPDIR relative": ({"t": 0o700}, {"TMPDIR": "t"}, None),
}


@pytest.mark.skipif(os.name != "posix" or os.geteuid() != 0, reason="other owners need root")
@pytest.mark.parametrize("case", FOLDER_CASES)
def test_socket_folder_choice_matches_python_twin(driver, case, monkeypatch):
    made, overrides, expected = FOLDER_CASES[case]
    base = tempfile.mkdtemp(prefix="opn", dir="/tmp")   # short: sockets go in it
    os.chmod(base, 0o1777)
    try:
        for name, how in made.items():
            if isinstance(how, str):
                os.symlink(f"{base}/{how[2:]}", f"{base}/{name}")
                continue
            mode, owner = how if isinstance(how, tuple) else (how, None)
            os.mkdir(f"{base}/{name}")
            os.chmod(f"{base}/{name}", mode)
            if owner is not None:
                os.chown(f"{base}/{name}", owner, owner)
        env = dict(os.environ, TMPDIR=base, XDG_RUNTIME_DIR=f"{base}/x")
        env.update({k: v.format(b=base) for k, v in overrides.items()})
        lines = run(driver, "folder", env=env).decode().split("\n")
        state, folder = lines[0].split(" ", 1)
        problem, text = lines[1].split(" ", 1)
        for key in ("XDG_RUNTIME_DIR", "TMPDIR"):
            monkeypatch.setenv(key, env[key])
        assert (int(state), folder) == paths.choose_pipe_dir()
        assert text == (paths.folder_problem() or "")
        if expected is None:
            assert folder.startswith(f"/tmp/{F}")
        else:
            assert (int(state), folder) == (expected[0], f"{base}/{expected[1]}")
        deep = len(folder) > paths.DEEPEST_FOLDER
        assert int(problem) == (EACCES if int(state) == EACCES else ENAMETOOLONG if deep else 0)
        if int(state) == EACCES:
            assert folder in text and "XDG_RUNTIME_DIR" in text
    finally:
        shutil.rmtree(base, ignore_errors=True)
