"""orbisyn.aio against the simulated Terminal: concurrent awaits, errors that belong to their
call, the session context and the tick stream; its cursor against a scripted tick history;
fork. (Cancellation, which needs a reply that takes its time, is in tests/test_aio.py.)"""
from __future__ import annotations

import asyncio
import datetime as dt
import multiprocessing
import random
import time

import numpy as np
import pytest

import orbisyn
from orbisyn import aio

H1, M1, M5 = 16385, 1, 5
T0 = int(dt.datetime(2024, 3, 12, 9, tzinfo=dt.timezone.utc).timestamp())  # a Tuesday
SYMBOLS = ["EURUSD", "GBPUSD", "USDJPY", "XAUUSD", "BTCUSD", "ETHUSD"]
# Crypto trades at weekends too; the others add ticks on weekdays.
STREAMED = ["BTCUSD", "ETHUSD", "LTCUSD", "EURUSD", "USDJPY", "XAUUSD"]


@pytest.fixture
def exe(shared_sim, monkeypatch):
    """The module's running Terminal (the autouse fixture gave this test other folders)."""
    res, _ = shared_sim
    for key, value in res["env"].items():
        monkeypatch.setenv(key, value)
    return res["exe"]


def plain(name, *args, **kwargs):
    """The plain call and the error state right after it."""
    result = getattr(orbisyn, name)(*args, **kwargs)
    return result, orbisyn.last_error()


def same(a, b) -> bool:
    if isinstance(a, np.ndarray):
        return isinstance(b, np.ndarray) and a.dtype == b.dtype and a.tobytes() == b.tobytes()
    if isinstance(a, orbisyn.SymbolInfo):  # its prices and session figures move
        static = ("name", "digits", "point", "currency_base", "description")
        return type(b) is type(a) and [getattr(a, f) for f in static] == [getattr(b, f) for f in static]
    return a == b


def calls(n: int):
    """n deterministic calls over several symbols (past data only), some of them large."""
    out = []
    for i in range(n):
        s = SYMBOLS[i % len(SYMBOLS)]
        out.append([
            ("copy_rates_range", (s, M1, T0 - 86400 * i, T0 - 86400 * i + 5 * 86400), {}),
            ("copy_rates_from", (s, H1, T0 + 86400 * i, 300 + i), {}),
            ("copy_ticks_range", (s, T0 - 3600 * i, T0 - 3600 * i + 86400, -1), {}),
            ("symbol_info", (s,), {}),
            ("copy_ticks_from", (s, T0 + 600 * i, 100 + i, -1), {}),
        ][i % 5])
    return out


def test_concurrent_awaits_are_answered_while_the_loop_runs(exe):
    todo = calls(50)
    assert orbisyn.initialize(exe), orbisyn.last_error()
    expected = [plain(name, *a, **k)[0] for name, a, k in todo]
    orbisyn.shutdown()
    assert all(e is not None for e in expected)

    async def main():
        gaps, stop = [], asyncio.Event()

        async def ticker():
            last = time.monotonic()
            while not stop.is_set():
                await asyncio.sleep(0.002)
                now = time.monotonic()
                gaps.append(now - last)
                last = now

        async with aio.session(exe):
            clock = asyncio.create_task(ticker())
            got = await asyncio.gather(*(getattr(aio, name)(*a, **k) for name, a, k in todo))
            stop.set()
            await clock
        return got, gaps

    got, gaps = asyncio.run(main())
    assert [i for i, (g, e) in enumerate(zip(got, expected)) if not same(g, e)] == []
    # The ticker ran while the calls were in flight (how often depends on how fast the
    # Terminal answers), and never waited 50 ms for the loop.
    assert len(gaps) >= 5 and max(gaps) < 0.05, (len(gaps), max(gaps))


FAILING = [
    ("symbol_info", ("NOSUCH",), {}),
    ("copy_rates_from", ("EURUSD", H1, "yesterday", 10), {}),
    ("login", (), {}),
    ("symbols_get", (), {"group": None}),
    ("order_calc_margin", (0, "NOSUCH", 1.0, 1.0), {}),
    ("copy_ticks_from", ("X" * 30, T0, 10, -1), {}),
    ("market_book_add", ("NOSUCH",), {}),
    ("initialize", ("a", "b"), {}),
]
SUCCEEDING = [("symbol_info_tick", ("BTCUSD",), {}), ("positions_total", (), {}),
              ("copy_rates_from", ("EURUSD", H1, T0, 5), {})]


def test_each_failure_raises_the_error_of_its_own_call(exe):
    assert orbisyn.initialize(exe), orbisyn.last_error()
    expected = {}
    for name, a, k in FAILING:
        result, error = plain(name, *a, **k)
        assert error[0] != 1, name
        expected[name, a] = error
    orbisyn.shutdown()
    # initialize's argument failure closes the link: keep it for last.
    todo = (FAILING[:-1] + SUCCEEDING) * 6
    random.Random(7).shuffle(todo)

    async def main():
        async with aio.session(exe):
            return await asyncio.gather(*(getattr(aio, name)(*a, **k) for name, a, k in todo),
                                        return_exceptions=True)

    results = asyncio.run(main())
    for (name, a, k), got in zip(todo, results):
        if (name, a) in expected:
            assert isinstance(got, orbisyn.TerminalError), (name, got)
            assert (got.code, got.message, got.function) == (*expected[name, a], name)
        else:
            assert not isinstance(got, BaseException), (name, got)

    async def closes():
        async with aio.session(exe):
            with pytest.raises(orbisyn.TerminalError) as e:
                await aio.initialize("a", "b")
            assert (e.value.code, e.value.message) == expected["initialize", ("a", "b")]
            with pytest.raises(orbisyn.TerminalError) as e:
                await aio.positions_total()
            assert e.value.code == -10004

    asyncio.run(closes())


@pytest.mark.parametrize("how", ["body raises", "cancelled"])
def test_session_shuts_down_on_exit(exe, how):
    async def main():
        async def body():
            async with aio.session(exe):
                assert (await aio.version())[0] > 0
                if how == "body raises":
                    raise KeyError("body")
                await asyncio.sleep(30)

        task = asyncio.create_task(body())
        await asyncio.sleep(0.3)
        task.cancel()
        with pytest.raises(KeyError if how == "body raises" else asyncio.CancelledError):
            await task
        with pytest.raises(orbisyn.TerminalError) as e:
            await aio.version()
        return e.value.code

    assert asyncio.run(main()) == -10004


def test_session_raises_when_initialize_fails(exe):
    async def main():
        with pytest.raises(orbisyn.TerminalError) as e:
            async with aio.session(exe, timeout=-1):
                pytest.fail("entered")
        return e.value

    err = asyncio.run(main())
    assert (err.code, err.message, err.function) == (-2, 'Invalid "timeout" argument', "initialize")


def test_the_tick_stream_is_the_history_without_gaps_or_repeats(exe):
    async def main():
        got = []

        async def consume():
            slept = False
            async for symbol, tick in aio.ticks(STREAMED, interval=0.05):
                got.append((symbol, tick))
                if not slept:  # a slow consumer: must catch up, not lose ticks
                    slept = True
                    await asyncio.sleep(2.0)

        async with aio.session(exe):
            stream = asyncio.create_task(consume())
            started = time.monotonic()
            while time.monotonic() - started < 30 and (time.monotonic() - started < 6 or len(got) < 4):
                await asyncio.sleep(0.2)
            assert not stream.done()
        # The session closed: the stream ends by itself, without an error.
        await asyncio.wait_for(stream, 5)
        return got

    got = asyncio.run(main())
    assert len(got) >= 4
    assert all(isinstance(t, orbisyn.Tick) for _, t in got)
    assert orbisyn.initialize(exe), orbisyn.last_error()
    for symbol in {s for s, _ in got}:
        mine = [t for s, t in got if s == symbol]
        times = [t.time_msc for t in mine]
        assert all(a < b for a, b in zip(times, times[1:])), symbol
        history = orbisyn.copy_ticks_range(symbol, times[0] // 1000, times[-1] // 1000 + 1, -1)
        history = history[(history["time_msc"] >= times[0]) & (history["time_msc"] <= times[-1])]
        assert [tuple(t) for t in mine] == history.tolist(), symbol


def test_the_tick_stream_refuses_bad_arguments_and_a_closed_session(exe):
    async def first(*args, **kwargs):
        async for item in aio.ticks(*args, **kwargs):
            return item

    for args, kwargs, error in [((["BTCUSD", 3],), {}, TypeError), (([],), {}, TypeError),
                                (("BTCUSD",), {"interval": 0}, ValueError)]:
        with pytest.raises(error):
            asyncio.run(first(*args, **kwargs))
    with pytest.raises(orbisyn.TerminalError) as e:
        asyncio.run(first("BTCUSD"))
    assert e.value.code == -10004

    async def unknown():
        async with aio.session(exe):
            return await first(["BTCUSD", "NOSUCH"])

    with pytest.raises(orbisyn.TerminalError) as e:
        asyncio.run(unknown())
    assert (e.value.code, e.value.function) == (-4, "symbol_info_tick")


class ScriptedCore:
    """Stands in for the extension under the stream: a tick history revealed a little more at
    every call, with several ticks per millisecond and bursts larger than one batch."""

    def __init__(self, history: np.ndarray, reveal: list[int]):
        self.history, self.reveal, self.calls = history, reveal, 0
        self.Tick = orbisyn.Tick
        self.error = (1, "Success")

    def visible(self) -> np.ndarray:
        k = self.reveal[min(self.calls, len(self.reveal) - 1)]
        return self.history[:k]

    def last_error(self):
        return self.error

    def symbol_info_tick(self, symbol):
        self.calls += 1
        return orbisyn.Tick(self.visible()[-1].tolist())

    def copy_ticks_from(self, symbol, date_from, count, flags):
        self.calls += 1
        if self.calls > len(self.reveal):
            self.error = (-10004, "No IPC connection")
            return None
        t = self.visible()
        return t[t["time_msc"] >= date_from * 1000][:count].copy()


def scripted_history(rng: np.random.Generator, n: int) -> np.ndarray:
    sample = np.zeros(0, dtype=[("time", "<i8"), ("bid", "<f8"), ("ask", "<f8"), ("last", "<f8"),
                                ("volume", "<u8"), ("time_msc", "<i8"), ("flags", "<u4"),
                                ("volume_real", "<f8")])
    msc = 1_700_000_000_000 + np.cumsum(rng.choice([0, 0, 0, 1, 7, 400, 1500], size=n))
    msc[n // 2: n // 2 + 40] = msc[n // 2]  # a burst of one millisecond, longer than a batch
    msc = np.maximum.accumulate(msc)
    h = np.zeros(n, dtype=sample.dtype)
    h["time_msc"], h["time"], h["bid"] = msc, msc // 1000, np.arange(n)
    return h


@pytest.mark.parametrize("seed", range(4))
def test_the_stream_cursor_gives_every_tick_once_across_shared_milliseconds(monkeypatch, seed):
    rng = np.random.default_rng(seed)
    history = scripted_history(rng, 400)
    start = int(rng.integers(5, 50))
    # The stream starts on the first `start` ticks; then more show up at every call, and the
    # last ones stay long enough to be read in batches of 8.
    reveal = ([start] * 8 + sorted(rng.integers(start, len(history), size=60).tolist())
              + [len(history)] * 200)
    monkeypatch.setattr(aio, "_core", ScriptedCore(history, reveal))
    monkeypatch.setattr(aio, "_BATCH", 8)

    async def main():
        return [t async for _, t in aio.ticks("X", interval=0.001)]

    got = asyncio.run(main())
    assert [t.bid for t in got] == history["bid"][start:].tolist()


def _child(exe, queue):
    async def main():
        async with aio.session(exe):
            return (await aio.symbol_info("EURUSD")).name

    queue.put(asyncio.run(main()))


def test_a_forked_child_gets_its_own_worker(exe):
    async def parent():
        async with aio.session(exe):
            return await aio.positions_total()

    assert asyncio.run(parent()) is not None  # the parent's worker exists
    ctx = multiprocessing.get_context("fork")
    queue = ctx.Queue()
    child = ctx.Process(target=_child, args=(exe, queue))
    child.start()
    child.join(30)
    if child.is_alive():
        child.kill()
        pytest.fail("the child's calls never ran")
    assert child.exitcode == 0 and queue.get(timeout=5) == "EURUSD"
