"""Where a Terminal's socket and data folders live on POSIX.

Pure-Python twin of the extension's platform layer, shared by the simulated
Terminal and the tests so both derive the same socket from a launcher path.
"""
from __future__ import annotations

import hashlib
import os
import stat

PIPE_PREFIX = "Zelt.Terminal."
MAX_PATH_UNITS = 260


def _utf16_units(text: str) -> int:
    return len(text.encode("utf-16-le")) // 2


def _lower_unit(ch: str) -> str:
    if "A" <= ch <= "Z":
        return chr(ord(ch) + 32)
    code = ord(ch)
    if code < 0x80 or code > 0xFFFF or 0xD800 <= code <= 0xDFFF:
        return ch
    if code == 0x130:
        # Simple mapping of U+0130 is "i"; str.lower() gives the two-character full one.
        return "i"
    low = ch.lower()
    return low if len(low) == 1 and ord(low) <= 0xFFFF else ch


def normalise(path: str) -> str:
    """realpath() of path, or path itself when that fails or is over 260 units."""
    # Like realpath(3): fail unless every component exists.  (realpath's strict=
    # argument needs Python 3.10; an empty path is no path, not the current folder.)
    if not path:
        return path
    try:
        real = os.path.realpath(path)
        os.stat(real)
    except (OSError, ValueError):
        return path
    return path if _utf16_units(real) > MAX_PATH_UNITS else real


def path_digest(path: str) -> bytes:
    norm = normalise(path)
    # Lower-case per UTF-16 unit; a non-BMP character stays as its surrogate pair.
    lowered = "".join(_lower_unit(c) for c in norm)
    return hashlib.sha256(lowered.encode("utf-16-le", "surrogatepass")).digest()


def pipe_name(path: str) -> str:
    """The Windows-form pipe name a client derives from a Terminal executable path."""
    return PIPE_PREFIX + path_digest(path).hex().upper()


def pipe_dir() -> str:
    runtime = os.environ.get("XDG_RUNTIME_DIR", "")
    if runtime.startswith("/"):
        return runtime
    return f"/tmp/orbisyn-{os.getuid()}"


def socket_path(exe_path: str) -> str:
    """The Unix socket that stands for the Terminal's named pipe."""
    return os.path.join(pipe_dir(), pipe_name(exe_path))


def ensure_pipe_dir() -> str:
    """Create the private socket directory when missing (server side)."""
    d = pipe_dir()
    if not os.environ.get("XDG_RUNTIME_DIR", "").startswith("/"):
        try:
            os.mkdir(d, 0o700)
        except FileExistsError:
            st = os.lstat(d)
            if not stat.S_ISDIR(st.st_mode) or st.st_uid != os.getuid():
                raise PermissionError(f"{d} is not a private directory of this user")
            if st.st_mode & 0o022:
                os.chmod(d, 0o700)
    else:
        os.makedirs(d, exist_ok=True)
    return d


def appdata_dir() -> str | None:
    """The roaming application-data folder, or None when there is none."""
    if os.name == "nt":
        return os.environ.get("APPDATA") or None
    data = os.environ.get("XDG_DATA_HOME", "")
    if data.startswith("/"):
        return data
    home = os.environ.get("HOME", "")
    if home:
        return os.path.join(home, ".local", "share")
    return None


def terminals_root() -> str | None:
    base = appdata_dir()
    return None if base is None else os.path.join(base, "Quillmark", "Terminal")
