"""Short hostile-peer fuzz run: every module function against seeded mutations of valid
replies (the driver and the peer live in processes of their own, so a crash of the
module fails this test instead of killing pytest). ORBISYN_FUZZ_SEEDS=1,2,3 replaces the
fixed seeds; bench/fuzz_long.py makes the long runs."""
from __future__ import annotations

import os
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
SEEDS = [int(s) for s in os.environ.get("ORBISYN_FUZZ_SEEDS", "20261207,7,99").split(",")]
EXCHANGES = int(os.environ.get("ORBISYN_FUZZ_EXCHANGES", "1500"))


@pytest.mark.parametrize("seed", SEEDS)
def test_hostile_peer(seed):
    import orbisyn  # noqa: F401  the driver needs the same package on its path

    env = dict(os.environ)
    pkg_parent = os.path.dirname(os.path.dirname(orbisyn.__file__))
    env["PYTHONPATH"] = os.pathsep.join(p for p in (pkg_parent, env.get("PYTHONPATH", "")) if p)
    proc = subprocess.run(
        [sys.executable, "-m", "support.fuzz_driver", "--seed", str(seed),
         "--exchanges", str(EXCHANGES)],
        capture_output=True, text=True, timeout=300, env=env, stdin=subprocess.DEVNULL, cwd=HERE)
    report = f"seed {seed}, exit {proc.returncode}\n{proc.stdout}\n{proc.stderr[-3000:]}"
    assert proc.returncode == 0, report
    assert f"seed {seed}: " in proc.stdout, report
