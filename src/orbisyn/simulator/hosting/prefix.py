"""What runs in a Wine prefix for us, and ending it: the relay orbisyn's initialize() starts
(``orbisyn-relay.exe serve-terminal``, known by its record in the private runtime folder),
Wine's server of the prefix, and the Windows programs that server knows of.

Wine keeps a prefix's server and its helper processes (services, winedevice, ...) alive
while any Windows program of the prefix runs, so a relay left behind holds half a dozen
processes. ``stop --wine`` ends the relay and then the server, but only when Wine says that
no other Windows program of the user runs in the prefix.
"""
from __future__ import annotations

import hashlib
import os
import re
import signal
import stat
import subprocess
import time
from dataclasses import dataclass
from typing import Callable, Optional

try:
    import fcntl
except ImportError:   # Windows: no Wine prefixes there
    fcntl = None

from ... import _paths

Say = Callable[[str], None]
WINE_QUIET = {"WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml="}
# Processes Wine runs for every prefix; a tree of these is no program of the user's.
SYSTEM_ROOTS = {"services.exe", "explorer.exe"}
MODULE_RELAY = "orbisyn-relay.exe"


# ---- processes --------------------------------------------------------------------------------

def _stat_fields(pid: int) -> Optional[list[str]]:
    """The fields of /proc/PID/stat after the name, for a process of ours that is no zombie."""
    try:
        st = os.stat(f"/proc/{pid}")
        with open(f"/proc/{pid}/stat", "rb") as f:
            text = f.read().decode(errors="replace")
    except OSError:
        return None
    fields = text[text.rfind(")") + 2:].split()
    if st.st_uid != os.getuid() or not fields or fields[0] in ("Z", "X"):
        return None
    return fields


def start_time(pid: int) -> Optional[int]:
    """When process pid started (clock ticks after boot), while it runs as this user."""
    fields = _stat_fields(pid)
    return int(fields[19]) if fields and len(fields) > 19 else None


def _pids() -> list[int]:
    try:
        return [int(n) for n in os.listdir("/proc") if n.isdigit()]
    except OSError:
        return []


def _argv(pid: int) -> list[str]:
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            return [a.decode(errors="replace") for a in f.read().split(b"\0") if a]
    except OSError:
        return []


def process_prefix(pid: int) -> Optional[str]:
    """The prefix a Wine process of ours belongs to (its WINEPREFIX, else ~/.wine), as a real path."""
    try:
        with open(f"/proc/{pid}/environ", "rb") as f:
            env = dict(v.split(b"=", 1) for v in f.read().split(b"\0") if b"=" in v)
    except OSError:
        return None
    named = env.get(b"WINEPREFIX", b"").decode(errors="replace")
    if not named:
        home = env.get(b"HOME", b"").decode(errors="replace")
        if not home:
            return None
        named = os.path.join(home, ".wine")
    return os.path.realpath(named)


def _is_wine(pid: int) -> bool:
    """A process Wine runs: its image is Wine's loader or server (wine64, wine64-preloader, ...)."""
    try:
        return os.path.basename(os.readlink(f"/proc/{pid}/exe")).startswith("wine")
    except OSError:
        return False


def prefix_processes(prefix: str) -> list[int]:
    """Processes of ours that belong to the prefix: its server and every Wine process in it
    (not programs of ours that only carry its WINEPREFIX, such as this one)."""
    real = os.path.realpath(prefix)
    server = wineserver_pid(prefix)
    return sorted({pid for pid in _pids() if _stat_fields(pid) is not None and _is_wine(pid)
                   and (pid == server or process_prefix(pid) == real)})


def program_pids(prefix: str, windows_path: str) -> list[int]:
    """Processes of ours running the Windows program at windows_path in the prefix."""
    want, real = windows_path.replace("/", "\\").lower(), os.path.realpath(prefix)
    found = []
    for pid in _pids():
        argv = _argv(pid)
        if argv and argv[0].replace("/", "\\").lower() == want and _stat_fields(pid) is not None \
                and _is_wine(pid) and process_prefix(pid) == real:
            found.append(pid)
    return found


def wineserver_pid(prefix: str) -> Optional[int]:
    """Wine's server of the prefix: a wineserver of ours working in server-DEV-INODE of it."""
    try:
        st = os.stat(prefix)
    except OSError:
        return None
    folder = f"server-{st.st_dev:x}-{st.st_ino:x}"
    for pid in _pids():
        if _stat_fields(pid) is None:
            continue
        try:
            exe = os.path.basename(os.readlink(f"/proc/{pid}/exe"))
            cwd = os.readlink(f"/proc/{pid}/cwd")
        except OSError:
            continue
        if exe.startswith("wineserver") and os.path.basename(cwd) == folder:
            return pid
    return None


def windows_programs(prefix: str) -> Optional[list[list[str]]]:
    """The Windows programs of the prefix as its server knows them, one list of names per
    process tree (the root first), without Wine's own and without the question itself;
    None when no server runs (then no Windows program runs either) or Wine cannot say."""
    if wineserver_pid(prefix) is None:
        return None
    env = dict(os.environ, WINEPREFIX=os.path.abspath(prefix), **WINE_QUIET)
    try:
        done = subprocess.run(["winedbg", "--command", "info process"], env=env, stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=30)
    except (OSError, subprocess.TimeoutExpired):
        return None
    return parse_process_list(done.stdout.decode(errors="replace"))


_PROCESS_LINE = re.compile(r"^([ =])([0-9a-fA-F]{8})\s+\d+\s+(.*?)'(.*)'\s*$")


def parse_process_list(text: str) -> Optional[list[list[str]]]:
    """winedbg's `info process` as trees of names: a line without `\\_` starts a tree."""
    trees: list[tuple[bool, list[str]]] = []
    seen = False
    for line in text.splitlines():
        m = _PROCESS_LINE.match(line)
        if m is None:
            continue
        seen = True
        ours, nested, name = m.group(1) == "=", "\\_" in m.group(3), m.group(4)
        if not nested or not trees:
            trees.append((ours, [name]))
        else:
            trees[-1][1].append(name)
            if ours:
                trees[-1] = (True, trees[-1][1])
    if not seen:
        return None
    return [names for ours, names in trees if not ours and names[0].lower() not in SYSTEM_ROOTS]


def _wait_gone(pids: list[int], seconds: float) -> list[int]:
    deadline = time.monotonic() + seconds
    while True:
        left = [p for p in pids if _stat_fields(p) is not None]
        if not left or time.monotonic() >= deadline:
            return left
        time.sleep(0.05)


# ---- the relay initialize() starts ----------------------------------------------------------

@dataclass
class ModuleRelay:
    record: str
    port: int
    pid: int
    start: int

    def runs(self) -> bool:
        return start_time(self.pid) == self.start and _is_module_relay(self.pid)


def _is_module_relay(pid: int) -> bool:
    argv = _argv(pid)
    return len(argv) >= 2 and argv[0].replace("\\", "/").lower().endswith(MODULE_RELAY) \
        and argv[1] == "serve-terminal"


def record_path(prefix: str) -> Optional[str]:
    """The record of the prefix's relay in the private runtime folder (the module's own name
    for it), or None when there is no such folder."""
    state, folder = _paths.choose_pipe_dir()
    if state != 0:
        return None
    key = hashlib.sha256(os.fsencode(os.path.realpath(prefix))).hexdigest()[:16]
    return os.path.join(folder, f"orbisyn-relay-{key}")


def module_relay(prefix: str) -> Optional[ModuleRelay]:
    """What the record says of the prefix's relay, when it is a private file of ours."""
    path = record_path(prefix)
    if path is None:
        return None
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError:
        return None
    try:
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode) or st.st_uid != os.getuid() or stat.S_IMODE(st.st_mode) != 0o600:
            return None
        text = os.read(fd, 512).decode(errors="replace")
    finally:
        os.close(fd)
    fields = dict(line.split("=", 1) for line in text.split() if "=" in line)
    try:
        return ModuleRelay(path, int(fields["port"]), int(fields["pid"]), int(fields["start"]))
    except (KeyError, ValueError):
        return None


def stray_module_relays(prefix: str) -> list[int]:
    """serve-terminal relays of the prefix that no record of ours names (started from
    another runtime folder)."""
    real = os.path.realpath(prefix)
    return [pid for pid in _pids() if _stat_fields(pid) is not None and _is_module_relay(pid)
            and _is_wine(pid) and process_prefix(pid) == real]


def stop_module_relays(prefix: str, timeout: float = 10.0) -> list[int]:
    """End the prefix's serve-terminal relays and remove their record (it holds the token);
    the pids ended. Under the record's lock: a relay starting meanwhile is not forgotten."""
    path = record_path(prefix)
    held = None
    if path is not None and fcntl is not None:
        try:
            held = os.open(path + ".lock", os.O_RDWR | os.O_NOFOLLOW | os.O_CLOEXEC)
            st = os.fstat(held)
            if not stat.S_ISREG(st.st_mode) or st.st_uid != os.getuid():
                os.close(held)
                held = None
        except OSError:
            held = None
    try:
        if held is not None:
            deadline = time.monotonic() + timeout
            while True:
                try:
                    fcntl.flock(held, fcntl.LOCK_EX | fcntl.LOCK_NB)
                    break
                except BlockingIOError:
                    if time.monotonic() >= deadline:
                        break   # a start that hangs: end what runs all the same
                    time.sleep(0.05)
        relay = module_relay(prefix)
        pids = stray_module_relays(prefix)
        for pid in pids:
            try:
                os.kill(pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
        for pid in _wait_gone(pids, timeout):
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        _wait_gone(pids, 5.0)
        if path is not None and (relay is not None or os.path.lexists(path)):
            try:
                os.unlink(path)
            except FileNotFoundError:
                pass
        return pids
    finally:
        if held is not None:
            os.close(held)


# ---- the prefix's server ----------------------------------------------------------------------

def end_server(prefix: str, timeout: float = 10.0) -> Optional[int]:
    """`wineserver -k` for the prefix, and wait until its processes have gone; the server's pid."""
    server = wineserver_pid(prefix)
    if server is None:
        return None
    env = dict(os.environ, WINEPREFIX=os.path.abspath(prefix), **WINE_QUIET)
    try:
        subprocess.run(["wineserver", "-k"], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=timeout)
    except (OSError, subprocess.TimeoutExpired):
        pass
    _wait_gone(prefix_processes(prefix) + [server], timeout)
    return server


def shown(trees: list[list[str]]) -> str:
    return ", ".join(" > ".join(names) for names in trees)
