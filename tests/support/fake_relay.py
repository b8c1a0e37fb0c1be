"""A stand-in for `wine orbisyn-relay.exe serve-terminal`, without Wine.

The tests put a script named ``wine`` first on PATH that runs this file, so the module
starts it exactly as it starts the real relay. It reads the token from standard input,
speaks the relay's side of the handshake (both sides prove the token over fresh nonces)
and then joins the client to a Unix socket (a fake or simulated Terminal) as the relay
joins it to the Terminal's pipe. Environment:

    FAKE_RELAY_SOCKET  the Unix socket that plays the Terminal's pipe
    FAKE_RELAY_MODE    relay (default) | fail:TEXT (failure answer) | drop (close every
                       client after its hello, as a flood makes a real relay do) | squat
                       (answer the hello with a plain success, as a squatter on the port
                       of a relay of the older hello would) | mute (accept, never answer)
                       | forge (answer with random bytes for a challenge) | exit (give up
                       before listening) | silent (never print the port) | slow:SECONDS
                       (answer the path late)
    FAKE_RELAY_LOG     JSON lines: one "start" per process, one "hello" per client that
                       got as far as its proof
    FAKE_RELAY_BYTES   a file every byte a client sent before its proof checked goes to
"""
from __future__ import annotations

import json
import os
import secrets
import socket
import struct
import sys
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from peers import NONCE_BYTES, RELAY_MAGIC as MAGIC, prove, proven, recv_exact  # noqa: E402

MODE = os.environ.get("FAKE_RELAY_MODE", "relay")
LOG = os.environ.get("FAKE_RELAY_LOG")
BYTES = os.environ.get("FAKE_RELAY_BYTES")
_log_lock = threading.Lock()


def log(**event) -> None:
    if LOG:
        with _log_lock, open(LOG, "a", encoding="utf-8") as f:
            f.write(json.dumps(event) + "\n")


def keep(data: bytes) -> None:
    if BYTES and data:
        with _log_lock, open(BYTES, "ab") as f:
            f.write(data)


def read_exact(conn: socket.socket, n: int) -> bytes:
    data = recv_exact(conn, n, short_ok=True)
    keep(data)
    if len(data) < n:
        raise EOFError
    return data


def pump(src: socket.socket, dst: socket.socket) -> None:
    try:
        while True:
            data = src.recv(1 << 16)
            if not data:
                break
            dst.sendall(data)
    except OSError:
        pass
    for s in (src, dst):
        try:
            s.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


def hold(conn: socket.socket) -> None:
    """Keeps the line open and takes whatever comes, as a squatter would."""
    try:
        conn.settimeout(60)
        while data := conn.recv(1 << 16):
            keep(data)
    except OSError:
        pass
    conn.close()


def handshake(conn: socket.socket, token: bytes) -> tuple[bool, int, str] | None:
    """The relay's side; None when the client is dropped before its proof."""
    hello = read_exact(conn, len(MAGIC) + NONCE_BYTES)
    if MODE == "drop" or hello[:4] != MAGIC:
        return None
    if MODE in ("squat", "mute", "forge"):
        if MODE == "squat":
            conn.sendall(struct.pack("<iI", 0, 0))
        elif MODE == "forge":
            conn.sendall(secrets.token_bytes(2 * NONCE_BYTES))
        hold(conn)
        return None
    client_nonce, server_nonce = hello[4:], secrets.token_bytes(NONCE_BYTES)
    conn.sendall(server_nonce + prove("server", token, MAGIC, client_nonce, server_nonce))
    answer = read_exact(conn, 32 + 8)
    ok = proven("client", token, MAGIC, client_nonce, server_nonce, answer[:32])
    flags, units = struct.unpack_from("<II", answer, 32)
    path = read_exact(conn, 2 * units).decode("utf-16-le") if ok else ""
    log(event="hello", magic=hello[:4].decode("latin-1"), proof_ok=ok, flags=flags, path=path)
    return ok, flags, path


def serve(conn: socket.socket, token: bytes) -> None:
    try:
        done = handshake(conn, token)
    except (EOFError, OSError):
        done = None
    if done is None or not done[0]:
        conn.close()
        return
    if MODE.startswith("slow:"):
        time.sleep(float(MODE[5:]))
    if MODE.startswith("fail:"):
        text = MODE[5:].encode("utf-16-le")
        conn.sendall(struct.pack("<iI", -10003, len(text) // 2) + text)
        conn.close()
        return
    pipe = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        pipe.connect(os.environ["FAKE_RELAY_SOCKET"])
    except OSError as exc:
        text = f"CreateFile failed [{exc.errno}]".encode("utf-16-le")
        conn.sendall(struct.pack("<iI", -10003, len(text) // 2) + text)
        conn.close()
        return
    conn.sendall(struct.pack("<iI", 0, 0))
    threading.Thread(target=pump, args=(pipe, conn), daemon=True).start()
    pump(conn, pipe)


def main() -> int:
    line = sys.stdin.buffer.read(200)
    log(event="start", pid=os.getpid(), argv=sys.argv[1:], prefix=os.environ.get("WINEPREFIX"),
        winedebug=os.environ.get("WINEDEBUG"), stdin_ended=not sys.stdin.buffer.read(1))
    if MODE == "exit":
        print("fake relay gives up: no prefix server", file=sys.stderr, flush=True)
        return 3
    try:
        token = bytes.fromhex(line.decode("ascii").rstrip("\n"))
    except ValueError:
        return 2
    if len(token) != 32:
        return 2
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(128)
    if MODE == "silent":
        time.sleep(120)
        return 0
    sys.stdout.write(f"port={listener.getsockname()[1]}\n")
    sys.stdout.flush()
    sys.stdout.close()
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=serve, args=(conn, token), daemon=True).start()


if __name__ == "__main__":
    sys.exit(main())
