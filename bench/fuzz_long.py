"""Long hostile-peer fuzz run: the driver of tests/test_fuzz.py for as many exchanges
as asked, over several seeds in turn, with progress lines.

    PYTHONPATH=src nice python bench/fuzz_long.py [--exchanges 1000000] [--seed 1] [--chunk 100000]

Each chunk runs in a fresh driver process with its own seed (seed, seed + 1, ...), so a
failure names a seed that reproduces it with `python -m support.fuzz_driver` in tests/. Prints the total of
exchanges survived; exits 1 at the first failure.
"""
from __future__ import annotations

import argparse
import os
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TESTS = os.path.join(ROOT, "tests")


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--exchanges", type=int, default=1_000_000)
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--chunk", type=int, default=100_000)
    a = p.parse_args()
    done, seed, started = 0, a.seed, time.monotonic()
    while done < a.exchanges:
        n = min(a.chunk, a.exchanges - done)
        proc = subprocess.run([sys.executable, "-m", "support.fuzz_driver", "--seed", str(seed),
                               "--exchanges", str(n)], cwd=TESTS,
                              capture_output=True, text=True, stdin=subprocess.DEVNULL)
        print(proc.stdout.strip(), flush=True)
        if proc.returncode != 0:
            print(proc.stderr[-3000:], file=sys.stderr)
            print(f"FAILED after {done} exchanges (seed {seed}, exit {proc.returncode})")
            return 1
        line = proc.stdout.strip().splitlines()[-1]
        done += int(line.split(": ", 1)[1].split()[0])
        seed += 1
    print(f"{done} exchanges without a failure, seeds {a.seed}..{seed - 1}, "
          f"{time.monotonic() - started:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
