"""What every stand-in at the far end of a link shares (the fake and hostile Terminals, the
fake relay, the fake simulated Terminal of the Windows stage, the strangers): reading a
whole frame, the control channel to the test, the wire's values and frames, the loopback
proof. The standard library only: the Windows stage and the peers' own processes import it.
"""
from __future__ import annotations

import hashlib
import hmac
import os
import pickle
import socket
import struct

# ---------------------------------------------------------------------------
# Reading


def recv_exact(sock: socket.socket, n: int, timeout: float | None = None, *,
               short_ok: bool = False) -> bytes | None:
    """n bytes from sock. When the stream ends, breaks or times out first: None, or with
    short_ok what came until then. timeout, when given, is set on sock first."""
    if timeout is not None:
        sock.settimeout(timeout)
    buf = bytearray()
    while len(buf) < n:
        try:
            part = sock.recv(min(n - len(buf), 1 << 20))
        except OSError:  # reset, or the time ran out
            break
        if not part:
            break
        buf += part
    return bytes(buf) if len(buf) == n or short_ok else None


def listen_unix(path: str) -> socket.socket:
    """A listener on the Unix socket path (only its owner may connect), in place of any left
    behind there."""
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(path)
    os.chmod(path, 0o600)
    listener.listen(8)
    return listener


# ---------------------------------------------------------------------------
# Control channel between a test and a peer process: length-prefixed pickles

HEADER = struct.Struct("<I")


def send_msg(sock: socket.socket, msg) -> None:
    data = pickle.dumps(msg, protocol=pickle.HIGHEST_PROTOCOL)
    sock.sendall(HEADER.pack(len(data)) + data)


def recv_msg(sock: socket.socket):
    """The next message, or None once the other side has gone."""
    head = recv_exact(sock, 4)
    body = None if head is None else recv_exact(sock, HEADER.unpack(head)[0])
    return None if body is None else pickle.loads(body)


# ---------------------------------------------------------------------------
# Values and frames, little-endian as on the wire


def i32(v: int) -> bytes:
    return struct.pack("<i", v)


def u32(v: int) -> bytes:
    return struct.pack("<I", v)


def i64(v: int) -> bytes:
    return struct.pack("<q", v)


def u64(v: int) -> bytes:
    return struct.pack("<Q", v)


def f64(v: float) -> bytes:
    return struct.pack("<d", v)


def text(s: str) -> bytes:
    """int32 unit count, then the UTF-16LE units."""
    units = s.encode("utf-16-le", "surrogatepass")
    return struct.pack("<i", len(units) // 2) + units


def reply(echo: int, status: int, payload: bytes = b"", length: int | None = None) -> bytes:
    """A reply frame; length overrides the length field (default 8 + len(payload))."""
    if length is None:
        length = 8 + len(payload)
    return struct.pack("<Iii", length, echo, status) + payload


def request(code: int, payload: bytes = b"") -> bytes:
    return struct.pack("<Ii", 4 + len(payload), code) + payload


def pattern(n: int, seed: int) -> bytes:
    """n bytes that show where a piece went missing or moved."""
    period = bytes((i * 7 + seed) % 251 for i in range(251))
    return (period * (n // 251 + 1))[:n]


# ---------------------------------------------------------------------------
# The loopback proof, written from its description (not the module's code), so that the
# module's, the relay's and the simulated Terminal's HMACs are checked against another one.

RELAY_MAGIC, SIM_MAGIC = b"ORBR", b"ORBS"
NONCE_BYTES = 32
_LABELS = {"server": b"orbisyn server proof", "client": b"orbisyn client proof"}


def prove(side: str, token: bytes, magic: bytes, client_nonce: bytes, server_nonce: bytes) -> bytes:
    """side "server" or "client": who proves to know token."""
    return hmac.new(token, _LABELS[side] + magic + client_nonce + server_nonce,
                    hashlib.sha256).digest()


def proven(side: str, token: bytes, magic: bytes, client_nonce: bytes, server_nonce: bytes,
           proof: bytes) -> bool:
    return hmac.compare_digest(proof, prove(side, token, magic, client_nonce, server_nonce))
