"""Where a Terminal's socket and data folders live on POSIX.

Pure-Python twin of the extension's platform layer, shared by the simulated
Terminal and the tests so both derive the same socket from a launcher path.
"""
from __future__ import annotations

import errno
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


PIPE_LEAF_BYTES = len(PIPE_PREFIX) + 64
SOCKET_PATH_BYTES = 107          # sun_path less its terminator
DEEPEST_FOLDER = SOCKET_PATH_BYTES - PIPE_LEAF_BYTES - 1
FALLBACK_ALTERNATIVES = 8        # BASE/orbisyn-UID-1 .. -8 when another user holds orbisyn-UID


class PrivateFolderError(PermissionError):
    """No folder of this user's own for the sockets; the message names it and the fix."""


def _folder(path: str) -> str:
    # Without trailing slashes: lstat("link/") would follow the link.
    stripped = path.rstrip("/")
    return stripped or "/"


def private_state(path: str) -> int:
    """0 for a real folder of this user that nobody else can write to; ENOENT, else EACCES."""
    try:
        st = os.lstat(path)
    except FileNotFoundError:
        return errno.ENOENT
    except OSError:
        return errno.EACCES
    if not stat.S_ISDIR(st.st_mode) or st.st_uid != os.getuid() or st.st_mode & 0o022:
        return errno.EACCES
    return 0


def _trusted_base(path: str) -> bool:
    # This user's or root's, and nobody else can move our folder out of it (sticky /tmp).
    try:
        st = os.stat(path)
    except OSError:
        return False
    return (stat.S_ISDIR(st.st_mode) and st.st_uid in (os.getuid(), 0)
            and (not st.st_mode & 0o022 or bool(st.st_mode & stat.S_ISVTX)))


def temp_base() -> str:
    """$TMPDIR when absolute, trusted and short enough for the sockets, else /tmp."""
    tmp = os.environ.get("TMPDIR", "")
    if tmp.startswith("/"):
        base = _folder(tmp)
        longest = f"/orbisyn-{os.getuid()}-{FALLBACK_ALTERNATIVES}/"
        if len(os.fsencode(base)) + len(longest) + PIPE_LEAF_BYTES <= SOCKET_PATH_BYTES \
                and _trusted_base(base):
            return "" if base == "/" else base
    return "/tmp"


def choose_pipe_dir() -> tuple[int, str]:
    """(state, folder) of the socket folder; state as private_state, EACCES when none is usable.

    $XDG_RUNTIME_DIR only when private (su and sudo pass on another user's); otherwise the
    first private one of BASE/orbisyn-UID and its alternatives, else the first missing one."""
    runtime = os.environ.get("XDG_RUNTIME_DIR", "")
    if runtime.startswith("/") and private_state(_folder(runtime)) == 0:
        return 0, _folder(runtime)
    first = f"{temp_base()}/orbisyn-{os.getuid()}"
    missing = None
    for i in range(FALLBACK_ALTERNATIVES + 1):
        candidate = first if i == 0 else f"{first}-{i}"
        state = private_state(candidate)
        if state == 0:
            return 0, candidate
        if state == errno.ENOENT and missing is None:
            missing = candidate
    return (errno.ENOENT, missing) if missing is not None else (errno.EACCES, first)


def folder_problem() -> str | None:
    """Why no socket of this user can be served here, with the fix; None when none."""
    state, d = choose_pipe_dir()
    if state == errno.EACCES:
        return (f"no private folder for the Terminal's socket: {d} and {d}-1 to -{FALLBACK_ALTERNATIVES} "
                f"belong to another user or others can write to them; set XDG_RUNTIME_DIR to a "
                f"folder of yours with mode 0700 and a path of at most {DEEPEST_FOLDER} bytes, "
                f"or have those folders removed")
    if len(os.fsencode(d)) > DEEPEST_FOLDER:
        return (f"the Terminal's socket in {d} would be longer than {SOCKET_PATH_BYTES} bytes; set "
                f"XDG_RUNTIME_DIR to a folder with a path of at most {DEEPEST_FOLDER} bytes")
    return None


def pipe_dir() -> str:
    """The socket folder (it may not exist yet); PrivateFolderError when none is usable."""
    state, d = choose_pipe_dir()
    if state == errno.EACCES:
        raise PrivateFolderError(folder_problem())
    return d


def socket_path(exe_path: str) -> str:
    """The Unix socket that stands for the Terminal's named pipe."""
    return os.path.join(pipe_dir(), pipe_name(exe_path))


def ensure_pipe_dir() -> str:
    """The socket folder, made 0700 when missing (server side); PrivateFolderError with
    the setup text when there is none of this user's own or it is too deep for a socket."""
    for _ in range(4):   # another user may take the chosen one before our mkdir
        state, d = choose_pipe_dir()
        if state == errno.ENOENT:
            try:
                os.mkdir(d, 0o700)
            except FileExistsError:
                continue
            os.chmod(d, 0o700)   # whatever the umask
            continue
        problem = folder_problem() if state == errno.EACCES or len(os.fsencode(d)) > DEEPEST_FOLDER else None
        if problem:
            raise PrivateFolderError(problem)
        return d
    raise PrivateFolderError(f"no private folder for the Terminal's socket at {d}: others keep taking it")


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
