"""A run of a sweep as a worker does it: a private temporary place, the run's own process
(the cycle module) in it, and nothing left behind: no folder, no Terminal.

`run_one` is what a local worker thread calls and what a Dask worker runs as a task.
"""
from __future__ import annotations

import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from typing import Any, Dict

from ..install import source_root
from ..serving.running import lock_holder
from .cycle import STOP_WAIT_S, tail

# The stop asked of a run's process, then the kill: it needs a Terminal's stop and a script's.
CHILD_GRACE_S = 2 * STOP_WAIT_S + 10
STOP_POLL_S = 0.3
THREAD_POOLS = ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS")


def _kill_left_terminal(base: str, run_dir: str) -> None:
    """The run's process died before stopping its Terminal: end it here."""
    from ... import _paths
    exe = os.path.join(base, "inst", "terminal64.exe")
    if not os.path.exists(exe):
        return
    lock = os.path.join(run_dir, _paths.pipe_name(exe)) + ".lock"
    pid = lock_holder(lock)
    if pid is None or pid <= 0:   # nobody, or a pid we cannot read: nothing to signal
        return
    for sig in (signal.SIGTERM, signal.SIGKILL):
        try:
            os.kill(pid, sig)
        except ProcessLookupError:
            return
        deadline = time.monotonic() + STOP_WAIT_S
        while time.monotonic() < deadline:
            if lock_holder(lock) is None:
                return
            time.sleep(0.05)


class Waiter:
    """What a run polls to learn that the sweep stops: anything with wait(timeout) -> bool."""

    def wait(self, timeout: float) -> bool:
        time.sleep(timeout)
        return False


def run_one(spec: Dict[str, Any], stop=None) -> Dict[str, Any]:
    """Run one combination; returns its result (see cycle.run) with "seconds"."""
    stop = stop or Waiter()
    t0 = time.monotonic()
    if stop.wait(0):   # the sweep stopped before this run's turn came
        return {"stats": None, "stopped": True, "error": "stopped", "seconds": 0.0}
    base = tempfile.mkdtemp(prefix="orbisyn-sweep-")
    # Apart and short: a socket's path has at most 107 bytes.
    run_dir = tempfile.mkdtemp(prefix="orbrun", dir="/tmp")
    try:
        os.makedirs(os.path.join(base, "data"))
        with open(os.path.join(base, "spec.json"), "w", encoding="utf-8") as f:
            json.dump(spec, f)
        env = dict(os.environ, XDG_DATA_HOME=os.path.join(base, "data"), XDG_RUNTIME_DIR=run_dir)
        env.pop("ORBISYN_PARAMS", None)
        # The runs are the parallelism: one math thread a process unless told otherwise, as
        # Dask gives its workers (an idle thread pool per process costs a run a third more CPU).
        for key in THREAD_POOLS:
            env.setdefault(key, "1")
        checkout = source_root()
        if checkout is not None:
            # From a source checkout the run, and its script, import the orbisyn this worker
            # runs (a relative PYTHONPATH would not survive a worker's own working folder).
            env["PYTHONPATH"] = os.pathsep.join([checkout] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
        log = os.path.join(base, "cycle.log")
        with open(log, "wb") as out:
            child = subprocess.Popen([sys.executable, "-m", "orbisyn.simulator.optimize.cycle", base, run_dir],
                                     env=env, stdin=subprocess.DEVNULL, stdout=out,
                                     stderr=subprocess.STDOUT, start_new_session=True)
        stopping_since = None
        ask_at = 0.0
        while True:
            try:
                child.wait(0.05)   # the next run starts as soon as this one ends
                break
            except subprocess.TimeoutExpired:
                pass
            now = time.monotonic()
            if stopping_since is None:
                if now >= ask_at:   # a cluster's stop is a round trip: not every turn
                    ask_at = now + STOP_POLL_S
                    if stop.wait(0):
                        stopping_since = now
                        child.send_signal(signal.SIGTERM)
            elif now - stopping_since > CHILD_GRACE_S:
                child.kill()
                child.wait()
        try:
            with open(os.path.join(base, "result.json"), encoding="utf-8") as f:
                result = json.load(f)
        except (OSError, ValueError):
            result = {"stats": None, "stopped": stopping_since is not None,
                      "error": f"the run's process exited with code {child.returncode}:\n{tail(log)}"}
        _kill_left_terminal(base, run_dir)
        result["seconds"] = time.monotonic() - t0
        return result
    finally:
        shutil.rmtree(base, ignore_errors=True)
        shutil.rmtree(run_dir, ignore_errors=True)


class _DaskStop:
    def __init__(self, name: str):
        from distributed import Event
        self.event = Event(name)

    def wait(self, timeout: float) -> bool:
        if timeout <= 0:   # before Python 3.11 a zero wait times out before it looks: ask
            return bool(self.event.is_set())
        return bool(self.event.wait(timeout))


def run_on_dask(spec: Dict[str, Any], stop_event: str) -> Dict[str, Any]:
    """run_one as a Dask task: the sweep's stop is a distributed Event of this name."""
    return run_one(spec, _DaskStop(stop_event))
