"""positions_get(group="EUR*,!*JPY") against positions_get() over 1 000 to 100 000 positions.

A minimal Terminal runs in a child process (the module holds the GIL while it waits on
the socket) and answers every positions request with the same prepared array reply.

    PYTHONPATH=src python bench/positions_bench.py [--repeat 7] [--sizes 1000,10000,100000]

Prints the median time per call and per record for each size, and the ratio of the
grouped call to the plain one.
"""
from __future__ import annotations

import argparse
import os
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import time

GROUP = "EUR*,!*JPY"
SYMBOLS = ["EURUSD", "EURJPY", "GBPUSD", "USDJPY", "EURGBP", "XAUUSD"]  # a third passes


def position(ticket: int, symbol: str) -> bytes:
    rec = bytearray(320)
    struct.pack_into("<QqqqqIQQIddddd", rec, 0, ticket, 1_700_000_000, 1_700_000_000_000,
                     1_700_000_000, 1_700_000_000_000, 0, 0, ticket, 0, 0.1, 1.1, 1.0, 1.2, 1.15)
    struct.pack_into("<dd", rec, 112, -0.5, 12.5)
    units = symbol.encode("utf-16-le")
    rec[128:128 + len(units)] = units
    units = "bench comment".encode("utf-16-le")
    rec[192:192 + len(units)] = units
    return bytes(rec)


def frame(code: int, status: int, payload: bytes) -> bytes:
    return struct.pack("<Iii", 8 + len(payload), code, status) + payload


def serve(sock_path: str, count: int) -> None:
    body = b"".join(position(i + 1, SYMBOLS[i % len(SYMBOLS)]) for i in range(count))
    answers = {
        4: frame(4, 0, struct.pack("<i", 3000)),
        109: frame(109, 0, struct.pack("<i", 2)),
        121: frame(121, 0, struct.pack("<I", count) + body),
    }
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(sock_path)
    listener.listen(1)
    print("ready", flush=True)
    conn, _ = listener.accept()
    with conn:
        while True:
            head = conn.recv(4, socket.MSG_WAITALL)
            if len(head) < 4:
                return
            body_len = struct.unpack("<I", head)[0]
            req = conn.recv(body_len, socket.MSG_WAITALL)
            code = struct.unpack_from("<i", req)[0]
            conn.sendall(answers.get(code, frame(code, -7, b"")))


def measure(orbisyn, count: int, repeat: int) -> dict:
    runtime = tempfile.mkdtemp(prefix="obb", dir="/tmp")
    os.chmod(runtime, 0o700)
    os.environ["XDG_RUNTIME_DIR"] = runtime
    from orbisyn import _paths

    exe = os.path.join(runtime, "terminal64.exe")
    with open(exe, "w") as f:
        f.write("#!/bin/sh\nexit 1\n")
    os.chmod(exe, 0o755)
    server = subprocess.Popen([sys.executable, __file__, "--serve", _paths.socket_path(exe), str(count)],
                              stdout=subprocess.PIPE, text=True)
    try:
        assert server.stdout.readline().strip() == "ready"
        assert orbisyn.initialize(path=exe), orbisyn.last_error()
        out = {}
        for label, call in (("plain", lambda: orbisyn.positions_get()),
                            ("group", lambda: orbisyn.positions_get(group=GROUP)),
                            ("none kept", lambda: orbisyn.positions_get(group="NONE*,!*JPY"))):
            call()  # warm-up
            times = []
            for _ in range(repeat):
                t0 = time.perf_counter()
                result = call()
                times.append(time.perf_counter() - t0)
                assert result is not None, orbisyn.last_error()
            out[label] = (statistics.median(times), len(result))
        return out
    finally:
        orbisyn.shutdown()
        server.kill()
        server.wait()


def main() -> None:
    if len(sys.argv) > 1 and sys.argv[1] == "--serve":
        serve(sys.argv[2], int(sys.argv[3]))
        return
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--sizes", default="1000,10000,100000")
    args = parser.parse_args()
    import orbisyn

    print(f"{'positions':>10} {'call':>10} {'kept':>7} {'ms/call':>9} {'ns/record':>10} {'vs plain':>9}")
    for count in (int(s) for s in args.sizes.split(",")):
        res = measure(orbisyn, count, args.repeat)
        plain = res["plain"][0]
        for label, (seconds, kept) in res.items():
            print(f"{count:>10} {label:>10} {kept:>7} {seconds * 1e3:>9.2f} "
                  f"{seconds / count * 1e9:>10.0f} {seconds / plain:>8.2f}x")
        # One line per figure for bench/run: the grouped call against the plain one.
        for label in ("group", "none kept"):
            print(f"FIGURE positions_get_{label.replace(' ', '_')}_{count} {res[label][0] * 1e3:.4f} ms "
                  f"positions_get_plain {plain * 1e3:.4f}")


if __name__ == "__main__":
    main()
