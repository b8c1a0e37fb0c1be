"""A stand-in for `wine orbisyn-relay.exe serve-terminal`, without Wine.

The tests put a script named ``wine`` first on PATH that runs this file, so the module
starts it exactly as it starts the real relay. It speaks the relay's side of the hello
and then joins the client to a Unix socket (a fake or simulated Terminal) as the relay
joins it to the Terminal's pipe. Environment:

    FAKE_RELAY_SOCKET  the Unix socket that plays the Terminal's pipe
    FAKE_RELAY_MODE    relay (default) | fail:TEXT (failure answer) | drop (close after
                       the hello) | exit (give up before listening) | silent (never print
                       the port) | slow:SECONDS (answer the hello late)
    FAKE_RELAY_LOG     JSON lines: one "start" per process, one "hello" per client
"""
from __future__ import annotations

import hmac
import json
import os
import socket
import struct
import sys
import threading
import time

MODE = os.environ.get("FAKE_RELAY_MODE", "relay")
LOG = os.environ.get("FAKE_RELAY_LOG")
_log_lock = threading.Lock()


def log(**event) -> None:
    if LOG:
        with _log_lock, open(LOG, "a", encoding="utf-8") as f:
            f.write(json.dumps(event) + "\n")


def read_exact(conn: socket.socket, n: int) -> bytes:
    data = b""
    while len(data) < n:
        chunk = conn.recv(n - len(data))
        if not chunk:
            raise EOFError
        data += chunk
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


def serve(conn: socket.socket, token: bytes) -> None:
    try:
        head = read_exact(conn, 44)
        units = struct.unpack_from("<I", head, 40)[0]
        path = read_exact(conn, 2 * units).decode("utf-16-le")
    except (EOFError, OSError):
        conn.close()
        return
    ok = head[:4] == b"ORBR" and hmac.compare_digest(head[4:36], token)
    log(event="hello", magic=head[:4].decode("latin-1"), token_ok=ok,
        flags=struct.unpack_from("<I", head, 36)[0], path=path)
    if not ok or MODE == "drop":
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
    token_hex = os.environ.get("ORBISYN_RELAY_TOKEN", "")
    log(event="start", pid=os.getpid(), argv=sys.argv[1:], prefix=os.environ.get("WINEPREFIX"),
        winedebug=os.environ.get("WINEDEBUG"))
    if MODE == "exit":
        print("fake relay gives up: no prefix server", file=sys.stderr, flush=True)
        return 3
    try:
        token = bytes.fromhex(token_hex)
    except ValueError:
        return 2
    if len(token) != 32:
        return 2
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(64)
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
