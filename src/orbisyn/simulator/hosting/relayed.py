"""Simulated Terminals for Windows programs: in a Wine prefix, and on Windows itself.

A Windows program finds a Terminal as on any Windows machine: a data folder under
``%APPDATA%\\Quillmark\\Terminal\\<ID>\\`` whose ``origin.txt`` names the installation
folder, and there ``terminal64.exe``, whose named pipe it opens.  Here that
``terminal64.exe`` is a copy of the relay (``orbisyn-relay.exe``): it serves the pipe
and carries each pipe client over loopback TCP to the simulated Terminal, a Python
process (on Linux, for a Wine prefix).  ``orbisyn-relay.ini`` beside it names the
endpoint file the simulated Terminal publishes and how to start the simulated
Terminal when nobody answers there.

In a Wine prefix (USER is the folder Wine made for the Unix user)::

    PREFIX/drive_c/Program Files/Orbisyn Simulated Terminal/terminal64.exe, orbisyn-relay.ini
    PREFIX/drive_c/users/USER/AppData/Roaming/Quillmark/Terminal/<ID>/     the data folder

On Windows the installation folder defaults to
``%LOCALAPPDATA%\\Programs\\Orbisyn Simulated Terminal`` (no administrator needed).
"""
from __future__ import annotations

import hashlib
import json
import ntpath
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
import time
from typing import Any, Callable, Optional

from ... import _paths
from .. import install as _install
from ..serving import loopback

APP_NAME = "Orbisyn Simulated Terminal"
WINE_INSTALL_DIR = "C:\\Program Files\\" + APP_NAME
RELAY = "orbisyn-relay.exe"
INI = "orbisyn-relay.ini"
RELAY_RECORD = "relay.json"   # in DATA/relay/: the relay that `run` started
WINE_QUIET = {"WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml="}

Say = Callable[[str], None]


class SetupError(RuntimeError):
    """Something the user has to fix; the message says what."""


# ---- the relay program ------------------------------------------------------------------------

def find_relay() -> str:
    """The relay to install: $ORBISYN_RELAY, else orbisyn-relay.exe beside the orbisyn package's _core."""
    named = os.environ.get("ORBISYN_RELAY")
    if named:
        if not os.path.isfile(named):
            raise SetupError(f"ORBISYN_RELAY names no file: {named}")
        return named
    package = os.path.dirname(os.path.abspath(_paths.__file__))
    beside = os.path.join(package, RELAY)
    if os.path.isfile(beside):
        return beside
    raise SetupError(f"the relay {RELAY} is missing: build it, then set ORBISYN_RELAY to its path "
                     f"or put it into {package}")


def is_windows_program(path: str) -> bool:
    try:
        with open(path, "rb") as f:
            return f.read(2) == b"MZ"
    except OSError:
        return False


# ---- what the relay is told ---------------------------------------------------------------------

def simulator_argv(python: str, exe: str, data_dir: str, source: Optional[str]) -> list[str]:
    """The command that serves this installation in the foreground.

    From a source checkout the package is put on sys.path by the command itself: the
    relay's environment is not ours.
    """
    if source is None:
        head = [python, "-m", "orbisyn.simulator"]
    else:
        head = [python, "-c", "import sys; sys.path.insert(0, sys.argv.pop(1)); "
                              "from orbisyn.simulator.cli import main; sys.exit(main())", source]
    return head + ["run", "--foreground", "--exe", exe, "--data", data_dir]


def z_path(unix_path: str) -> str:
    """A Unix path as a Windows program in Wine names it (the Z: drive is the root)."""
    return "Z:" + unix_path.replace("/", "\\")


def wine_start_line(argv: list[str]) -> str:
    """start= for Wine: Wine runs a Unix program named by its Z: path, giving it the words as
    they are.  Through /bin/sh, because the interpreter must see a Unix argv[0] to find
    its virtual environment."""
    return subprocess.list2cmdline([z_path("/bin/sh"), "-c", "cd / && exec " + shlex.join(argv)])


def windows_python(executable: str) -> str:
    """pythonw.exe beside python.exe when there is one: no console window pops up."""
    folder, name = ntpath.split(executable)
    if name.lower() == "python.exe":
        quiet = ntpath.join(folder, "pythonw.exe")
        if os.path.isfile(quiet):
            return quiet
    return executable


def ini_text(endpoint: str, start: str) -> str:
    for value in (endpoint, start):
        if "\n" in value or "\r" in value or "\0" in value:
            raise SetupError(f"a path with a line break cannot go into {INI}: {value!r}")
    return f"endpoint={endpoint}\nstart={start}\n"


def endpoint_windows_path(win_data_dir: str) -> str:
    return win_data_dir.rstrip("\\") + "\\" + loopback.RELAY_DIR + "\\" + loopback.ENDPOINT


# ---- Wine prefixes ----------------------------------------------------------------------------

def windows_folder_id(win_path: str) -> str:
    """The data folder's ID for an installation folder in Windows form (as data_folder_id)."""
    return hashlib.sha256(win_path.lower().encode("utf-16-le", "surrogatepass")).hexdigest()[:32].upper()


def _unix_user() -> str:
    try:
        import pwd
        return pwd.getpwuid(os.getuid()).pw_name
    except (ImportError, KeyError):
        return os.environ.get("USER", "")


def wine_user_dir(prefix: str) -> str:
    """PREFIX/drive_c/users/USER: Wine names it after the Unix user."""
    users = os.path.join(prefix, "drive_c", "users")
    try:
        names = sorted(n for n in os.listdir(users)
                       if n.lower() != "public" and os.path.isdir(os.path.join(users, n)))
    except OSError:
        names = []
    me = _unix_user()
    if me in names:
        return os.path.join(users, me)
    if len(names) == 1:
        return os.path.join(users, names[0])
    raise SetupError(f"no user folder of {me or 'this user'} in {users}"
                     + (f" (found {', '.join(names)})" if names else ": is this a Wine prefix?"))


def to_windows(prefix: str, path: str) -> str:
    """The Windows path of a Unix path, as Wine shows it in this prefix (C: or Z:)."""
    drive_c = os.path.realpath(os.path.join(prefix, "drive_c"))
    real = os.path.realpath(path)
    if real == drive_c or real.startswith(drive_c + os.sep):
        return "C:" + (real[len(drive_c):].replace("/", "\\") or "\\")
    return z_path(real)


def to_unix(prefix: str, win_path: str) -> Optional[str]:
    """The Unix path of a Windows path with a drive letter, through the prefix's drives."""
    if len(win_path) < 3 or win_path[1] != ":" or win_path[2] not in "\\/" or not win_path[0].isalpha():
        return None
    parts = [p for p in re.split(r"[\\/]", win_path[3:]) if p]
    return os.path.join(prefix, "dosdevices", win_path[0].lower() + ":", *parts)


def wine_env(prefix: str) -> dict[str, str]:
    env = dict(os.environ)
    env.update(WINE_QUIET)
    env["WINEPREFIX"] = os.path.abspath(prefix)
    return env


def require_wine() -> str:
    wine = shutil.which("wine")
    if wine is None:
        raise SetupError("wine is not on PATH: install Wine 8 or newer (Debian: apt-get install wine wine64)")
    return wine


def ensure_prefix(prefix: str, say: Say) -> None:
    """Create the prefix with `wineboot -i` when it is not one yet."""
    # system.reg appears only when the prefix's server first saves it; dosdevices at once.
    if (os.path.isfile(os.path.join(prefix, "system.reg")) or os.path.isdir(os.path.join(prefix, "dosdevices"))) \
            and os.path.isdir(os.path.join(prefix, "drive_c", "users")):
        return
    require_wine()
    say(f"creating the Wine prefix {prefix} (wineboot -i, about 7 s)")
    _install.private_dirs(prefix)
    # Its messages go through a file: Wine's helper processes inherit the descriptor and may
    # outlive wineboot, and a pipe would be waited on until they end.
    with tempfile.TemporaryFile() as err:
        try:
            # umask: what Wine makes in the prefix (and its server later) is ours alone.
            done = subprocess.run(["wineboot", "-i"], env=wine_env(prefix), stdin=subprocess.DEVNULL,
                                  stdout=subprocess.DEVNULL, stderr=err, timeout=300, umask=0o077)
        except (OSError, subprocess.TimeoutExpired) as exc:
            raise SetupError(f"wineboot -i failed for {prefix}: {exc}") from None
        err.seek(0)
        stderr = err.read()
    if done.returncode != 0 or not os.path.isdir(os.path.join(prefix, "drive_c", "users")):
        tail = stderr.decode(errors="replace").strip().splitlines()[-3:]
        raise SetupError(f"wineboot -i failed for {prefix} (exit {done.returncode})"
                         + (": " + " / ".join(tail) if tail else ""))


def warn_open_prefix(prefix: str, say: Say) -> None:
    """Say so when others may read or write the prefix: the data folder, with the accounts'
    passwords and deals, lies inside it."""
    try:
        mode = os.stat(prefix).st_mode & 0o777
    except OSError:
        return
    if mode & 0o066:
        say(f"warning: the Wine prefix {prefix} is open to other users (mode {mode:04o}): they may "
            f"read or change what Windows programs keep in it; make it private with: "
            f"chmod 700 {shlex.quote(prefix)}")


def wine_layout(prefix: str) -> dict[str, Any]:
    prefix = os.path.abspath(prefix)
    install_dir = os.path.join(prefix, "drive_c", "Program Files", APP_NAME)
    data_dir = os.path.join(wine_user_dir(prefix), "AppData", "Roaming", "Quillmark", "Terminal",
                            windows_folder_id(WINE_INSTALL_DIR))
    return {"kind": "wine", "prefix": prefix, "install_dir": install_dir,
            "exe": os.path.join(install_dir, _install.LAUNCHER), "data_dir": data_dir,
            "win_install_dir": WINE_INSTALL_DIR, "win_exe": WINE_INSTALL_DIR + "\\" + _install.LAUNCHER,
            "win_data_dir": to_windows(prefix, data_dir)}


def wine_candidates(prefix: str) -> list[dict[str, Any]]:
    """Every valid Terminal data folder of the prefix, by the locator's rule:
    PREFIX/drive_c/users/*/AppData/Roaming/Quillmark/Terminal/*, origin.txt mapped into the prefix."""
    users = os.path.join(prefix, "drive_c", "users")
    try:
        names = os.listdir(users)
    except OSError:
        return []
    found: list[dict[str, Any]] = []
    for name in names:
        root = os.path.join(users, name, "AppData", "Roaming", "Quillmark", "Terminal")
        if os.path.isdir(root):
            found += _install.candidates(root, lambda origin: to_unix(prefix, origin + "\\" + _install.LAUNCHER))
    return found


def wine_prefixes() -> list[str]:
    """The prefixes a user has without saying: $WINEPREFIX and ~/.wine."""
    out = []
    for p in (os.environ.get("WINEPREFIX", ""), os.path.expanduser("~/.wine")):
        if p and os.path.isdir(p) and os.path.realpath(p) not in map(os.path.realpath, out):
            out.append(p)
    return out


def find_wine(prefix: str) -> Optional[dict[str, Any]]:
    """The simulated Terminal installed in this prefix, or None."""
    try:
        lay = wine_layout(prefix)
    except SetupError:
        return None
    if not os.path.isfile(lay["exe"]) or _install.read_origin(lay["data_dir"]) is None:
        return None
    return dict(lay, portable=os.path.exists(os.path.join(lay["data_dir"], "portable.txt")), last_used=0)


# ---- Windows itself ---------------------------------------------------------------------------

def default_windows_install_dir() -> str:
    base = os.environ.get("LOCALAPPDATA") or os.path.expanduser("~\\AppData\\Local")
    return os.path.join(base, "Programs", APP_NAME)


def windows_layout(install_dir: Optional[str] = None) -> dict[str, Any]:
    install_dir = os.path.abspath(install_dir or default_windows_install_dir())
    root = _paths.terminals_root()
    if root is None:
        raise SetupError("no application-data folder: APPDATA is not set")
    data_dir = os.path.join(root, _install.data_folder_id(install_dir))
    exe = os.path.join(install_dir, _install.LAUNCHER)
    return {"kind": "windows", "prefix": None, "install_dir": install_dir, "exe": exe, "data_dir": data_dir,
            "win_install_dir": install_dir, "win_exe": exe, "win_data_dir": data_dir}


# ---- installing -------------------------------------------------------------------------------

def _copy_program(src: str, dst: str) -> None:
    tmp = dst + ".tmp"
    shutil.copyfile(src, tmp)
    os.chmod(tmp, 0o700)
    try:
        os.replace(tmp, dst)
    except PermissionError:   # Windows: a running program cannot be replaced
        os.unlink(tmp)
        raise SetupError(f"{dst} is running: stop it first (orbisyn-terminal stop)") from None


def _write_text(path: str, text: str) -> None:
    tmp = path + ".tmp"
    with open(tmp, "w", encoding="utf-8", newline="", opener=_install.private_opener) as f:
        f.write(text)
    os.replace(tmp, path)


def _install_relayed(lay: dict[str, Any], start: str, *, portable: bool, **options) -> dict[str, Any]:
    relay = find_relay()
    if _paths._utf16_units(lay["win_exe"]) > _paths.MAX_PATH_UNITS:
        raise SetupError("installation path too long for the Terminal (260 UTF-16 units)")
    _install.private_dirs(lay["install_dir"])
    settings, fresh = _install.prepare_settings(lay["data_dir"], **options)
    _copy_program(relay, lay["exe"])
    ini = os.path.join(lay["install_dir"], INI)
    _write_text(ini, ini_text(endpoint_windows_path(lay["win_data_dir"]), start))
    _install.write_markers(lay["data_dir"], lay["win_install_dir"], settings, portable)
    return dict(lay, ini=ini, relay=relay, fresh=str(fresh))


def install_wine(prefix: str, say: Say, *, portable: bool = False, **options) -> dict[str, Any]:
    """Install into a Wine prefix (created first when needed); the simulated Terminal itself runs on Linux."""
    find_relay()   # before the slow part
    ensure_prefix(prefix, say)
    warn_open_prefix(prefix, say)
    lay = wine_layout(prefix)
    start = wine_start_line(simulator_argv(sys.executable, lay["exe"], lay["data_dir"], _install.source_root()))
    return _install_relayed(lay, start, portable=portable, **options)


def install_windows(install_dir: Optional[str] = None, *, portable: bool = False, **options) -> dict[str, Any]:
    lay = windows_layout(install_dir)
    argv = simulator_argv(windows_python(sys.executable), lay["exe"], lay["data_dir"], _install.source_root())
    return _install_relayed(lay, subprocess.list2cmdline(argv), portable=portable, **options)


# ---- processes --------------------------------------------------------------------------------

def _linux_alive(pid: int) -> bool:
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            stat = f.read()
    except OSError:
        return False
    return stat[stat.rfind(b")") + 2:][:1] not in (b"Z", b"X")


def _wine_relay_pids(inst: dict[str, Any]) -> list[int]:
    """Processes running this prefix's terminal64.exe (found by their command line and WINEPREFIX)."""
    from .prefix import program_pids
    return program_pids(inst["prefix"], inst["win_exe"])


def _windows_alive(pid: int, exe: str) -> bool:
    import ctypes
    from ctypes import wintypes
    k = ctypes.WinDLL("kernel32", use_last_error=True)
    k.OpenProcess.restype = wintypes.HANDLE
    k.OpenProcess.argtypes = [wintypes.DWORD, wintypes.BOOL, wintypes.DWORD]
    k.GetExitCodeProcess.argtypes = [wintypes.HANDLE, ctypes.POINTER(wintypes.DWORD)]
    k.QueryFullProcessImageNameW.argtypes = [wintypes.HANDLE, wintypes.DWORD, wintypes.LPWSTR,
                                             ctypes.POINTER(wintypes.DWORD)]
    k.CloseHandle.argtypes = [wintypes.HANDLE]
    handle = k.OpenProcess(0x1000, False, pid)   # PROCESS_QUERY_LIMITED_INFORMATION
    if not handle:
        return False
    try:
        code = wintypes.DWORD()
        if not k.GetExitCodeProcess(handle, ctypes.byref(code)) or code.value != 259:   # STILL_ACTIVE
            return False
        buf = ctypes.create_unicode_buffer(1024)
        size = wintypes.DWORD(len(buf))
        if not k.QueryFullProcessImageNameW(handle, 0, buf, ctypes.byref(size)):
            return True
        return os.path.normcase(os.path.realpath(buf.value)) == os.path.normcase(os.path.realpath(exe))
    finally:
        k.CloseHandle(handle)


def _record_path(inst: dict[str, Any], create: bool = False) -> str:
    folder = loopback.private_dir(inst["data_dir"]) if create else loopback.relay_dir(inst["data_dir"])
    return os.path.join(folder, RELAY_RECORD)


def relay_pids(inst: dict[str, Any]) -> list[int]:
    """The relay processes serving this installation's pipe that can be seen from here."""
    if inst.get("kind") == "wine":
        return _wine_relay_pids(inst)
    try:
        with open(_record_path(inst), encoding="utf-8") as f:
            pid = int(json.load(f)["pid"])
    except (OSError, ValueError, KeyError, TypeError):
        return []
    return [pid] if _windows_alive(pid, inst["exe"]) else []


def simulator_pid(inst: dict[str, Any]) -> Optional[int]:
    from ..serving.running import running_pid
    return running_pid(inst["exe"], inst["data_dir"])


def _answers(data_dir: str) -> bool:
    from ..serving.client import RawClient
    try:
        with RawClient.loopback(data_dir, timeout=5.0) as c:
            c.version()
        return True
    except (OSError, ValueError):
        return False


def _detached() -> dict[str, Any]:
    if os.name == "nt":
        return {"creationflags": subprocess.DETACHED_PROCESS | subprocess.CREATE_NEW_PROCESS_GROUP}
    return {"start_new_session": True}


def _log_tail(path: str, lines: int = 5) -> str:
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            tail = f.read()[-4000:].strip().splitlines()[-lines:]
    except OSError:
        return ""
    return "".join(f"\n  {line}" for line in tail)


def start_simulator(inst: dict[str, Any], timeout: float = 30.0, extra: tuple[str, ...] = ()) -> int:
    """Start the simulated Terminal as its own process and wait until it answers on TCP."""
    python = windows_python(sys.executable) if os.name == "nt" else sys.executable
    argv = simulator_argv(python, inst["exe"], inst["data_dir"], _install.source_root()) + list(extra)
    with open(os.devnull, "rb") as null_in, open(os.devnull, "wb") as null_out:
        proc = subprocess.Popen(argv, stdin=null_in, stdout=null_out, stderr=null_out, close_fds=True,
                                cwd=os.path.dirname(inst["exe"]) if os.name == "nt" else "/", **_detached())
    _wait_answers(inst, proc, timeout)
    return proc.pid


def _wait_answers(inst: dict[str, Any], proc: Optional[subprocess.Popen], timeout: float = 30.0) -> None:
    log = os.path.join(inst["data_dir"], "logs", "simulator.log")
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if _answers(inst["data_dir"]):
            return
        if proc is not None and proc.poll() is not None:
            raise SetupError(f"the simulated Terminal exited with code {proc.returncode}; see {log}"
                             + _log_tail(log))
        time.sleep(0.1)
    raise SetupError(f"the simulated Terminal did not answer within {timeout:g} s; see {log}")


def start_relay(inst: dict[str, Any]) -> subprocess.Popen:
    """Start terminal64.exe (the relay), detached; its log goes to DATA/logs/relay.log."""
    logs = os.path.join(inst["data_dir"], "logs")
    os.makedirs(logs, exist_ok=True)
    if inst.get("kind") == "wine":
        argv, env, cwd = [require_wine(), inst["win_exe"]], wine_env(inst["prefix"]), os.path.dirname(inst["exe"])
    else:
        argv, env, cwd = [inst["exe"]], None, os.path.dirname(inst["exe"])
    with open(os.devnull, "rb") as null_in, open(os.devnull, "wb") as null_out, \
            open(os.path.join(logs, "relay.log"), "ab") as log:
        proc = subprocess.Popen(argv, stdin=null_in, stdout=null_out, stderr=log, env=env, cwd=cwd,
                                close_fds=True, **_detached())
    loopback.write_private(_record_path(inst, create=True), json.dumps({"pid": proc.pid, "started": time.time()}).encode())
    return proc


def run(inst: dict[str, Any], say: Say, timeout: float = 60.0, extra: tuple[str, ...] = ()) -> int:
    """Start the simulated Terminal (with the extra arguments of `run`) and the relay's pipe;
    return when the relay's watch connection is in."""
    if inst.get("kind") == "wine":
        require_wine()
    if not is_windows_program(inst["exe"]):
        raise SetupError(f"{inst['exe']} is not the relay (a Windows program): install again")
    pid = simulator_pid(inst)
    if pid and extra:
        raise SetupError(f"already running: {inst['exe']}; stop it first to start it with {' '.join(extra)}")
    if pid:
        _wait_answers(inst, None)   # it may be starting still
        say(f"already running: {inst['exe']} (pid {pid})")
    else:
        pid = start_simulator(inst, extra=extra)
        say(f"started: {inst['exe']} (pid {pid})")
    relays = relay_pids(inst)
    proc = None if relays else start_relay(inst)
    log = os.path.join(inst["data_dir"], "logs", "relay.log")
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if loopback.read_state(inst["data_dir"]).get("links", 0) > 0:
            pids = [proc.pid] if proc is not None else relays
            say(f"pipe served by the relay (pid {', '.join(map(str, pids))})")
            return 0
        gone = proc.poll() is not None if proc is not None else not relay_pids(inst)
        if gone:
            raise SetupError(f"the relay exited before it connected; see {log}" + _log_tail(log))
        time.sleep(0.1)
    raise SetupError(f"the relay did not connect within {timeout:g} s; see {log}")


def wait_relays_gone(inst: dict[str, Any], timeout: float = 10.0) -> list[int]:
    """Wait for the relay to leave after the simulated Terminal did; the pids still there."""
    deadline = time.monotonic() + timeout
    while True:
        left = relay_pids(inst)
        if not left or time.monotonic() >= deadline:
            return left
        time.sleep(0.1)


def install_here(install_dir: Optional[str] = None, **options) -> dict[str, Any]:
    """An installation as this system has it: on Windows the relay's layout, elsewhere the
    POSIX launcher's."""
    if os.name == "nt":
        return install_windows(install_dir, **options)
    return _install.install(install_dir, **options)


def default_install_dir_here() -> str:
    return default_windows_install_dir() if os.name == "nt" else _install.default_install_dir()
