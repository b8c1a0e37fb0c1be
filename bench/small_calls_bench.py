"""Small calls against the plain C reader: what the module adds to one short exchange.

symbol_info_tick("EURUSD"), positions_total() and copy_rates_from of one bar, each made by
orbisyn and by c_reader.c (the same request, the reply received into one reused buffer),
against bar_server.c, which answers every request from a prebuilt buffer. Each client runs
in a process of its own; the rounds alternate between the clients so that load on the
machine meets them alike, and each client's figure is the median of its round medians.
The server and every client run on one CPU (--cpu, default the last one this process may
use): a round trip is then two context switches on that CPU instead of a wake-up on another
one, whose cost on a shared virtual machine varies far more than the clients differ.
With --reference DIR the orbisyn package in DIR (another build, e.g. an export of an
earlier commit with its _core copied in) is measured in the same rounds, so that before and
after are compared in one run.

    PYTHONPATH=src python bench/small_calls_bench.py [--rounds 7] [--seconds 0.5] [--reference DIR]

Target: each call within 1.05 x c.
"""
from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from market_data_bench import build, report, resident_kb, timed_loop  # noqa: E402

# name -> (orbisyn call, c_reader mode and bar count)
CALLS = {
    "symbol_info_tick": ("orbisyn.symbol_info_tick('EURUSD')", ["1", "tick"]),
    "positions_total": ("orbisyn.positions_total()", ["1", "total"]),
    "copy_rates_from_1": ("orbisyn.copy_rates_from('EURUSD', 16385, 0, 1)", ["1"]),
}


def child(exe: str, call: str, seconds: float) -> None:
    import orbisyn

    if not orbisyn.initialize(path=exe):
        sys.exit(f"initialize failed: {orbisyn.last_error()}")
    baseline = resident_kb()
    fn = eval("lambda: " + call, {"orbisyn": orbisyn})

    def checked():
        if fn() is None:
            sys.exit(f"{call} failed: {orbisyn.last_error()}")

    report(timed_loop(checked, seconds), baseline)


def pinned(cpu: int):
    return lambda: os.sched_setaffinity(0, {cpu})


def median_us(cmd: list[str], env: dict, cpu: int) -> float:
    out = subprocess.run(cmd, env=env, capture_output=True, text=True, timeout=600,
                         preexec_fn=pinned(cpu))
    if out.returncode != 0:
        sys.exit(f"client failed: {out.stderr.strip() or out.stdout.strip()}")
    return float(out.stdout.split()[2])


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--seconds", type=float, default=0.5, help="timed calls per round")
    p.add_argument("--rounds", type=int, default=7)
    p.add_argument("--reference", help="folder holding another build's orbisyn package")
    p.add_argument("--cpu", type=int, default=max(os.sched_getaffinity(0)))
    p.add_argument("--child", nargs=3, metavar=("EXE", "CALL", "SECONDS"), help=argparse.SUPPRESS)
    a = p.parse_args()
    if a.child:
        child(a.child[0], a.child[1], float(a.child[2]))
        return

    from orbisyn import _paths

    with tempfile.TemporaryDirectory(prefix="obsmall") as tmp:
        c_reader, bar_server = build(tmp)
        env = dict(os.environ, XDG_RUNTIME_DIR=tmp)
        here = os.path.dirname(os.path.dirname(os.path.abspath(_paths.__file__)))
        exe = os.path.join(tmp, "terminal64.exe")
        open(exe, "w").close()
        os.environ["XDG_RUNTIME_DIR"] = tmp
        sock_path = _paths.socket_path(exe)
        server = subprocess.Popen([bar_server, sock_path, "1"], stdout=subprocess.PIPE, text=True,
                                  preexec_fn=pinned(a.cpu))

        def with_path(path: str) -> dict:
            return dict(env, PYTHONPATH=os.pathsep.join(x for x in (path, env.get("PYTHONPATH")) if x))

        try:
            if server.stdout.readline().strip() != "ready":
                sys.exit("bar server did not start")
            me = [sys.executable, os.path.abspath(__file__), "--child", exe]
            sec = str(a.seconds)
            for name, (call, mode) in CALLS.items():
                clients = {"c": ([c_reader, sock_path, mode[0], sec] + mode[1:], env),
                           "orbisyn": (me + [call, sec], with_path(here))}
                if a.reference:
                    clients["reference"] = (me + [call, sec], with_path(a.reference))
                got: dict[str, list[float]] = {k: [] for k in clients}
                order = list(clients)
                for r in range(a.rounds):
                    for kind in (order if r % 2 == 0 else order[::-1]):
                        cmd, e = clients[kind]
                        got[kind].append(median_us(cmd, e, a.cpu))
                med = {k: statistics.median(v) for k, v in got.items()}
                line = "  ".join(f"{k} {v:.2f} us ({v / med['c']:.3f} x c)" for k, v in med.items())
                print(f"{name}: {line}")
                for kind in clients:
                    if kind != "c":
                        print(f"FIGURE small_{name}_{kind} {med[kind]:.2f} us c_reader {med['c']:.2f}")
                sys.stdout.flush()
        finally:
            server.kill()
            server.wait()


if __name__ == "__main__":
    main()
