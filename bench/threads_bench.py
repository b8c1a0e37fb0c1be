"""Calls from threads, against the simulated Terminal: what waiting without the interpreter
lock costs a single thread, and what several threads sharing one session get through.

    PYTHONPATH=src python bench/threads_bench.py [--reference DIR] [--seconds 2] [--rounds 9]

* ``small_<call>``: median µs of positions_total(), symbol_info_tick("EURUSD") and
  account_info() from one thread. The reference is the same call made by the package in
  ``--reference DIR`` (a folder holding another build's ``orbisyn`` package, for example a
  ``git worktree`` of an earlier commit after ``tools/devbuild``), measured in alternating
  rounds, each in a child process of its own on the same Terminal. Without ``--reference``
  the reference is a plain Python client making the same exchange on its own connection.
* ``threads_<n>``: symbol_info_tick calls per second of n threads (1, 2, 4) sharing one
  session for ``--seconds`` each, against one thread.
"""
from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time

CALLS = {
    "positions_total": "orbisyn.positions_total()",
    "symbol_info_tick": "orbisyn.symbol_info_tick('EURUSD')",
    "account_info": "orbisyn.account_info()",
}

# One round in a child: the median of n calls of one kind, in µs.
ROUND = """
import sys, time, statistics, orbisyn
assert orbisyn.initialize(sys.argv[1]), orbisyn.last_error()
call = lambda: {call}
for _ in range(200):
    call()
times = []
for _ in range({n}):
    t = time.perf_counter(); call(); times.append(time.perf_counter() - t)
print(statistics.median(times) * 1e6)
orbisyn.shutdown()
"""

RAW = """
import sys, time, statistics, struct
from orbisyn.simulator.serving.client import RawClient
from orbisyn.simulator import protocol
from orbisyn import _paths
c = RawClient(_paths.socket_path(sys.argv[1]))
c.handshake()
payload = {payload}
for _ in range(200):
    c.call({code}, payload)
times = []
for _ in range({n}):
    t = time.perf_counter(); c.call({code}, payload); times.append(time.perf_counter() - t)
print(statistics.median(times) * 1e6)
"""
RAW_CALLS = {"positions_total": (120, "b''"), "symbol_info_tick": (172, "protocol.pack_text('EURUSD')"),
             "account_info": (190, "b''")}


def child(code: str, exe: str, path: str | None) -> float:
    env = dict(os.environ)
    if path:
        env["PYTHONPATH"] = path
    out = subprocess.run([sys.executable, "-c", code, exe], capture_output=True, text=True, env=env,
                         timeout=300)
    if out.returncode != 0:
        raise RuntimeError(out.stderr)
    return float(out.stdout.strip().splitlines()[-1])


def throughput(orbisyn, threads: int, seconds: float) -> float:
    counts = [0] * threads
    stop = threading.Event()

    def work(i: int) -> None:
        while not stop.is_set():
            assert orbisyn.symbol_info_tick("EURUSD") is not None
            counts[i] += 1

    workers = [threading.Thread(target=work, args=(i,)) for i in range(threads)]
    for w in workers:
        w.start()
    time.sleep(seconds)
    stop.set()
    for w in workers:
        w.join()
    return sum(counts) / seconds


def main() -> int:
    p = argparse.ArgumentParser()
    p.add_argument("--reference", help="folder with another build's orbisyn package")
    p.add_argument("--seconds", type=float, default=2.0)
    p.add_argument("--rounds", type=int, default=9)
    p.add_argument("--calls", type=int, default=3000)
    a = p.parse_args()

    base = tempfile.mkdtemp(prefix="obt", dir="/tmp")
    os.environ["XDG_DATA_HOME"] = os.path.join(base, "data")
    os.environ["XDG_RUNTIME_DIR"] = os.path.join(base, "run")
    os.makedirs(os.environ["XDG_RUNTIME_DIR"], mode=0o700)
    import orbisyn
    from orbisyn.simulator import install as sim_install

    res = sim_install.install(os.path.join(base, "inst"))
    settings = sim_install.load_settings(res["data_dir"])
    settings["connect_delay_ms"] = 0
    sim_install.save_settings(res["data_dir"], settings)
    exe = res["exe"]
    assert orbisyn.initialize(exe), orbisyn.last_error()
    here = os.path.dirname(os.path.dirname(os.path.abspath(orbisyn.__file__)))
    try:
        for name, call in CALLS.items():
            mine, ref = [], []
            for r in range(a.rounds):
                ours = lambda: mine.append(child(ROUND.format(call=call, n=a.calls), exe, here))  # noqa: E731
                if a.reference:
                    theirs = lambda: ref.append(  # noqa: E731
                        child(ROUND.format(call=call, n=a.calls), exe, a.reference))
                else:
                    code, payload = RAW_CALLS[name]
                    theirs = lambda: ref.append(  # noqa: E731
                        child(RAW.format(code=code, payload=payload, n=a.calls), exe, here))
                for run in ((ours, theirs) if r % 2 == 0 else (theirs, ours)):
                    run()
            label = "reference_build" if a.reference else "python_client"
            print(f"FIGURE small_{name} {statistics.median(mine):.2f} us {label} "
                  f"{statistics.median(ref):.2f}")
        one = throughput(orbisyn, 1, a.seconds)
        for n in (1, 2, 4):
            rate = one if n == 1 else throughput(orbisyn, n, a.seconds)
            print(f"FIGURE threads_{n} {rate:.0f} calls/s one_thread {one:.0f}")
    finally:
        orbisyn.shutdown()
        subprocess.run([sys.executable, "-m", "orbisyn.simulator", "stop", "--dir",
                        os.path.join(base, "inst")], capture_output=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
