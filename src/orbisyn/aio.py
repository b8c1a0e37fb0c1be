"""Awaitable calls of the Terminal for asyncio programs.

Every module function of ``orbisyn`` except ``last_error`` has an awaitable counterpart here,
with the same name and arguments::

    from orbisyn import aio

    async with aio.session():
        rates = await aio.copy_rates_from("EURUSD", Timeframe.H1, now, 500)
        async for symbol, tick in aio.ticks(["BTCUSD", "ETHUSD"]):
            ...

The calls run one after the other on one worker thread of the process (the session takes
one exchange at a time anyway), so awaiting never blocks the event loop. The error state is
read on that thread right after each call, so it belongs to that call: a failed call raises
``TerminalError`` with the ``code`` and ``message`` that ``last_error()`` gave; a successful
one returns what the plain function returns. (Calls that other threads of the process make
through the plain functions at the same time can still replace the error state in between:
in an asyncio program, make every call through this module.)

Cancelling a task that awaits a call never cuts an exchange in the middle, which would put
the link out of step: a call that has started completes on the worker and its result is
dropped; a call still queued behind others is not made at all. Cancelling ``order_send``
therefore leaves it open whether the order went out: look at the orders and positions.
"""
from __future__ import annotations

import asyncio
import atexit
import contextlib
import inspect
import os
import queue
import threading
import time
from typing import Any, AsyncIterator, Callable, Dict, Iterable, List, Optional, Tuple, Union

import numpy as np

from . import _core
from ._docs import aio_doc
from .errors import TerminalError

__all__ = ["TerminalError", "session", "ticks"]

_SUCCESS = 1
_NO_CONNECTION = -10004

class _Worker:
    """The one thread that makes the calls, in the order they were queued."""

    def __init__(self) -> None:
        self.jobs: "queue.SimpleQueue[Optional[_Job]]" = queue.SimpleQueue()
        # A daemon, stopped by an exit handler (see _stop_worker): a non-daemon thread
        # waiting for jobs would keep the interpreter from exiting.
        self.thread = threading.Thread(target=self._run, name="orbisyn-aio", daemon=True)
        self.thread.start()

    def _run(self) -> None:
        get = self.jobs.get
        while True:
            job = get()
            if job is None:
                return
            fut, fn, args = job
            if fut is not None and fut.cancelled():
                continue  # cancelled while queued: never started
            try:
                result, error = fn(*args), None
            except BaseException as e:  # handed to the awaiting task
                result, error = None, e
            if fut is not None:
                try:
                    fut.get_loop().call_soon_threadsafe(_settle, fut, result, error)
                except RuntimeError:
                    pass  # that loop is closed: nobody waits for the result

    def submit(self, fut: "Optional[asyncio.Future[Any]]", fn: Callable[..., Any], *args: Any) -> None:
        self.jobs.put((fut, fn, args))


_Job = Tuple["Optional[asyncio.Future[Any]]", Callable[..., Any], Tuple[Any, ...]]
_worker: Optional[_Worker] = None
_worker_lock = threading.Lock()


def _the_worker() -> _Worker:
    global _worker
    worker = _worker
    if worker is None:
        with _worker_lock:
            if _worker is None:
                _worker = _Worker()
            worker = _worker
    return worker


def _settle(fut: "asyncio.Future[Any]", result: Any, error: Optional[BaseException]) -> None:
    if fut.cancelled():
        return  # the call completed for nobody
    if error is not None:
        fut.set_exception(error)
    else:
        fut.set_result(result)


def _run(fn: Callable[..., Any], *args: Any) -> "asyncio.Future[Any]":
    """fn(*args) on the worker, as a future of the running loop."""
    fut = asyncio.get_running_loop().create_future()
    _the_worker().submit(fut, fn, *args)
    return fut


@atexit.register
def _stop_worker() -> None:
    # Lets a call in progress finish before the interpreter goes away.
    worker = _worker
    if worker is not None:
        worker.jobs.put(None)
        worker.thread.join()


def _forget_worker() -> None:
    # A forked child has no copy of the worker thread (nor a usable copy of its lock).
    global _worker, _worker_lock
    _worker = None
    _worker_lock = threading.Lock()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_forget_worker)


def _exchange(name: str, args: Tuple[Any, ...], kwargs: Dict[str, Any]) -> Any:
    # On the worker: the error state is read before any other aio call can run.
    result = getattr(_core, name)(*args, **kwargs)
    code, message = _core.last_error()
    if code != _SUCCESS:
        return TerminalError(code, message, name)
    return result


async def _call(name: str, args: Tuple[Any, ...], kwargs: Dict[str, Any]) -> Any:
    result = await _run(_exchange, name, args, kwargs)
    if isinstance(result, TerminalError):
        raise result
    return result


def _awaitable(name: str) -> Callable[..., Any]:
    async def call(*args: Any, **kwargs: Any) -> Any:
        return await _call(name, args, kwargs)

    fn = getattr(_core, name)
    call.__name__ = call.__qualname__ = name
    call.__module__ = __name__
    call.__doc__ = aio_doc(name, fn.__doc__ or name)
    try:  # the plain function's signature, for help() and inspect
        call.__signature__ = inspect.signature(fn)  # type: ignore[attr-defined]
    except (TypeError, ValueError):
        pass
    return call


def _function_names() -> List[str]:
    return sorted(n for n in dir(_core)
                  if not n.startswith("_") and n != "last_error"
                  and callable(getattr(_core, n)) and not isinstance(getattr(_core, n), type))


for _name in _function_names():
    globals()[_name] = _awaitable(_name)
    __all__.append(_name)
del _name


@contextlib.asynccontextmanager
async def session(path: Optional[str] = None, **kwargs: Any) -> AsyncIterator[None]:
    """Initialize on entry (``initialize(path, **kwargs)``, raising ``TerminalError`` when it
    fails) and shut down on exit, also when the body raises or is cancelled."""
    args = () if path is None else (path,)
    try:
        await _call("initialize", args, kwargs)
    except asyncio.CancelledError:
        # initialize goes on in the worker; the shutdown queued behind it closes what it opens.
        _the_worker().submit(None, _core.shutdown)
        raise
    except TerminalError:
        # A link whose handshake failed stays open: don't leave it behind.
        await _shutdown_whatever_happens()
        raise
    try:
        yield
    finally:
        await _shutdown_whatever_happens()


async def _shutdown_whatever_happens() -> None:
    # Shielded: a cancelled exit must still close the link.
    await asyncio.shield(_run(_core.shutdown))


_ALL_TICKS = -1
_BATCH = 4096
# Position of time_msc in a Tick (a Tick made of its own field positions tells).
_TIME_MSC: int = _core.Tick(tuple(range(_core.Tick.n_fields))).time_msc


class _Cursor:
    """Where a symbol's stream stands: the ticks up to ``msc`` are given, and of the ticks at
    ``msc`` itself the first ``at_msc`` (several ticks may share one millisecond)."""

    __slots__ = ("symbol", "msc", "at_msc", "count")

    def __init__(self, symbol: str, msc: int, at_msc: int) -> None:
        self.symbol = symbol
        self.msc = msc
        self.at_msc = at_msc
        self.count = _BATCH

    def take_new(self, batch: np.ndarray) -> np.ndarray:
        """The ticks of ``batch`` (time ordered, read from ``msc``'s second) not given yet;
        moves the cursor past them."""
        t = batch["time_msc"]
        first = int(np.searchsorted(t, self.msc, "left"))
        end = int(np.searchsorted(t, self.msc, "right"))
        new = batch[first + min(self.at_msc, end - first):]
        if len(new):
            last = int(t[-1])
            self.at_msc = len(t) - int(np.searchsorted(t, last, "left"))
            self.msc = last
        return new


def _read_batches(cursors: List[_Cursor]) -> List[Union[np.ndarray, TerminalError]]:
    # On the worker, one call per symbol, each paired with its own error state.
    out: List[Union[np.ndarray, TerminalError]] = []
    for c in cursors:
        out.append(_exchange("copy_ticks_from", (c.symbol, c.msc // 1000, c.count, _ALL_TICKS), {}))
    return out


def _start(symbols: List[str]) -> List[Union[_Cursor, TerminalError]]:
    # On the worker: the stream starts after each symbol's last tick (and the ticks that share
    # its millisecond).
    out: List[Union[_Cursor, TerminalError]] = []
    for symbol in symbols:
        last = _exchange("symbol_info_tick", (symbol,), {})
        if isinstance(last, TerminalError):
            out.append(last)
            continue
        msc = last.time_msc if last.time_msc > 0 else int(time.time() * 1000)
        count = _BATCH
        while True:
            batch = _exchange("copy_ticks_from", (symbol, msc // 1000, count, _ALL_TICKS), {})
            if isinstance(batch, TerminalError):
                out.append(batch)
                break
            t = batch["time_msc"]
            if len(t) >= count and t[-1] <= msc:
                count *= 2  # the batch may end before (or within) that millisecond
                continue
            out.append(_Cursor(symbol, msc, int(np.count_nonzero(t == msc))))
            break
    return out


async def ticks(symbols: Union[str, Iterable[str]],
                interval: float = 0.1) -> AsyncIterator[Tuple[str, _core.Tick]]:
    """Every new tick of the given symbols as ``(symbol, Tick)``, from the ticks after each
    symbol's last tick when the stream starts.

    The ticks of one symbol come in time order, none twice and none skipped: each poll reads
    ``copy_ticks_from`` from the last tick given, so a consumer that falls behind catches up
    instead of losing ticks; ticks found by one poll come in time order across the symbols.
    ``interval`` is the pause in seconds between polls that found nothing new. The stream
    ends when the session closes (a call reports -10004, "No IPC connection"); other
    failures, and a session that is not open when the stream starts, raise
    ``TerminalError``."""
    names = [symbols] if isinstance(symbols, str) else list(symbols)
    if not names or not all(isinstance(s, str) for s in names):
        raise TypeError("ticks() needs a symbol name or an iterable of symbol names")
    if not isinstance(interval, (int, float)) or not interval > 0:
        raise ValueError(f"interval must be a positive number of seconds, not {interval!r}")
    names = list(dict.fromkeys(names))
    started = await _run(_start, names)
    for item in started:
        if isinstance(item, TerminalError):
            raise item
    cursors: List[_Cursor] = [c for c in started if isinstance(c, _Cursor)]

    while True:
        batches = await _run(_read_batches, cursors)
        found: List[Tuple[int, int, str, Tuple[Any, ...]]] = []
        more = False
        failure: Optional[TerminalError] = None
        for i, (cursor, batch) in enumerate(zip(cursors, batches)):
            if isinstance(batch, TerminalError):
                failure = failure or batch
                continue
            full = len(batch) >= cursor.count
            new = cursor.take_new(batch)
            if full:
                more = True
                if not len(new):
                    cursor.count *= 2  # a full batch of ticks already given: read further
            elif cursor.count > _BATCH and len(new):
                cursor.count = _BATCH
            # Tick records have the fields of the tick array, in the same order.
            found.extend((row[_TIME_MSC], i, cursor.symbol, row) for row in new.tolist())
        found.sort(key=lambda f: (f[0], f[1]))
        for _, _, symbol, row in found:
            yield symbol, _core.Tick(row)
        if failure is not None:
            if failure.code == _NO_CONNECTION:
                return
            raise failure
        if not more:
            await asyncio.sleep(interval)
