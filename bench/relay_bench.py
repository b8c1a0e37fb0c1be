"""What the relay costs: the Terminal's pipe read through `orbisyn-relay serve-terminal` from
Linux, against the same pipe read directly by a Windows program, both under Wine in one
throwaway prefix and one run.

    python bench/relay_bench.py [--rounds 2000] [--bars 1000000]

Builds the relay and the Windows test programs with mingw-w64 into build/windows (or
$ORBISYN_WINDOWS_BUILD) as tools/test-windows does; needs Wine. The far end is the scripted
pipe server of the Windows tests (tests/windows/relay_driver.cpp): a small exchange is a
12-byte request answered by 16 bytes, the bulk read is one request answered by 60 bytes per
bar. The reference reads with the session's own pipe calls (PipeWrite, PipeRead); the Linux
client reads into one preallocated buffer, as the module reads bars into numpy's memory.
A third figure is Wine's loopback alone (a Windows echo server under Wine, the same Linux
client): the relay cannot add less than that to a small exchange.
"""
from __future__ import annotations

import argparse
import hashlib
import os
import secrets
import shutil
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "src"))
from orbisyn.simulator.serving import proof as loopback_proof  # noqa: E402

BAR_BYTES = 60


def build(folder: Path) -> None:
    if not shutil.which("x86_64-w64-mingw32-g++-posix") or not shutil.which("wine"):
        sys.exit("relay_bench: needs mingw-w64 (x86_64-w64-mingw32-g++-posix) and wine")
    subprocess.run(["cmake", "-S", str(ROOT), "-B", str(folder), "-G", "Ninja",
                    "-DORBISYN_CORE_ONLY=ON",
                    f"-DCMAKE_TOOLCHAIN_FILE={ROOT / 'cmake' / 'mingw-w64.cmake'}"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(folder), "--target", "orbisyn_relay", "relay_driver"],
                   check=True, stdout=subprocess.DEVNULL)


def pipe_name(path: str) -> str:
    # A path that does not exist is hashed as given, lower-cased.
    digest = hashlib.sha256(path.lower().encode("utf-16-le")).hexdigest().upper()
    return "\\\\.\\pipe\\Zelt.Terminal." + digest


class Client:
    """The Linux side: what the module does over the relay's socket."""

    def __init__(self, port: int, token: bytes, path: str):
        self.sock = socket.create_connection(("127.0.0.1", port))
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        units = path.encode("utf-16-le")
        mine = loopback_proof.nonce()
        self.sock.sendall(b"ORBR" + mine)
        theirs, proof = self.recv(32), self.recv(32)
        if not loopback_proof.check(loopback_proof.SERVER, token, b"ORBR", mine, theirs, proof):
            raise RuntimeError("relay: no proof of the token")
        self.sock.sendall(loopback_proof.prove(loopback_proof.CLIENT, token, b"ORBR", mine, theirs)
                          + struct.pack("<II", 0, len(units) // 2) + units)
        result, n = struct.unpack("<iI", self.recv(8))
        text = self.recv(2 * n).decode("utf-16-le")
        if result != 0:
            raise RuntimeError(f"relay: {result} {text}")

    def recv(self, n: int) -> bytes:
        out = bytearray(n)
        self.recv_into(memoryview(out))
        return bytes(out)

    def recv_into(self, view: memoryview) -> None:
        got = 0
        while got < len(view):
            k = self.sock.recv_into(view[got:])
            if k == 0:
                raise EOFError
            got += k


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--rounds", type=int, default=2000, help="small exchanges (median)")
    p.add_argument("--bars", type=int, default=1_000_000, help="bars in the bulk read")
    p.add_argument("--repeat", type=int, default=5, help="turns of both ways (median)")
    a = p.parse_args()
    folder = Path(os.environ.get("ORBISYN_WINDOWS_BUILD", ROOT / "build" / "windows")).resolve()
    build(folder)
    relay = folder / "src" / "relay" / "orbisyn-relay.exe"
    driver = folder / "tests" / "windows" / "relay_driver.exe"
    nbytes = a.bars * BAR_BYTES

    prefix = tempfile.mkdtemp(prefix="orbisyn-wine.")
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    procs = []
    try:
        subprocess.run(["wineserver", "-p"], env=env, check=True)
        subprocess.run(["wineboot", "-i"], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=True)
        path = r"C:\bench\terminal64.exe"
        name = pipe_name(path)
        served = Path(prefix) / "served.txt"
        with open(served, "wb") as out:
            procs.append(subprocess.Popen(["wine", str(driver), "serve", name], env=env,
                                          stdout=out, stderr=subprocess.STDOUT))
        deadline = time.monotonic() + 30
        while b"ready" not in served.read_bytes():
            if time.monotonic() > deadline:
                sys.exit("relay_bench: the pipe server did not start")
            time.sleep(0.05)

        token = secrets.token_bytes(32)
        proc = subprocess.Popen(["wine", str(relay), "serve-terminal", "--idle-exit", "60"],
                                env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL)
        proc.stdin.write(token.hex().encode() + b"\n")
        proc.stdin.close()
        procs.append(proc)
        port = int(proc.stdout.readline().decode().strip().split("=", 1)[1])
        block = bytearray(nbytes)
        view = memoryview(block)
        ping = struct.pack("<III", 5, 0, 0)

        # The two ways take turns, so that a busy neighbour on the machine weighs on both.
        direct_rtts, direct_bulks, relay_rtts, relay_bulks, echo_rtts = [], [], [], [], []
        for _ in range(a.repeat):
            # Wine's own loopback: a Windows echo server, no pipe behind it
            echo = subprocess.Popen(["wine", str(driver), "tcp-echo"], env=env,
                                    stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            sock = socket.create_connection(
                ("127.0.0.1", int(echo.stdout.readline().decode().split("=", 1)[1])))
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            rtts = []
            for _ in range(a.rounds):
                t0 = time.perf_counter()
                sock.sendall(ping)
                got = 0
                while got < len(ping):
                    got += len(sock.recv(64))
                rtts.append((time.perf_counter() - t0) * 1e6)
            sock.close()
            echo.wait(30)
            echo_rtts.append(statistics.median(rtts))

            # (c) a Windows program on the pipe itself
            direct = subprocess.run(
                ["wine", str(driver), "bench", name, str(a.rounds), str(nbytes)],
                env=env, capture_output=True, text=True, timeout=600)
            fields = dict(l.split("=", 1) for l in direct.stdout.split() if "=" in l)
            if fields.get("intact") != "1":
                sys.exit(f"relay_bench: the direct read failed: {direct.stdout} {direct.stderr}")
            direct_rtts.append(float(fields["rtt_us"]))
            direct_bulks.append(float(fields["bulk_ms"]))

            # (d) Linux through serve-terminal
            client = Client(port, token, path)
            rtts = []
            for _ in range(a.rounds):
                t0 = time.perf_counter()
                client.sock.sendall(ping)
                client.recv(16)
                rtts.append((time.perf_counter() - t0) * 1e6)
            bulk = []
            for _ in range(3):
                t0 = time.perf_counter()
                client.sock.sendall(struct.pack("<III", 2, nbytes, 1))
                client.recv_into(view)
                bulk.append((time.perf_counter() - t0) * 1e3)
            if any(block[i] != (i * 7 + 1) % 251 for i in range(0, nbytes, 4093)):
                sys.exit("relay_bench: bytes through the relay differ")
            client.sock.close()
            relay_rtts.append(statistics.median(rtts))
            relay_bulks.append(min(bulk))
        direct_rtt, direct_bulk = statistics.median(direct_rtts), statistics.median(direct_bulks)
        relay_rtt, relay_bulk = statistics.median(relay_rtts), statistics.median(relay_bulks)
        echo_rtt = statistics.median(echo_rtts)

        print(f"small exchange: direct pipe {direct_rtt:.0f} us, through the relay "
              f"{relay_rtt:.0f} us (median of {a.rounds}, median of {a.repeat} turns): "
              f"x{relay_rtt / direct_rtt:.2f}")
        print(f"{a.bars} bars ({nbytes / 1e6:.0f} MB): direct pipe {direct_bulk:.1f} ms, "
              f"through the relay {relay_bulk:.1f} ms (best of 3, median of {a.repeat} turns): "
              f"x{relay_bulk / direct_bulk:.2f}")
        print(f"  Wine's loopback alone (Windows echo server, Linux client): {echo_rtt:.0f} us; "
              f"direct pipe + that: {direct_rtt + echo_rtt:.0f} us")
        print(f"FIGURE relay_small_exchange {relay_rtt:.1f} us direct_pipe {direct_rtt:.1f}")
        print(f"FIGURE wine_loopback_echo {echo_rtt:.1f} us direct_pipe {direct_rtt:.1f}")
        print(f"FIGURE relay_{a.bars}_bars {relay_bulk:.1f} ms direct_pipe {direct_bulk:.1f}")
        return 0
    finally:
        for proc in procs:
            proc.kill()
            proc.wait()
        subprocess.run(["wineserver", "-k"], env=env)
        shutil.rmtree(prefix, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
