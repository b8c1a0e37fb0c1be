"""The simulated Terminal in the tests: installed, started as its own process (the extension
holds the GIL while it waits on the socket), stopped. Fixtures over these are in
tests/conftest.py."""
from __future__ import annotations

import os
import signal
import subprocess
import time

import pytest

from orbisyn import _paths
from orbisyn.simulator import install as sim_install
from orbisyn.simulator.serving.client import RawClient


def install_terminal(base, name: str = "terminal", *, delay_ms: int = 30, **kw) -> dict:
    """Install into base/name with a short connect delay; returns the install paths."""
    res = sim_install.install(str(base / name), **kw)
    settings = sim_install.load_settings(res["data_dir"])
    settings["connect_delay_ms"] = delay_ms
    settings["accounts"].append({
        "login": 5009999, "password": "otp-pass", "server": "Orbisyn-Demo", "name": "Needs OTP",
        "company": "Orbisyn Simulated Markets", "currency": "USD", "leverage": 100,
        "deposit": 1000.0, "margin_mode": 2, "margin_so_call": 100.0, "margin_so_so": 50.0,
        "otp": True})
    sim_install.save_settings(res["data_dir"], settings)
    return res


class SimProcess:
    """A simulated Terminal started through its launcher."""

    def __init__(self, exe: str, *args: str):
        self.exe = exe
        self.sock = _paths.socket_path(exe)
        self.proc = subprocess.Popen([exe, *args], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.PIPE, start_new_session=True)

    def wait_ready(self, timeout: float = 30.0) -> "SimProcess":
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise RuntimeError(f"simulator exited {self.proc.returncode}: {self.proc.stderr.read()!r}")
            try:
                RawClient(self.sock, timeout=2.0).close()
                return self
            except OSError:
                time.sleep(0.05)
        raise TimeoutError("simulator did not listen in time")

    def client(self) -> RawClient:
        return RawClient(self.sock)

    def stop(self) -> int:
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        if self.proc.stderr:
            self.proc.stderr.close()
        return self.proc.returncode


def stop_pid_from_lock(exe: str) -> None:
    """Stop a Terminal that something else (the extension) started."""
    lock = _paths.socket_path(exe) + ".lock"
    try:
        pid = int(open(lock).read().strip() or 0)
    except (OSError, ValueError):
        return
    if pid <= 0:
        return
    try:
        os.kill(pid, signal.SIGTERM)
    except ProcessLookupError:
        return
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline and os.path.exists(_paths.socket_path(exe)):
        time.sleep(0.05)


def needs(*names):
    """Skips a test where the extension lacks any of the module functions names."""
    import orbisyn

    missing = [n for n in names if not hasattr(orbisyn, n)]
    return pytest.mark.skipif(bool(missing), reason=f"extension lacks {', '.join(missing)}")


def wait_named(pid: int, argv0: str, seconds: float = 10) -> None:
    """Until the process shows argv0 as its name: a stand-in started through bash's
    `exec -a` is still bash until the exec lands."""
    cmdline = f"/proc/{pid}/cmdline"
    want = argv0.encode() + b"\0"
    deadline = time.monotonic() + seconds
    while True:
        with open(cmdline, "rb") as f:
            if f.read().startswith(want):
                return
        assert time.monotonic() < deadline, f"pid {pid} never took the name {argv0!r}"
        time.sleep(0.01)
