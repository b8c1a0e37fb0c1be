"""orbisyn.aio against the plain calls, on the simulated Terminal: what awaiting a call costs.

    PYTHONPATH=src python bench/aio_bench.py [--rounds 9] [--calls 2000]

* ``call_<call>``: median µs of one ``await aio.<call>`` awaited one after the other, against
  the same plain call made back to back from a thread of its own (with ``last_error()``
  read after it, as the worker does); ``overhead_<call>`` is the difference against the
  target of 30 µs.
* ``gather50_<call>``: µs per call when 50 are awaited together (``asyncio.gather``),
  against the plain call from a thread.
* ``to_thread_<call>``: the same sequential ``await`` against
  ``await asyncio.to_thread(plain call)`` plus ``last_error()``, the glue a user writes
  without ``aio``.
* ``handoff``: a call that does nothing, through the worker and back to the loop, against
  two threads passing a token back and forth (one round trip of two thread wake-ups): the
  floor of any design that runs the calls on another thread.
Rounds alternate between the kinds; each figure is the median over the rounds.
"""
from __future__ import annotations

import argparse
import asyncio
import os
import queue
import statistics
import subprocess
import sys
import tempfile
import threading
import time

CALLS = {
    "positions_total": ((), "positions_total"),
    "symbol_info_tick": (("EURUSD",), "symbol_info_tick"),
    "copy_rates_from_pos": (("EURUSD", 1, 0, 100), "copy_rates_from_pos"),
}
TARGET_US = 30.0


def plain_in_thread(orbisyn, fn, args, n: int) -> float:
    out: list[float] = []

    def run() -> None:
        for _ in range(n // 10):
            fn(*args)
        t = time.perf_counter()
        for _ in range(n):
            fn(*args)
            orbisyn.last_error()
        out.append((time.perf_counter() - t) / n * 1e6)

    th = threading.Thread(target=run)
    th.start()
    th.join()
    return out[0]


async def sequential(call, args, n: int) -> float:
    for _ in range(n // 10):
        await call(*args)
    t = time.perf_counter()
    for _ in range(n):
        await call(*args)
    return (time.perf_counter() - t) / n * 1e6


async def gathered(call, args, n: int) -> float:
    await asyncio.gather(*(call(*args) for _ in range(50)))
    rounds = max(n // 50, 1)
    t = time.perf_counter()
    for _ in range(rounds):
        await asyncio.gather(*(call(*args) for _ in range(50)))
    return (time.perf_counter() - t) / (rounds * 50) * 1e6


def to_thread_call(orbisyn, fn):
    def paired(*args):
        return fn(*args), orbisyn.last_error()

    async def call(*args):
        return await asyncio.to_thread(paired, *args)
    return call


def pingpong(n: int) -> float:
    a: queue.SimpleQueue = queue.SimpleQueue()
    b: queue.SimpleQueue = queue.SimpleQueue()

    def echo() -> None:
        while (x := a.get()) is not None:
            b.put(x)

    th = threading.Thread(target=echo)
    th.start()
    for _ in range(n // 10):
        a.put(1)
        b.get()
    t = time.perf_counter()
    for _ in range(n):
        a.put(1)
        b.get()
    us = (time.perf_counter() - t) / n * 1e6
    a.put(None)
    th.join()
    return us


def main() -> int:
    p = argparse.ArgumentParser()
    p.add_argument("--rounds", type=int, default=9)
    p.add_argument("--calls", type=int, default=2000)
    a = p.parse_args()

    base = tempfile.mkdtemp(prefix="oba", dir="/tmp")
    os.environ["XDG_DATA_HOME"] = os.path.join(base, "data")
    os.environ["XDG_RUNTIME_DIR"] = os.path.join(base, "run")
    os.makedirs(os.environ["XDG_RUNTIME_DIR"], mode=0o700)
    import orbisyn
    from orbisyn import aio
    from orbisyn.simulator import install as sim_install

    res = sim_install.install(os.path.join(base, "inst"))
    settings = sim_install.load_settings(res["data_dir"])
    settings["connect_delay_ms"] = 0
    sim_install.save_settings(res["data_dir"], settings)

    async def measure() -> dict[str, list[float]]:
        got: dict[str, list[float]] = {}
        noop = lambda: None  # noqa: E731

        async def handoff() -> float:
            return await sequential(lambda: aio._run(noop), (), a.calls)

        for r in range(a.rounds):
            for name, (args, fname) in CALLS.items():
                fn, call = getattr(orbisyn, fname), getattr(aio, fname)
                kinds = [
                    (f"aio_{name}", lambda: sequential(call, args, a.calls)),
                    (f"plain_{name}", lambda: asyncio.to_thread(plain_in_thread, orbisyn, fn, args, a.calls)),
                    (f"gather_{name}", lambda: gathered(call, args, a.calls)),
                    (f"to_thread_{name}", lambda: sequential(to_thread_call(orbisyn, fn), args, a.calls)),
                ]
                for key, run in (kinds if r % 2 == 0 else kinds[::-1]):
                    got.setdefault(key, []).append(await run())
            got.setdefault("handoff", []).append(await handoff())
            got.setdefault("pingpong", []).append(await asyncio.to_thread(pingpong, a.calls))
        return got

    async def session() -> dict[str, list[float]]:
        async with aio.session(res["exe"]):
            return await measure()

    try:
        got = asyncio.run(session())
    finally:
        subprocess.run([sys.executable, "-m", "orbisyn.simulator", "stop", "--dir",
                        os.path.join(base, "inst")], capture_output=True)
    med = {k: statistics.median(v) for k, v in got.items()}
    for name in CALLS:
        mine, plain = med[f"aio_{name}"], med[f"plain_{name}"]
        print(f"FIGURE call_{name} {mine:.1f} us plain_in_thread {plain:.1f}")
        print(f"FIGURE overhead_{name} {mine - plain:.1f} us target {TARGET_US:.1f}")
        print(f"FIGURE gather50_{name} {med[f'gather_{name}']:.1f} us plain_in_thread {plain:.1f}")
        print(f"FIGURE to_thread_{name} {mine:.1f} us asyncio.to_thread {med[f'to_thread_{name}']:.1f}")
    print(f"FIGURE handoff {med['handoff']:.1f} us thread_pingpong {med['pingpong']:.1f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
