"""Which process runs a simulated Terminal (the holder of its single-instance lock), and
starting and stopping it."""
from __future__ import annotations

import errno
import os
import signal
import subprocess
import time

try:
    import fcntl
except ImportError:   # Windows: a byte-range lock of msvcrt instead
    fcntl = None

from ... import _paths

LOCK_OFFSET = 64   # the locked byte, past the pid text that others read


def running_pid(exe: str, data_dir: str | None = None) -> int | None:
    """Pid of the server holding the socket lock of this launcher, or None."""
    if fcntl is None:
        return windows_lock_holder(data_dir) if data_dir else None
    return lock_holder(_paths.socket_path(exe) + ".lock")


def lock_holder(lock: str) -> int | None:
    """Pid of the server holding this socket lock file (-1 when its pid is unreadable), or None."""
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


def windows_lock_holder(data_dir: str) -> int | None:
    """Pid of the server holding DATA/relay/lock (Windows), or None when nobody does."""
    import msvcrt
    from .loopback import relay_dir
    try:
        fd = os.open(os.path.join(relay_dir(data_dir), "lock"), os.O_RDWR | os.O_BINARY)
    except OSError:
        return None
    try:
        os.lseek(fd, LOCK_OFFSET, os.SEEK_SET)
        try:
            msvcrt.locking(fd, msvcrt.LK_NBLCK, 1)
        except OSError:
            os.lseek(fd, 0, os.SEEK_SET)
            text = os.read(fd, 32).decode(errors="replace").strip()
            return int(text) if text.isdigit() else -1
        os.lseek(fd, LOCK_OFFSET, os.SEEK_SET)
        msvcrt.locking(fd, msvcrt.LK_UNLCK, 1)
        return None
    finally:
        os.close(fd)


def answers(exe: str) -> tuple[int, int, str] | None:
    """The version the Terminal of this launcher answers on its socket, or None."""
    from .client import RawClient
    try:
        with RawClient(_paths.socket_path(exe), timeout=5.0) as c:
            return c.version()
    except OSError:
        return None


def launch(exe: str, args=(), *, timeout: float = 30.0, out=None):
    """Start the Terminal of this launcher in a session of its own and wait until it answers:
    (process, None), or (process, what went wrong). `out` takes its output (else discarded)."""
    with open(os.devnull, "rb") as null_in, open(os.devnull, "wb") as null_out:
        proc = subprocess.Popen([exe, *args], stdin=null_in, stdout=out or null_out,
                                stderr=out or null_out, start_new_session=True, close_fds=True)
    deadline = time.monotonic() + timeout
    while answers(exe) is None:
        if proc.poll() is not None:
            return proc, f"the Terminal exited with code {proc.returncode}"
        if time.monotonic() >= deadline:
            return proc, f"the Terminal did not answer within {timeout:g} s"
        time.sleep(0.02)
    return proc, None


def stop(exe: str, data_dir: str, timeout: float) -> tuple[int | None, bool]:
    """Ask the running Terminal to stop, and wait up to `timeout` s for it to be gone:
    (its pid, or None when none ran; whether it has gone)."""
    pid = running_pid(exe, data_dir)
    try:
        if not pid or pid < 0:
            return None, True
        if fcntl is None:   # no signal ends a Windows process cleanly: it watches for this file
            from .loopback import request_stop
            request_stop(data_dir, pid)
        else:
            os.kill(pid, signal.SIGTERM)
    except ProcessLookupError:
        return None, True
    deadline = time.monotonic() + timeout
    while running_pid(exe, data_dir) is not None:
        if time.monotonic() >= deadline:
            return pid, False
        time.sleep(0.02)
    return pid, True
