"""Benchmark of the simulated Terminal (not a test).

Measures, against a Terminal process started through its launcher in temporary folders:
* one reply of 1 000 000 M1 bars (60 MB): time from request to last byte, MB/s, cold and warm;
* small requests (readiness poll, last tick, symbol record): median round trip in µs.
With a complete extension it also times the same calls through ``orbisyn``.

    PYTHONPATH=src python bench/sim_bench.py
"""
from __future__ import annotations

import os
import shutil
import signal
import statistics
import struct
import subprocess
import sys
import tempfile
import time

import numpy as np


def main() -> int:
    base = tempfile.mkdtemp(prefix="osb", dir="/tmp")
    os.environ["XDG_DATA_HOME"] = os.path.join(base, "data")
    os.environ["XDG_RUNTIME_DIR"] = os.path.join(base, "run")
    os.makedirs(os.environ["XDG_RUNTIME_DIR"], mode=0o700)
    from orbisyn import _paths
    from orbisyn.simulator import install as sim_install
    from orbisyn.simulator import protocol
    from orbisyn.simulator.serving.client import RawClient

    res = sim_install.install(os.path.join(base, "inst"))
    settings = sim_install.load_settings(res["data_dir"])
    settings["connect_delay_ms"] = 0
    sim_install.save_settings(res["data_dir"], settings)
    proc = subprocess.Popen([res["exe"]], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, start_new_session=True)
    sock = _paths.socket_path(res["exe"])
    try:
        deadline = time.monotonic() + 30
        while True:
            try:
                c = RawClient(sock, timeout=60)
                break
            except OSError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.05)
        n = 1_000_000
        req = protocol.request(protocol.Command.COPY_RATES_FROM_POS, protocol.pack_text("BTCUSD") + struct.pack("<iii", 1, 0, n))
        buf = np.empty(12 + 60 * n + 4, dtype=np.uint8)
        view = memoryview(buf)

        def big() -> float:
            t = time.perf_counter()
            c.sock.sendall(req)
            got = 0
            need = 4
            while got < need:
                k = c.sock.recv_into(view[got:], len(buf) - got)
                if k == 0:
                    raise ConnectionError("closed")
                got += k
                if need == 4 and got >= 4:
                    need = 4 + int.from_bytes(buf[:4].tobytes(), "little")
            dt = time.perf_counter() - t
            assert need == 16 + 60 * n, need
            return dt

        cold = big()
        warm = sorted(big() for _ in range(7))
        mb = 60 * n / 1e6
        print("1 000 000 M1 bars (60 MB) in one reply, raw socket client:")
        print(f"  cold (generated):  {cold * 1e3:8.1f} ms  {mb / cold:8.0f} MB/s")
        print(f"  warm (median of 7): {warm[3] * 1e3:7.1f} ms  {mb / warm[3]:8.0f} MB/s")

        def small(cmd, payload=b"", rounds=3000) -> float:
            times = []
            for _ in range(rounds):
                t = time.perf_counter()
                c.call(cmd, payload)
                times.append(time.perf_counter() - t)
            return statistics.median(times) * 1e6

        print("small requests, median round trip (raw client):")
        print(f"  readiness poll (109):    {small(protocol.Command.CONNECTION_STATE):6.1f} us")
        print(f"  last tick (172):         {small(protocol.Command.SYMBOL_INFO_TICK, protocol.pack_text('EURUSD')):6.1f} us")
        print(f"  symbol record (170):     {small(protocol.Command.SYMBOL_INFO, protocol.pack_text('EURUSD'), 1000):6.1f} us")
        c.close()

        try:
            import orbisyn
        except ImportError:
            orbisyn = None
        if orbisyn is not None and hasattr(orbisyn, "initialize"):
            assert orbisyn.initialize(res["exe"]), orbisyn.last_error()
            if hasattr(orbisyn, "copy_rates_from_pos"):
                ts = []
                for _ in range(5):
                    t = time.perf_counter()
                    arr = orbisyn.copy_rates_from_pos("BTCUSD", 1, 0, n)
                    ts.append(time.perf_counter() - t)
                    assert arr is not None and len(arr) == n
                med = statistics.median(ts)
                print(f"through orbisyn.copy_rates_from_pos (1 000 000 bars): {med * 1e3:.1f} ms, "
                      f"{mb / med:.0f} MB/s")
            calls = [("symbol_info_tick", lambda: orbisyn.symbol_info_tick("EURUSD")),
                     ("version", orbisyn.version)]
            for label, fn in calls:
                if not hasattr(orbisyn, label):
                    continue
                times = []
                for _ in range(3000):
                    t = time.perf_counter()
                    fn()
                    times.append(time.perf_counter() - t)
                print(f"through orbisyn.{label}: {statistics.median(times) * 1e6:.1f} us median")
            orbisyn.shutdown()
    finally:
        proc.send_signal(signal.SIGTERM)
        proc.wait(10)
        shutil.rmtree(base, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
