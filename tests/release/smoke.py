"""Smoke check of an installed orbisyn (from a wheel or an sdist), run outside the checkout.

Imports the package from the running environment, compares ``__version__`` with the installed
metadata, and makes a round trip against a simulated Terminal installed into a temporary
folder: initialize, account_info, copy_rates_from_pos, shutdown, stop. (On Windows the
simulated Terminal listens on loopback TCP and the relay, installed as its terminal64.exe,
serves the Terminal's named pipe.)
Used by tools/check-release and as cibuildwheel's test command. Exit 0 when all passed.
"""
from __future__ import annotations

import os
import shutil
import subprocess
import sys
import tempfile
from importlib import metadata

DEMO_LOGIN = 5001001  # the first account of a fresh simulated Terminal
BARS = 100


class SmokeFailure(Exception):
    pass


def check(ok: bool, what: str) -> None:
    if not ok:
        raise SmokeFailure(what)


def check_installed():
    import orbisyn
    from orbisyn import _core

    prefix = os.path.realpath(sys.prefix) + os.sep
    for module in (orbisyn, _core):
        where = os.path.realpath(module.__file__)
        check(where.startswith(prefix), f"{module.__name__} comes from {where}, not from {prefix}")
    installed = metadata.version("orbisyn")
    check(orbisyn.__version__ == installed,
          f"__version__ {orbisyn.__version__!r} but the installed metadata says {installed!r}")
    print(f"smoke: orbisyn {orbisyn.__version__} from {os.path.dirname(orbisyn.__file__)}")
    return orbisyn


def terminal_cli(*args: str) -> subprocess.CompletedProcess:
    # The console script of this environment: it is part of what the package installs.
    script = os.path.join(os.path.dirname(sys.executable),
                          "orbisyn-terminal" + (".exe" if os.name == "nt" else ""))
    try:
        run = subprocess.run([script, *args], stdin=subprocess.DEVNULL, capture_output=True,
                             text=True, timeout=60)
    except (OSError, subprocess.TimeoutExpired) as exc:
        raise SmokeFailure(f"orbisyn-terminal {args[0]}: {exc}") from None
    if run.returncode != 0:
        sys.stderr.write(run.stdout + run.stderr)
    return run


def round_trip(orbisyn) -> None:
    from orbisyn.codes import Timeframe

    base = tempfile.mkdtemp(prefix="orbisyn-smoke-")
    # Socket paths are limited to 107 bytes: the runtime folder gets a short name of its own.
    runtime = tempfile.mkdtemp(prefix="osm", dir="/tmp" if os.name == "posix" else None)
    os.environ["XDG_DATA_HOME"] = os.path.join(base, "data")
    os.environ["XDG_RUNTIME_DIR"] = runtime
    install_dir = os.path.join(base, "terminal")
    try:
        check(terminal_cli("install", "--dir", install_dir).returncode == 0, "orbisyn-terminal install")
        exe = os.path.join(install_dir, "terminal64.exe")
        try:
            check(orbisyn.initialize(exe, timeout=60000), f"initialize: {orbisyn.last_error()}")
            account = orbisyn.account_info()
            check(account is not None and account.login == DEMO_LOGIN,
                  f"account_info: {account!r} {orbisyn.last_error()}")
            rates = orbisyn.copy_rates_from_pos("EURUSD", Timeframe.H1, 0, BARS)
            check(rates is not None and len(rates) == BARS,
                  f"copy_rates_from_pos: {rates!r} {orbisyn.last_error()}")
            times = rates["time"]
            check(bool((times[1:] > times[:-1]).all()), "bar times do not increase")
            check(bool((rates["high"] >= rates["low"]).all() and (rates["close"] > 0).all()),
                  "bar prices are inconsistent")
            check(orbisyn.shutdown(), "shutdown")
            print(f"smoke: round trip with {exe}: account {account.login}, {len(rates)} H1 bars")
        finally:
            orbisyn.shutdown()
            stopped = terminal_cli("stop", "--dir", install_dir)
        check(stopped.returncode == 0 and stopped.stdout.startswith("stopped:"),
              f"orbisyn-terminal stop: {stopped.stdout!r}")
    finally:
        shutil.rmtree(base, ignore_errors=True)
        shutil.rmtree(runtime, ignore_errors=True)


def main() -> int:
    try:
        orbisyn = check_installed()
        round_trip(orbisyn)
    except SmokeFailure as exc:
        print(f"smoke: FAILED: {exc}", file=sys.stderr)
        return 1
    print("smoke: passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
