"""The simulated Terminal on loopback TCP: the hello gate, the endpoint file, the stop request."""
from __future__ import annotations

import os
import socket
import stat
import struct
import subprocess
import sys
import time

import pytest

from orbisyn import _paths
from orbisyn.simulator.serving import loopback
from orbisyn.simulator import protocol
from orbisyn.simulator.serving.client import RawClient

from simkit import install_terminal

VERSION_REQUEST = protocol.request(protocol.CMD_VERSION, struct.pack("<i", 0))


def tcp(port: int) -> socket.socket:
    return socket.create_connection(("127.0.0.1", port), timeout=5.0)


def dropped(sock: socket.socket, within: float) -> bool:
    """True when the server closes sock within the time without having sent a byte."""
    sock.settimeout(within)
    try:
        return sock.recv(1) == b""
    except ConnectionResetError:
        return True
    except socket.timeout:
        return False


def send_quietly(sock: socket.socket, data: bytes) -> None:
    try:
        sock.sendall(data)
    except OSError:   # already dropped: what the test then checks
        pass


def served(data_dir: str) -> bool:
    with RawClient.loopback(data_dir, timeout=5.0) as c:
        return c.version()[0] > 0


def flipped(token: bytes) -> bytes:
    return bytes([token[0] ^ 1]) + token[1:]


# Each case, from the token: what is sent at once, seconds of silence, what is sent after it.
REFUSALS = {
    "no hello": lambda t: (b"", 0, b""),
    "wrong token": lambda t: (b"ORBS" + flipped(t) + VERSION_REQUEST, 0, b""),
    "relay magic": lambda t: (b"ORBR" + t + VERSION_REQUEST, 0, b""),   # the other direction's
    "half a hello": lambda t: (b"ORBS" + t[:16], 0, b""),
    "late hello": lambda t: (b"", 2.4, b"ORBS" + t + VERSION_REQUEST),
    "slow hello": lambda t: (b"ORBS" + t[:16], 2.4, t[16:] + VERSION_REQUEST),
}


@pytest.mark.parametrize("case", list(REFUSALS))
def test_bad_hello_is_dropped_without_reply(shared_sim, case):
    res, _ = shared_sim
    port, token = loopback.read_endpoint(res["data_dir"])
    first, pause, then = REFUSALS[case](token)
    assert served(res["data_dir"])   # serving already: the 2 s run from the accept
    started = time.monotonic()
    with tcp(port) as bad:
        send_quietly(bad, first)
        assert served(res["data_dir"])   # a good client meanwhile is not held up
        if pause:
            time.sleep(pause)
            send_quietly(bad, then)
        assert dropped(bad, within=4.0)
    if case in ("wrong token", "relay magic"):
        assert time.monotonic() - started < 1.5   # at once, not at the deadline


def test_hello_and_first_request_in_one_write(shared_sim):
    res, _ = shared_sim
    port, token = loopback.read_endpoint(res["data_dir"])
    with tcp(port) as s:
        s.sendall(b"ORBS" + token + VERSION_REQUEST + VERSION_REQUEST)
        c = RawClient.__new__(RawClient)
        c.sock = s
        for _ in range(2):
            echo, status, _ = c.read_reply()
            assert (echo, status) == (protocol.CMD_VERSION, protocol.OK_RECORD)


def test_many_idle_connections_do_not_lock_out_a_client(sim_env, start_sim):
    res = install_terminal(sim_env)
    start_sim(res["exe"])
    port, _ = loopback.read_endpoint(res["data_dir"])
    assert served(res["data_dir"])
    idle = [tcp(port) for _ in range(2 * loopback.MAX_PENDING)]
    try:
        started = time.monotonic()
        assert served(res["data_dir"])
        assert time.monotonic() - started < 1.5
        assert all(dropped(s, within=loopback.HELLO_TIMEOUT + 3.0) for s in idle)
    finally:
        for s in idle:
            s.close()


def test_endpoint_file_private_and_gone_after_stop(sim_env, start_sim):
    res = install_terminal(sim_env)
    data = res["data_dir"]
    os.makedirs(loopback.relay_dir(data), exist_ok=True)
    with open(os.path.join(loopback.relay_dir(data), loopback.STOP), "w") as f:
        f.write("1\n")   # left from an earlier run: not this one's stop
    proc = start_sim(res["exe"])
    path = loopback.endpoint_path(data)
    assert stat.S_IMODE(os.stat(loopback.relay_dir(data)).st_mode) == 0o700
    assert stat.S_IMODE(os.stat(path).st_mode) == 0o600
    lines = open(path, encoding="ascii").read().splitlines()
    assert len(lines) == 2 and lines[0].startswith("port=") and lines[1].startswith("token=")
    assert len(lines[1]) == len("token=") + 64
    assert not os.path.exists(os.path.join(loopback.relay_dir(data), loopback.STOP))
    port, _ = loopback.read_endpoint(data)
    assert loopback.read_state(data)["port"] == port and loopback.read_state(data)["pid"] == proc.proc.pid
    assert proc.stop() == 0
    assert not os.path.exists(path) and loopback.read_state(data) == {}


def test_endpoint_written_private_from_the_start(tmp_path, monkeypatch):
    seen = []
    real_replace = os.replace

    def replace(src, dst):
        seen.append((stat.S_IMODE(os.stat(src).st_mode), open(src).read()))
        real_replace(src, dst)

    monkeypatch.setattr(os, "replace", replace)
    old = os.umask(0)
    try:
        loopback.write_endpoint(str(tmp_path), 4242, b"\x01" * 32)
    finally:
        os.umask(old)
    assert seen == [(0o600, "port=4242\ntoken=" + "01" * 32 + "\n")]
    assert loopback.read_endpoint(str(tmp_path)) == (4242, b"\x01" * 32)


def test_listens_on_loopback_only_and_keeps_the_token_secret(shared_sim):
    res, proc = shared_sim
    port, token = loopback.read_endpoint(res["data_dir"])
    with tcp(port) as bad:
        send_quietly(bad, b"ORBS" + flipped(token))
        assert dropped(bad, within=4.0)
    assert served(res["data_dir"])
    listening = set()
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            rows = open(table).read().splitlines()[1:]
        except OSError:
            continue
        for row in rows:
            local, state = row.split()[1], row.split()[3]
            if state == "0A" and int(local.rsplit(":", 1)[1], 16) == port:
                listening.add(local.rsplit(":", 1)[0])
    assert listening == {"0100007F"}
    secret = token.hex()
    log = open(os.path.join(res["data_dir"], "logs", "simulator.log"), "rb").read()
    assert secret.encode() not in log.lower() and token not in log
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            cmdline = open(f"/proc/{pid}/cmdline", "rb").read()
        except OSError:
            continue
        assert secret.encode() not in cmdline.lower(), pid
    # No file in the data folder that others may read holds it.
    for folder, _, files in os.walk(res["data_dir"]):
        for name in files:
            path = os.path.join(folder, name)
            if os.stat(path).st_mode & 0o044:
                with open(path, "rb") as f:
                    body = f.read()
                assert secret.encode() not in body.lower() and token not in body, path


def test_stop_request_ends_only_its_own_server(sim_env, start_sim):
    res = install_terminal(sim_env)
    proc = start_sim(res["exe"])
    data = res["data_dir"]
    loopback.request_stop(data, proc.proc.pid + 1)
    time.sleep(2 * loopback.POLL_INTERVAL + 0.2)
    assert proc.proc.poll() is None and served(data)
    loopback.request_stop(data, proc.proc.pid)
    assert proc.proc.wait(10) == 0
    assert not os.path.exists(loopback.endpoint_path(data))
    assert not os.path.exists(os.path.join(loopback.relay_dir(data), loopback.STOP))


# The simulator as it runs on Windows (no fcntl, no Unix socket; msvcrt's byte locks), played
# here with a stand-in msvcrt on POSIX record locks.
AS_ON_WINDOWS = """
import fcntl, os, sys, types
import subprocess   # first: it takes any msvcrt for Windows
msvcrt = types.ModuleType("msvcrt")
msvcrt.LK_UNLCK, msvcrt.LK_LOCK, msvcrt.LK_NBLCK = 0, 1, 2
def locking(fd, mode, n):
    op = {0: fcntl.LOCK_UN, 1: fcntl.LOCK_EX, 2: fcntl.LOCK_EX | fcntl.LOCK_NB}[mode]
    try:
        fcntl.lockf(fd, op, n, os.lseek(fd, 0, os.SEEK_CUR))
    except BlockingIOError:
        raise PermissionError(13, "locked") from None
msvcrt.locking = locking
sys.modules["msvcrt"] = msvcrt
sys.modules["fcntl"] = None
os.O_BINARY = os.O_NOINHERIT = 0
from orbisyn.simulator.cli import main
sys.exit(main(sys.argv[1:]))
"""


def as_on_windows(*args: str, **kw) -> subprocess.Popen:
    return subprocess.Popen([sys.executable, "-c", AS_ON_WINDOWS, *args], stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **kw)


def test_tcp_only_server_as_on_windows(sim_env):
    res = install_terminal(sim_env)
    data, inst_dir = res["data_dir"], os.path.dirname(res["exe"])
    server = as_on_windows("run", "--foreground", "--exe", res["exe"], "--data", data)
    try:
        deadline = time.monotonic() + 30
        while loopback.read_endpoint(data) is None:
            assert server.poll() is None, server.communicate()
            assert time.monotonic() < deadline
            time.sleep(0.05)
        assert served(data)
        assert not os.path.exists(_paths.socket_path(res["exe"]))   # no Unix socket there
        second = as_on_windows("run", "--foreground", "--exe", res["exe"], "--data", data)
        assert second.wait(30) == 3 and "already running" in second.communicate()[1]
        status = as_on_windows("status", "--dir", inst_dir)
        out, err = status.communicate(timeout=30)
        assert status.returncode == 0 and f"pid          : {server.pid}" in out, out + err
        stop = as_on_windows("stop", "--dir", inst_dir)
        out, err = stop.communicate(timeout=30)
        assert stop.returncode == 0 and "stopped" in out, out + err
        assert server.wait(10) == 0 and loopback.read_endpoint(data) is None
    finally:
        if server.poll() is None:
            server.kill()
        server.communicate()
