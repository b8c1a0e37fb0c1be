"""A minimal pure-Python client of the Terminal protocol (status checks, tests, benchmarks)."""
from __future__ import annotations

import socket
import struct

import numpy as np

from .. import protocol


class RawClient:
    def __init__(self, sock_path: str, timeout: float | None = 10.0):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.settimeout(timeout)
        self.sock.connect(sock_path)

    @classmethod
    def loopback(cls, data_dir: str, timeout: float | None = 10.0) -> "RawClient":
        """A client over the Terminal's loopback TCP endpoint (what the relay uses), past the
        proofs of both sides; OSError saying why when there is no such Terminal."""
        from . import loopback
        self = cls.__new__(cls)
        self.sock = loopback.connect_endpoint(data_dir, timeout=timeout)
        return self

    def close(self) -> None:
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _recv(self, n: int) -> bytes:
        buf = bytearray(n)
        view = memoryview(buf)
        got = 0
        while got < n:
            k = self.sock.recv_into(view[got:], n - got)
            if k == 0:
                raise ConnectionError("Terminal closed the connection")
            got += k
        return bytes(buf)

    def send_raw(self, data: bytes) -> None:
        self.sock.sendall(data)

    def read_reply(self) -> tuple[int, int, bytes]:
        length = struct.unpack("<I", self._recv(4))[0]
        body = self._recv(length)
        echo, status = struct.unpack_from("<ii", body)
        return echo, status, body[8:]

    def call(self, command: int, payload: bytes = b"") -> tuple[int, bytes]:
        """One exchange; returns (status, payload after the status)."""
        self.send_raw(protocol.request(command, payload))
        echo, status, body = self.read_reply()
        if echo != command:
            raise ConnectionError(f"echo {echo} for command {command}")
        return status, body

    # Convenience wrappers
    def handshake(self) -> int:
        status, body = self.call(protocol.Command.HANDSHAKE, struct.pack("<i", 3) + protocol.pack_text("Python"))
        return struct.unpack("<i", body[:4])[0]

    def version(self) -> tuple[int, int, str]:
        status, body = self.call(protocol.Command.VERSION, struct.pack("<i", 0))
        first, second = struct.unpack_from("<ii", body)
        n = struct.unpack_from("<i", body, 8)[0]
        return first, second, body[12:12 + 2 * n].decode("utf-16-le")

    def state(self) -> int:
        return struct.unpack("<i", self.call(protocol.Command.CONNECTION_STATE)[1])[0]

    def login(self, login: int, password: str, server: str = "") -> int:
        payload = struct.pack("<iQ", 0, login) + protocol.pack_text(password) + protocol.pack_text(server)
        return self.call(protocol.Command.LOGIN, payload)[0]

    def array(self, command: int, payload: bytes, dtype: np.dtype) -> tuple[int, np.ndarray | None]:
        status, body = self.call(command, payload)
        if status < 0:
            return status, None
        count = struct.unpack_from("<I", body)[0]
        if len(body) != 4 + count * dtype.itemsize:
            raise ConnectionError("array reply of the wrong size")
        return status, np.frombuffer(body, dtype=dtype, offset=4, count=count)

    def rates_from_pos(self, symbol: str, tf: int, start: int, count: int):
        return self.array(protocol.Command.COPY_RATES_FROM_POS, protocol.pack_text(symbol) + struct.pack("<iii", tf, start, count),
                          protocol.BAR_DTYPE)

    def rates_from(self, symbol: str, tf: int, date: int, count: int):
        return self.array(protocol.Command.COPY_RATES_FROM, protocol.pack_text(symbol) + struct.pack("<iqi", tf, date, count),
                          protocol.BAR_DTYPE)

    def rates_range(self, symbol: str, tf: int, date_from: int, date_to: int):
        return self.array(protocol.Command.COPY_RATES_RANGE, protocol.pack_text(symbol) + struct.pack("<iqq", tf, date_from, date_to),
                          protocol.BAR_DTYPE)

    def ticks_from(self, symbol: str, from_ms: int, count: int, flags: int = -1):
        return self.array(protocol.Command.COPY_TICKS_FROM, protocol.pack_text(symbol) + struct.pack("<qii", from_ms, count, flags),
                          protocol.TICK_DTYPE)

    def ticks_range(self, symbol: str, from_ms: int, to_ms: int, flags: int = -1):
        return self.array(protocol.Command.COPY_TICKS_RANGE, protocol.pack_text(symbol) + struct.pack("<qqi", from_ms, to_ms, flags),
                          protocol.TICK_DTYPE)
