"""Which process runs a simulated Terminal: the holder of its single-instance lock."""
from __future__ import annotations

import errno
import os

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
    try:
        lock = _paths.socket_path(exe) + ".lock"
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
