"""A stand-in for the simulated Terminal's loopback listener, as the relay's pipe server
meets it: it publishes port and token in an endpoint file, drops connections whose hello
(b"ORBS" + token) is wrong or later than 2 s, and answers the session's frames.

As a program (started by the relay's start= command in the tests):
    python fake_sim.py ENDPOINT BUILD STOPFILE
serves until STOPFILE appears (or 120 s), then closes every connection.
"""
from __future__ import annotations

import os
import secrets
import socket
import struct
import sys
import threading
import time
from pathlib import Path

HELLO_S = 2.0


def pattern(n: int, seed: int) -> bytes:
    period = bytes((i * 7 + seed) % 251 for i in range(251))
    return (period * (n // 251 + 1))[:n]


def recv_exact(conn: socket.socket, n: int) -> bytes | None:
    out = bytearray()
    while len(out) < n:
        try:
            chunk = conn.recv(n - len(out))
        except OSError:
            return None
        if not chunk:
            return None
        out += chunk
    return bytes(out)


class FakeSim:
    def __init__(self, endpoint: Path, build: int = 4321, records: int = 0):
        self.endpoint = Path(endpoint)
        self.build = build
        self.records = records
        self.token = secrets.token_bytes(32)
        self.good = 0  # hellos accepted
        self.bad = 0  # connections dropped at the hello
        self.ended = 0  # accepted connections that the other side closed
        self.lock = threading.Lock()
        self.conns: set[socket.socket] = set()
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.stopped = False
        threading.Thread(target=self._accept, daemon=True).start()
        tmp = self.endpoint.with_name(self.endpoint.name + ".tmp")
        fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
        with os.fdopen(fd, "w") as f:
            f.write(f"port={self.port}\ntoken={self.token.hex()}\n")
        os.replace(tmp, self.endpoint)

    def counts(self) -> tuple[int, int, int]:
        with self.lock:
            return self.good, self.bad, self.ended

    def stop(self) -> None:
        """Goes away as the simulated Terminal does: every connection closes."""
        self.stopped = True
        self.endpoint.unlink(missing_ok=True)
        self.listener.close()
        with self.lock:
            conns = list(self.conns)
        for c in conns:
            try:
                c.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            c.close()

    def _accept(self) -> None:
        while not self.stopped:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            with self.lock:
                self.conns.add(conn)
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    def _serve(self, conn: socket.socket) -> None:
        conn.settimeout(HELLO_S)
        hello = recv_exact(conn, 36)
        ok = (hello is not None and hello[:4] == b"ORBS"
              and secrets.compare_digest(hello[4:], self.token))
        with self.lock:
            if ok:
                self.good += 1
            else:
                self.bad += 1
        if not ok:
            conn.close()
            return
        conn.settimeout(None)
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        while True:
            head = recv_exact(conn, 4)
            body = head and recv_exact(conn, struct.unpack("<I", head)[0])
            if not body or len(body) < 4:
                break
            command = struct.unpack_from("<i", body)[0]
            status, payload = 0, b""
            if command == 4:
                payload = struct.pack("<i", self.build)
            elif command == 109:
                payload = struct.pack("<i", 2)
            elif command == 121:
                n = self.records
                payload = struct.pack("<I", n) + pattern(320 * n, n)
            elif command != 5:
                status = -1
            reply = struct.pack("<ii", command, status) + payload
            try:
                conn.sendall(struct.pack("<I", len(reply)) + reply)
            except OSError:
                break
        with self.lock:
            if not self.stopped:
                self.ended += 1
            self.conns.discard(conn)
        conn.close()


def main() -> int:
    endpoint, build, stop = Path(sys.argv[1]), int(sys.argv[2]), Path(sys.argv[3])
    sim = FakeSim(endpoint, build)
    deadline = time.monotonic() + 120
    while not stop.exists() and time.monotonic() < deadline:
        time.sleep(0.1)
    sim.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
