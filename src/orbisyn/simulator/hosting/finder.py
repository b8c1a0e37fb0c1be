"""Every Terminal a plain ``orbisyn.initialize()`` can find, native and under Wine: what
each is, whether it runs, and which one initialize() picks and why (``orbisyn-terminal
list``, ``python -m orbisyn``).

The finding and the pick are the module's own: ``orbisyn._core._terminals()`` runs the
locator initialize() runs, and connects to nothing. This only adds what each Terminal is
and whether it runs, from files and processes; it sends nothing to any Terminal.
"""
from __future__ import annotations

import datetime as _dt
import os
from dataclasses import dataclass
from typing import Optional

from ... import _paths
from .. import install as _install
from ..serving.running import running_pid
from . import prefix as _prefix
from .relayed import INI

SIMULATED, REAL = "simulated", "real"


@dataclass
class Found:
    path: str                      # what initialize() opens (under Wine: through the prefix's drives)
    windows_path: Optional[str]    # under Wine, as Windows programs there name it
    prefix: Optional[str]          # the Wine prefix, or None
    data_path: str
    kind: str                      # SIMULATED or REAL
    runs: Optional[str]            # how it runs; None: not running
    last_used: Optional[float]     # seconds since 1970
    portable: bool
    place: str                     # "native", "WINEPREFIX" or "~/.wine"
    parent: bool                   # it started this Python process


@dataclass
class Finding:
    terminals: list[Found]
    pick: Optional[int]
    reason: str                    # why pick; with none, what initialize() says
    looked_in: list[str]
    skipped: list[tuple[str, str]]

    @property
    def picked(self) -> Optional[Found]:
        return None if self.pick is None else self.terminals[self.pick]


def find() -> Finding:
    """What the module finds; ImportError when its extension is missing."""
    from ... import _core
    raw = _core._terminals()
    found = [_describe(t) for t in raw["terminals"]]
    return Finding(found, raw["pick"], raw["reason"], list(raw["looked_in"]), list(raw["skipped"]))


def _describe(t: dict) -> Found:
    path, prefix = t["path"], t["prefix"]
    # The simulated Terminal's terminal64.exe: a launcher natively, the relay (with its ini)
    # where Windows programs start it.
    if prefix is None and os.name != "nt":
        simulated = _install.launcher_python(path) is not None
    else:
        simulated = os.path.isfile(os.path.join(os.path.dirname(path), INI))
    return Found(path, t["windows_path"], prefix, t["data_path"], SIMULATED if simulated else REAL,
                 _runs(path, t["windows_path"], prefix, t["data_path"], simulated), t["last_used"],
                 t["portable"], t["place"], t["parent"])


def _runs(path: str, windows_path: Optional[str], prefix: Optional[str], data_path: str,
          simulated: bool) -> Optional[str]:
    if simulated:
        pid = running_pid(path, data_path)
        if not pid:
            return None
        runs = f"pid {pid}" if pid > 0 else "pid unknown"
        if prefix is not None and windows_path is not None:
            relays = _prefix.program_pids(prefix, windows_path)
            runs += (f"; its pipe in the prefix served by the relay (pid {', '.join(map(str, relays))})"
                     if relays else "; its pipe in the prefix not served now")
        return runs
    if prefix is not None and windows_path is not None:
        pids = _prefix.program_pids(prefix, windows_path)
        return f"pid {', '.join(map(str, pids))}" if pids else None
    if os.name == "nt":
        return "unknown"
    return "its socket listens" if _listening(_paths.socket_path(path)) else None


def _listening(socket_path: str) -> bool:
    """A listening Unix socket at socket_path, seen in /proc/net/unix: nothing connects to it."""
    try:
        with open("/proc/net/unix", encoding="utf-8", errors="replace") as f:
            next(f, None)
            for line in f:
                fields = line.split(None, 7)
                if len(fields) == 8 and fields[7].rstrip("\n") == socket_path and int(fields[3], 16) & 0x10000:
                    return True
    except (OSError, ValueError):
        pass
    return False


def _when(seconds: Optional[float]) -> str:
    if seconds is None:
        return "never"
    return _dt.datetime.fromtimestamp(seconds).strftime("%Y-%m-%d %H:%M:%S")


def report(finding: Finding) -> list[str]:
    """The listing as lines: each Terminal, then the pick and its reason, where the module looked
    and what it skipped."""
    lines: list[str] = []
    for i, t in enumerate(finding.terminals, 1):
        where = "" if t.prefix is None else f" under Wine (prefix {t.prefix})"
        mark = "*" if finding.pick == i - 1 else " "
        lines.append(f"{mark}{i}. {t.kind} Terminal{where}, "
                     + (f"running ({t.runs})" if t.runs else "not running"))
        if t.windows_path is not None:
            lines.append(f"     Windows path : {t.windows_path}")
            lines.append(f"     Linux path   : {os.path.realpath(t.path)}")
            lines.append(f"     data folder  : {_install.windows_form(t.data_path)}")
            lines.append(f"                    ({t.data_path})")
        else:
            lines.append(f"     path         : {t.path}")
            lines.append(f"     data folder  : {t.data_path}")
        lines.append(f"     used last    : {_when(t.last_used)}"
                     + (", portable" if t.portable else "")
                     + (", started this Python" if t.parent else ""))
    if finding.pick is None:
        lines.append("initialize() finds no Terminal: " + finding.reason)
    else:
        # One thing a line: the reason and the folders read whole in 80 columns more often.
        lines.append(f"initialize() picks {finding.pick + 1}, because:")
        lines.append(f"     {finding.reason}")
        lines.append("looked in:")
        lines += [f"     {folder}" for folder in finding.looked_in]
    lines += [f"skipped: {folder}: {why}" for folder, why in finding.skipped]
    return lines
