"""The simulated Terminal on loopback TCP: the proofs of both sides, what a stranger on the port
costs, the endpoint file and whom it is trusted from, the stop request."""
from __future__ import annotations

import contextlib
import logging
import os
import re
import socket
import stat
import struct
import subprocess
import sys
import threading
import time

import pytest

from orbisyn import _paths
from orbisyn.simulator import protocol
from orbisyn.simulator.serving import loopback, proof, server
from orbisyn.simulator.serving.client import RawClient

from support.simulated import install_terminal
from support.other_user import other_user
from support.strangers import Flood, Squatter, second_user

VERSION_REQUEST = protocol.request(protocol.Command.VERSION, struct.pack("<i", 0))

# ---- the proofs at the simulated Terminal -----------------------------------------------------------

def tcp(port: int) -> socket.socket:
    return socket.create_connection(("127.0.0.1", port), timeout=5.0)


def served(data_dir: str) -> bool:
    with RawClient.loopback(data_dir, timeout=5.0) as c:
        return c.version()[0] > 0


def flipped(data: bytes) -> bytes:
    return bytes([data[0] ^ 1]) + data[1:]


def send_quietly(sock: socket.socket, data: bytes) -> None:
    try:
        sock.sendall(data)
    except OSError:   # already dropped: what the test then checks
        pass


def read_to_end(sock: socket.socket, within: float) -> bytes | None:
    """What the server sends until it closes sock, or None when it is still open after the time."""
    sock.settimeout(within)
    got = bytearray()
    try:
        while chunk := sock.recv(4096):
            got += chunk
    except ConnectionResetError:
        pass
    except socket.timeout:
        return None
    return bytes(got)


def challenged(sock: socket.socket, token: bytes, mine: bytes) -> bytes:
    """Sends the hello, checks the server's proof; the server's nonce."""
    sock.sendall(loopback.MAGIC + mine)
    challenge = b""
    while len(challenge) < proof.CHALLENGE_BYTES:
        chunk = sock.recv(proof.CHALLENGE_BYTES - len(challenge))
        assert chunk, "closed before its challenge"
        challenge += chunk
    theirs = challenge[:proof.NONCE_BYTES]
    assert proof.check(proof.SERVER, token, loopback.MAGIC, mine, theirs, challenge[proof.NONCE_BYTES:])
    return theirs


def good_proof(token: bytes, mine: bytes, theirs: bytes) -> bytes:
    return proof.prove(proof.CLIENT, token, loopback.MAGIC, mine, theirs)


def replayed(port: int, token: bytes, mine: bytes) -> bytes:
    """The right proof of a connection that has ended (made with the same client nonce)."""
    with tcp(port) as other:
        return good_proof(token, mine, challenged(other, token, mine))


# Each case, on a fresh connection: what it does, and whether the drop comes at the 2 s limit.
# None of them may get more than the challenge.
REFUSALS = {
    "no hello": (lambda s, t, port: None, True),
    "half a hello": (lambda s, t, port: s.sendall(loopback.MAGIC + bytes(16)), True),
    "the other road's magic": (lambda s, t, port: s.sendall(b"ORBR" + proof.nonce() + VERSION_REQUEST), False),
    "the old hello with the token": (lambda s, t, port: s.sendall(loopback.MAGIC + t + VERSION_REQUEST), False),
    "wrong proof": (lambda s, t, port: s.sendall(
        flipped(good_proof(t, m := proof.nonce(), challenged(s, t, m))) + VERSION_REQUEST), False),
    "the server's own proof sent back": (lambda s, t, port: s.sendall(
        proof.prove(proof.SERVER, t, loopback.MAGIC, m := proof.nonce(), challenged(s, t, m)) + VERSION_REQUEST), False),
    "a proof replayed from another connection": (lambda s, t, port: (
        p := replayed(port, t, m := proof.nonce()), challenged(s, t, m), s.sendall(p + VERSION_REQUEST)), False),
    "no proof": (lambda s, t, port: challenged(s, t, proof.nonce()), True),
    "half a proof": (lambda s, t, port: s.sendall(
        good_proof(t, m := proof.nonce(), challenged(s, t, m))[:16]), True),
    "a slow proof": (lambda s, t, port: (
        theirs := challenged(s, t, m := proof.nonce()), time.sleep(loopback.HELLO_TIMEOUT + 0.4),
        send_quietly(s, good_proof(t, m, theirs) + VERSION_REQUEST)), True),
}


@pytest.mark.parametrize("case", list(REFUSALS))
def test_refused_handshakes_get_nothing_but_the_challenge(shared_sim, case):
    res, _ = shared_sim
    port, token = loopback.read_endpoint(res["data_dir"])
    attack, at_limit = REFUSALS[case]
    assert served(res["data_dir"])   # serving already: the 2 s run from the accept
    started = time.monotonic()
    with tcp(port) as bad:
        attack(bad, token, port)
        assert served(res["data_dir"])   # a good client meanwhile is not held up
        rest = read_to_end(bad, within=loopback.HELLO_TIMEOUT + 2.5)
    took = time.monotonic() - started
    assert rest == b"", f"{case}: the server sent {rest!r} after the handshake"
    if at_limit:
        assert loopback.HELLO_TIMEOUT - 0.3 < took < loopback.HELLO_TIMEOUT + 2.5
    else:
        assert took < 1.5   # at once, not at the deadline


@contextlib.contextmanager
def halfway(shared_sim):
    """A connection to the shared Terminal whose challenge checked: (socket, port, our proof,
    not sent yet)."""
    res, _ = shared_sim
    port, token = loopback.read_endpoint(res["data_dir"])
    with tcp(port) as s:
        mine = proof.nonce()
        theirs = challenged(s, token, mine)
        yield s, port, good_proof(token, mine, theirs)


def client_on(sock: socket.socket) -> RawClient:
    """The raw client's reading of replies, on a connection past its handshake."""
    c = RawClient.__new__(RawClient)
    c.sock = sock
    return c


def test_request_in_the_same_write_as_the_proof_is_answered(shared_sim):
    with halfway(shared_sim) as (s, _, answer):
        s.sendall(answer + VERSION_REQUEST + VERSION_REQUEST)
        c = client_on(s)
        for _ in range(2):
            echo, status, _ = c.read_reply()
            assert (echo, status) == (protocol.Command.VERSION, protocol.OK_RECORD)


@pytest.mark.parametrize("mode", ["forge", "mute", "close"])
def test_client_gives_a_squatter_nothing_but_its_hello(mode):
    """What status and run use: a listener on a remembered port that cannot prove the token gets
    the hello only, within 2 s, whatever it does."""
    squatter = Squatter(0, mode, second_user())
    token = os.urandom(32)
    try:
        started = time.monotonic()
        with pytest.raises(ConnectionError):
            loopback.connect(squatter.port, token, timeout=30)
        assert time.monotonic() - started < loopback.HELLO_TIMEOUT + 0.5
    finally:
        got = squatter.stop()
    assert len(got) == 1 and (mode == "close" or (len(got[0]) == proof.HELLO_BYTES and got[0][:4] == loopback.MAGIC))
    assert token not in got[0]


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
        assert all(read_to_end(s, within=loopback.HELLO_TIMEOUT + 3.0) == b"" for s in idle)
    finally:
        for s in idle:
            s.close()


def test_a_handshake_past_its_hello_outlives_a_flood_without_hellos(shared_sim):
    with halfway(shared_sim) as (s, port, answer):
        idle = [tcp(port) for _ in range(3 * loopback.MAX_PENDING)]
        try:
            assert read_to_end(idle[0], within=1.0) == b""   # pushed out: the cap is reached
            s.sendall(answer + VERSION_REQUEST)
            c = client_on(s)
            assert c.read_reply()[:2] == (protocol.Command.VERSION, protocol.OK_RECORD)
        finally:
            for conn in idle:
                conn.close()


def refused_counts(log_text: str) -> list[int]:
    return [int(n) for n in re.findall(r"refused (\d+) TCP connections?", log_text)]


def test_flood_of_hello_less_connections_while_a_session_works(sim_env, start_sim):
    res = install_terminal(sim_env)
    sim = start_sim(res["exe"])
    data = res["data_dir"]
    port, _ = loopback.read_endpoint(data)
    call_times, fresh = [], 0
    with RawClient.loopback(data) as session:
        flood = Flood(port, total=1000, at_once=1000, user=second_user(), hold=True)
        opened: list[tuple] = []
        reader = threading.Thread(target=lambda: opened.append(flood.made()))
        reader.start()
        try:
            while reader.is_alive() or len(call_times) < 200:
                t = time.perf_counter()
                assert session.state() in (1, 2)
                call_times.append(time.perf_counter() - t)
                if len(call_times) % 25 == 0:   # a new relay connection, as each pipe client makes
                    for attempt in range(4):   # pushed out of the queue by the flood: tried again
                        try:
                            fresh += served(data)
                            break
                        except ConnectionError:
                            time.sleep(0.05 * (attempt + 1))
            reader.join()
            assert opened[0][0] == 1000, opened
            time.sleep(loopback.HELLO_TIMEOUT + 0.5)   # every held one dropped by now
        finally:
            flood.stop()
        assert session.version()[0] > 0
    assert fresh == len(call_times) // 25
    assert max(call_times) < 1.0   # loose here: bench/sim_loopback_bench.py measures it
    sim.stop()
    log = open(os.path.join(data, "logs", "simulator.log"), encoding="utf-8").read()
    counts = refused_counts(log)
    assert len(counts) <= 3 and sum(counts) >= 1000, counts   # few lines, every refusal counted
    assert len(log) < 20_000


def test_refusal_lines_are_rate_limited_and_lose_no_count(caplog):
    now = [0.0]
    refusals = loopback.RefusalLog(every=10.0, clock=lambda: now[0])
    with caplog.at_level(logging.WARNING, logger="orbisyn.simulator"):
        for i in range(1000):
            now[0] = i * 0.035   # 35 s of a flood
            refusals.note("no hello within 2 s" if i % 3 else "wrong proof")
        refusals.flush(force=True)
    counts = refused_counts(caplog.text)
    assert len(counts) == 5 and sum(counts) == 1000 and counts[0] == 1, counts


def test_the_log_is_capped_in_size(tmp_path, monkeypatch):
    monkeypatch.setattr(server, "LOG_MAX_BYTES", 64 * 1024)
    root = logging.getLogger("orbisyn")
    saved = root.handlers[:], root.level, root.propagate
    try:
        server.setup_logging(str(tmp_path))
        for i in range(5000):   # ~500 KB of lines
            logging.getLogger("orbisyn.simulator").warning("refused connection %06d %s", i, "x" * 60)
    finally:
        for h in root.handlers:
            h.close()
        root.handlers[:], root.level, root.propagate = saved
    logs = tmp_path / "logs"
    sizes = {p.name: p.stat().st_size for p in logs.iterdir()}
    assert set(sizes) == {"simulator.log", "simulator.log.1"}
    assert all(size <= 64 * 1024 for size in sizes.values()), sizes
    assert "004999" in (logs / "simulator.log").read_text()   # the newest lines are kept


# ---- the endpoint file -------------------------------------------------------------------------

def test_endpoint_file_private_replaced_at_start_and_gone_after_stop(sim_env, start_sim):
    res = install_terminal(sim_env)
    data = res["data_dir"]
    os.makedirs(loopback.relay_dir(data), mode=0o755)
    os.chmod(loopback.relay_dir(data), 0o755)
    with open(os.path.join(loopback.relay_dir(data), loopback.STOP), "w") as f:
        f.write("1\n")   # left from an earlier run: not this one's stop
    dead = subprocess.Popen(["true"])
    dead.wait()
    loopback.write_private(loopback.endpoint_path(data), loopback.Endpoint(1, b"\x07" * 32, dead.pid, 1).text())
    proc = start_sim(res["exe"])
    path = loopback.endpoint_path(data)
    assert stat.S_IMODE(os.stat(loopback.relay_dir(data)).st_mode) == 0o700
    assert stat.S_IMODE(os.stat(path).st_mode) == 0o600
    lines = open(path, encoding="ascii").read().splitlines()
    assert [line.split("=")[0] for line in lines] == ["port", "token", "pid", "started"]
    assert len(lines[1]) == len("token=") + 64 and lines[2] == f"pid={proc.proc.pid}"
    assert not os.path.exists(os.path.join(loopback.relay_dir(data), loopback.STOP))
    port, token = loopback.read_endpoint(data)
    assert token != b"\x07" * 32
    assert loopback.read_state(data)["port"] == port and loopback.read_state(data)["pid"] == proc.proc.pid
    assert proc.stop() == 0
    assert not os.path.exists(path) and loopback.read_state(data) == {}
    log = open(os.path.join(data, "logs", "simulator.log"), encoding="utf-8").read()
    assert f"replacing the endpoint left by pid {dead.pid}, which is gone" in log


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
    me = os.getpid()
    assert seen == [(0o600, f"port=4242\ntoken={'01' * 32}\npid={me}\nstarted={loopback.process_started(me)}\n")]
    assert loopback.read_endpoint(str(tmp_path)) == (4242, b"\x01" * 32)


def _plant(data: str, how: str) -> str:
    """An endpoint file as `how` leaves it; returns the text status must show."""
    me, started = os.getpid(), loopback.process_started(os.getpid())
    path = loopback.endpoint_path(data)
    if how == "live":
        loopback.write_endpoint(data, 4242, b"\x01" * 32)
        return "127.0.0.1:4242"
    if how == "symlink":
        target = path + ".real"
        loopback.write_private(target, loopback.Endpoint(4242, b"\x01" * 32, me, started).text())
        os.symlink(target, path)
        return "cannot be read"
    if how == "fifo":
        os.mkfifo(path, 0o600)
        return "is not a regular file"
    if how == "dead pid":
        dead = subprocess.Popen(["true"])
        dead.wait()
        loopback.write_private(path, loopback.Endpoint(4242, b"\x01" * 32, dead.pid, 1).text())
        return f"the simulated Terminal (pid {dead.pid}) is gone"
    if how == "pid taken by a later process":
        loopback.write_private(path, loopback.Endpoint(4242, b"\x01" * 32, me, started + 1).text())
        return f"the simulated Terminal (pid {me}) is gone"
    if how == "no pid (an older run)":
        loopback.write_private(path, b"port=4242\ntoken=" + b"01" * 32 + b"\n")
        return "did not note its pid"
    loopback.write_private(path, loopback.Endpoint(4242, b"\x01" * 32, me, started).text())
    if how == "open to others":
        os.chmod(path, 0o644)
        return "has mode 0644, open to others"
    os.chown(path, other_user().uid, -1)   # "another user's": root may give it away
    return f"belongs to uid {other_user().uid}"


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="pids and modes as Linux has them")
@pytest.mark.parametrize("how", ["live", "symlink", "fifo", "dead pid", "pid taken by a later process",
                                 "no pid (an older run)", "open to others", "another user's"])
def test_endpoint_trusted_only_when_private_and_alive(tmp_path, how):
    data = str(tmp_path)
    loopback.private_dir(data)
    shown = _plant(data, how)
    kind, text = loopback.endpoint_report(data)
    assert shown in text
    if how == "live":
        assert kind == "live" and loopback.read_endpoint(data) == (4242, b"\x01" * 32)
        return
    assert kind == ("stale" if "pid" in how else "untrusted")
    assert loopback.read_endpoint(data) is None
    started = time.monotonic()
    with pytest.raises(OSError):   # never a connection: the port may be anyone's now
        loopback.connect_endpoint(data)
    assert time.monotonic() - started < 0.5


def test_relay_folder_of_another_user_is_refused(tmp_path):
    data = str(tmp_path)
    os.makedirs(loopback.relay_dir(data), mode=0o777)
    os.chown(loopback.relay_dir(data), other_user().uid, -1)
    with pytest.raises(OSError, match="belongs to uid"):
        loopback.write_endpoint(data, 4242, b"\x01" * 32)
    assert not os.path.exists(loopback.endpoint_path(data))


def test_listens_on_loopback_only_and_keeps_the_token_secret(shared_sim):
    res, proc = shared_sim
    port, token = loopback.read_endpoint(res["data_dir"])
    with tcp(port) as bad:
        send_quietly(bad, loopback.MAGIC + token)   # an old relay's hello: refused, and never logged
        assert read_to_end(bad, within=4.0) == b""
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
    assert b"old relay" in log and secret.encode() not in log.lower() and token not in log
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
