"""Benchmark (not a test): the simulated Terminal over loopback TCP against its Unix socket.

Small requests (the readiness poll): median round trip; 1 000 000 M1 bars (60 MB) in one
reply: median time to the last byte. Both over one connection of each kind, in the same run.

    PYTHONPATH=src python bench/sim_loopback_bench.py
"""
from __future__ import annotations

import os
import shutil
import signal
import statistics
import struct
import subprocess
import tempfile
import time


def main() -> int:
    base = tempfile.mkdtemp(prefix="osl", dir="/tmp")
    os.environ["XDG_DATA_HOME"] = os.path.join(base, "data")
    os.environ["XDG_RUNTIME_DIR"] = os.path.join(base, "run")
    os.makedirs(os.environ["XDG_RUNTIME_DIR"], mode=0o700)
    from orbisyn import _paths
    from orbisyn.simulator import install as sim_install
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

        def small(c: RawClient) -> float:
            times = []
            for _ in range(3000):
                t = time.perf_counter()
                c.call(protocol.CMD_STATE)
                times.append(time.perf_counter() - t)
            return statistics.median(times)

        def big(c: RawClient) -> float:
            times = []
            for _ in range(5):
                t = time.perf_counter()
                status, body = c.call(protocol.CMD_RATES_FROM_POS, bars)
                times.append(time.perf_counter() - t)
                assert status >= 0 and len(body) == 4 + 60 * 1_000_000
            return statistics.median(times)

        big(unix)   # the bars are generated once; both kinds then read the same cache
        figures = {}
        for name, c in (("unix", unix), ("tcp", tcp)):
            figures[name] = (small(c), big(c))
            print(f"{name:5} round trip {figures[name][0] * 1e6:7.1f} µs   60 MB reply {figures[name][1] * 1e3:7.1f} ms")
        print(f"FIGURE sim_tcp_round_trip {figures['tcp'][0] * 1e6:.1f} us unix_socket {figures['unix'][0] * 1e6:.1f}")
        print(f"FIGURE sim_tcp_60MB_reply {figures['tcp'][1] * 1e3:.1f} ms unix_socket {figures['unix'][1] * 1e3:.1f}")
        unix.close()
        tcp.close()
    finally:
        proc.send_signal(signal.SIGTERM)
        proc.wait(10)
        shutil.rmtree(base, ignore_errors=True)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
