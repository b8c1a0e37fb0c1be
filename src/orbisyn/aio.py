"""Awaitable calls of the Terminal for asyncio programs.

Every module function of ``orbisyn`` except ``last_error`` has an awaitable counterpart here,
with the same name and arguments::

    from orbisyn import aio

    async with aio.session():
        rates = await aio.copy_rates_from("EURUSD", Timeframe.H1, now, 500)
        async for symbol, tick in aio.ticks(["BTCUSD", "ETHUSD"]):
            ...

The calls run one after the other on one worker thread of the process (the session takes
one exchange at a time anyway), so awaiting never blocks the event loop. The error state,
which belongs to the thread that made the call, is read on that thread right after each
call: a failed call raises ``TerminalError`` with the ``code`` and ``message`` that
``last_error()`` gave; a successful one returns what the plain function returns.

Time limits: each call takes ``timeout=`` (seconds), the limit of ``set_timeout`` for its own
exchange (``initialize`` and ``login`` keep their own ``timeout``, in milliseconds); without
it the process-wide limit applies. A call that runs out raises ``TerminalTimeoutError``, a
``TerminalError`` (-10005) that is also a ``TimeoutError``, and the link is closed.
``set_timeout`` and ``get_timeout`` are the plain functions.

``sleep`` and ``wait_bar`` wait as the plain ones do (in wall time live, in replay time in a
stepped replay) without blocking the event loop: a live wait sleeps with ``asyncio.sleep``
between its polls; a stepped replay's step runs on the worker. Their ``timeout`` is
``wait_bar``'s own (how long to wait for the bar), not a limit on an exchange.

Cancelling a task that awaits a call never cuts an exchange in the middle, which would put
the link out of step: a call that has started completes on the worker and its result is
dropped; a call still queued behind others is not made at all. Cancelling ``order_send``
therefore leaves it open whether the order went out: look at the orders and positions. A
cancelled call that is still waiting on the Terminal holds up the calls behind it only as
long as their time limit: then it is ended (the link is closed) and the waiting call raises
``TerminalTimeoutError``; ``initialize`` and ``shutdown`` end it at once. Leaving
``session()``, cancelling the task inside it, and the end of the interpreter end a waiting
call at once, as ``shutdown()`` from another thread does.
"""
from __future__ import annotations

import asyncio
import atexit
import collections
import contextlib
import functools
import inspect
import math
import os
import threading
import time
from typing import (Any, AsyncIterator, Callable, Deque, Dict, Iterable, List, Optional, Tuple,
                    TypeVar, Union, cast)

import numpy as np

from . import _core
from . import _waits
from ._docs import aio_doc
from ._params import params
from .errors import TerminalError, TerminalTimeoutError

__all__ = ["TerminalError", "TerminalTimeoutError", "session", "ticks", "set_timeout",
           "get_timeout", "params", "sleep", "wait_bar"]

set_timeout = _core.set_timeout
get_timeout = _core.get_timeout

_SUCCESS = 1
_NO_CONNECTION = -10004
_TIMEOUT = -10005


class _Job:
    """One call for the worker. ``state`` (guarded by the worker's lock) goes from "queued"
    to "running" and "done", or to "dropped" when it will never run."""

    __slots__ = ("fut", "fn", "args", "limit", "name", "state", "queued_at", "abandoned_at")

    def __init__(self, fut: "Optional[asyncio.Future[Any]]", fn: Callable[..., Any],
                 args: Tuple[Any, ...], limit: Optional[float], name: str) -> None:
        self.fut = fut
        self.fn = fn
        self.args = args
        self.limit = limit  # seconds for this call's exchanges; None: the process-wide limit
        self.name = name
        self.state = "queued"
        self.queued_at = time.monotonic()
        self.abandoned_at: Optional[float] = None  # when its awaiter stopped waiting, running


class _Worker:
    """The one thread that makes the calls, in the order they were queued."""

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.ready = threading.Condition(self.lock)
        self.queue: Deque[_Job] = collections.deque()
        self.current: Optional[_Job] = None
        self.stopping = False
        # A daemon, stopped by an exit handler (see _stop_worker): a non-daemon thread
        # waiting for jobs would keep the interpreter from exiting.
        self.thread = threading.Thread(target=self._run, name="orbisyn-aio", daemon=True)
        self.thread.start()

    def _next(self) -> Optional[_Job]:
        with self.lock:
            while True:
                while not self.queue and not self.stopping:
                    self.ready.wait()
                if not self.queue:
                    return None
                job = self.queue.popleft()
                if job.state != "queued" or (job.fut is not None and job.fut.cancelled()):
                    job.state = "dropped"  # cancelled or out of time while queued: never made
                    continue
                job.state = "running"
                self.current = job
                return job

    def _run(self) -> None:
        while True:
            job = self._next()
            if job is None:
                return
            try:
                if job.limit is not None:
                    _core._set_thread_timeout(job.limit)
                try:
                    result, error = job.fn(*job.args), None
                finally:
                    if job.limit is not None:
                        _core._set_thread_timeout(None)
            except BaseException as e:  # handed to the awaiting task
                result, error = None, e
            with self.lock:
                job.state = "done"
                self.current = None
            if job.fut is not None:
                try:
                    job.fut.get_loop().call_soon_threadsafe(_settle, job.fut, result, error)
                except RuntimeError:
                    pass  # that loop is closed: nobody waits for the result

    def submit(self, job: _Job) -> None:
        with self.lock:
            self.queue.append(job)
            self.ready.notify()

    def stop(self) -> bool:
        """Lets the thread end after its current job; True when a job is running."""
        with self.lock:
            self.stopping = True
            self.ready.notify()
            return self.current is not None

    def running_abandoned(self) -> Optional[_Job]:
        """The running job when nobody waits for it any more."""
        with self.lock:
            job = self.current
            return job if job is not None and job.abandoned_at is not None else None

    def abandon(self, job: _Job) -> List[_Job]:
        """job's awaiter stopped waiting. A queued job is dropped; for a running one, the
        queued jobs that now wait behind an abandoned call are returned."""
        with self.lock:
            if job.state == "queued":
                job.state = "dropped"
                return []
            if job.state != "running":
                return []
            job.abandoned_at = time.monotonic()
            return [j for j in self.queue if j.state == "queued" and j.fut is not None]

    def expire(self, job: _Job, limit: float) -> bool:
        """True (and job dropped) when job has waited behind an abandoned running call for
        its whole limit; otherwise it is looked at again when that may have changed."""
        with self.lock:
            if job.state != "queued":
                return False
            running = self.current
            if running is None or running.abandoned_at is None:
                return False  # a call someone waits for: its own limit applies
            since = max(job.queued_at, running.abandoned_at)
            left = since + limit - time.monotonic()
            if left > 0:
                _look_again(job, left)
                return False
            job.state = "dropped"
            return True


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
    if fut.done():
        return  # the call completed for nobody
    if error is not None:
        fut.set_exception(error)
    else:
        fut.set_result(result)


def _queue_limit(job: _Job) -> Optional[float]:
    return job.limit if job.limit is not None else _core.get_timeout()


def _look_again(job: _Job, delay: float) -> None:
    """Checks job's wait in the queue after delay seconds, on the loop that awaits it."""
    assert job.fut is not None
    try:
        job.fut.get_loop().call_soon_threadsafe(job.fut.get_loop().call_later, delay,
                                                _check_queued, job)
    except RuntimeError:
        pass  # its loop is closed


def _check_queued(job: _Job) -> None:
    # On the job's loop: a call stuck behind an abandoned one for its whole limit ends that
    # one, as its own time limit would have, and fails without being made.
    limit = _queue_limit(job)
    worker = _worker
    if limit is None or worker is None or not worker.expire(job, limit):
        return
    _core.shutdown()
    if job.fut is not None and not job.fut.done():
        job.fut.set_exception(TerminalTimeoutError(_TIMEOUT, "IPC timeout", job.name))


def _check_limit(timeout: Optional[float]) -> None:
    if timeout is None:
        return
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
        raise TypeError(f"timeout must be a number of seconds or None, not {type(timeout).__name__}")
    if not (timeout > 0 and math.isfinite(timeout)):
        raise ValueError("timeout must be a positive number of seconds or None")


async def _run(fn: Callable[..., Any], *args: Any, limit: Optional[float] = None,
               name: str = "") -> Any:
    """fn(*args) on the worker, its exchanges limited by limit (seconds; None: the
    process-wide limit); returns what fn returns."""
    worker = _the_worker()
    fut = asyncio.get_running_loop().create_future()
    job = _Job(fut, fn, args, limit, name)
    if name in ("initialize", "shutdown") and worker.running_abandoned() is not None:
        _core.shutdown()  # both close the link anyway: don't wait for a call nobody wants
    elif worker.running_abandoned() is not None:
        queue_limit = _queue_limit(job)
        if queue_limit is not None:
            _look_again(job, queue_limit)
    worker.submit(job)
    try:
        return await fut
    except asyncio.CancelledError:
        for waiting in worker.abandon(job):
            queue_limit = _queue_limit(waiting)
            if queue_limit is not None:
                _look_again(waiting, queue_limit)
        raise


@atexit.register
def _stop_worker() -> None:
    # Nobody can take a result any more: a call that still waits on the Terminal is ended
    # (as by shutdown() from another thread), and the worker gets about a second.
    worker = _worker
    if worker is None or not worker.thread.is_alive():
        return
    try:
        if worker.stop():
            _core.shutdown()
        worker.thread.join(1.0)
    except BaseException:  # noqa: BLE001  another Ctrl-C while leaving: leave quietly
        pass


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
    if code == _TIMEOUT:
        return TerminalTimeoutError(code, message, name)
    if code != _SUCCESS:
        return TerminalError(code, message, name)
    return result


async def _call(name: str, args: Tuple[Any, ...], kwargs: Dict[str, Any],
                limit: Optional[float] = None) -> Any:
    result = await _run(_exchange, name, args, kwargs, limit=limit, name=name)
    if isinstance(result, TerminalError):
        raise result
    return result


_OWN_TIMEOUT = ("initialize", "login")  # their timeout is the plain function's, in ms


def _awaitable(name: str) -> Callable[..., Any]:
    fn = getattr(_core, name)
    if name in _OWN_TIMEOUT:
        async def call(*args: Any, **kwargs: Any) -> Any:
            return await _call(name, args, kwargs)
    else:
        async def call(*args: Any, timeout: Optional[float] = None, **kwargs: Any) -> Any:
            _check_limit(timeout)
            return await _call(name, args, kwargs, timeout)

    call.__name__ = call.__qualname__ = name
    call.__module__ = __name__
    call.__doc__ = aio_doc(name, fn.__doc__ or name)
    try:  # the plain function's signature, for help() and inspect
        sig = inspect.signature(fn)
        if name not in _OWN_TIMEOUT:
            params = list(sig.parameters.values())
            extra = inspect.Parameter("timeout", inspect.Parameter.KEYWORD_ONLY, default=None)
            at = next((i for i, p in enumerate(params) if p.kind == p.VAR_KEYWORD), len(params))
            sig = sig.replace(parameters=params[:at] + [extra] + params[at:])
        call.__signature__ = sig  # type: ignore[attr-defined]
    except (TypeError, ValueError):
        pass
    return call


_SETTINGS = ("set_timeout", "get_timeout")


def _function_names() -> List[str]:
    return sorted(n for n in dir(_core)
                  if not n.startswith("_") and n != "last_error" and n not in _SETTINGS
                  and callable(getattr(_core, n)) and not isinstance(getattr(_core, n), type))


for _name in _function_names():
    globals()[_name] = _awaitable(_name)
    __all__.append(_name)
del _name


@contextlib.asynccontextmanager
async def session(path: Optional[str] = None, **kwargs: Any) -> AsyncIterator[None]:
    """Initialize on entry (``initialize(path, **kwargs)``, raising ``TerminalError`` when it
    fails) and shut down on exit, also when the body raises or is cancelled: a call still
    waiting on the Terminal then ends at once."""
    args = () if path is None else (path,)
    try:
        await _call("initialize", args, kwargs)
    except asyncio.CancelledError:
        # An initialize that has started ends at once; one still queued is never made.
        _core.shutdown()
        raise
    except TerminalError:
        # A link whose handshake failed stays open: don't leave it behind.
        _core.shutdown()
        raise
    try:
        yield
    finally:
        # Directly, not queued behind the worker's call: shutdown() from this thread ends a
        # call that waits on the Terminal, and needs no await that a cancellation could cut.
        _core.shutdown()


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


async def ticks(symbols: Union[str, Iterable[str]], interval: float = 0.1, *,
                timeout: Optional[float] = None) -> AsyncIterator[Tuple[str, _core.Tick]]:
    """Every new tick of the given symbols as ``(symbol, Tick)``, from the ticks after each
    symbol's last tick when the stream starts.

    The ticks of one symbol come in time order, none twice and none skipped: each poll reads
    ``copy_ticks_from`` from the last tick given, so a consumer that falls behind catches up
    instead of losing ticks; ticks found by one poll come in time order across the symbols.
    ``interval`` is the pause in seconds between polls that found nothing new; ``timeout``
    limits each poll's exchanges as it does for a call. The stream ends when the session
    closes (a call reports -10004, "No IPC connection"), also by running out of time
    (-10005); other failures, and a session that is not open when the stream starts, raise
    ``TerminalError``."""
    names = [symbols] if isinstance(symbols, str) else list(symbols)
    if not names or not all(isinstance(s, str) for s in names):
        raise TypeError("ticks() needs a symbol name or an iterable of symbol names")
    if not isinstance(interval, (int, float)) or not interval > 0:
        raise ValueError(f"interval must be a positive number of seconds, not {interval!r}")
    _check_limit(timeout)
    names = list(dict.fromkeys(names))
    started = await _run(_start, names, limit=timeout)
    for item in started:
        if isinstance(item, TerminalError):
            raise item
    cursors: List[_Cursor] = [c for c in started if isinstance(c, _Cursor)]

    while True:
        batches = await _run(_read_batches, cursors, limit=timeout)
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
            if failure.code in (_NO_CONNECTION, _TIMEOUT):
                return
            raise failure
        if not more:
            await asyncio.sleep(interval)


async def _stepped() -> bool:
    serial = _core._link_serial()
    known = _waits.known_mode(serial)
    if known is not None:
        return known
    info = await _call("terminal_info", (), {})
    return _waits.remember_mode(serial, info)


async def _drive(plan: _waits.Plan, name: str) -> Any:
    """Runs a wait's plan (see orbisyn._waits) with awaitable calls and pauses."""
    answer: Any = None
    try:
        while True:
            try:
                step = plan.send(answer)
            except StopIteration as done:
                return done.value
            kind = step[0]
            if kind in (_waits.CALL, _waits.TRY):
                try:
                    answer = await _call(step[1], step[2], {})
                except TerminalError as e:
                    if kind == _waits.TRY:
                        answer = None
                        continue
                    raise type(e)(e.code, e.message, name) from None
            elif kind == _waits.PAUSE:
                await asyncio.sleep(step[1])
                answer = None
            elif kind == _waits.MODE:
                try:
                    answer = await _stepped()
                except TerminalError as e:
                    raise type(e)(e.code, e.message, name) from None
            else:
                raise TerminalError(int(step[1]), step[2], name)
    finally:
        plan.close()


_F = TypeVar("_F", bound=Callable[..., Any])


def _refusing(fn: _F) -> _F:
    """fn, raising TerminalError (-2) for arguments it cannot take, as the other awaitables do."""
    @functools.wraps(fn)
    async def call(*args: Any, **kwargs: Any) -> Any:
        error = _waits.argument_error(fn, args, kwargs)
        if error is not None:
            raise TerminalError(_waits.INVALID, error, fn.__name__)
        return await fn(*args, **kwargs)
    return cast(_F, call)


@_refusing
async def sleep(seconds: float) -> bool:
    """Wait ``seconds``: in wall time live, in replay time in a stepped replay.

    Awaitable `orbisyn.sleep`: live it is ``asyncio.sleep``; in a stepped replay the
    replay's present moves at once (the step runs on the worker thread), processing every
    tick in between. Returns True; raises `orbisyn.TerminalError` where `orbisyn.sleep`
    returns False: code -10201 once the replay has reached its end (also when it reaches it
    during this wait), -10004 without a session, -2 for a bad ``seconds``.
    """
    return bool(await _drive(_waits.sleep_plan(seconds), "sleep"))


@_refusing
async def wait_bar(symbol: str, timeframe: int, timeout: Optional[float] = None) -> int:
    """Wait until a new bar of ``symbol`` opens on ``timeframe``; return its open time.

    Awaitable `orbisyn.wait_bar`: live it polls with awaitable calls and ``asyncio.sleep``
    between them; in a stepped replay the present moves at once to the first tick of the
    next bar (the step runs on the worker thread). ``timeout`` is the longest wait in
    seconds (wall seconds live, replay seconds in a stepped replay; None: no limit).
    Returns the bar's open time in seconds; raises `orbisyn.TerminalError` where
    `orbisyn.wait_bar` returns None: code -10200 when the timeout passed first, -10201
    once the replay has reached its end, the Terminal's code for an unknown symbol (-4) or
    timeframe (-2), -10004 without a session.
    """
    return int(await _drive(_waits.wait_bar_plan(symbol, timeframe, timeout), "wait_bar"))
