"""A stand-in for the simulated Terminal's loopback listener, as the relay's pipe server
meets it: it publishes port and token in an endpoint file, proves the token over fresh
nonces and checks the relay's proof (b"ORBS" + nonce; nonce + proof; proof, all within 2 s),
and answers the session's frames. Or, in another mode, a stranger that took the port:
"wrong-proof" answers the hello with random bytes, "silent" never answers, "close" closes
at once. What each connection sent before its proof checked is kept, to show that nothing
but the hello reaches a listener that cannot prove the token.

As a program (started by the relay's start= command in the tests):
    python fake_sim.py ENDPOINT BUILD STOPFILE [STARTS]
serves until STOPFILE appears (or 120 s), then closes every connection; appends a line to
STARTS when given.
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

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
from support.peers import SIM_MAGIC as MAGIC, pattern, prove, proven, recv_exact  # noqa: E402

HELLO_S = 2.0


def write_endpoint(path: Path, port: int, token: bytes) -> None:
    tmp = path.with_name(path.name + ".tmp")
    fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    with os.fdopen(fd, "w") as f:
        f.write(f"port={port}\ntoken={token.hex()}\n")
    os.replace(tmp, path)


class FakeSim:
    def __init__(self, endpoint: Path, build: int = 4321, records: int = 0, mode: str = "good"):
        self.endpoint = Path(endpoint)
        self.build = build
        self.records = records
        self.mode = mode
        self.token = secrets.token_bytes(32)
        self.good = 0  # proofs checked
        self.bad = 0  # connections dropped in the handshake
        self.ended = 0  # accepted connections that the other side closed
        self.heard: list[bytes] = []  # per connection, what came before its proof checked
        self.lock = threading.Lock()
        self.conns: set[socket.socket] = set()
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.stopped = False
        threading.Thread(target=self._accept, daemon=True).start()
        write_endpoint(self.endpoint, self.port, self.token)

    def counts(self) -> tuple[int, int, int]:
        with self.lock:
            return self.good, self.bad, self.ended

    def heard_so_far(self) -> list[bytes]:
        with self.lock:
            return list(self.heard)

    def stop(self) -> None:
        """Goes away as the simulated Terminal does: every connection closes."""
        self.stopped = True
        if self.mode == "good":
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

    def _handshake(self, conn: socket.socket) -> bool:
        heard = bytearray()
        ok = False
        conn.settimeout(HELLO_S)
        hello = recv_exact(conn, 4 + 32) if self.mode != "close" else None
        if hello is not None:
            heard += hello
            if self.mode == "wrong-proof":
                conn.sendall(os.urandom(64))
            elif self.mode == "good" and hello[:4] == MAGIC:
                mine = secrets.token_bytes(32)
                conn.sendall(mine + prove("server", self.token, MAGIC, hello[4:], mine))
                answer = recv_exact(conn, 32)
                heard += answer or b""
                ok = answer is not None and proven("client", self.token, MAGIC, hello[4:], mine, answer)
        if not ok and self.mode != "close":
            # Whatever else comes is kept: a relay that sends it without the proof is at fault.
            conn.settimeout(HELLO_S + 1 if self.mode == "silent" else 0.5)
            while (more := recv_exact(conn, 1)) is not None:
                heard += more
        with self.lock:
            self.heard.append(bytes(heard))
            if ok:
                self.good += 1
            else:
                self.bad += 1
        return ok

    def _serve(self, conn: socket.socket) -> None:
        if not self._handshake(conn):
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
    if len(sys.argv) > 4:
        with open(sys.argv[4], "a") as starts:
            starts.write(f"{os.getpid()}\n")
    sim = FakeSim(endpoint, build)
    deadline = time.monotonic() + 120
    while not stop.exists() and time.monotonic() < deadline:
        time.sleep(0.1)
    sim.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
