"""The simulated Terminal on loopback TCP, for Windows programs (the relay).

A Windows program under Wine cannot open a Unix socket and Python on Windows has
none, so the Terminal also listens on 127.0.0.1.  Every local user can connect
there, and can listen on the port once this run has gone, so neither end trusts
the other for holding the port: within 2 s of the connect both prove that they
hold this run's token over fresh nonces from both sides (``proof``); the token
never crosses the socket, and nothing else is read or sent before the proofs.

The token is published only in ``DATA/relay/endpoint``, a file that only this
user can read.  A reader trusts it only when it is the user's own and closed to
others, and only while the run that wrote it lives (its pid and start time are in
it): a run killed without cleaning up leaves it behind, and another user may have
taken its port since.  The next run replaces it.

Files in ``DATA/relay/``:

* ``endpoint``: ``port``, ``token``, ``pid`` and ``started`` lines (private);
* ``state.json``: pid, port, and whether relay connections are open and since when
  (for ``status``; ``links`` is the count when the first opened or the last closed);
* ``stop``: written by ``orbisyn-terminal stop`` where no signal can stop a process
  cleanly (Windows); holds the pid it is meant for.
"""
from __future__ import annotations

import collections
import dataclasses
import hmac
import json
import logging
import os
import secrets
import selectors
import socket
import stat
import sys
import threading
import time
from typing import Callable, Optional

from . import proof

log = logging.getLogger("orbisyn.simulator")

MAGIC = b"ORBS"
TOKEN_BYTES = proof.TOKEN_BYTES
HELLO_TIMEOUT = 2.0      # from the connect to the client's proof checked
MAX_PENDING = 128        # connections still in their handshake; the oldest goes first
BACKLOG = 512            # a flood fills the queue, not the relay's connect
ACCEPT_BATCH = 64        # connections taken per wake of the accept loop
POLL_INTERVAL = 0.5      # how often the accept loop looks for a stop request
REFUSALS_EVERY = 10.0    # seconds between two log lines about refused connections

RELAY_DIR = "relay"
ENDPOINT = "endpoint"
STATE = "state.json"
STOP = "stop"


class ProofFailed(ConnectionError):
    """The peer on a remembered port did not prove that it holds the token."""


def relay_dir(data_dir: str) -> str:
    return os.path.join(data_dir, RELAY_DIR)


def endpoint_path(data_dir: str) -> str:
    return os.path.join(data_dir, RELAY_DIR, ENDPOINT)


def private_dir(data_dir: str) -> str:
    """DATA/relay, made 0700; refused when it is not this user's own folder."""
    d = relay_dir(data_dir)
    os.makedirs(d, mode=0o700, exist_ok=True)
    st = os.lstat(d)
    if not stat.S_ISDIR(st.st_mode):
        raise OSError(f"{d} is not a folder (a link?): remove it")
    if os.name == "posix":
        if st.st_uid != os.getuid():
            raise OSError(f"{d} belongs to uid {st.st_uid}, not to this user: remove it")
        if st.st_mode & 0o077:
            os.chmod(d, 0o700)
    return d


def write_private(path: str, data: bytes, sync: bool = True) -> None:
    """Write path atomically; the file is the user's alone from its first byte."""
    tmp = f"{path}.{os.getpid()}.{secrets.token_hex(4)}.tmp"
    flags = (os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0) | getattr(os, "O_NOFOLLOW", 0)
             | getattr(os, "O_BINARY", 0) | getattr(os, "O_NOINHERIT", 0))
    fd = os.open(tmp, flags, 0o600)
    try:
        if hasattr(os, "fchmod"):
            os.fchmod(fd, 0o600)   # a umask may have taken the owner's bits too
        view = memoryview(data)
        while view:
            view = view[os.write(fd, view):]
        if sync:
            os.fsync(fd)
    except BaseException:
        os.close(fd)
        os.unlink(tmp)
        raise
    os.close(fd)
    try:
        os.replace(tmp, path)
    except BaseException:
        os.unlink(tmp)
        raise


# ---- whose endpoint ---------------------------------------------------------------------------

def process_started(pid: int) -> Optional[int]:
    """When process pid started, as the system counts it (clock ticks since boot on Linux, the
    creation time on Windows; 0 where unknown); None when no such process runs."""
    if pid <= 0:
        return None
    if sys.platform.startswith("linux"):
        try:
            with open(f"/proc/{pid}/stat", "rb") as f:
                text = f.read()
        except OSError:
            return None
        fields = text[text.rfind(b")") + 2:].split()   # past the name, which may hold anything
        if len(fields) < 20 or fields[0] in (b"Z", b"X"):
            return None
        return int(fields[19])
    if os.name == "nt":
        return _windows_started(pid)
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return None
    except PermissionError:
        pass
    return 0


def _windows_started(pid: int) -> Optional[int]:
    import ctypes
    from ctypes import wintypes
    k = ctypes.WinDLL("kernel32", use_last_error=True)
    k.OpenProcess.restype = wintypes.HANDLE
    k.OpenProcess.argtypes = [wintypes.DWORD, wintypes.BOOL, wintypes.DWORD]
    k.GetExitCodeProcess.argtypes = [wintypes.HANDLE, ctypes.POINTER(wintypes.DWORD)]
    k.GetProcessTimes.argtypes = [wintypes.HANDLE] + [ctypes.POINTER(wintypes.FILETIME)] * 4
    k.CloseHandle.argtypes = [wintypes.HANDLE]
    handle = k.OpenProcess(0x1000, False, pid)   # PROCESS_QUERY_LIMITED_INFORMATION
    if not handle:
        return None
    try:
        code = wintypes.DWORD()
        if not k.GetExitCodeProcess(handle, ctypes.byref(code)) or code.value != 259:   # STILL_ACTIVE
            return None
        times = [wintypes.FILETIME() for _ in range(4)]
        if not k.GetProcessTimes(handle, *(ctypes.byref(t) for t in times)):
            return 0
        return times[0].dwHighDateTime << 32 | times[0].dwLowDateTime
    finally:
        k.CloseHandle(handle)


@dataclasses.dataclass(frozen=True)
class Endpoint:
    port: int
    token: bytes
    pid: int = 0        # 0: the file does not say (written by an older run)
    started: int = 0

    def text(self) -> bytes:
        return (f"port={self.port}\ntoken={self.token.hex()}\npid={self.pid}\nstarted={self.started}\n"
                .encode("ascii"))

    def alive(self) -> bool:
        """True while the run that wrote it lives (a pid taken by a later process does not count)."""
        now = process_started(self.pid)
        return now is not None and (now == self.started or not (now and self.started))


def parse_endpoint(data: bytes) -> Optional[Endpoint]:
    try:
        fields = dict(line.split("=", 1) for line in data.decode("ascii").splitlines() if "=" in line)
        port, token = int(fields["port"]), bytes.fromhex(fields["token"])
        pid, started = int(fields.get("pid", "0")), int(fields.get("started", "0"))
    except (KeyError, ValueError, UnicodeDecodeError):
        return None
    if not 0 < port < 65536 or len(token) != TOKEN_BYTES or pid < 0 or started < 0:
        return None
    return Endpoint(port, token, pid, started)


def load_endpoint(data_dir: str) -> tuple[Optional[Endpoint], str]:
    """The endpoint file, and why it is not to be trusted ('' when it is); (None, '') when there
    is none.  Trusted: a regular file of this user's, closed to group and others."""
    flags = os.O_RDONLY | getattr(os, "O_NOFOLLOW", 0) | getattr(os, "O_CLOEXEC", 0) \
        | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_BINARY", 0)   # never wait on a FIFO in its place
    try:
        fd = os.open(endpoint_path(data_dir), flags)
    except FileNotFoundError:
        return None, ""
    except OSError as exc:
        return None, f"cannot be read ({exc.strerror or exc})"
    try:
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode):
            return None, "is not a regular file"
        if os.name == "posix":
            if st.st_uid != os.getuid():
                return None, f"belongs to uid {st.st_uid}, not to this user"
            if st.st_mode & 0o077:
                return None, f"has mode {stat.S_IMODE(st.st_mode):04o}, open to others (0600 wanted)"
        data = os.read(fd, 4096)
    finally:
        os.close(fd)
    found = parse_endpoint(data)
    return (found, "") if found is not None else (None, "is malformed")


def read_endpoint(data_dir: str) -> Optional[tuple[int, bytes]]:
    """(port, token) of the running Terminal; None when the endpoint file is missing, not
    trusted, or left over by a run that has gone."""
    found, _ = load_endpoint(data_dir)
    if found is None or not found.alive():
        return None
    return found.port, found.token


def endpoint_report(data_dir: str) -> tuple[str, str]:
    """What `status` says about the endpoint: ('live' | 'stale' | 'untrusted' | 'none', text)."""
    path = endpoint_path(data_dir)
    found, problem = load_endpoint(data_dir)
    if problem:
        return "untrusted", (f"not trusted: {path} {problem}; ignored (the next start of the simulated "
                             f"Terminal replaces it)")
    if found is None:
        return "none", "none published"
    if found.alive():
        return "live", f"127.0.0.1:{found.port} (endpoint {path})"
    who = f"the simulated Terminal (pid {found.pid})" if found.pid else "a simulated Terminal that did not note its pid"
    return "stale", (f"none: {who} is gone without cleaning up; its endpoint {path} (port {found.port}) is "
                     f"left over and ignored, the next start replaces it")


def write_endpoint(data_dir: str, port: int, token: bytes) -> str:
    path = os.path.join(private_dir(data_dir), ENDPOINT)
    me = os.getpid()
    write_private(path, Endpoint(port, token, me, process_started(me) or 0).text())
    return path


def remove_endpoint(data_dir: str, token: bytes) -> None:
    """Remove the endpoint file if it is still this run's (a newer run may have replaced it)."""
    found, _ = load_endpoint(data_dir)
    if found is not None and hmac.compare_digest(found.token, token):
        try:
            os.unlink(endpoint_path(data_dir))
        except OSError:
            pass


def read_state(data_dir: str) -> dict:
    try:
        with open(os.path.join(relay_dir(data_dir), STATE), encoding="utf-8") as f:
            state = json.load(f)
    except (OSError, ValueError):
        return {}
    return state if isinstance(state, dict) else {}


def request_stop(data_dir: str, pid: int) -> None:
    write_private(os.path.join(private_dir(data_dir), STOP), f"{pid}\n".encode("ascii"))


# ---- the client's side --------------------------------------------------------------------------

def _recv_by(sock: socket.socket, n: int, deadline: float) -> bytes:
    got = bytearray()
    while len(got) < n:
        left = deadline - time.monotonic()
        if left <= 0:
            raise ProofFailed("no answer to the hello within 2 s")
        sock.settimeout(left)
        try:
            chunk = sock.recv(n - len(got))
        except socket.timeout:
            raise ProofFailed("no answer to the hello within 2 s") from None
        if not chunk:
            raise ProofFailed("the connection closed during the hello")
        got += chunk
    return bytes(got)


def connect(port: int, token: bytes, timeout: Optional[float] = 10.0) -> socket.socket:
    """A client connection on which both sides have proved the token (ProofFailed when the
    listener did not: nothing but the hello has gone to it then)."""
    deadline = time.monotonic() + HELLO_TIMEOUT
    sock = socket.create_connection(("127.0.0.1", port), timeout=HELLO_TIMEOUT)
    try:
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        mine = proof.nonce()
        sock.sendall(MAGIC + mine)
        challenge = _recv_by(sock, proof.CHALLENGE_BYTES, deadline)
        theirs, their_proof = challenge[:proof.NONCE_BYTES], challenge[proof.NONCE_BYTES:]
        if not proof.check(proof.SERVER, token, MAGIC, mine, theirs, their_proof):
            raise ProofFailed(f"the listener on 127.0.0.1:{port} did not prove the token")
        sock.sendall(proof.prove(proof.CLIENT, token, MAGIC, mine, theirs))
        sock.settimeout(timeout)
    except BaseException:
        sock.close()
        raise
    return sock


def connect_endpoint(data_dir: str, timeout: Optional[float] = 10.0) -> socket.socket:
    """connect() to the endpoint of data_dir's running Terminal; OSError saying why there is none."""
    found, problem = load_endpoint(data_dir)
    if problem:
        raise PermissionError(f"{endpoint_path(data_dir)} {problem}: not trusted")
    if found is None:
        raise FileNotFoundError(f"no endpoint file in {relay_dir(data_dir)}")
    if not found.alive():
        raise ConnectionRefusedError(f"{endpoint_path(data_dir)} is left over by a run that has gone")
    return connect(found.port, found.token, timeout)


# ---- the server's side --------------------------------------------------------------------------

class Loopback:
    """The TCP listener, its token, its endpoint file and its open relay connections."""

    def __init__(self, data_dir: str):
        self.data_dir = data_dir
        self.token = secrets.token_bytes(TOKEN_BYTES)
        self.sock: Optional[socket.socket] = None
        self.port = 0
        self.links = 0
        self.linked_at: Optional[float] = None
        self._lock = threading.Lock()

    def listen(self) -> None:
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        try:
            if os.name == "nt":
                # Nobody else may bind the same port while we listen.
                sock.setsockopt(socket.SOL_SOCKET, getattr(socket, "SO_EXCLUSIVEADDRUSE", -5), 1)
            sock.bind(("127.0.0.1", 0))
            sock.listen(BACKLOG)
            self.port = sock.getsockname()[1]
        except BaseException:
            sock.close()
            raise
        self.sock = sock
        private_dir(self.data_dir)
        try:   # a stop request left over from an earlier run is not meant for this one
            os.unlink(os.path.join(relay_dir(self.data_dir), STOP))
        except OSError:
            pass

    def publish(self) -> None:
        """Write the endpoint: called once connections are accepted, so that a relay's
        handshake never waits on a run that is still starting."""
        old, problem = load_endpoint(self.data_dir)
        if problem:
            log.warning("replacing the endpoint file, which %s", problem)
        elif old is not None:
            log.info("replacing the endpoint left by pid %d, which is gone", old.pid)
        self._publish()
        write_endpoint(self.data_dir, self.port, self.token)
        log.info("listening on 127.0.0.1:%d for relayed clients", self.port)

    def opened(self) -> Callable[[], None]:
        """Count an authenticated connection; returns what to call when it closes."""
        # state.json changes only when the first link opens and the last closes: a write costs
        # a millisecond, and the watch connection keeps one open while the relay runs.
        with self._lock:
            self.links += 1
            if self.links == 1:
                self.linked_at = time.time()
                log.info("relay connected")
                self._publish()
        done = []

        def closed() -> None:
            if done:
                return
            done.append(1)
            with self._lock:
                self.links -= 1
                if self.links == 0:
                    self.linked_at = None
                    log.info("relay disconnected")
                    self._publish()
        return closed

    def _publish(self) -> None:
        if self.sock is None:   # stopped: a client thread that ends late leaves nothing behind
            return
        state = {"pid": os.getpid(), "port": self.port, "links": self.links, "linked_at": self.linked_at}
        try:
            # Not synced: it is rewritten at every relay connection, and only `status` reads it.
            write_private(os.path.join(private_dir(self.data_dir), STATE), json.dumps(state).encode(), sync=False)
        except OSError:
            log.exception("could not write the relay state")

    def stop_requested(self) -> bool:
        try:
            with open(os.path.join(relay_dir(self.data_dir), STOP), encoding="ascii") as f:
                return f.read(32).strip() == str(os.getpid())
        except (OSError, UnicodeDecodeError):
            return False

    def close(self) -> None:
        with self._lock:   # no state written after this
            if self.sock is None:
                return
            self.sock.close()
            self.sock = None
            remove_endpoint(self.data_dir, self.token)
            for name in (STATE, STOP):
                try:
                    os.unlink(os.path.join(relay_dir(self.data_dir), name))
                except OSError:
                    pass


class RefusalLog:
    """Log lines about refused connections, at most one per `every` seconds: the first at once,
    the rest counted by reason and summed up in the next line (a stranger's flood must not
    fill the disk)."""

    def __init__(self, every: float = REFUSALS_EVERY, clock: Callable[[], float] = time.monotonic):
        self.every = every
        self.clock = clock
        self.counts: collections.Counter = collections.Counter()
        self.next_at = clock()

    def note(self, why: str) -> None:
        self.counts[why] += 1
        self.flush()

    def flush(self, force: bool = False) -> None:
        now = self.clock()
        if not self.counts or (now < self.next_at and not force):
            return
        total = sum(self.counts.values())
        reasons = ", ".join(f"{n} {why}" for why, n in self.counts.most_common())
        log.warning("refused %d TCP connection%s: %s", total, "" if total == 1 else "s", reasons)
        self.counts.clear()
        self.next_at = now + self.every


class _Handshake:
    __slots__ = ("deadline", "got", "client_nonce", "server_nonce")

    def __init__(self, deadline: float):
        self.deadline = deadline
        self.got = bytearray()
        self.client_nonce: Optional[bytes] = None   # set: the challenge has gone out
        self.server_nonce = b""


class Acceptor:
    """One wait over the Unix listener, the TCP listener and the handshakes under way.

    `accept()` returns the next client to serve: one from the Unix socket, or one from
    TCP that proved the token in time.  A TCP client gets nothing from here but the
    challenge, and is read no further than its proof until the proof checks.
    """

    def __init__(self, unix: Optional[socket.socket], loopback: Optional[Loopback],
                 poll: Optional[Callable[[], None]] = None):
        self.unix = unix
        self.loopback = loopback
        self.poll = poll
        self.refusals = RefusalLog()
        self.sel = selectors.DefaultSelector()
        self.pending: dict[socket.socket, _Handshake] = {}   # insertion order: oldest first
        if unix is not None:
            unix.setblocking(False)
            self.sel.register(unix, selectors.EVENT_READ, "unix")
        if loopback is not None and loopback.sock is not None:
            loopback.sock.setblocking(False)
            self.sel.register(loopback.sock, selectors.EVENT_READ, "tcp")

    def accept(self) -> tuple[socket.socket, Optional[Callable[[], None]]]:
        while True:
            now = time.monotonic()
            wait = POLL_INTERVAL
            if self.pending:
                wait = min(wait, max(0.0, next(iter(self.pending.values())).deadline - now))
            # Handshakes under way before new connections: a flood's next batch must not push
            # out one whose hello is already here.
            for key, _ in sorted(self.sel.select(wait), key=lambda event: event[0].data == "tcp"):
                if key.data == "unix":
                    conn = self._take(key.fileobj)
                    if conn is not None:
                        conn.setblocking(True)
                        return conn, None
                elif key.data == "tcp":
                    for _ in range(ACCEPT_BATCH):
                        conn = self._take(key.fileobj)
                        if conn is None:
                            break
                        self._expect_hello(conn)
                elif key.fileobj in self.pending and self._advance(key.fileobj):
                    conn = key.fileobj
                    self._forget(conn)
                    conn.setblocking(True)
                    return conn, self.loopback.opened()
            self._expire()
            self.refusals.flush()
            if self.poll is not None:
                self.poll()

    def _take(self, listener) -> Optional[socket.socket]:
        try:
            conn, _ = listener.accept()
        except (BlockingIOError, InterruptedError, ConnectionError):
            return None
        except OSError as exc:   # out of descriptors: let pending handshakes expire first
            self.refusals.note(f"not accepted ({exc.strerror or exc})")
            time.sleep(0.05)
            return None
        return conn

    def _expect_hello(self, conn: socket.socket) -> None:
        try:
            conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            conn.setblocking(False)
        except OSError:
            conn.close()
            return
        if len(self.pending) >= MAX_PENDING:
            # The oldest goes, one that has not said hello before one that has.
            oldest = next((c for c, state in self.pending.items() if state.client_nonce is None),
                          next(iter(self.pending)))
            self._drop(oldest, "pushed out by newer connections")
        self.pending[conn] = _Handshake(time.monotonic() + HELLO_TIMEOUT)
        self.sel.register(conn, selectors.EVENT_READ, "handshake")

    def _advance(self, conn: socket.socket) -> bool:
        """Read what is there of conn's hello or proof, answering a whole hello with the
        challenge; True once the proof has checked."""
        state = self.pending[conn]
        want = proof.PROOF_BYTES if state.client_nonce is not None else proof.HELLO_BYTES
        try:
            chunk = conn.recv(want - len(state.got))   # never past the proof
        except (BlockingIOError, InterruptedError):
            return False
        except OSError:
            chunk = b""
        if not chunk:
            self._drop(conn, "closed during the handshake" if state.got or state.client_nonce
                       else "closed before a hello")
            return False
        state.got += chunk
        if state.client_nonce is None:
            if state.got[:len(MAGIC)] != MAGIC[:len(state.got)]:
                self._drop(conn, "wrong magic")
                return False
            if len(state.got) < want:
                return False
            return self._challenge(conn, state)
        if len(state.got) < want:
            return False
        if not proof.check(proof.CLIENT, self.loopback.token, MAGIC, state.client_nonce, state.server_nonce,
                           bytes(state.got)):
            self._drop(conn, "wrong proof")
            return False
        return True

    def _challenge(self, conn: socket.socket, state: _Handshake) -> bool:
        token = self.loopback.token
        state.client_nonce = bytes(state.got[len(MAGIC):])
        state.got.clear()
        if hmac.compare_digest(state.client_nonce, token):
            # The hello of a relay from before the proofs: it has just sent the token itself.
            self._drop(conn, "the token itself in the hello (an old relay: install again)")
            return False
        state.server_nonce = proof.nonce()
        challenge = state.server_nonce + proof.prove(proof.SERVER, token, MAGIC, state.client_nonce,
                                                     state.server_nonce)
        try:
            sent = conn.send(challenge)
        except OSError:
            sent = 0
        if sent != len(challenge):   # 64 bytes into an empty socket: only a broken one refuses
            self._drop(conn, "closed during the handshake")
        return False

    def _expire(self) -> None:
        now = time.monotonic()
        for conn, state in list(self.pending.items()):
            if state.deadline > now:
                break   # later ones came later
            self._drop(conn, "no proof within 2 s" if state.client_nonce is not None else "no hello within 2 s")

    def _forget(self, conn: socket.socket) -> None:
        del self.pending[conn]
        self.sel.unregister(conn)

    def _drop(self, conn: socket.socket, why: str) -> None:
        self.refusals.note(why)
        self._forget(conn)
        conn.close()

    def close(self) -> None:
        for conn in list(self.pending):
            self._forget(conn)
            conn.close()
        self.refusals.flush(force=True)
        self.sel.close()
