"""Installation and data-folder layout of the simulated Terminal.

Installation folder: ``terminal64.exe``, a shell launcher that runs this
Python's simulator with its own path.  Data folder, under
``APPDATA/Quillmark/Terminal/<ID>/`` where the extension's locator looks:

* ``origin.txt``: UTF-16LE with BOM, the installation folder, no line end;
* ``Scrivel/``, ``config/terminal.ini``, ``config/accounts.dat`` (or
  ``portable.txt`` for a portable installation);
* ``config/simulator.json``: the simulator's settings (see ``default_settings``);
* ``history/<SYMBOL>.m1.npy``: imported bars; ``logs/simulator.log``.
"""
from __future__ import annotations

import datetime as _dt
import hashlib
import json
import os
import shlex
import site
import sys
import tempfile
from typing import Any, Callable

from .. import _paths

LAUNCHER = "terminal64.exe"
DEFAULT_BUILD = 4850
VERSION = 500

DEFAULT_ACCOUNTS = [
    {"login": 5001001, "password": "demo-pass", "server": "Orbisyn-Demo", "name": "Demo Hedging",
     "company": "Orbisyn Simulated Markets", "currency": "USD", "leverage": 100, "deposit": 10000.0,
     "margin_mode": 2, "margin_so_call": 100.0, "margin_so_so": 50.0, "commission_per_lot": 0.0,
     "otp": False},
    {"login": 5001002, "password": "demo-pass", "server": "Orbisyn-Demo", "name": "Demo Netting",
     "company": "Orbisyn Simulated Markets", "currency": "USD", "leverage": 100, "deposit": 10000.0,
     "margin_mode": 0, "margin_so_call": 100.0, "margin_so_so": 50.0, "commission_per_lot": 0.0,
     "otp": False},
]

DEFAULT_SELECTED = ["EURUSD", "GBPUSD", "USDJPY", "XAUUSD", "US500", "BTCUSD"]


def default_settings(build: int = DEFAULT_BUILD, seed: int = 1) -> dict[str, Any]:
    return {
        "build": build,
        "version": VERSION,
        "build_date": _dt.date.today().strftime("%d %b %Y"),
        "seed": seed,
        "connect_delay_ms": 500,
        "trade_api_allowed": True,
        "maxbars": 5_000_000,
        "history_start": "2015-01-01",
        "current_login": DEFAULT_ACCOUNTS[0]["login"],
        "symbols": {"selected": list(DEFAULT_SELECTED)},
        "accounts": [dict(a) for a in DEFAULT_ACCOUNTS],
    }


def private_dirs(path: str) -> str:
    """path and its missing parents, each made 0700 whatever the umask; returns path.

    Folders that exist already keep their modes."""
    missing = []
    folder = os.path.abspath(path)
    while not os.path.isdir(folder):
        missing.append(folder)
        parent = os.path.dirname(folder)
        if parent == folder:
            break
        folder = parent
    for folder in reversed(missing):
        try:
            os.mkdir(folder, 0o700)
        except FileExistsError:
            continue
        os.chmod(folder, 0o700)
    return path


def tighten(folder: str) -> None:
    """Close a folder of this user's to others (data folders made before they were private)."""
    if os.name != "posix":
        return
    try:
        st = os.lstat(folder)
        if st.st_uid == os.getuid() and st.st_mode & 0o077 and not os.path.islink(folder):
            os.chmod(folder, 0o700)
    except OSError:
        pass


def private_opener(path: str, flags: int) -> int:
    """For open(opener=): a file made now is the user's alone, whatever the umask."""
    return os.open(path, flags | getattr(os, "O_CLOEXEC", 0), 0o600)


def wine_prefix_of(path: str) -> str | None:
    """The Wine prefix whose drive_c holds path (its real path), or None."""
    parts = os.path.realpath(path).split(os.sep)
    for i in range(len(parts) - 1, 0, -1):   # the innermost: a prefix may lie in another's drive_c
        if parts[i] == "drive_c":
            prefix = os.sep.join(parts[:i]) or os.sep
            if os.path.isfile(os.path.join(prefix, "system.reg")) or \
                    os.path.isdir(os.path.join(prefix, "dosdevices")):
                return prefix
    return None


def windows_form(path: str) -> str:
    """path as the Windows programs of its Wine prefix name it (C:\\...); else path itself."""
    prefix = wine_prefix_of(path)
    if prefix is None:
        return path
    rest = os.path.relpath(os.path.realpath(path), os.path.join(prefix, "drive_c"))
    return "C:\\" + ("" if rest == "." else rest.replace(os.sep, "\\"))


def data_folder_id(install_dir: str) -> str:
    """32 upper-case hex digits derived from the installation folder, like a real one."""
    norm = _paths.normalise(install_dir).lower()
    return hashlib.sha256(norm.encode("utf-16-le", "surrogatepass")).hexdigest()[:32].upper()


def settings_path(data_dir: str) -> str:
    return os.path.join(data_dir, "config", "simulator.json")


def load_settings(data_dir: str) -> dict[str, Any]:
    with open(settings_path(data_dir), encoding="utf-8") as f:
        settings = json.load(f)
    merged = default_settings()
    merged.update(settings)
    return merged


def save_settings(data_dir: str, settings: dict[str, Any]) -> None:
    """Atomic write: a crash never leaves half a settings file."""
    path = settings_path(data_dir)
    private_dirs(os.path.dirname(path))
    fd, tmp = tempfile.mkstemp(dir=os.path.dirname(path), prefix=".simulator.", suffix=".tmp")
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            json.dump(settings, f, indent=2)
            f.write("\n")
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise


def default_install_dir() -> str:
    base = _paths.appdata_dir() or os.path.expanduser("~/.local/share")
    return os.path.join(base, "orbisyn", "terminal")


def source_root() -> str | None:
    """The folder holding the package when it runs from a source checkout, else None."""
    pkg_parent = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    site_dirs = set(site.getsitepackages() + [site.getusersitepackages()])
    return None if pkg_parent in site_dirs else pkg_parent


def _launcher_text(exe_dir: str, data_dir: str) -> str:
    pkg_parent = source_root()
    env = ""
    if pkg_parent is not None:
        # A source checkout: make the package importable whatever the caller's environment.
        env = f'PYTHONPATH={shlex.quote(pkg_parent)}${{PYTHONPATH:+:$PYTHONPATH}} '
    python = shlex.quote(sys.executable)
    # The Python's virtual environment may be deleted later: say so, here and in the log
    # (whoever started the Terminal may not show its error output).
    gone = (f"orbisyn-terminal: the Python this Terminal was installed with is gone: {sys.executable}; "
            f"write its launcher again from a Python that has orbisyn: "
            f"orbisyn-terminal install --dir {shlex.quote(exe_dir)}")
    log = shlex.quote(os.path.join(data_dir, "logs", "simulator.log"))
    return (
        "#!/bin/sh\n"
        "# Orbisyn Terminal (simulated). Written by `orbisyn-terminal install`.\n"
        "# The socket is derived from the path this was started as; then leave the caller's\n"
        "# folder so that it neither stays busy nor shadows the installed package.\n"
        'case "$0" in /*) exe="$0" ;; *) exe="$PWD/$0" ;; esac\n'
        "cd / || exit 1\n"
        f"if [ ! -x {python} ]; then\n"
        f"  echo {shlex.quote(gone)} >&2\n"
        f"  echo \"$(date -u '+%Y-%m-%d %H:%M:%S') ERROR \"{shlex.quote(gone)} 2>/dev/null >> {log}\n"
        "  exit 127\n"
        "fi\n"
        f"{env}exec {python} -m orbisyn.simulator run --foreground "
        f'--exe "$exe" --data {shlex.quote(data_dir)} "$@"\n'
    )


def launcher_python(exe: str) -> str | None:
    """The interpreter a simulator launcher runs, or None when exe is no such launcher."""
    try:
        with open(exe, encoding="utf-8") as f:
            text = f.read(4096)
    except (OSError, UnicodeDecodeError):
        return None
    for line in text.splitlines():
        if "-m orbisyn.simulator" in line and "exec " in line:
            words = shlex.split(line.split("exec ", 1)[1])
            return words[0] if words else None
    return None


def _write_origin(data_dir: str, install_dir: str) -> None:
    with open(os.path.join(data_dir, "origin.txt"), "wb", opener=private_opener) as f:
        f.write(b"\xff\xfe" + install_dir.encode("utf-16-le", "surrogatepass"))


def touch_last_used(data_dir: str, login: int | None) -> None:
    """terminal.ini's mtime is what the locator reads as 'last used'."""
    path = os.path.join(data_dir, "config", "terminal.ini")
    private_dirs(os.path.dirname(path))
    with open(path, "w", encoding="utf-8", opener=private_opener) as f:
        f.write("[Common]\n")
        if login:
            f.write(f"Login={login}\n")


def write_accounts_dat(data_dir: str, settings: dict[str, Any]) -> None:
    path = os.path.join(data_dir, "config", "accounts.dat")
    lines = [f"{a['login']}\t{a.get('server', '')}\t{a.get('name', '')}" for a in settings["accounts"]]
    with open(path, "w", encoding="utf-8", opener=private_opener) as f:
        f.write("\n".join(lines) + "\n")


def install(install_dir: str | None = None, *, portable: bool = False, build: int | None = None,
            seed: int | None = None, login: int | None = None, password: str | None = None,
            server: str | None = None) -> dict[str, str]:
    """Create (or refresh) an installation; returns its paths.

    An existing installation keeps its settings; only the options given change them.
    This is the POSIX layout (a launcher script); on Windows the installation's
    terminal64.exe is the relay instead: `relayed.install_here` chooses.
    """
    install_dir = os.path.abspath(install_dir or default_install_dir())
    root = _paths.terminals_root()
    if root is None:
        raise RuntimeError("no application-data folder: set XDG_DATA_HOME or HOME")
    if _paths._utf16_units(os.path.join(install_dir, LAUNCHER)) > _paths.MAX_PATH_UNITS:
        raise ValueError("installation path too long for the Terminal (260 UTF-16 units)")
    private_dirs(install_dir)
    data_dir = os.path.join(root, data_folder_id(install_dir))
    settings, fresh = prepare_settings(data_dir, build=build, seed=seed, login=login, password=password,
                                       server=server)

    exe = os.path.join(install_dir, LAUNCHER)
    tmp = exe + ".tmp"
    with open(tmp, "w", encoding="utf-8", opener=private_opener) as f:
        f.write(_launcher_text(install_dir, data_dir))
    os.chmod(tmp, 0o700)   # it runs as this user only, with this user's data folder
    os.replace(tmp, exe)

    write_markers(data_dir, install_dir, settings, portable)
    return {"install_dir": install_dir, "exe": exe, "data_dir": data_dir, "fresh": str(fresh)}


def prepare_settings(data_dir: str, *, build: int | None = None, seed: int | None = None,
                     login: int | None = None, password: str | None = None,
                     server: str | None = None) -> tuple[dict[str, Any], bool]:
    """The data folder's settings with the options given applied and saved; (settings, fresh)."""
    for sub in ("config", "logs", "history"):
        private_dirs(os.path.join(data_dir, sub))
    tighten(data_dir)
    try:
        settings = load_settings(data_dir)
        fresh = False
    except FileNotFoundError:
        settings = default_settings()
        fresh = True
    if build is not None:
        settings["build"] = int(build)
    if seed is not None:
        settings["seed"] = int(seed)
    if login is not None or password is not None or server is not None:
        first = settings["accounts"][0]
        if login is not None:
            first["login"] = int(login)
            settings["current_login"] = int(login)
        if password is not None:
            first["password"] = password
        if server is not None:
            first["server"] = server
    save_settings(data_dir, settings)
    return settings, fresh


def write_markers(data_dir: str, origin: str, settings: dict[str, Any], portable: bool) -> None:
    """origin.txt (the installation folder as its Terminal names it) and the locator's markers."""
    _write_origin(data_dir, origin)
    if portable:
        with open(os.path.join(data_dir, "portable.txt"), "w", encoding="utf-8", opener=private_opener) as f:
            f.write("portable\n")
    else:
        private_dirs(os.path.join(data_dir, "Scrivel"))
        write_accounts_dat(data_dir, settings)
        touch_last_used(data_dir, settings.get("current_login"))


# ---- finding installations the way the extension does ----------------------------------------

def _mtime_ns(path: str) -> int | None:
    try:
        return max(os.stat(path).st_mtime_ns, 0)
    except OSError:
        return None


def read_origin(data_dir: str) -> str | None:
    try:
        with open(os.path.join(data_dir, "origin.txt"), "rb") as f:
            raw = f.read(518)
    except OSError:
        return None
    if len(raw) < 8 or raw[:2] != b"\xff\xfe":
        return None
    return raw[2:len(raw) - len(raw) % 2].decode("utf-16-le", "surrogatepass")


def candidates(root: str | None = None, exe_of: Callable[[str], str | None] | None = None) -> list[dict[str, Any]]:
    """Valid data folders in enumeration order, with exe, portable flag and last-used time.

    root defaults to this user's; exe_of maps origin.txt's folder to the executable's
    path here (a Wine prefix maps Windows paths into the prefix).
    """
    root = _paths.terminals_root() if root is None else root
    out: list[dict[str, Any]] = []
    if root is None:
        return out
    try:
        names = os.listdir(root)
    except OSError:
        return out
    for name in names:
        folder = os.path.join(root, name)
        if name.startswith(".") or not os.path.isdir(folder):
            continue
        portable_t = _mtime_ns(os.path.join(folder, "portable.txt"))
        if portable_t is not None:
            last, portable = portable_t, True
        else:
            if not os.path.exists(os.path.join(folder, "Scrivel")):
                continue
            portable = False
            a = _mtime_ns(os.path.join(folder, "config", "accounts.dat")) or 0
            b = _mtime_ns(os.path.join(folder, "config", "terminal.ini")) or 0
            last = max(a, b)
        origin = read_origin(folder)
        if origin is None:
            continue
        exe = os.path.join(origin, LAUNCHER) if exe_of is None else exe_of(origin)
        if exe is None or not os.path.exists(exe):
            continue
        out.append({"data_dir": folder, "exe": exe, "portable": portable, "last_used": last})
    return out


def locate() -> dict[str, Any] | None:
    """The installation that `initialize()` without a path would pick (parent rule aside)."""
    best = None
    for cand in candidates():
        if best is None or cand["last_used"] > best["last_used"]:
            best = cand
    return best


def find(install_dir: str | None) -> dict[str, Any] | None:
    """The installation in install_dir, or the located one when None."""
    if install_dir is None:
        return locate()
    install_dir = os.path.abspath(install_dir)
    exe = os.path.join(install_dir, LAUNCHER)
    root = _paths.terminals_root()
    if root is None or not os.path.exists(exe):
        return None
    data_dir = os.path.join(root, data_folder_id(install_dir))
    if not os.path.isdir(data_dir):
        return None
    return {"data_dir": data_dir, "exe": exe,
            "portable": os.path.exists(os.path.join(data_dir, "portable.txt")), "last_used": 0}
