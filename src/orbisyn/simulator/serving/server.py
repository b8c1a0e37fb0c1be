"""The simulated Terminal's server: the socket, loopback TCP and their connections.

One thread per client; every request gets exactly one reply, in order, from the
``SimulatedTerminal`` (``terminal``), which holds the rest.
"""
from __future__ import annotations

import dataclasses
import errno
import logging
import logging.handlers
import os
import signal
import socket
import sys
import threading
from typing import Callable

try:
    import fcntl
except ImportError:   # Windows: no Unix socket there, the lock is msvcrt's
    fcntl = None

from ... import _paths
from .. import install as _install
from ..protocol import I32, MAX_REQUEST, U32
from .loopback import Acceptor, Loopback
from .running import LOCK_OFFSET, windows_lock_holder  # noqa: F401  (the server takes the lock)
from ..engine.store import StoreError
from ..replay import folder as _replay
from .terminal import SimulatedTerminal

log = logging.getLogger("orbisyn.simulator")

LOG_MAX_BYTES = 4 << 20   # simulator.log, then one older file beside it


@dataclasses.dataclass
class Connection:
    books: set = dataclasses.field(default_factory=set)   # depth of market subscriptions


# ---- the socket server ---------------------------------------------------------------------

class AlreadyRunning(Exception):
    pass


class _Stop(BaseException):
    pass


_JOIN_BYTES = 1 << 16   # replies up to this size go out in one piece


class _Frames:
    """The requests of one connection: as a client sends one and waits for its reply, one
    receive mostly brings a whole request, head and body."""

    def __init__(self, sock: socket.socket):
        self.sock = sock
        self.buf = bytearray(_JOIN_BYTES)
        self.have = 0

    def _fill(self, want: int) -> bool:
        if want > len(self.buf):
            self.buf.extend(bytes(want - len(self.buf)))
        view = memoryview(self.buf)
        while self.have < want:
            k = self.sock.recv_into(view[self.have:])
            if k == 0:
                return False
            self.have += k
        return True

    def next(self) -> bytes | None:
        """The next request's body (command and payload), or None when the client is gone
        or sent a length that no request has."""
        if not self._fill(4):
            return None
        length = U32.unpack_from(self.buf, 0)[0]
        if length < 4 or length > MAX_REQUEST:
            log.warning("malformed request length %d: closing the client", length)
            return None
        if not self._fill(4 + length):
            return None
        body = bytes(self.buf[4:4 + length])
        rest = self.have - 4 - length
        if rest:
            self.buf[:rest] = self.buf[4 + length:self.have]
        self.have = rest
        if len(self.buf) > _JOIN_BYTES and not rest:
            del self.buf[_JOIN_BYTES:]   # a large request's room is not kept
        return body


class Server:
    """Listens on the socket derived from the launcher path, and on loopback TCP for
    relayed clients when it knows its data folder; serves both alike."""

    def __init__(self, terminal: SimulatedTerminal | None, exe_path: str, data_dir: str | None = None):
        self.terminal = terminal
        self.exe_path = exe_path
        self.tcp_only = fcntl is None
        self.sock_path = ""   # known once bound: its folder is chosen then
        self.listener: socket.socket | None = None
        self.loopback = Loopback(data_dir) if data_dir is not None else None
        self.acceptor: Acceptor | None = None
        self._lock_fd: int | None = None
        self._clients: set[socket.socket] = set()
        self._clients_lock = threading.Lock()
        self._ino: int | None = None

    def _take_lock(self) -> None:
        fd = os.open(self.sock_path + ".lock", os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o600)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError as exc:
            os.close(fd)
            if exc.errno in (errno.EWOULDBLOCK, errno.EACCES):
                raise AlreadyRunning(self.sock_path) from None
            raise
        os.ftruncate(fd, 0)
        os.write(fd, f"{os.getpid()}\n".encode())
        self._lock_fd = fd

    def bind(self) -> None:
        if self.tcp_only:
            self._lock_fd = _windows_lock(self.loopback.data_dir)
        else:
            self._bind_unix()
        try:
            if self.loopback is not None:
                self.loopback.listen()
        except BaseException:
            if self.listener is not None:
                self.listener.close()
            self._unbind()
            raise
        self.acceptor = Acceptor(self.listener, self.loopback, self._poll)

    def publish(self) -> None:
        """Make the listeners known, once the Terminal is built: a relay's handshake must
        not wait on a Terminal that is still starting."""
        if self.loopback is not None:
            self.loopback.publish()
        if not self.tcp_only:
            # Last: a client that finds the socket also finds the loopback endpoint.
            self._publish_unix()

    def _unbind(self) -> None:
        """Remove the socket's temporary name when it never went into place."""
        binding = getattr(self, "_binding", None)
        if binding and os.path.lexists(binding):
            os.unlink(binding)

    def _poll(self) -> None:
        if self.loopback is not None and self.loopback.stop_requested():
            log.info("stop requested")
            raise _Stop()

    def _bind_unix(self) -> None:
        # Fails with the setup text when no folder of this user's own can hold the socket.
        self.sock_path = os.path.join(_paths.ensure_pipe_dir(), _paths.pipe_name(self.exe_path))
        self._take_lock()
        if os.path.lexists(self.sock_path):
            probe = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            try:
                probe.connect(self.sock_path)
            except OSError:
                log.info("removing stale socket %s", self.sock_path)
                os.unlink(self.sock_path)
            else:
                raise AlreadyRunning(self.sock_path)
            finally:
                probe.close()
        # Bind under a temporary name and move it into place once listening, so that a
        # client never finds the socket file before it accepts connections.
        tmp = os.path.join(os.path.dirname(self.sock_path), f".{os.getpid()}.binding")
        if os.path.lexists(tmp):
            os.unlink(tmp)
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        old = os.umask(0o177)
        try:
            sock.bind(tmp)
        finally:
            os.umask(old)
        try:
            os.chmod(tmp, 0o600)
            sock.listen(64)
            self._ino = os.stat(tmp).st_ino
        except BaseException:
            sock.close()
            if os.path.lexists(tmp):
                os.unlink(tmp)
            raise
        self._binding = tmp
        self.listener = sock

    def _publish_unix(self) -> None:
        try:
            os.replace(self._binding, self.sock_path)
        except BaseException:
            self.listener.close()
            if os.path.lexists(self._binding):
                os.unlink(self._binding)
            raise

    def serve_forever(self) -> None:
        """Accept clients until SIGTERM/SIGINT (handlers installed by `run`) raise _Stop."""
        assert self.acceptor is not None
        log.info("listening on %s (pid %d, build %d)", self.sock_path or "TCP", os.getpid(), self.terminal.build)
        try:
            while True:
                conn, done = self.acceptor.accept()
                with self._clients_lock:
                    self._clients.add(conn)
                threading.Thread(target=self._client, args=(conn, done), daemon=True).start()
        except _Stop:
            log.info("stopping on signal")
        finally:
            self.close()

    def _client(self, sock: socket.socket, done: Callable[[], None] | None = None) -> None:
        conn = Connection()
        term = self.terminal
        reader = _Frames(sock)
        try:
            while True:
                body = reader.next()
                if body is None:
                    break
                command = I32.unpack_from(body, 0)[0]
                out = term.serve(command, memoryview(body)[4:], conn)
                if isinstance(out, (bytes, bytearray)):
                    sock.sendall(out)
                elif sum(memoryview(part).nbytes for part in out) <= _JOIN_BYTES:
                    sock.sendall(b"".join(out))   # one system call for a small reply
                else:
                    for part in out:
                        sock.sendall(part)
        except OSError:
            pass
        finally:
            with self._clients_lock:
                self._clients.discard(sock)
            try:
                sock.close()
            except OSError:
                pass
            if done is not None:
                done()

    def close(self) -> None:
        if self.acceptor is not None:
            self.acceptor.close()
            self.acceptor = None
        if self.loopback is not None:
            self.loopback.close()
        if self.listener is not None:
            self.listener.close()
            self.listener = None
            try:  # only our own socket: a newer server may have replaced it
                if os.stat(self.sock_path).st_ino == self._ino:
                    os.unlink(self.sock_path)
            except OSError:
                pass
            self._unbind()
        with self._clients_lock:
            for c in list(self._clients):
                try:
                    c.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
        if self.terminal is not None:
            self.terminal.close()
        if self._lock_fd is not None:
            os.close(self._lock_fd)
            self._lock_fd = None




def _windows_lock(data_dir: str) -> int:
    """Hold DATA/relay/lock while serving (Windows); AlreadyRunning when another does."""
    import msvcrt
    from .loopback import private_dir
    path = os.path.join(private_dir(data_dir), "lock")
    fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_BINARY | os.O_NOINHERIT, 0o600)
    try:
        os.lseek(fd, LOCK_OFFSET, os.SEEK_SET)
        msvcrt.locking(fd, msvcrt.LK_NBLCK, 1)
    except OSError:
        os.close(fd)
        raise AlreadyRunning(path) from None
    os.lseek(fd, 0, os.SEEK_SET)
    os.write(fd, f"{os.getpid()}\n".ljust(LOCK_OFFSET - 1).encode())
    return fd


def setup_logging(data_dir: str, level: int = logging.INFO) -> None:
    logs = os.path.join(data_dir, "logs")
    _install.private_dirs(logs)
    path = os.path.join(logs, "simulator.log")
    # Made the user's alone before the handler opens it, whatever the umask (a rollover's new
    # file takes the process's umask of 077).
    os.close(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_APPEND | getattr(os, "O_CLOEXEC", 0), 0o600))
    # Capped: what a stranger on the loopback port makes it write must not fill the disk.
    handler = logging.handlers.RotatingFileHandler(path, encoding="utf-8", maxBytes=LOG_MAX_BYTES,
                                                   backupCount=1)
    handler.setFormatter(logging.Formatter("%(asctime)s %(levelname)s %(message)s"))
    root = logging.getLogger("orbisyn")
    root.handlers[:] = [handler]
    root.setLevel(level)
    root.propagate = False


def run(exe_path: str, data_dir: str, portable: bool = False, replay=None) -> int:
    """Serve until SIGTERM/SIGINT.  Exit code 0, 3 when already running, 4 when it cannot
    listen, 5 when its trading store is one it cannot use.

    `replay` (a ReplayClock) replays history on the replay's own accounts."""
    # Everything this process makes (store, logs, session facts) is the user's alone.
    os.umask(0o077)
    _install.tighten(data_dir)
    setup_logging(data_dir)
    log.info("starting %s%s", exe_path, " /portable" if portable else "")

    def stop(signum, frame):
        # One stop is enough: a second signal must not interrupt the cleanup.
        for sig in (signal.SIGTERM, signal.SIGINT):
            signal.signal(sig, signal.SIG_IGN)
        raise _Stop()

    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, stop)
    if hasattr(signal, "SIGHUP"):
        signal.signal(signal.SIGHUP, signal.SIG_IGN)
    server = Server(None, exe_path, data_dir)
    try:
        server.bind()
    except _Stop:
        server.close()
        return 0
    except AlreadyRunning:
        log.error("already running: %s", server.sock_path or data_dir)
        print(f"orbisyn-terminal: already running: {exe_path}", file=sys.stderr)
        return 3
    except _paths.PrivateFolderError as exc:
        log.error("%s", exc)
        print(f"orbisyn-terminal: {exc}", file=sys.stderr)
        return 4
    except OSError as exc:
        log.error("cannot listen: %s", exc)
        print(f"orbisyn-terminal: cannot listen: {exc}", file=sys.stderr)
        return 4
    try:
        # Built once the socket is ours, so a refused second start touches no state.
        store = _replay.begin(data_dir) if replay is not None else None
        server.terminal = SimulatedTerminal(data_dir, exe_path, clock=replay, store_dir=store)
        if replay is not None:
            _replay.attach(server.terminal, data_dir, replay)
    except _Stop:
        server.close()
        return 0
    except StoreError as exc:
        log.error("cannot start: %s", exc)
        print(f"orbisyn-terminal: {exc}", file=sys.stderr)
        server.close()
        return 5
    except BaseException:
        # Most likely a broken simulator.json: say so where the user will look.
        log.exception("cannot start")
        server.close()
        raise
    try:
        server.publish()
    except _Stop:
        server.close()
        return 0
    except OSError as exc:
        log.error("cannot listen: %s", exc)
        print(f"orbisyn-terminal: cannot listen: {exc}", file=sys.stderr)
        server.close()
        return 4
    server.serve_forever()
    if replay is not None:
        _replay.ended(data_dir, replay)
    log.info("stopped")
    return 0
