"""Benchmark (not a test): the simulated Terminal over loopback TCP against its Unix socket.

* Small requests (the readiness poll): median round trip; 1 000 000 M1 bars (60 MB) in one
  reply: median time to the last byte. Over one connection of each kind.
* A new connection and its first call: the Unix socket's connect against loopback TCP's
  connect with the proofs of both sides (what the handshake adds to each relay connection).
* A session's round trips (median, p99) with and without a flood of connections that never
  say hello from another process (connect, hold, close; the goal: less than 2x).

    PYTHONPATH=src python bench/sim_loopback_bench.py [--flood-rate N]
"""
from __future__ import annotations

import argparse
import os
import shutil
import signal
import statistics
import struct
import subprocess
import sys
import tempfile
import time

# Opens connections at RATE per second without a hello while switched on ("on"/"off" lines
# on its standard input), holds each until HOLD newer ones are open, then closes it; at the
# end of its input prints how many it made and in how many seconds of being on.
FLOOD = r"""
import collections, socket, sys, threading, time
port, rate, hold = int(sys.argv[1]), float(sys.argv[2]), int(sys.argv[3])
on, done = threading.Event(), threading.Event()
def commands():
    for line in sys.stdin:
        (on.set if line.strip() == "on" else on.clear)()
    done.set()
    on.set()
threading.Thread(target=commands, daemon=True).start()
held, made, busy = collections.deque(), 0, 0.0
while not done.is_set():
    on.wait()
    t0, n0 = time.monotonic(), made
    while on.is_set() and not done.is_set():
        try:
            held.append(socket.create_connection(("127.0.0.1", port), timeout=5))
            made += 1
        except OSError:
            pass
        while len(held) > hold:
            held.popleft().close()
        ahead = t0 + (made - n0) / rate - time.monotonic()
        if ahead > 0:
            time.sleep(ahead)
    busy += time.monotonic() - t0
    while held:
        held.popleft().close()
print(made, busy, flush=True)
"""


def percentile(values: list[float], q: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))]


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--flood-rate", type=float, default=700.0, help="connections per second (700: the review's)")
    parser.add_argument("--flood-hold", type=int, default=1000, help="connections the flood holds at once")
    opts = parser.parse_args()

    base = tempfile.mkdtemp(prefix="osl", dir="/tmp")
    os.environ["XDG_DATA_HOME"] = os.path.join(base, "data")
    os.environ["XDG_RUNTIME_DIR"] = os.path.join(base, "run")
    os.makedirs(os.environ["XDG_RUNTIME_DIR"], mode=0o700)
    from orbisyn import _paths
    from orbisyn.simulator import install as sim_install
    from orbisyn.simulator.serving import loopback
    from orbisyn.simulator import protocol
    from orbisyn.simulator.serving.client import RawClient

    res = sim_install.install(os.path.join(base, "inst"))
    proc = subprocess.Popen([res["exe"]], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, start_new_session=True)
    try:
        deadline = time.monotonic() + 30
        while True:
            try:
                unix = RawClient(_paths.socket_path(res["exe"]), timeout=60)
                tcp = RawClient.loopback(res["data_dir"], timeout=60)
                break
            except OSError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.05)
        bars = protocol.pack_text("BTCUSD") + struct.pack("<iii", 1, 0, 1_000_000)

        def round_trips(c: RawClient, n: int = 3000) -> list[float]:
            times = []
            for _ in range(n):
                t = time.perf_counter()
                c.call(protocol.Command.CONNECTION_STATE)
                times.append(time.perf_counter() - t)
            return times

        def big(c: RawClient) -> float:
            times = []
            for _ in range(5):
                t = time.perf_counter()
                status, body = c.call(protocol.Command.COPY_RATES_FROM_POS, bars)
                times.append(time.perf_counter() - t)
                assert status >= 0 and len(body) == 4 + 60 * 1_000_000
            return statistics.median(times)

        big(unix)   # the bars are generated once; both kinds then read the same cache
        figures = {}
        for name, c in (("unix", unix), ("tcp", tcp)):
            figures[name] = (statistics.median(round_trips(c)), big(c))
            print(f"{name:5} round trip {figures[name][0] * 1e6:7.1f} µs   60 MB reply {figures[name][1] * 1e3:7.1f} ms")
        print(f"FIGURE sim_tcp_round_trip {figures['tcp'][0] * 1e6:.1f} us unix_socket {figures['unix'][0] * 1e6:.1f}")
        print(f"FIGURE sim_tcp_60MB_reply {figures['tcp'][1] * 1e3:.1f} ms unix_socket {figures['unix'][1] * 1e3:.1f}")

        def first_calls(connect, n: int = 300) -> float:
            times = []
            for _ in range(n):
                t = time.perf_counter()
                c = connect()
                c.call(protocol.Command.CONNECTION_STATE)
                times.append(time.perf_counter() - t)
                c.close()
            return statistics.median(times)

        sock_path = _paths.socket_path(res["exe"])
        first_calls(lambda: RawClient(sock_path))   # warm both
        new_unix = first_calls(lambda: RawClient(sock_path))
        new_tcp = first_calls(lambda: RawClient.loopback(res["data_dir"]))
        print(f"new connection and first call: unix {new_unix * 1e6:.0f} µs, tcp with proofs {new_tcp * 1e6:.0f} µs "
              f"({new_tcp / new_unix:.2f}x)")
        print(f"FIGURE sim_tcp_connect_with_proofs {new_tcp * 1e6:.0f} us unix_socket {new_unix * 1e6:.0f} "
              f"ratio {new_tcp / new_unix:.2f}")

        # Quiet and flooded in turns, so that the machine's own drift falls on both alike.
        port, _ = loopback.read_endpoint(res["data_dir"])
        flood = subprocess.Popen([sys.executable, "-I", "-c", FLOOD, str(port), str(opts.flood_rate),
                                  str(opts.flood_hold)], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        quiet, flooded = [], []
        try:
            for _ in range(5):
                quiet += round_trips(tcp, 2000)
                flood.stdin.write("on\n")
                flood.stdin.flush()
                time.sleep(0.5)   # the flood at its pace, the cap of unfinished handshakes reached
                flooded += round_trips(tcp, 2000)
                flood.stdin.write("off\n")
                flood.stdin.flush()
                time.sleep(loopback.HELLO_TIMEOUT)   # its connections gone before the next quiet turn
        finally:
            flood.stdin.close()
            made, secs = flood.stdout.read().split()
            flood.wait(10)
        rate = int(made) / float(secs)
        for name, q in (("median", 0.5), ("p99", 0.99)):
            a, b = percentile(quiet, q), percentile(flooded, q)
            print(f"session round trip {name}: {a * 1e6:.0f} µs quiet, {b * 1e6:.0f} µs under a flood of "
                  f"{rate:.0f} connections/s ({b / a:.2f}x)")
            print(f"FIGURE sim_flood_round_trip_{name} {b * 1e6:.0f} us quiet {a * 1e6:.0f} ratio {b / a:.2f}")
        log = os.path.join(res["data_dir"], "logs", "simulator.log")
        print(f"simulator.log after {made} refused connections: {os.path.getsize(log)} bytes")
        unix.close()
        tcp.close()
    finally:
        proc.send_signal(signal.SIGTERM)
        proc.wait(10)
        shutil.rmtree(base, ignore_errors=True)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
