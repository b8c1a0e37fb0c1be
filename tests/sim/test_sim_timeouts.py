"""Time limits against the simulated Terminal frozen with SIGSTOP: its listener still takes
connections, but nothing it would send comes. A limited call and initialize give up in time,
and once the Terminal goes on (SIGCONT) a new initialize works."""
from __future__ import annotations

import asyncio
import os
import signal
import time

import pytest

import orbisyn
from orbisyn import _paths, aio
from support.simulated import install_terminal


def _state(pid: int, task: str) -> str:
    try:
        with open(f"/proc/{pid}/task/{task}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0]
    except OSError:
        return "T"  # a thread that has gone makes no reply


@pytest.fixture
def frozen(sim_env, start_sim):
    """(exe, freeze, thaw): a running simulated Terminal that the test can stop and resume."""
    res = install_terminal(sim_env)
    start_sim(res["exe"])
    pid = int(open(_paths.socket_path(res["exe"]) + ".lock").read())
    stopped = []

    def freeze():
        os.kill(pid, signal.SIGSTOP)
        stopped.append(pid)
        # The signal is sent; wait until every thread has stopped, so that no reply is made
        # after it.
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline and not all(
                _state(pid, task) == "T" for task in os.listdir(f"/proc/{pid}/task")):
            time.sleep(0.005)

    def thaw():
        os.kill(pid, signal.SIGCONT)
        stopped.clear()

    yield res["exe"], freeze, thaw
    if stopped:
        thaw()
    orbisyn.set_timeout(None)
    orbisyn.shutdown()


def test_a_limited_call_gives_up_and_initialize_works_after_sigcont(frozen):
    exe, freeze, thaw = frozen
    assert orbisyn.initialize(exe), orbisyn.last_error()
    orbisyn.set_timeout(1)
    freeze()
    started = time.monotonic()
    assert orbisyn.account_info() is None
    took = time.monotonic() - started
    assert orbisyn.last_error() == (-10005, "IPC timeout")
    assert 0.95 <= took < 1.5
    assert orbisyn.terminal_info() is None and orbisyn.last_error()[0] == -10004
    thaw()
    assert orbisyn.initialize(exe), orbisyn.last_error()
    assert orbisyn.account_info().login > 0


def test_initialize_gives_up_on_a_frozen_terminal(frozen):
    exe, freeze, thaw = frozen
    freeze()
    started = time.monotonic()
    assert orbisyn.initialize(exe, timeout=1000) is False
    took = time.monotonic() - started
    assert orbisyn.last_error() == (-10005, "IPC timeout")
    assert 0.95 <= took < 1.5
    thaw()
    assert orbisyn.initialize(exe, timeout=10000), orbisyn.last_error()


def test_aio_call_with_a_timeout_on_a_frozen_terminal(frozen):
    exe, freeze, thaw = frozen

    async def main():
        await aio.initialize(exe)
        freeze()
        started = time.monotonic()
        with pytest.raises(TimeoutError) as e:
            await aio.account_info(timeout=1)
        took = time.monotonic() - started
        thaw()
        await aio.initialize(exe)
        return e.value, took, await aio.account_info(timeout=5)

    error, took, info = asyncio.run(main())
    assert isinstance(error, orbisyn.TerminalError) and error.code == -10005
    assert 0.95 <= took < 1.5
    assert info.login > 0
