"""Waiting the same way live and in a stepped replay: ``sleep`` and ``wait_bar``.

Against a real Terminal, or a simulated one on the wall clock, they wait in wall time and
ask the Terminal only what any Terminal answers. A simulated Terminal in a stepped replay
says so in ``terminal_info().name``; they learn it once per link and only then send it
the replay's own command, which moves its present to the moment they wait for.

Each wait is written once, as a plan: a generator that yields what it needs (a call of
the extension, a pause, a failure) and gets the answers back. The plain functions and the
awaitables of ``orbisyn.aio`` each drive the same plans their own way.
"""
from __future__ import annotations

import functools
import math
import time
from typing import Any, Callable, Dict, Generator, Optional, Tuple, TypeVar, cast

from .codes import Result, Timeframe

# How a simulated Terminal in a stepped replay makes itself known: terminal_info().name ends
# with this. A real Terminal does not call itself simulated, so it never gives it.
STEPPED_REPLAY_NAME = "(simulated, stepped replay)"

SUCCESS = 1
INVALID = -2

# What a plan yields: (CALL, name, args), answered with the result (a failure ends the
# wait with the call's error); (TRY, name, args), answered with the result or None;
# (PAUSE, seconds); (FAIL, code, message); (MODE,), answered True in a stepped replay.
CALL, TRY, PAUSE, FAIL, MODE = "call", "try", "pause", "fail", "mode"

Step = Tuple[Any, ...]
Plan = Generator[Step, Any, Any]

# The link the mode was learnt on, and the mode: forgotten when the link changes.
_mode: Tuple[int, bool] = (-1, False)

# A live wait past a bar's due time polls at first this often, then less and less often.
_POLL_S = 0.02
_POLL_MAX_S = 1.0


def remember_mode(serial: int, info: Any) -> bool:
    global _mode
    stepped = str(getattr(info, "name", "")).endswith(STEPPED_REPLAY_NAME)
    _mode = (serial, stepped)
    return stepped


def known_mode(serial: int) -> Optional[bool]:
    return _mode[1] if _mode[0] == serial else None


def _tf_name(timeframe: int) -> str:
    try:
        return Timeframe(timeframe).name
    except ValueError:
        return f"timeframe {timeframe}"


def _shown(ms: int) -> str:
    import datetime as _dt   # at the call: the package imports without datetime
    return _dt.datetime.fromtimestamp(ms / 1000, _dt.timezone.utc).strftime("%Y-%m-%d %H:%M:%S UTC")


def next_open(open_s: int, timeframe: int) -> Optional[int]:
    """The open time of the bar after the one that opened at open_s (UTC seconds)."""
    unit, count = timeframe >> 14, timeframe & 0x3FFF
    if unit == 0 and 0 < count <= 30:
        return open_s + 60 * count
    if unit == 1 and 0 < count <= 24:
        return open_s + 3600 * count
    if timeframe == Timeframe.W1:
        return open_s + 7 * 86400
    if timeframe == Timeframe.MN1:
        import datetime as _dt
        day = _dt.datetime.fromtimestamp(open_s, _dt.timezone.utc)
        month = day.replace(year=day.year + day.month // 12, month=day.month % 12 + 1, day=1,
                            hour=0, minute=0, second=0)
        return int(month.timestamp())
    return None


def _seconds(value: Any) -> Optional[float]:
    """A non-negative finite number of seconds, or None (a bool is no time)."""
    if isinstance(value, bool):
        return None
    if not isinstance(value, (int, float)):
        try:
            value = float(value.__index__())
        except (AttributeError, TypeError):
            return None
    value = float(value)
    return value if math.isfinite(value) and value >= 0 else None


def bad_argument(name: str) -> Step:
    return (FAIL, INVALID, f'Invalid "{name}" argument')


def argument_error(fn: Callable[..., Any], args: Tuple[Any, ...], kwargs: Dict[str, Any]) -> Optional[str]:
    """Why fn cannot take these arguments, in the words of the extension's functions; None
    when it can. A call refuses its arguments with -2, as every other function does, rather
    than raise."""
    code = fn.__code__
    names = code.co_varnames[:code.co_argcount]
    for key in kwargs:
        if key not in names:
            import difflib   # only on the way to a refusal
            close = difflib.get_close_matches(key, names, 1)
            return f'Unknown "{key}" argument' + (f', did you mean "{close[0]}"?' if close else "")
    if len(args) > len(names):
        return "Invalid number of arguments"
    for name in names[:len(args)]:
        if name in kwargs:
            return f'Invalid arguments: "{name}" given twice'
    required = names[:len(names) - len(fn.__defaults__ or ())]
    for name in required[len(args):]:
        if name not in kwargs:
            return f'Invalid arguments: "{name}" missing'
    return None


def _refused(error: str) -> Plan:
    yield (FAIL, INVALID, error)


F = TypeVar("F", bound=Callable[..., Any])


def refusing(failed: Any) -> Callable[[F], F]:
    """fn, refusing arguments it cannot take with `failed` and last_error() set."""
    def wrap(fn: F) -> F:
        @functools.wraps(fn)
        def call(*args: Any, **kwargs: Any) -> Any:
            error = argument_error(fn, args, kwargs)
            if error is not None:
                return drive(_refused(error), failed)
            return fn(*args, **kwargs)
        return cast(F, call)
    return wrap


def sleep_plan(seconds: Any) -> Plan:
    wait = _seconds(seconds)
    if wait is None:
        yield bad_argument("seconds")
        return False
    stepped = yield (MODE,)
    if not stepped:
        yield (PAUSE, wait)
        return True
    present, _, over = yield (CALL, "_replay_wait", ("", 0, math.ceil(wait * 1000)))
    if over:
        yield (FAIL, Result.REPLAY_OVER, f"the replay is over at {_shown(present)}")
    return True


def wait_bar_plan(symbol: Any, timeframe: Any, timeout: Any) -> Plan:
    if not isinstance(symbol, str):
        yield bad_argument("symbol")
        return None
    try:
        if isinstance(timeframe, bool):
            raise TypeError("a bool is no timeframe")
        timeframe = timeframe.__index__()
    except (AttributeError, TypeError):
        yield bad_argument("timeframe")
        return None
    limit = None if timeout is None else _seconds(timeout)
    if timeout is not None and not limit:
        yield bad_argument("timeout")
        return None
    what = f"{symbol} {_tf_name(timeframe)}"
    stepped = yield (MODE,)
    if stepped:
        wait_ms = -1 if limit is None else math.ceil(limit * 1000)
        present, opened, over = yield (CALL, "_replay_wait", (symbol, timeframe, wait_ms))
        if opened:
            return opened
        if over:
            yield (FAIL, Result.REPLAY_OVER, f"the replay is over at {_shown(present)}: no new {what} bar")
        within = "" if limit is None else f" within {limit:g} s"
        yield (FAIL, Result.WAIT_TIMEOUT, f"no new {what} bar{within}")
        return None
    return (yield from _poll_bar(symbol, timeframe, limit, what))


def _poll_bar(symbol: str, timeframe: int, limit: Optional[float], what: str) -> Plan:
    """Live: wait for a bar newer than the forming one, sleeping until about when it is due
    (as far as the symbol's last tick tells the Terminal's time), then polling."""
    started = time.monotonic()
    deadline = None if limit is None else started + limit
    rates = yield (CALL, "copy_rates_from_pos", (symbol, timeframe, 0, 1))
    last = int(rates["time"][-1]) if len(rates) else None
    due = None if last is None else next_open(last, timeframe)
    first: Optional[Tuple[float, float]] = None   # (wall, Terminal) seconds, for its speed
    overdue_since: Optional[float] = None
    while True:
        now = time.monotonic()
        if deadline is not None and now >= deadline:
            yield (FAIL, Result.WAIT_TIMEOUT, f"no new {what} bar within {limit:g} s")
        gap = 0.0
        tick = yield (TRY, "symbol_info_tick", (symbol,))
        if due is not None and tick is not None and tick.time_msc > 0:
            there = tick.time_msc / 1000
            if first is None:
                first = (now, there)
            # A replay on the wall clock may run faster than it: its seconds per second.
            speed = (there - first[1]) / (now - first[0]) if now - first[0] > 0.5 else 1.0
            gap = (due - there) / max(speed, 1.0)
        if gap > 0:
            overdue_since = None
            pause = min(gap, _POLL_MAX_S)
        else:
            overdue_since = now if overdue_since is None else overdue_since
            pause = min(_POLL_MAX_S, _POLL_S + 0.1 * (now - overdue_since))
        if deadline is not None:
            pause = min(pause, max(deadline - now, 0.0))
        yield (PAUSE, pause)
        rates = yield (CALL, "copy_rates_from_pos", (symbol, timeframe, 0, 1))
        if len(rates) and (last is None or int(rates["time"][-1]) > last):
            return int(rates["time"][-1])


def _core() -> Any:
    import orbisyn._core as core   # at the call: the package imports without its extension
    return core


def _stepped(core: Any) -> Optional[bool]:
    serial = core._link_serial()
    known = known_mode(serial)
    if known is not None:
        return known
    info = core.terminal_info()
    return None if info is None else remember_mode(serial, info)


def drive(plan: Plan, failed: Any) -> Any:
    """Runs a plan with the plain calls: its result, or `failed` with last_error() set."""
    core = _core()
    core._set_error(SUCCESS, "Success")
    answer: Any = None
    try:
        while True:
            step = plan.send(answer)
            kind = step[0]
            if kind == CALL or kind == TRY:
                answer = getattr(core, step[1])(*step[2])
                if answer is None and kind == CALL:
                    return failed
            elif kind == PAUSE:
                time.sleep(step[1])
                answer = None
            elif kind == MODE:
                answer = _stepped(core)
                if answer is None:
                    return failed
            else:
                core._set_error(int(step[1]), step[2])
                return failed
    except StopIteration as done:
        core._set_error(SUCCESS, "Success")
        return done.value
    finally:
        plan.close()


@refusing(False)
def sleep(seconds: float) -> bool:
    """Wait ``seconds``: in wall time live, in replay time in a stepped replay.

    Against a real Terminal, or a simulated Terminal replaying on the wall clock, this is
    ``time.sleep`` (it lets other threads run and Ctrl-C ends it). In a stepped replay
    (``orbisyn-terminal run --replay START --until END --stepped``) the replay's present
    moves ``seconds`` at once: every tick in between is processed in order (pending
    orders, stop loss and take profit, stop-out, swaps), and the call returns as soon as
    that is done. ``time.sleep`` does not move a stepped replay; this does.

    Parameters
    ----------
    seconds : float
        How long to wait, at least 0.

    Returns
    -------
    bool
        True after the wait. False when it could not wait: the replay has reached its end
        (also when it reaches it during this wait), there is no link, or ``seconds`` is
        not a number of seconds; ``last_error()`` says which.

    Failure
    -------
    - ``-10201`` "the replay is over at 2024-05-10 00:00:00 UTC": a strategy's loop
      ``while orbisyn.sleep(60): ...`` ends there by itself.
    - ``-10004`` "No IPC connection": no session.
    - ``-2`` 'Invalid "seconds" argument': negative, infinite or not a number.

    Notes
    -----
    Whether the Terminal is in a stepped replay is learnt from ``terminal_info()`` once
    per session; a real Terminal is never sent anything it does not know.

    Examples
    --------
    >>> orbisyn.initialize()
    True
    >>> orbisyn.sleep(0.01)
    True
    >>> orbisyn.sleep(-1), orbisyn.last_error()
    (False, (-2, 'Invalid "seconds" argument'))
    """
    return bool(drive(sleep_plan(seconds), False))


@refusing(None)
def wait_bar(symbol: str, timeframe: int, timeout: Optional[float] = None) -> Optional[int]:
    """Wait until a new bar of ``symbol`` opens on ``timeframe``; return its open time.

    A strategy that acts on closed bars waits for the next one with this, live and in a
    replay alike::

        while (opened := orbisyn.wait_bar("EURUSD", Timeframe.M5)) is not None:
            closes = orbisyn.copy_rates_from_pos("EURUSD", Timeframe.M5, 1, 30)["close"]

    Against a real Terminal, or a simulated one on the wall clock, it sleeps until about
    when the bar is due (as the symbol's last tick tells the Terminal's time) and then
    polls ``copy_rates_from_pos(symbol, timeframe, 0, 1)``. In a stepped replay the
    replay's present moves at once to the first tick of the next bar, processing every
    tick in between in order; the strategy sees every bar.

    Parameters
    ----------
    symbol : str
        The symbol whose bars to wait for.
    timeframe : int
        A ``Timeframe``, e.g. ``Timeframe.M5``.
    timeout : float, optional
        The longest wait in seconds: wall seconds live, replay seconds in a stepped
        replay. None (the default): no limit.

    Returns
    -------
    int or None
        The open time of the new bar, in seconds since 1970 (the Terminal's time), or
        None with ``last_error()`` set.

    Failure
    -------
    - ``-10200`` "no new EURUSD M5 bar within 5 s": the timeout passed first.
    - ``-10201`` "the replay is over at 2024-05-10 00:00:00 UTC: no new EURUSD M5 bar": the
      replay has reached its end, so a strategy's loop ends by itself.
    - ``-4`` "Terminal: Not found": an unknown symbol; ``-2`` "Terminal: Invalid params":
      an unknown timeframe.
    - ``-10004`` "No IPC connection": no session.
    - ``-2`` 'Invalid "timeout" argument': the timeout is not a positive number of
      seconds (likewise for a symbol that is not a str).

    Examples
    --------
    >>> from orbisyn.codes import Timeframe
    >>> orbisyn.initialize()
    True
    >>> orbisyn.wait_bar("EURUSD", Timeframe.M1, timeout=0.05), orbisyn.last_error()[0]
    (None, -10200)
    """
    return cast(Optional[int], drive(wait_bar_plan(symbol, timeframe, timeout), None))
