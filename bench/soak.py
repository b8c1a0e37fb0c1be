"""Leak soak: every module function called many times (100 000 by default) against a
scripted peer, success and failure paths alike, with resident memory and Python's
allocated blocks measured before and after each function's run.

    PYTHONPATH=src python bench/soak.py [--calls 100000] [--only name,name]

The peer (its own process: the module holds the GIL while it waits) answers each
command from a fixed cycle of prepared replies: valid ones, refusals with a negative
status, wrong echoes, short and long frames and lying counts. A fifth of the calls
carry refused arguments; "failed" counts the calls that returned None or False. Exits 1 when a function's memory is not flat.
"""
from __future__ import annotations

import argparse
import gc
import os
import random
import selectors
import socket
import struct
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests"))

from support import call_rules as rules  # noqa: E402
from support import fuzz_driver  # noqa: E402
from support import hostile_peer  # noqa: E402

PAGE = os.sysconf("SC_PAGESIZE")
# Flat: what a function may grow by over its whole run after the warm-up.
RSS_SLACK_KB = 512
BLOCKS_SLACK = 200
IN_STEP_FAILURES = ["status", "status_full", "echo", "truncate", "extend", "count"]


def prepared_replies(seed: int = 1) -> dict[int, list[bytes]]:
    """Per command: valid replies and in-step failures, cycled through by the peer."""
    rng = random.Random(seed)
    table = {}
    for code in hostile_peer.REPLY:
        replies = hostile_peer.Replies(rng, 3000)
        frames = []
        for kind in ["valid", "valid", "valid", *IN_STEP_FAILURES]:
            status, payload = replies.payload(code)
            if code == 109:
                status = 0
            if code in (4, 109):
                kind = "valid"  # the session must come up every time
            data, _ = hostile_peer.mutate(rng, code, status, payload, kind)
            if hostile_peer.exchange_result(code, 3000, data)[1]:
                frames.append(data)
        table[code] = frames
    return table


def serve(sock_path: str) -> None:
    table = prepared_replies()
    turn = {code: 0 for code in table}
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(sock_path)
    listener.listen(8)
    sel = selectors.DefaultSelector()
    sel.register(listener, selectors.EVENT_READ)
    print("ready", flush=True)
    while True:
        for key, _ in sel.select():
            if key.fileobj is listener:
                conn, _ = listener.accept()
                sel.register(conn, selectors.EVENT_READ)
                continue
            conn = key.fileobj
            head = conn.recv(4, socket.MSG_WAITALL)
            body = conn.recv(struct.unpack("<I", head)[0], socket.MSG_WAITALL) if len(head) == 4 else b""
            if len(body) < 4:
                sel.unregister(conn)
                conn.close()
                continue
            code = struct.unpack_from("<i", body)[0]
            frames = table[code]
            conn.sendall(frames[turn[code] % len(frames)])
            turn[code] += 1


def rss_kb() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE // 1024


def measure():
    gc.collect()
    return rss_kb(), sys.getallocatedblocks()


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--calls", type=int, default=100_000)
    p.add_argument("--only", default="")
    a = p.parse_args()

    runtime = tempfile.mkdtemp(prefix="obsk", dir="/tmp")
    os.chmod(runtime, 0o700)
    os.environ["XDG_RUNTIME_DIR"] = runtime
    import orbisyn
    from orbisyn import _paths

    exe = os.path.join(runtime, "Soak", "terminal64.exe")
    sock_path = _paths.socket_path(exe)
    peer = subprocess.Popen([sys.executable, __file__, "--serve", sock_path], stdout=subprocess.PIPE,
                            text=True)
    try:
        assert peer.stdout.readline().strip() == "ready"
        names = [n for n in rules.ALL_FUNCTIONS if hasattr(orbisyn, n)]
        if a.only:
            names = [n for n in names if n in a.only.split(",")]
        rng = random.Random(5)
        # Argument sets drawn once, so that the loop itself allocates nothing new.
        print(f"{'function':<22} {'calls':>7} {'refused':>7} {'failed':>6} {'RSS kB start':>12} {'end':>7} "
              f"{'blocks start':>12} {'end':>8}  flat", flush=True)
        failed = []
        started = time.monotonic()
        for name in names:
            sets = []
            for _ in range(64):
                if name in ("initialize", "shutdown", "last_error"):
                    sets.append(((), {"path": exe, "timeout": 100} if name == "initialize" else {}))
                elif rng.random() < 0.8:
                    sets.append(fuzz_driver.valid_call(name, rng))
                else:
                    sets.append(fuzz_driver.invalid_call(name, rng))
                if name == "login":
                    sets[-1][1]["timeout"] = 100
            refused = sum(rules.refusal(name, args, kw) is not None for args, kw in sets)
            func = getattr(orbisyn, name)

            def run(n):
                failed = 0
                for i in range(n):
                    args, kw = sets[i % len(sets)]
                    r = func(*args, **kw)
                    failed += r is None or r is False
                return failed

            if not orbisyn.initialize(path=exe, timeout=100):
                raise RuntimeError(f"no session: {orbisyn.last_error()}")
            run(min(2000, a.calls))
            rss0, blocks0 = measure()
            failures = run(a.calls)
            rss1, blocks1 = measure()
            flat = rss1 - rss0 <= RSS_SLACK_KB and blocks1 - blocks0 <= BLOCKS_SLACK
            if not flat:
                failed.append(name)
            print(f"{name:<22} {a.calls:>7} {refused * 100 // len(sets):>6}% "
                  f"{failures * 100 // max(1, a.calls):>5}% {rss0:>12} {rss1:>7} "
                  f"{blocks0:>12} {blocks1:>8}  {'yes' if flat else 'NO'}", flush=True)
        orbisyn.shutdown()
        print(f"{len(names)} functions, {a.calls} calls each, {time.monotonic() - started:.0f} s; "
              f"not flat: {', '.join(failed) or 'none'}")
        return 1 if failed else 0
    finally:
        peer.kill()
        peer.wait()
        for entry in os.listdir(runtime):
            os.unlink(os.path.join(runtime, entry))
        os.rmdir(runtime)


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--serve":
        serve(sys.argv[2])
    else:
        sys.exit(main())
