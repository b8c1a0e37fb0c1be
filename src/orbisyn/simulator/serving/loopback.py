"""The simulated Terminal on loopback TCP, for Windows programs (the relay).

A Windows program under Wine cannot open a Unix socket and Python on Windows has
none, so the Terminal also listens on 127.0.0.1.  Every local user can connect
there, so a client first sends ``ORBS`` and the run's 32-byte token, within 2 s of
its connect; anything else is dropped before a command is read.  The token is
published only in ``DATA/relay/endpoint`` (``port=`` and ``token=`` lines), a file
that only this user can read, and the file goes when the server stops.

Files in ``DATA/relay/``:

* ``endpoint``: where this run listens (private);
* ``state.json``: pid, port and the relay connections open now (for ``status``);
* ``stop``: written by ``orbisyn-terminal stop`` where no signal can stop a process
  cleanly (Windows); holds the pid it is meant for.
"""
from __future__ import annotations

import hmac
import json
import logging
import os
import secrets
import selectors
import socket
import threading
import time
from typing import Callable, Optional

log = logging.getLogger("orbisyn.simulator")

MAGIC = b"ORBS"
TOKEN_BYTES = 32
HELLO = len(MAGIC) + TOKEN_BYTES
HELLO_TIMEOUT = 2.0
MAX_PENDING = 128        # connections still owing their hello; the oldest goes first
POLL_INTERVAL = 0.5      # how often the accept loop looks for a stop request

RELAY_DIR = "relay"
ENDPOINT = "endpoint"
STATE = "state.json"
STOP = "stop"


def relay_dir(data_dir: str) -> str:
    return os.path.join(data_dir, RELAY_DIR)


def endpoint_path(data_dir: str) -> str:
    return os.path.join(data_dir, RELAY_DIR, ENDPOINT)


def private_dir(data_dir: str) -> str:
    d = relay_dir(data_dir)
    os.makedirs(d, mode=0o700, exist_ok=True)
    if os.name == "posix":
        st = os.lstat(d)
        if st.st_uid == os.getuid() and st.st_mode & 0o077:
            os.chmod(d, 0o700)
    return d


def write_private(path: str, data: bytes) -> None:
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


def write_endpoint(data_dir: str, port: int, token: bytes) -> str:
    path = os.path.join(private_dir(data_dir), ENDPOINT)
    write_private(path, f"port={port}\ntoken={token.hex()}\n".encode("ascii"))
    return path


def read_endpoint(data_dir: str) -> Optional[tuple[int, bytes]]:
    """(port, token) of the running Terminal, or None when there is no valid endpoint file."""
    try:
        with open(endpoint_path(data_dir), encoding="ascii") as f:
            text = f.read(4096)
    except (OSError, UnicodeDecodeError):
        return None
    fields = dict(line.split("=", 1) for line in text.splitlines() if "=" in line)
    try:
        port = int(fields["port"])
        token = bytes.fromhex(fields["token"])
    except (KeyError, ValueError):
        return None
    if not 0 < port < 65536 or len(token) != TOKEN_BYTES:
        return None
    return port, token


def remove_endpoint(data_dir: str, token: bytes) -> None:
    """Remove the endpoint file if it is still this run's (a newer run may have replaced it)."""
    path = endpoint_path(data_dir)
    found = read_endpoint(data_dir)
    if found is not None and hmac.compare_digest(found[1], token):
        try:
            os.unlink(path)
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


def connect(port: int, token: bytes, timeout: Optional[float] = 10.0) -> socket.socket:
    """A client connection that has presented its hello."""
    sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
    try:
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        sock.sendall(MAGIC + token)
    except BaseException:
        sock.close()
        raise
    return sock


class _Hello:
    __slots__ = ("deadline", "got")

    def __init__(self, deadline: float):
        self.deadline = deadline
        self.got = bytearray()


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
            sock.listen(64)
            self.port = sock.getsockname()[1]
        except BaseException:
            sock.close()
            raise
        self.sock = sock
        self._publish()
        write_endpoint(self.data_dir, self.port, self.token)
        try:   # a stop request left over from an earlier run is not meant for this one
            os.unlink(os.path.join(relay_dir(self.data_dir), STOP))
        except OSError:
            pass
        log.info("listening on 127.0.0.1:%d for relayed clients", self.port)

    def opened(self) -> Callable[[], None]:
        """Count an authenticated connection; returns what to call when it closes."""
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
            write_private(os.path.join(private_dir(self.data_dir), STATE), json.dumps(state).encode())
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


class Acceptor:
    """One wait over the Unix listener, the TCP listener and the hellos still due.

    `accept()` returns the next client to serve: one from the Unix socket, or one from
    TCP that presented the right hello in time.  Connections with a wrong, short or
    late hello are closed without a byte written to them.
    """

    def __init__(self, unix: Optional[socket.socket], loopback: Optional[Loopback],
                 poll: Optional[Callable[[], None]] = None):
        self.unix = unix
        self.loopback = loopback
        self.poll = poll
        self.sel = selectors.DefaultSelector()
        self.pending: dict[socket.socket, _Hello] = {}   # insertion order: oldest first
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
            for key, _ in self.sel.select(wait):
                if key.data == "unix":
                    conn = self._take(key.fileobj)
                    if conn is not None:
                        conn.setblocking(True)
                        return conn, None
                elif key.data == "tcp":
                    conn = self._take(key.fileobj)
                    if conn is not None:
                        self._expect_hello(conn)
                else:
                    conn = key.fileobj
                    if self._hello(conn):
                        self._forget(conn)
                        conn.setblocking(True)
                        return conn, self.loopback.opened()
            self._expire()
            if self.poll is not None:
                self.poll()

    @staticmethod
    def _take(listener) -> Optional[socket.socket]:
        try:
            conn, _ = listener.accept()
        except (BlockingIOError, InterruptedError, ConnectionError):
            return None
        except OSError as exc:   # out of descriptors: let pending hellos expire first
            log.warning("accept failed: %s", exc)
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
            self._drop(next(iter(self.pending)), "too many connections without a hello")
        self.pending[conn] = _Hello(time.monotonic() + HELLO_TIMEOUT)
        self.sel.register(conn, selectors.EVENT_READ, "hello")

    def _hello(self, conn: socket.socket) -> bool:
        """Read what is there of conn's hello; True once it is complete and right."""
        state = self.pending[conn]
        try:
            chunk = conn.recv(HELLO - len(state.got))
        except (BlockingIOError, InterruptedError):
            return False
        except OSError:
            chunk = b""
        if not chunk:
            self._drop(conn, None)
            return False
        state.got += chunk
        if state.got[:len(MAGIC)] != MAGIC[:len(state.got)]:
            self._drop(conn, "wrong magic")
            return False
        if len(state.got) < HELLO:
            return False
        if not hmac.compare_digest(bytes(state.got[len(MAGIC):]), self.loopback.token):
            self._drop(conn, "wrong token")
            return False
        return True

    def _expire(self) -> None:
        now = time.monotonic()
        for conn, state in list(self.pending.items()):
            if state.deadline > now:
                break   # later ones came later
            self._drop(conn, "no hello within 2 s")

    def _forget(self, conn: socket.socket) -> None:
        del self.pending[conn]
        self.sel.unregister(conn)

    def _drop(self, conn: socket.socket, why: Optional[str]) -> None:
        if why:
            log.warning("dropped a TCP client: %s", why)
        self._forget(conn)
        conn.close()

    def close(self) -> None:
        for conn in list(self.pending):
            self._forget(conn)
            conn.close()
        self.sel.close()
