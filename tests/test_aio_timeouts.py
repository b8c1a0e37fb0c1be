"""orbisyn.aio against a Terminal that stops answering: a call's own timeout, the calls queued
behind one whose awaiter gave up, leaving the session, Ctrl-C and the end of the interpreter
never leave a program waiting on the stuck exchange."""
from __future__ import annotations

import asyncio
import os
import signal
import subprocess
import sys
import time

import pytest

import orbisyn
from orbisyn import aio
from support.fake_terminal import TICK, delayed, no_reply, reply, u32

TOTAL = 120
HELD = no_reply(hold=None)


@pytest.fixture
def term(fake_terminal):
    """A fake Terminal that answers the handshake and the readiness poll by itself."""
    fake_terminal.auto(build=3000, state=2)
    fake_terminal.sync()
    return fake_terminal


def run(coro, within: float = 20.0):
    """asyncio.run with a bound, so that a call stuck behind another fails the test."""
    async def bounded():
        return await asyncio.wait_for(coro, within)
    return asyncio.run(bounded())


async def timed(awaitable):
    started = time.monotonic()
    try:
        return await awaitable, time.monotonic() - started
    except Exception as e:  # noqa: BLE001  handed back for the test to look at
        return e, time.monotonic() - started


def test_a_call_with_its_own_timeout(term):
    term.script(HELD, delayed(reply(TOTAL, 0, u32(6)), 1.4))

    async def main():
        await aio.initialize(term.exe_path)
        error, took = await timed(aio.account_info(timeout=1))
        after = await timed(aio.positions_total())
        await aio.initialize(term.exe_path)
        return error, took, after, await timed(aio.positions_total())

    error, took, (after, _), (total, slow) = run(main())
    assert isinstance(error, TimeoutError) and isinstance(error, orbisyn.TerminalTimeoutError)
    assert (error.code, error.message, error.function) == (-10005, "IPC timeout", "account_info")
    assert 0.95 <= took < 1.5
    assert isinstance(after, orbisyn.TerminalError) and after.code == -10004  # link closed
    # The limit was this call's: the next one, without, waits 1.4 s for its reply.
    assert total == 6 and slow >= 1.3
    assert orbisyn.get_timeout() is None


@pytest.mark.parametrize("then", ["a call with a limit", "initialize"])
def test_a_call_after_wait_for_gave_up_on_a_stuck_one(term, then):
    term.script(HELD, reply(TOTAL, 0, u32(9)))

    async def main():
        await aio.initialize(term.exe_path)
        with pytest.raises(asyncio.TimeoutError):
            await asyncio.wait_for(aio.account_info(), 0.3)
        # account_info still waits on the worker, for nobody.
        if then == "initialize":
            _, took = await timed(aio.initialize(term.exe_path))
            return took, None, await aio.positions_total()
        error, took = await timed(aio.positions_total(timeout=1))
        await aio.initialize(term.exe_path)
        return took, error, await aio.positions_total()

    took, error, total = run(main())
    if then == "initialize":
        assert took < 0.5  # it ends the abandoned call at once: it closes the link anyway
    else:
        assert isinstance(error, orbisyn.TerminalTimeoutError) and error.code == -10005
        assert 0.95 <= took < 1.5
    assert total == 9


def test_a_process_wide_limit_ends_an_abandoned_call_for_the_next(term):
    term.script(HELD, reply(TOTAL, 0, u32(2)))
    aio.set_timeout(1)
    try:
        async def main():
            await aio.initialize(term.exe_path)
            with pytest.raises(asyncio.TimeoutError):
                await asyncio.wait_for(aio.account_info(), 0.3)
            error, took = await timed(aio.positions_total())
            await aio.initialize(term.exe_path)
            return error, took, await aio.positions_total()

        error, took, total = run(main())
    finally:
        aio.set_timeout(None)
    # The abandoned call ran out of the limit itself, 1 s after it began.
    assert isinstance(error, orbisyn.TerminalError) and error.code in (-10004, -10005)
    assert took < 1.0
    assert total == 2


@pytest.mark.parametrize("how", ["leaving", "cancelled"])
def test_the_session_ends_a_stuck_call(term, how):
    term.script(HELD)

    async def main():
        stuck = None

        async def body():
            nonlocal stuck
            async with aio.session(term.exe_path):
                stuck = asyncio.create_task(aio.account_info())
                await asyncio.sleep(0.3 if how == "leaving" else 30)

        task = asyncio.create_task(body())
        await asyncio.sleep(0.3)
        started = time.monotonic()
        if how == "cancelled":
            task.cancel()
        with pytest.raises(asyncio.CancelledError) if how == "cancelled" else _nothing():
            await task
        result = await asyncio.gather(stuck, return_exceptions=True)
        took = time.monotonic() - started
        after = await timed(aio.version())
        return took, result[0], after

    took, result, (after, after_took) = run(main())
    assert took < 0.5 if how == "cancelled" else took < 0.8
    assert isinstance(result, orbisyn.TerminalError)
    assert isinstance(after, orbisyn.TerminalError) and after.code == -10004 and after_took < 0.5


class _nothing:
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False


def test_the_tick_stream_ends_when_its_poll_runs_out(term):
    tick = TICK.pack(1_700_000_000, 1.0, 2.0, 0.0, 0, 1_700_000_000_000, 6, 0.0)
    term.script(reply(172, 0, tick), reply(104, 0, u32(0)), HELD)

    async def main():
        await aio.initialize(term.exe_path)
        got = []
        started = time.monotonic()
        async for item in aio.ticks("EURUSD", timeout=1):
            got.append(item)
        return got, time.monotonic() - started

    got, took = run(main())
    assert got == [] and took < 1.5


# ---- whole programs: Ctrl-C and the end of the interpreter ----------------------------------

PROGRAMS = {
    "session": """
async def main():
    async with aio.session(path):
        print("waiting", flush=True)
        await aio.account_info()
""",
    "no session": """
async def main():
    await aio.initialize(path)
    print("waiting", flush=True)
    await aio.account_info()
""",
    "wait_for, then the end": """
async def main():
    await aio.initialize(path)
    print("waiting", flush=True)
    try:
        await asyncio.wait_for(aio.account_info(), 0.5)
    except asyncio.TimeoutError:
        print("gave up", flush=True)
""",
}


@pytest.mark.parametrize("program", sorted(PROGRAMS))
def test_a_program_with_a_stuck_call_ends_promptly(term, program):
    term.script(HELD)
    code = "import asyncio, sys\nfrom orbisyn import aio\npath = sys.argv[1]\n" + PROGRAMS[program] + \
        "asyncio.run(main())\n"
    pkg_parent = os.path.dirname(os.path.dirname(orbisyn.__file__))
    env = dict(os.environ, PYTHONPATH=pkg_parent)
    env.pop("PYTEST_CURRENT_TEST", None)
    proc = subprocess.Popen([sys.executable, "-c", code, term.exe_path], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, env=env, stdin=subprocess.DEVNULL)
    try:
        assert proc.stdout.readline() == "waiting\n"
        time.sleep(0.5)
        interrupted = program != "wait_for, then the end"
        if interrupted:
            proc.send_signal(signal.SIGINT)  # once
        sent = time.monotonic()
        out, err = proc.communicate(timeout=10)
        took = time.monotonic() - sent
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()
    assert took < 2.0, err
    assert "Exception ignored" not in err
    if interrupted:
        assert proc.returncode == -signal.SIGINT and "KeyboardInterrupt" in err
    else:
        assert proc.returncode == 0 and out == "gave up\n", err
