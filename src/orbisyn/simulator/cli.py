"""``orbisyn-terminal``: install, run, query, stop the simulated Terminal; import bars."""
from __future__ import annotations

import argparse
import datetime as _dt
import errno
import fcntl
import os
import re
import signal
import subprocess
import sys
import time

import numpy as np

from .. import _paths
from . import install as _install


def _die(msg: str, code: int = 1) -> int:
    print(f"orbisyn-terminal: {msg}", file=sys.stderr)
    return code


def _find(args) -> dict | None:
    inst = _install.find(getattr(args, "dir", None))
    return inst


def _running_pid(exe: str) -> int | None:
    """Pid of the server holding the socket lock of this launcher, or None."""
    lock = _paths.socket_path(exe) + ".lock"
    try:
        fd = os.open(lock, os.O_RDONLY | os.O_CLOEXEC)
    except OSError:
        return None
    try:
        try:
            fcntl.flock(fd, fcntl.LOCK_SH | fcntl.LOCK_NB)
        except OSError as exc:
            if exc.errno not in (errno.EWOULDBLOCK, errno.EACCES):
                raise
            text = os.read(fd, 32).decode(errors="replace").strip()
            return int(text) if text.isdigit() else -1
        fcntl.flock(fd, fcntl.LOCK_UN)
        return None
    finally:
        os.close(fd)


def _answers(exe: str) -> tuple[int, int, str] | None:
    from .client import RawClient
    try:
        with RawClient(_paths.socket_path(exe), timeout=5.0) as c:
            return c.version()
    except OSError:
        return None


# ---- install -------------------------------------------------------------------------------

def cmd_install(args) -> int:
    try:
        res = _install.install(args.dir, portable=args.portable, build=args.build, seed=args.seed,
                               login=args.login, password=args.password, server=args.server)
    except (OSError, ValueError, RuntimeError) as exc:
        return _die(str(exc))
    settings = _install.load_settings(res["data_dir"])
    accounts = settings.get("accounts") or [{}]
    acc = next((a for a in accounts if a.get("login") == settings.get("current_login")), accounts[0])
    print(f"Simulated Terminal {'installed' if res['fresh'] == 'True' else 'updated'}:")
    print(f"  installation : {res['install_dir']}")
    print(f"  launcher     : {res['exe']}")
    print(f"  data folder  : {res['data_dir']}")
    print(f"  settings     : {_install.settings_path(res['data_dir'])}")
    print(f"  account      : {acc.get('login')} / {acc.get('password')} on {acc.get('server')}")
    print("Connect with: python -c 'import orbisyn; print(orbisyn.initialize())'")
    return 0


# ---- run / status / stop -------------------------------------------------------------------

def cmd_run(args) -> int:
    portable = any(x.lower() == "/portable" for x in args.extra) or args.portable
    if args.exe:
        exe = args.exe
        data = args.data
        if data is None:
            inst = _install.find(os.path.dirname(os.path.abspath(exe)))
            if inst is None:
                return _die(f"no data folder for {exe}: run `orbisyn-terminal install` first")
            data = inst["data_dir"]
        from .server import run
        return run(exe, data, portable=portable)
    inst = _find(args)
    if inst is None:
        return _die("no simulated Terminal installed (see `orbisyn-terminal install --help`)")
    exe = inst["exe"]
    if args.foreground:
        from .server import run
        return run(exe, inst["data_dir"], portable=portable)
    if _running_pid(exe):
        print(f"already running: {exe}")
        return 0
    argv = [exe] + (["/portable"] if portable else [])
    with open(os.devnull, "rb") as null_in, open(os.devnull, "wb") as null_out:
        proc = subprocess.Popen(argv, stdin=null_in, stdout=null_out, stderr=null_out,
                                start_new_session=True, close_fds=True)
    deadline = time.monotonic() + 30.0
    while time.monotonic() < deadline:
        if _answers(exe) is not None:
            print(f"started: {exe} (pid {proc.pid})")
            return 0
        if proc.poll() is not None:
            return _die(f"the Terminal exited with code {proc.returncode}; see "
                        f"{os.path.join(inst['data_dir'], 'logs', 'simulator.log')}")
        time.sleep(0.1)
    return _die("the Terminal did not answer within 30 s")


def cmd_status(args) -> int:
    inst = _find(args)
    if inst is None:
        print("no simulated Terminal installed")
        return 2
    exe = inst["exe"]
    ver = _answers(exe)
    pid = _running_pid(exe)
    if ver is None:
        print(f"not running: {exe}")
        return 1
    print(f"running: {exe}")
    print(f"  pid         : {pid if pid and pid > 0 else 'unknown'}")
    print(f"  version     : {ver[0]} build {ver[1]} ({ver[2]})")
    print(f"  socket      : {_paths.socket_path(exe)}")
    print(f"  data folder : {inst['data_dir']}")
    return 0


def cmd_stop(args) -> int:
    inst = _find(args)
    if inst is None:
        return _die("no simulated Terminal installed")
    exe = inst["exe"]
    pid = _running_pid(exe)
    if not pid or pid < 0:
        print(f"not running: {exe}")
        return 0
    try:
        os.kill(pid, signal.SIGTERM)
    except ProcessLookupError:
        print(f"not running: {exe}")
        return 0
    deadline = time.monotonic() + args.timeout
    while time.monotonic() < deadline:
        if _running_pid(exe) is None:
            print(f"stopped: {exe} (pid {pid})")
            return 0
        time.sleep(0.05)
    return _die(f"pid {pid} did not stop within {args.timeout:g} s")


# ---- import-bars ---------------------------------------------------------------------------

_DATE = re.compile(r"^(\d{4})[.\-/](\d{2})[.\-/](\d{2})(?:[ T](\d{1,2}):(\d{2})(?::(\d{2}))?)?$")
_TIME = re.compile(r"^(\d{1,2}):(\d{2})(?::(\d{2}))?$")


def _parse_time(fields: list[str]) -> tuple[int, int] | None:
    """(seconds, fields used) from the start of a row, or None when it is no time."""
    first = fields[0].strip()
    if re.fullmatch(r"-?\d+", first):
        v = int(first)
        return (v // 1000 if v > 10**11 else v), 1
    m = _DATE.match(first)
    if not m:
        return None
    y, mo, d, hh, mi, ss = m.groups()
    used = 1
    if hh is None and len(fields) > 1:
        t = _TIME.match(fields[1].strip())
        if t:
            hh, mi, ss = t.groups()
            used = 2
    dt = _dt.datetime(int(y), int(mo), int(d), int(hh or 0), int(mi or 0), int(ss or 0),
                      tzinfo=_dt.timezone.utc)
    return int(dt.timestamp()), used


class _Progress:
    def __init__(self, total: int, stream=sys.stderr, width: int = 30):
        self.total = max(total, 1)
        self.stream = stream
        self.width = width
        self.shown = -1

    def update(self, done: int, rows: int) -> None:
        pct = min(100, done * 100 // self.total)
        if pct != self.shown:
            self.shown = pct
            fill = pct * self.width // 100
            self.stream.write(f"\rimporting [{'#' * fill}{'.' * (self.width - fill)}] {pct:3d}%  {rows} bars")
            self.stream.flush()

    def finish(self, rows: int) -> None:
        self.update(self.total, rows)
        self.stream.write("\n")


def read_bars_csv(path: str, sym, progress: _Progress | None = None) -> np.ndarray:
    """M1 bars from a CSV file: time, open, high, low, close[, tick_volume[, spread]]."""
    from .market import IMPORT_DTYPE, imported_table
    rows = []
    done = 0
    with open(path, encoding="utf-8-sig") as f:
        for lineno, line in enumerate(f, 1):
            done += len(line.encode())
            text = line.strip()
            if not text or text.startswith("#"):
                continue
            sep = ";" if ";" in text else ("\t" if "\t" in text else ",")
            fields = [x.strip().strip('"') for x in text.split(sep)]
            t = _parse_time(fields)
            if t is None:
                if not rows and lineno == 1:
                    continue  # header
                raise ValueError(f"line {lineno}: no time in {fields[0]!r}")
            sec, used = t
            vals = fields[used:]
            if len(vals) < 4:
                raise ValueError(f"line {lineno}: expected open, high, low, close")
            try:
                o, h, l, c = (int(round(float(v) / sym.point)) for v in vals[:4])
                tv = int(float(vals[4])) if len(vals) > 4 and vals[4] else 12
                sp = int(float(vals[5])) if len(vals) > 5 and vals[5] else sym.sim_spread
            except ValueError:
                raise ValueError(f"line {lineno}: not a number") from None
            if sec % 60:
                raise ValueError(f"line {lineno}: not an M1 bar time (seconds {sec % 60})")
            if min(o, h, l, c) <= 0 or h < max(o, c) or l > min(o, c):
                raise ValueError(f"line {lineno}: inconsistent prices (need low <= open, close <= high)")
            # A bar needs 4 ticks to carry distinct open, high, low and close.
            rows.append((sec // 60, o, h, l, c, max(sp, 0), min(max(tv, 4), 200)))
            if progress is not None and lineno % 2000 == 0:
                progress.update(done, len(rows))
    if progress is not None:
        progress.finish(len(rows))
    if not rows:
        raise ValueError("no bars in the file")
    return imported_table(np.array(rows, dtype=IMPORT_DTYPE))


def cmd_import_bars(args) -> int:
    from .market import default_catalogue
    inst = _find(args)
    if inst is None:
        return _die("no simulated Terminal installed")
    sym = next((s for s in default_catalogue() if s.name == args.symbol), None)
    if sym is None:
        return _die(f"unknown symbol {args.symbol!r}")
    try:
        table = read_bars_csv(args.file, sym, _Progress(os.path.getsize(args.file)))
    except (OSError, ValueError) as exc:
        print(file=sys.stderr)
        return _die(f"{args.file}: {exc}")
    hist = os.path.join(inst["data_dir"], "history")
    os.makedirs(hist, exist_ok=True)
    target = os.path.join(hist, f"{args.symbol}.m1.npy")
    tmp = target + ".tmp.npy"
    np.save(tmp, table)
    os.replace(tmp, target)
    first = _dt.datetime.fromtimestamp(int(table["minute"][0]) * 60, _dt.timezone.utc)
    last = _dt.datetime.fromtimestamp(int(table["minute"][-1]) * 60, _dt.timezone.utc)
    print(f"{len(table)} M1 bars of {args.symbol} from {first:%Y-%m-%d %H:%M} to {last:%Y-%m-%d %H:%M} UTC "
          f"now replace its synthetic prices ({target})")
    return 0


def cmd_reset(args) -> int:
    inst = _find(args)
    if inst is None:
        return _die("no simulated Terminal installed")
    from .engine import reset_account
    settings = _install.load_settings(inst["data_dir"])
    try:
        done = reset_account(inst["data_dir"], settings, args.login)
    except KeyError:
        return _die(f"no account {args.login} in {_install.settings_path(inst['data_dir'])}")
    print("reset: " + ", ".join(str(x) for x in done))
    return 0


def build_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="orbisyn-terminal", description=__doc__)
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND")

    i = sub.add_parser("install", help="install a simulated Terminal with demo accounts",
                       description="Lay out an installation folder (with its terminal64.exe launcher) and a "
                                   "data folder where orbisyn.initialize() finds it. Re-running it on an "
                                   "existing installation keeps its settings except those given.")
    i.add_argument("--dir", help=f"installation folder (default {_install.default_install_dir()})")
    i.add_argument("--portable", action="store_true", help="mark the data folder portable (portable.txt)")
    i.add_argument("--build", type=int, help=f"build number reported (default {_install.DEFAULT_BUILD}; "
                                             "2363 or lower gives the legacy symbol record)")
    i.add_argument("--seed", type=int, help="seed of the synthetic prices (default 1)")
    i.add_argument("--login", type=int, help="login of the first demo account")
    i.add_argument("--password", help="password of the first demo account")
    i.add_argument("--server", help="server name of the first demo account")
    i.set_defaults(func=cmd_install)

    r = sub.add_parser("run", help="start the Terminal (in the background unless --foreground)")
    r.add_argument("--dir", help="installation folder (default: the most recently used)")
    r.add_argument("--foreground", action="store_true", help="serve in this process until SIGTERM/SIGINT")
    r.add_argument("--portable", action="store_true", help="start in portable mode")
    r.add_argument("--exe", help=argparse.SUPPRESS)
    r.add_argument("--data", help=argparse.SUPPRESS)
    r.add_argument("extra", nargs="*", help=argparse.SUPPRESS)
    r.set_defaults(func=cmd_run)

    s = sub.add_parser("status", help="exit 0 when the Terminal runs, 1 when not")
    s.add_argument("--dir", help="installation folder (default: the most recently used)")
    s.set_defaults(func=cmd_status)

    t = sub.add_parser("stop", help="stop a running Terminal (SIGTERM)")
    t.add_argument("--dir", help="installation folder (default: the most recently used)")
    t.add_argument("--timeout", type=float, default=10.0, help="seconds to wait (default 10)")
    t.set_defaults(func=cmd_stop)

    b = sub.add_parser("import-bars", help="replace a symbol's prices with M1 bars from a CSV file",
                       description="CSV rows: time, open, high, low, close[, tick_volume[, spread]]. Time is "
                                   "epoch seconds or 'YYYY-MM-DD HH:MM[:SS]' (also 'YYYY.MM.DD,HH:MM'), UTC. "
                                   "A header line is skipped. Ticks and bars of every timeframe then come "
                                   "from these bars.")
    b.add_argument("symbol")
    b.add_argument("file")
    b.add_argument("--dir", help="installation folder (default: the most recently used)")
    b.set_defaults(func=cmd_import_bars)

    z = sub.add_parser("reset", help="start an account afresh (no positions, orders or history)",
                       description="Give one account (or all) back its deposit, without positions, orders or "
                                   "history. Safe while the Terminal runs.")
    z.add_argument("--login", type=int, help="only this account (default: every account)")
    z.add_argument("--dir", help="installation folder (default: the most recently used)")
    z.set_defaults(func=cmd_reset)
    return p


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    return int(args.func(args) or 0)


if __name__ == "__main__":
    sys.exit(main())
