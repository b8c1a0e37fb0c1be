"""Type stubs of orbisyn.aio: the functions of orbisyn._core as coroutines that raise
TerminalError where the plain function returns its failure value."""
from contextlib import AbstractAsyncContextManager
from typing import Any, AsyncIterator, Iterable, Literal, Tuple, overload

import numpy
import numpy.typing as npt
from typing_extensions import Unpack

from ._core import (AccountInfo, BookInfo, OrderCheckResult, OrderSendResult, SymbolInfo,
                    TerminalInfo, Tick, TradeDeal, TradeOrder, TradePosition)
from ._params import params as params
from .errors import TerminalError as TerminalError
from .errors import TerminalTimeoutError as TerminalTimeoutError

from ._core import _Array, _Float, _Int, _Time
from ._request_types import TradeRequestDict

def session(path: str | None = ..., *, login: int = ..., password: str = ..., server: str = ...,
            timeout: int = ..., portable: object = ...) -> AbstractAsyncContextManager[None]:
    """Initialize on entry (``initialize(path, **kwargs)``, raising ``TerminalError`` when it
    fails) and shut down on exit, also when the body raises or is cancelled: a call still
    waiting on the Terminal then ends at once.
    """
def ticks(symbols: str | Iterable[str], interval: float = ..., *,
          timeout: float | None = ...) -> AsyncIterator[Tuple[str, Tick]]:
    """Every new tick of the given symbols as ``(symbol, Tick)``, from the ticks after each
    symbol's last tick when the stream starts.

    The ticks of one symbol come in time order, none twice and none skipped: each poll reads
    ``copy_ticks_from`` from the last tick given, so a consumer that falls behind catches up
    instead of losing ticks; ticks found by one poll come in time order across the symbols.
    ``interval`` is the pause in seconds between polls that found nothing new; ``timeout``
    limits each poll's exchanges as it does for a call. The stream ends when the session
    closes (a call reports -10004, "No IPC connection"), also by running out of time
    (-10005); other failures, and a session that is not open when the stream starts, raise
    ``TerminalError``.
    """
async def sleep(seconds: float) -> bool:
    """Wait ``seconds``: in wall time live, in replay time in a stepped replay.

    Awaitable `orbisyn.sleep`: live it is ``asyncio.sleep``; in a stepped replay the
    replay's present moves at once (the step runs on the worker thread), processing every
    tick in between. Returns True; raises `orbisyn.TerminalError` where `orbisyn.sleep`
    returns False: code -10201 once the replay has reached its end (also when it reaches it
    during this wait), -10004 without a session, -2 for a bad ``seconds``.
    """
async def wait_bar(symbol: str, timeframe: int, timeout: float | None = ...) -> int:
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
def set_timeout(seconds: float | None, /) -> None:
    """Limit how long any call may wait on the Terminal without progress.

    Process-wide, for every function except `initialize` (which has its own ``timeout``)
    and `last_error`. Off by default: without a limit a call waits as long as the Terminal
    takes, also for ever when the Terminal hangs.

    Parameters
    ----------
    seconds : float or None
        How long one exchange may go without a byte moving, in seconds (greater than 0,
        finite; an int, float or any real number). None: no limit, the default.

    Returns
    -------
    None

    Failure
    -------
    A setting, not a call to the Terminal: a value that is not a time limit raises
    ``TypeError`` (not a number: a str, bytes, a bool, which is no time) or ``ValueError``
    (0 or less, NaN, infinite), and the limit stays as it was. `last_error` is left alone.
    A limit above 4 294 967 s (49.7 days) waits that long.

    Notes
    -----
    The limit is on waiting *without progress*, so a large reply that keeps coming (a
    million bars, a day of ticks) is never cut however long it takes. A call that runs out
    returns its failure value with (-10005, "IPC timeout") and closes the link, since the
    rest of the reply would put the link out of step: later calls report (-10004, "No IPC
    connection") until `initialize` is called again. A call that has begun keeps the limit
    it began with; setting it is safe from any thread. `shutdown` from another thread still
    ends a waiting call at once.

    Examples
    --------
    >>> import orbisyn
    >>> orbisyn.set_timeout(5)
    >>> orbisyn.get_timeout()
    5.0
    >>> orbisyn.set_timeout(None)
    >>> orbisyn.get_timeout() is None
    True
    >>> orbisyn.set_timeout(True)
    Traceback (most recent call last):
    ...
    TypeError: timeout must be a number of seconds or None, not bool
    >>> orbisyn.set_timeout(0)
    Traceback (most recent call last):
    ...
    ValueError: timeout must be a positive number of seconds or None
    >>> orbisyn.get_timeout() is None    # unchanged
    True
    """
def get_timeout() -> float | None:
    """Return the time limit that `set_timeout` set, in seconds.

    Returns
    -------
    float or None
        The limit in seconds, or None when calls wait without limit (the default).

    Notes
    -----
    A setting: it changes nothing and leaves `last_error` alone. Given an argument, it raises
    ``TypeError`` (it takes none).

    Examples
    --------
    >>> import orbisyn
    >>> orbisyn.get_timeout() is None
    True
    """

async def initialize(path: str = ..., *, login: _Int = ..., password: str = ..., server: str = ...,
                     timeout: _Int = ..., portable: object = ...) -> Literal[True]:
    """Connect to a Terminal, starting it when it is not running.

    Awaitable `orbisyn.initialize`: the call runs on the worker thread of `orbisyn.aio`,
    so the event loop goes on meanwhile. It returns what `orbisyn.initialize` returns, and
    raises `orbisyn.TerminalError` where that returns its failure value.

    Closes any link that is open, finds the Terminal (at `path`, or the one the search described
    under `path` picks), starts it when its pipe is absent, optionally logs in to an account,
    and waits until the Terminal is ready.

    Parameters
    ----------
    path : str, optional
        Full path of the Terminal's ``terminal64.exe`` (at most 257 UTF-16 code units).
        Not given or empty: the Terminal is looked for in the data folders under
        ``Quillmark/Terminal/`` of the application-data folder (``%APPDATA%`` on Windows,
        ``$XDG_DATA_HOME`` or ``~/.local/share`` elsewhere) and, on Linux, in those of the
        users of the Wine prefixes ``$WINEPREFIX`` and ``~/.wine``. The pick: the Terminal
        that started this Python process; else, with ``WINEPREFIX`` set, the one of that
        prefix used last; else the native one used last; else the one of ``~/.wine`` used
        last (``orbisyn-terminal list`` shows them all, and the pick). A Terminal in a Wine
        prefix, found so or named by its Linux path (or by its Windows path, with
        ``WINEPREFIX`` set), is reached through ``orbisyn-relay.exe``.
    login : int, optional
        Account number to log in to (0 to ``2**64 - 1``). Not given: the Terminal's current account.
    password : str, optional
        Password of that account (at most 253 UTF-16 code units).
    server : str, optional
        Trade server of that account (at most 253 UTF-16 code units).
    timeout : int, optional
        Milliseconds that the whole call may take: finding and starting the Terminal, the
        handshake, the login and the wait until it is ready. 0 or not given: 60000 (60 s).
    portable : bool, optional
        Start the Terminal with ``/portable`` (its data folder is its installation folder).
        Any object, taken by its truth value. Default False. Only used when the Terminal has to
        be started.

    Returns
    -------
    bool
        True: the link is open and the Terminal is ready.

    Raises
    ------
    TerminalError
        Where `orbisyn.initialize` returns its failure value; ``code`` and ``message``
        are what `last_error` gives there:

        - ``-2``: a bad argument; nothing is started, and a link that was open is closed.
          "Invalid 1st unnamed argument": `path` is not a str, or too long; 'Invalid "login"
          argument' (or the name of another keyword): a value of the wrong type, out of range or
          too long; "Invalid number of arguments": more than one argument by position (the others
          are keyword only); 'Unknown "pth" argument, did you mean "path"?': a keyword it does not
          take.
        - ``-10003`` "IPC initialize failed, ...": no Terminal found (the message says where it
          looked), its file or Wine prefix is missing, it could not be started, or its pipe did
          not appear; the rest of the message says which.
        - ``-6`` "Terminal: Authorization failed": the login was refused.
        - ``-7`` "Unsupported authorization mode, OTP or certificate password needed".
        - ``-5`` "Terminal: Incompatible versions": the Terminal is too old for this module.
        - ``-10005`` "IPC timeout": the Terminal was not ready within `timeout`.
        - ``-10001``, ``-10002``, ``-10000``: the handshake failed.

    Notes
    -----
    Calling `initialize` again reconnects (to the same or another Terminal); `shutdown` closes
    the link and leaves the Terminal running. A Terminal that refused a login keeps refusing
    an `initialize` without credentials until one logs in with valid ones.

    A cancelled await does not stop a call that has started: it completes and its
    result is dropped; a call still queued is not made.
    """
async def login(login: _Int = ..., password: str = ..., server: str = ..., *,
                timeout: _Int = ...) -> Literal[True]:
    """Switch the connected Terminal to another trading account.

    Awaitable `orbisyn.login`: the call runs on the worker thread of `orbisyn.aio`,
    so the event loop goes on meanwhile. It returns what `orbisyn.login` returns, and
    raises `orbisyn.TerminalError` where that returns its failure value.

    Parameters
    ----------
    login : int
        Account number (1 to ``2**64 - 1``); required.
    password : str, optional
        Its password (at most 253 UTF-16 code units). Not given: the one the Terminal has saved.
    server : str, optional
        Its trade server (at most 253 UTF-16 code units). Not given: the current server.
    timeout : int, optional
        Milliseconds to wait until the Terminal is ready after the login; 0 or not given:
        60000 (60 s). Keyword only.

    Returns
    -------
    bool
        True: the Terminal is logged in to that account and ready.

    Raises
    ------
    TerminalError
        Where `orbisyn.login` returns its failure value; ``code`` and ``message``
        are what `last_error` gives there:

        - ``-2`` 'Invalid "login" argument': `login` missing or 0, or given by name and not an
          integer in range; "Invalid 1st unnamed argument" (2nd, 3rd: `password`, `server`): a value
          given by position of the wrong type, out of range or too long; "Invalid number of
          arguments": more than three arguments by position. The link stays open.
        - ``-6`` "Terminal: Authorization failed": wrong login, password or server.
        - ``-7`` "Unsupported authorization mode, OTP or certificate password needed".
        - ``-10005`` "IPC timeout": not ready within `timeout`, or the time limit of
          `orbisyn.set_timeout` ran out (the link is then closed).
        - ``-10004`` "No IPC connection": no link; call `initialize` first (also after a
          broken link, which closes it).
        - ``-10001``, ``-10002``, ``-10000``: the request could not be sent, the reply could not be
          read (the link is then closed), or the reply was not for this request.

    Notes
    -----
    Positionally the order is login, password, server.

    A cancelled await does not stop a call that has started: it completes and its
    result is dropped; a call still queued is not made.
    """
async def shutdown(*, timeout: float | None = ...) -> Literal[True]:
    """Close the link to the Terminal; the Terminal keeps running.

    Awaitable `orbisyn.shutdown`: the call runs on the worker thread of `orbisyn.aio`,
    so the event loop goes on meanwhile. It returns what `orbisyn.shutdown` returns, and
    raises `orbisyn.TerminalError` where that returns its failure value.

    Parameters
    ----------
    timeout : float, optional
        Keyword only: seconds that the call may wait for the Terminal without progress; when
        they run out it raises `TimeoutError` (the link is then closed, as for
        `orbisyn.set_timeout`). Not given: no limit but the process's own.

    Returns
    -------
    bool
        True, also when no link was open.

    Raises
    ------
    TerminalError
        Where `orbisyn.shutdown` returns its failure value; ``code`` and ``message``
        are what `last_error` gives there:

        - ``-2`` 'Invalid arguments: takes none, 1 given': an argument was given (it takes none).
    TimeoutError
        `timeout` ran out.

    Notes
    -----
    Called from another thread, it ends a call that is waiting for the Terminal at once (that
    call returns its failure value, as on a broken link). Call `initialize` to connect again.

    A cancelled await does not stop a call that has started: it completes and its
    result is dropped; a call still queued is not made.
    """
async def version(*, timeout: float | None = ...) -> tuple[int, int, str]:
    """Get the Terminal's version: (version, build, release date).

    Awaitable `orbisyn.version`: the call runs on the worker thread of `orbisyn.aio`,
    so the event loop goes on meanwhile. It returns what `orbisyn.version` returns, and
    raises `orbisyn.TerminalError` where that returns its failure value.

    Parameters
    ----------
    timeout : float, optional
        Keyword only: seconds that the call may wait for the Terminal without progress; when
        they run out it raises `TimeoutError` (the link is then closed, as for
        `orbisyn.set_timeout`). Not given: no limit but the process's own.

    Returns
    -------
    tuple of (int, int, str)
        The Terminal's version number, its build number and its release date as text, for
        example ``(500, 4850, '07 Dec 2026')``.

    Raises
    ------
    TerminalError
        Where `orbisyn.version` returns its failure value; ``code`` and ``message``
        are what `last_error` gives there:

        - ``-2`` 'Invalid arguments: takes none, 1 given': an argument was given (it takes none).
        - ``-10004`` "No IPC connection": no link; call `initialize` first (also after a
          broken link, which closes it).
        - ``-10001``, ``-10002``, ``-10000``: the request could not be sent, the reply could not be
          read (the link is then closed), or the reply was not for this request.
        - ``-10005`` "IPC timeout": the time limit of `orbisyn.set_timeout` ran out (the link is
          then closed).
    TimeoutError
        `timeout` ran out.

    Notes
    -----
    A cancelled await does not stop a call that has started: it completes and its
    result is dropped; a call still queued is not made.
    """

async def terminal_info(*, timeout: float | None = ...) -> TerminalInfo:
    """Return the Terminal's state and settings.

    Awaitable `orbisyn.terminal_info`: the call runs on the worker thread of `orbisyn.aio`,
    so the event loop goes on meanwhile. It returns what `orbisyn.terminal_info` returns, and
    raises `orbisyn.TerminalError` where that returns its failure value.

    Parameters
    ----------
    timeout : float, optional
        Keyword only: seconds that the call may wait for the Terminal without progress; when
        they run out it raises `TimeoutError` (the link is then closed, as for
        `orbisyn.set_timeout`). Not given: no limit but the process's own.

    Returns
    -------
    TerminalInfo
        Build, connection and permission switches, limits (``maxbars``), language and the
        installation and data folders.

    Raises
    ------
    TerminalError
        Where `orbisyn.terminal_info` returns its failure value; ``code`` and ``message``
        are what `last_error` gives there:

        - ``-2`` 'Invalid arguments: takes none, 1 given': an argument was given (it takes none).
        - ``-10004`` "No IPC connection": no link; call `initialize` first (also after a
          broken link, which closes it).
        - ``-10001``, ``-10002``, ``-10000``: the request could not be sent, the reply could not be
          read (the link is then closed), or the reply was not for this request.
        - ``-10005`` "IPC timeout": the time limit of `orbisyn.set_timeout` ran out (the link is
          then closed).
    TimeoutError
        `timeout` ran out.

    Notes
    -----
    A cancelled await does not stop a call that has started: it completes and its
    result is dropped; a call still queued is not made.
    """
async def account_info(*, timeout: float | None = ...) -> AccountInfo:
    """Return the trading account that is logged in.

    Awaitable `orbisyn.account_info`: the call runs on the worker thread of `orbisyn.aio`,
    so the event loop goes on meanwhile. It returns what `orbisyn.account_info` returns, and
    raises `orbisyn.TerminalError` where that returns its failure value.

    Parameters
    ----------
    timeout : float, optional
        Keyword only: seconds that the call may wait for the Terminal without progress; when
        they run out it raises `TimeoutError` (the link is then closed, as for
        `orbisyn.set_timeout`). Not given: no limit but the process's own.

    Returns
    -------
    AccountInfo
        Login, modes, leverage, money figures (balance, equity, margin, ...) in the account
        currency, and the account's texts.

    Raises
    ------
    TerminalError
        Where `orbisyn.account_info` returns its failure value; ``code`` and ``message``
        are what `last_error` gives there:

        - ``-2`` 'Invalid arguments: takes none, 1 given': an argument was given (it takes none).
        - ``-10004`` "No IPC connection": no link; call `initialize` first (also after a
          broken link, which closes it).
        - ``-10001``, ``-10002``, ``-10000``: the request could not be sent, the reply could not be
          read (the link is then closed), or the reply was not for this request.
        - ``-10005`` "IPC timeout": the time limit of `orbisyn.set_timeout` ran out (the link is
          then closed).
    TimeoutError
        `timeout` ran out.

    Notes
    -----
    A cancelled await does not stop a call that has started: it completes and its
    result is dropped; a call still queued is not made.
    """
async def symbols_total(*, timeout: float | None = ...) -> int:
    """Return the number of symbols the Terminal knows, selected in the Market Watch or not.

    Awaitable `orbisyn.symbols_total`: the call runs on the worker thread of `orbisyn.aio`,
    so the event loop goes on meanwhile. It returns what `orbisyn.symbols_total` returns, and
    raises `orbisyn.TerminalError` where that returns its failure value.

    Parameters
    ----------
    timeout : float, optional
        Keyword only: seconds that the call may wait for the Terminal without progress; when
        they run out it raises `TimeoutError` (the link is then closed, as for
        `orbisyn.set_timeout`). Not given: no limit but the process's own.

    Returns
    -------
    int
        Number of symbols (0 or more).

    Raises
    ------
    TerminalError
        Where `orbisyn.symbols_total` returns its failure value; ``code`` and ``message``
        are what `last_error` gives there:

        - ``-5`` "Terminal: Incompatible versions": a Terminal older than build 2364.
        - ``-2`` 'Invalid arguments: takes none, 1 given': an argument was given (it takes none).
        - ``-10004`` "No IPC connection": no link; call `initialize` first (also after a
          broken link, which closes it).
        - ``-10001``, ``-10002``, ``-10000``: the request could not be sent, the reply could not be
          read (the link is then closed), or the reply was not for this request.
        - ``-10005`` "IPC timeout": the time limit of `orbisyn.set_timeout` ran out (the link is
          then closed).
    TimeoutError
        `timeout` ran out.

    Notes
    -----
    A cancelled await does not stop a call that has started: it completes and its
    result is dropped; a call still queued is not made.
    """
async def symbols_get(group: str = ..., *, timeout: float | None = ...) -> tuple[SymbolInfo, ...]:
    """Return every symbol, or those whose names match a group mask.

    Awaitable `orbisyn.symbols_get`: the call runs on the worker thread of `orbisyn.aio`,
    so the event loop goes on meanwhile. It returns what `orbisyn.symbols_get` returns, and
    raises `orbisyn.TerminalError` where that returns its failure value.

    Parameters
    ----------
    group : str, optional
        Group mask list (at most 1997 UTF-16 code units), also given positionally:
        comma-separated masks with ``*`` for any run of characters, and ``!`` before a mask
        to exclude what it matches. ``"*USD*"`` selects names containing USD;
        ``"*,!*JPY*"`` every name without JPY. Not given or empty: all symbols. The
        Terminal applies the mask.
    timeout : float, optional
        Keyword only: seconds that the call may wait for the Terminal without progress; when
        they run out it raises `TimeoutError` (the link is then closed, as for
        `orbisyn.set_timeout`). Not given: no limit but the process's own.

    Returns
    -------
    tuple of SymbolInfo
        One record per symbol, in the Terminal's order; empty when none matches.

    Raises
    ------
    TerminalError
        Where `orbisyn.symbols_get` returns its failure value; ``code`` and ``message``
        are what `last_error` gives there:

        - ``-2``, with the value False: "Invalid 1st unnamed argument": `group` given by position is
          not a str, or too long; 'Invalid "group" argument': the same by name; "Invalid number of
          arguments": more than one argument by position.
        - ``-5`` "Terminal: Incompatible versions": a Terminal older than build 2364.
        - ``-10004`` "No IPC connection": no link; call `initialize` first (also after a
          broken link, which closes it).
        - ``-10001``, ``-10002``, ``-10000``: the request could not be sent, the reply could not be
          read (the link is then closed), or the reply was not for this request.
        - ``-10005`` "IPC timeout": the time limit of `orbisyn.set_timeout` ran out (the link is
          then closed).
    TimeoutError
        `timeout` ran out.

    Notes
    -----
    Matching is case-sensitive and never moves back in the name: ``"*AA"`` does not match
    ``"AAA"``. A name passes when some mask without ``!`` matches it and no mask with ``!``
    does, so ``"!*JPY*"`` alone selects nothing. Spaces around the masks are ignored.

    A cancelled await does not stop a call that has started: it completes and its
    result is dropped; a call still queued is not made.
    """
async def symbol_info(symbol: str, *, timeout: float | None = ...) -> SymbolInfo:
    """Return everything the Terminal knows about one symbol.

    Awaitable `orbisyn.symbol_info`: the call runs on the worker thread of `orbisyn.aio`,
    so the event loop goes on meanwhile. It returns what `orbisyn.symbol_info` returns, and
    raises `orbisyn.TerminalError` where that returns its failure value.

    Parameters
    ----------
    symbol : str
        Symbol name, for example ``"EURUSD"`` (at most 29 UTF-16 code units; case matters).
    timeout : float, optional
        Keyword only: seconds that the call may wait for the Terminal without progress; when
        they run out it raises `TimeoutError` (the link is then closed, as for
        `orbisyn.set_timeout`). Not given: no limit but the process's own.

    Returns
    -------
    SymbolInfo
        96 fields: trading modes and limits, current and daily prices, contract figures,
        margin and swap terms, texts.

    Raises
    ------
    TerminalError
        Where `orbisyn.symbol_info` returns its failure value; ``code`` and ``message``
        are what `last_error` gives there:

        - ``-2`` 'Invalid arguments: "symbol"': not a str, or longer than 29 UTF-16 code units
          (a call of another shape: see the guide's Errors page).
        - ``-4`` "Terminal: Not found": the Terminal does not know the symbol.
        - ``-10004`` "No IPC connection": no link; call `initialize` first (also after a
          broken link, which closes it).
        - ``-10001``, ``-10002``, ``-10000``: the request could not be sent, the reply could not be
          read (the link is then closed), or the reply was not for this request.
        - ``-10005`` "IPC timeout": the time limit of `orbisyn.set_timeout` ran out (the link is
          then closed).
    TimeoutError
        `timeout` ran out.

    Notes
    -----
    A symbol need not be selected in the Market Watch for this call. ``point`` and ``digits``
    give the price step; ``volume_min``, ``volume_step`` and ``volume_max`` the lot sizes that
    `order_send` accepts.

    A cancelled await does not stop a call that has started: it completes and its
    result is dropped; a call still queued is not made.
    """
async def symbol_info_tick(symbol: str, *, timeout: float | None = ...) -> Tick:
    """Return the latest tick of a symbol: its current prices.

    Awaitable `orbisyn.symbol_info_tick`: the call runs on the worker thread of `orbisyn.aio`,
    so the event loop goes on meanwhile. It returns what `orbisyn.symbol_info_tick` returns, and
    raises `orbisyn.TerminalError` where that returns its failure value.

    Parameters
    ----------
    symbol : str
        Symbol name, for example ``"EURUSD"`` (at most 29 UTF-16 code units; case matters).
    timeout : float, optional
        Keyword only: seconds that the call may wait for the Terminal without progress; when
        they run out it raises `TimeoutError` (the link is then closed, as for
        `orbisyn.set_timeout`). Not given: no limit but the process's own.

    Returns
    -------
    Tick
        Time (seconds and milliseconds, UTC), bid, ask, last, volume and flags of the newest
        tick.

    Raises
    ------
    TerminalError
        Where `orbisyn.symbol_info_tick` returns its failure value; ``code`` and ``message``
        are what `last_error` gives there:

        - ``-2`` 'Invalid arguments: "symbol"': not a str, or longer than 29 UTF-16 code units
          (a call of another shape: see the guide's Errors page).
        - ``-4`` "Terminal: Not found": the Terminal does not know the symbol, or has no tick
          of it.
        - ``-10004`` "No IPC connection": no link; call `initialize` first (also after a
          broken link, which closes it).
        - ``-10001``, ``-10002``, ``-10000``: the request could not be sent, the reply could not be
          read (the link is then closed), or the reply was not for this request.
        - ``-10005`` "IPC timeout": the time limit of `orbisyn.set_timeout` ran out (the link is
          then closed).
    TimeoutError
        `timeout` ran out.

    Notes
    -----
    A cancelled await does not stop a call that has started: it completes and its
    result is dropped; a call still queued is not made.
    """
async def symbol_select(symbol: str, enable: object = ..., *, timeout: float | None = ...) -> Literal[True]:
    """Select a symbol in the Market Watch, or remove it from there.

    Awaitable `orbisyn.symbol_select`: the call runs on the worker thread of `orbisyn.aio`,
    so the event loop goes on meanwhile. It returns what `orbisyn.symbol_select` returns, and
    raises `orbisyn.TerminalError` where that returns its failure value.

    Parameters
    ----------
    symbol : str
        Symbol name, for example ``"EURUSD"`` (at most 29 UTF-16 code units; case matters).
    enable : bool, optional
        True (default) to select, False to remove; any object, taken by its truth value.
    timeout : float, optional
        Keyword only: seconds that the call may wait for the Terminal without progress; when
        they run out it raises `TimeoutError` (the link is then closed, as for
        `orbisyn.set_timeout`). Not given: no limit but the process's own.

    Returns
    -------
    bool
        True when the Terminal did it.

    Raises
    ------
    TerminalError
        Where `orbisyn.symbol_select` returns its failure value; ``code`` and ``message``
        are what `last_error` gives there:

        - ``-2`` 'Invalid arguments: "symbol"': not a str, or longer than 29 UTF-16 code units;
          'Invalid arguments: takes at most 2, 3 given': more than two arguments.
        - ``-4`` "Terminal: Not found": the Terminal does not know the symbol.
        - the Terminal's negative status when it refuses.
        - ``-10004`` "No IPC connection": no link; call `initialize` first (also after a
          broken link, which closes it).
        - ``-10001``, ``-10002``, ``-10000``: the request could not be sent, the reply could not be
          read (the link is then closed), or the reply was not for this request.
        - ``-10005`` "IPC timeout": the time limit of `orbisyn.set_timeout` ran out (the link is
          then closed).
    TimeoutError
        `timeout` ran out.

    Notes
    -----
    A cancelled await does not stop a call that has started: it completes and its
    result is dropped; a call still queued is not made.
    """
async def market_book_add(symbol: str, *, timeout: float | None = ...) -> Literal[True]:
    """Open the depth of market of a symbol, so that `market_book_get` can read it.

    Awaitable `orbisyn.market_book_add`: the call runs on the worker thread of `orbisyn.aio`,
    so the event loop goes on meanwhile. It returns what `orbisyn.market_book_add` returns, and
    raises `orbisyn.TerminalError` where that returns its failure value.

    Parameters
    ----------
    symbol : str
        Symbol name, for example ``"EURUSD"`` (at most 29 UTF-16 code units; case matters).
    timeout : float, optional
        Keyword only: seconds that the call may wait for the Terminal without progress; when
        they run out it raises `TimeoutError` (the link is then closed, as for
        `orbisyn.set_timeout`). Not given: no limit but the process's own.

    Returns
    -------
    bool
        True when the Terminal opened it.

    Raises
    ------
    TerminalError
        Where `orbisyn.market_book_add` returns its failure value; ``code`` and ``message``
        are what `last_error` gives there:

        - ``-2`` 'Invalid arguments: "symbol"', with the value None: not a str, or longer than 29
          UTF-16 code units (a call of another shape: see the guide's Errors page).
        - ``-4`` "Terminal: Not found": no such symbol, or it has no depth of market.
        - ``-10004`` "No IPC connection": no link; call `initialize` first (also after a
          broken link, which closes it).
        - ``-10001``, ``-10002``, ``-10000``: the request could not be sent, the reply could not be
          read (the link is then closed), or the reply was not for this request.
        - ``-10005`` "IPC timeout": the time limit of `orbisyn.set_timeout` ran out (the link is
          then closed).
    TimeoutError
        `timeout` ran out.

    Notes
    -----
    Each `market_book_add` should be matched by a `market_book_release` when the program no
    longer needs the book.

    A cancelled await does not stop a call that has started: it completes and its
    result is dropped; a call still queued is not made.
    """
async def market_book_release(symbol: str, *, timeout: float | None = ...) -> Literal[True]:
    """Close the depth of market of a symbol that `market_book_add` opened.

    Awaitable `orbisyn.market_book_release`: the call runs on the worker thread of `orbisyn.aio`,
    so the event loop goes on meanwhile. It returns what `orbisyn.market_book_release` returns, and
    raises `orbisyn.TerminalError` where that returns its failure value.

    Parameters
    ----------
    symbol : str
        Symbol name, for example ``"EURUSD"`` (at most 29 UTF-16 code units; case matters).
    timeout : float, optional
        Keyword only: seconds that the call may wait for the Terminal without progress; when
        they run out it raises `TimeoutError` (the link is then closed, as for
        `orbisyn.set_timeout`). Not given: no limit but the process's own.

    Returns
    -------
    bool
        True when the Terminal closed it.

    Raises
    ------
    TerminalError
        Where `orbisyn.market_book_release` returns its failure value; ``code`` and ``message``
        are what `last_error` gives there:

        - ``-2`` 'Invalid arguments: "symbol"', with the value None: not a str, or longer than 29
          UTF-16 code units (a call of another shape: see the guide's Errors page).
        - ``-4`` "Terminal: Not found": the book of that symbol was not open.
        - ``-10004`` "No IPC connection": no link; call `initialize` first (also after a
          broken link, which closes it).
        - ``-10001``, ``-10002``, ``-10000``: the request could not be sent, the reply could not be
          read (the link is then closed), or the reply was not for this request.
        - ``-10005`` "IPC timeout": the time limit of `orbisyn.set_timeout` ran out (the link is
          then closed).
    TimeoutError
        `timeout` ran out.

    Notes
    -----
    A cancelled await does not stop a call that has started: it completes and its
    result is dropped; a call still queued is not made.
    """
async def market_book_get(symbol: str, *, timeout: float | None = ...) -> tuple[BookInfo, ...]:
    """Return the depth of market of a symbol: its price levels with their volumes.

    Awaitable `orbisyn.market_book_get`: the call runs on the worker thread of `orbisyn.aio`,
    so the event loop goes on meanwhile. It returns what `orbisyn.market_book_get` returns, and
    raises `orbisyn.TerminalError` where that returns its failure value.

    Parameters
    ----------
    symbol : str
        Symbol name, for example ``"EURUSD"`` (at most 29 UTF-16 code units; case matters).
    timeout : float, optional
        Keyword only: seconds that the call may wait for the Terminal without progress; when
        they run out it raises `TimeoutError` (the link is then closed, as for
        `orbisyn.set_timeout`). Not given: no limit but the process's own.

    Returns
    -------
    tuple of BookInfo
        The levels in the Terminal's order (sell levels from the highest price down, then buy
        levels from the highest down); empty when the book has none.

    Raises
    ------
    TerminalError
        Where `orbisyn.market_book_get` returns its failure value; ``code`` and ``message``
        are what `last_error` gives there:

        - ``-2`` 'Invalid arguments: "symbol"': not a str, or longer than 29 UTF-16 code units
          (a call of another shape: see the guide's Errors page).
        - ``-4`` "Terminal: Not found": no such symbol, or its book is not open (call
          `market_book_add` first).
        - ``-10004`` "No IPC connection": no link; call `initialize` first (also after a
          broken link, which closes it).
        - ``-10001``, ``-10002``, ``-10000``: the request could not be sent, the reply could not be
          read (the link is then closed), or the reply was not for this request.
        - ``-10005`` "IPC timeout": the time limit of `orbisyn.set_timeout` ran out (the link is
          then closed).
    TimeoutError
        `timeout` ran out.

    Notes
    -----
    A cancelled await does not stop a call that has started: it completes and its
    result is dropped; a call still queued is not made.
    """

async def copy_rates_from(symbol: str, timeframe: _Int, date_from: _Time, count: _Int, *, timeout: float | None = ...) -> _Array:
    """Get the `count` bars that end at `date_from`: the last bar opens at or before it.

    Awaitable `orbisyn.copy_rates_from`: the call runs on the worker thread of `orbisyn.aio`,
    so the event loop goes on meanwhile. It returns what `orbisyn.copy_rates_from` returns, and
    raises `orbisyn.TerminalError` where that returns its failure value.

    The bars whose open time is at or before `date_from`, newest `count` of them, returned
    oldest first. Despite the parameter's name, the count goes back in time from
    `date_from`, not forward (unlike `copy_ticks_from`).

    Parameters
    ----------
    symbol : str
        Symbol name, for example ``"EURUSD"`` (at most 29 UTF-16 code units; case matters).
    timeframe : int
        Bar length: a `orbisyn.codes.Timeframe` (``Timeframe.M1`` is 1, ``Timeframe.H1``
        16385, ``Timeframe.D1`` 16408).
    date_from : datetime, int or float
        The newest bar returned is the one that opens at this time, or the last one before it.
        Times are seconds since 1970-01-01 00:00 UTC as an int or float (cut to whole
        seconds; a bool is none), a `datetime.datetime` (naive: local time, as its ``timestamp()``
        counts; aware: its instant), a `pandas.Timestamp` (the same rule) or a
        `numpy.datetime64` (always UTC).
    count : int
        Number of bars, counted back from `date_from` (0 to ``2**31 - 1``). Fewer come back when the
        history is shorter; at most ``terminal_info().maxbars``.
    timeout : float, optional
        Keyword only: seconds that the call may wait for the Terminal without progress; when
        they run out it raises `TimeoutError` (the link is then closed, as for
        `orbisyn.set_timeout`). Not given: no limit but the process's own.

    Returns
    -------
    numpy.ndarray
        One-dimensional structured array of bars, oldest first, with the fields ``time``
        (int64, open time in seconds since 1970-01-01 UTC), ``open``, ``high``, ``low``,
        ``close`` (float64), ``tick_volume`` (uint64, number of ticks), ``spread`` (int32,
        points) and ``real_volume`` (uint64, traded volume; 0 where the symbol has none).
        Empty (length 0) when no bar matches. `orbisyn.frames.rates` makes a DataFrame of it.

    Raises
    ------
    TerminalError
        Where `orbisyn.copy_rates_from` returns its failure value; ``code`` and ``message``
        are what `last_error` gives there:

        - ``-2`` 'Invalid arguments: "count"' and the like, naming the argument: a symbol that
          is not a str or too long; a `timeframe` or `count` that is not an integer (an int or anything with
          ``__index__``: ``3.0`` is none) or does not fit 32 bits; a `date_from` that is no time
          (a bool is none); 'Invalid arguments: "date_from": a date names no instant, give a
          datetime' for a `datetime.date`. A call of another shape: see the guide's Errors page.
        - ``-4`` "Terminal: Not found": the Terminal does not know the symbol.
        - ``-2`` "Terminal: Invalid params": the Terminal refused a value: an unknown timeframe,
          a negative count. A count above ``terminal_info().maxbars`` gives that many bars at
          most.
        - ``-10004`` "No IPC connection": no link; call `initialize` first (also after a
          broken link, which closes it).
        - ``-10001``, ``-10002``, ``-10000``: the request could not be sent, the reply could not be
          read (the link is then closed), or the reply was not for this request.
        - ``-10005`` "IPC timeout": the time limit of `orbisyn.set_timeout` ran out (the link is
          then closed).
    TimeoutError
        `timeout` ran out.

    Notes
    -----
    A bar opening exactly at `date_from` is included: 12:00 with ``Timeframe.H1`` and a count
    of 3 gives the bars of 10:00, 11:00 and 12:00. Bar open times are aligned to the
    timeframe in UTC (a week starts on Monday, a month on its first day). The newest bar may
    still be forming.

    A cancelled await does not stop a call that has started: it completes and its
    result is dropped; a call still queued is not made.
    """
async def copy_rates_from_pos(symbol: str, timeframe: _Int, start_pos: _Int, count: _Int, *, timeout: float | None = ...) -> _Array:
    """Get `count` bars counted back from the current bar, skipping the newest `start_pos`.

    Awaitable `orbisyn.copy_rates_from_pos`: the call runs on the worker thread of `orbisyn.aio`,
    so the event loop goes on meanwhile. It returns what `orbisyn.copy_rates_from_pos` returns, and
    raises `orbisyn.TerminalError` where that returns its failure value.

    Position 0 is the current (forming) bar, 1 the one before it, and so on into the past; the
    reply holds positions ``start_pos`` to ``start_pos + count - 1``, returned oldest first.

    Parameters
    ----------
    symbol : str
        Symbol name, for example ``"EURUSD"`` (at most 29 UTF-16 code units; case matters).
    timeframe : int
        Bar length: a `orbisyn.codes.Timeframe` (``Timeframe.M1`` is 1, ``Timeframe.H1``
        16385, ``Timeframe.D1`` 16408).
    start_pos : int
        Position of the newest bar returned: 0 is the current bar (0 to ``2**31 - 1``).
    count : int
        Number of bars (0 to ``2**31 - 1``); fewer when the history is shorter, at most
        ``terminal_info().maxbars``.
    timeout : float, optional
        Keyword only: seconds that the call may wait for the Terminal without progress; when
        they run out it raises `TimeoutError` (the link is then closed, as for
        `orbisyn.set_timeout`). Not given: no limit but the process's own.

    Returns
    -------
    numpy.ndarray
        One-dimensional structured array of bars, oldest first, with the fields ``time``
        (int64, open time in seconds since 1970-01-01 UTC), ``open``, ``high``, ``low``,
        ``close`` (float64), ``tick_volume`` (uint64, number of ticks), ``spread`` (int32,
        points) and ``real_volume`` (uint64, traded volume; 0 where the symbol has none).
        Empty (length 0) when no bar matches. `orbisyn.frames.rates` makes a DataFrame of it.

    Raises
    ------
    TerminalError
        Where `orbisyn.copy_rates_from_pos` returns its failure value; ``code`` and ``message``
        are what `last_error` gives there:

        - ``-2`` 'Invalid arguments: "count"' and the like, naming the argument: a symbol that
          is not a str or too long; a `timeframe`, `start_pos` or `count` that is not an integer
          (an int or anything with ``__index__``: ``3.0`` is none) or does not fit 32 bits. A
          call of another shape: see the guide's Errors page.
        - ``-4`` "Terminal: Not found": the Terminal does not know the symbol.
        - ``-2`` "Terminal: Invalid params": the Terminal refused a value: an unknown timeframe,
          a negative `start_pos` or `count`. A count above ``terminal_info().maxbars`` gives that
          many bars at most.
        - ``-10004`` "No IPC connection": no link; call `initialize` first (also after a
          broken link, which closes it).
        - ``-10001``, ``-10002``, ``-10000``: the request could not be sent, the reply could not be
          read (the link is then closed), or the reply was not for this request.
        - ``-10005`` "IPC timeout": the time limit of `orbisyn.set_timeout` ran out (the link is
          then closed).
    TimeoutError
        `timeout` ran out.

    Notes
    -----
    The current bar (position 0) is still forming: its close, high, low and volumes change
    until the bar's time is over. Use ``start_pos=1`` for finished bars only.

    A cancelled await does not stop a call that has started: it completes and its
    result is dropped; a call still queued is not made.
    """
async def copy_rates_range(symbol: str, timeframe: _Int, date_from: _Time, date_to: _Time, *, timeout: float | None = ...) -> _Array:
    """Get the bars that open between `date_from` and `date_to`, both ends included.

    Awaitable `orbisyn.copy_rates_range`: the call runs on the worker thread of `orbisyn.aio`,
    so the event loop goes on meanwhile. It returns what `orbisyn.copy_rates_range` returns, and
    raises `orbisyn.TerminalError` where that returns its failure value.

    Parameters
    ----------
    symbol : str
        Symbol name, for example ``"EURUSD"`` (at most 29 UTF-16 code units; case matters).
    timeframe : int
        Bar length: a `orbisyn.codes.Timeframe` (``Timeframe.M1`` is 1, ``Timeframe.H1``
        16385, ``Timeframe.D1`` 16408).
    date_from : datetime, int or float
        Earliest open time. Times are seconds since 1970-01-01 00:00 UTC as an int or float (cut to whole
        seconds; a bool is none), a `datetime.datetime` (naive: local time, as its ``timestamp()``
        counts; aware: its instant), a `pandas.Timestamp` (the same rule) or a
        `numpy.datetime64` (always UTC).
    date_to : datetime, int or float
        Latest open time, included. Same rule as `date_from`.
    timeout : float, optional
        Keyword only: seconds that the call may wait for the Terminal without progress; when
        they run out it raises `TimeoutError` (the link is then closed, as for
        `orbisyn.set_timeout`). Not given: no limit but the process's own.

    Returns
    -------
    numpy.ndarray
        One-dimensional structured array of bars, oldest first, with the fields ``time``
        (int64, open time in seconds since 1970-01-01 UTC), ``open``, ``high``, ``low``,
        ``close`` (float64), ``tick_volume`` (uint64, number of ticks), ``spread`` (int32,
        points) and ``real_volume`` (uint64, traded volume; 0 where the symbol has none).
        Empty (length 0) when no bar matches. `orbisyn.frames.rates` makes a DataFrame of it.

    Raises
    ------
    TerminalError
        Where `orbisyn.copy_rates_range` returns its failure value; ``code`` and ``message``
        are what `last_error` gives there:

        - ``-2`` 'Invalid arguments: "timeframe"' and the like, naming the argument: a symbol that
          is not a str or too long; a `timeframe` that is not an integer (an int or anything with
          ``__index__``: ``3.0`` is none) or does not fit 32 bits; a `date_from` or `date_to` that is no time
          (a bool is none); 'Invalid arguments: "date_from": a date names no instant, give a
          datetime' for a `datetime.date`. A call of another shape: see the guide's Errors page.
        - ``-4`` "Terminal: Not found": the Terminal does not know the symbol.
        - ``-2`` "Terminal: Invalid params": the Terminal refused a value: an unknown timeframe.
        - ``-3`` "Terminal: Out of memory": more bars in the range than the Terminal gives in one
          reply (``terminal_info().maxbars``).
        - ``-10004`` "No IPC connection": no link; call `initialize` first (also after a
          broken link, which closes it).
        - ``-10001``, ``-10002``, ``-10000``: the request could not be sent, the reply could not be
          read (the link is then closed), or the reply was not for this request.
        - ``-10005`` "IPC timeout": the time limit of `orbisyn.set_timeout` ran out (the link is
          then closed).
    TimeoutError
        `timeout` ran out.

    Notes
    -----
    The range is closed: a bar that opens exactly at `date_to` is in it, so 10:00 to 12:00 of
    H1 bars is three bars. A bar that opens before `date_from` is not, even when it is still
    open at `date_from`. `date_to` earlier than `date_from` gives an empty array.

    A cancelled await does not stop a call that has started: it completes and its
    result is dropped; a call still queued is not made.
    """
async def copy_ticks_from(symbol: str, date_from: _Time, count: _Int, flags: _Int, *, timeout: float | None = ...) -> _Array:
    """Get up to `count` ticks from `date_from` on, forward in time.

    Awaitable `orbisyn.copy_ticks_from`: the call runs on the worker thread of `orbisyn.aio`,
    so the event loop goes on meanwhile. It returns what `orbisyn.copy_ticks_from` returns, and
    raises `orbisyn.TerminalError` where that returns its failure value.

    Parameters
    ----------
    symbol : str
        Symbol name, for example ``"EURUSD"`` (at most 29 UTF-16 code units; case matters).
    date_from : datetime, int or float
        Time of the first tick that may be returned, in whole seconds: the tick at or after
        it. Times are seconds since 1970-01-01 00:00 UTC as an int or float (cut to whole
        seconds; a bool is none), a `datetime.datetime` (naive: local time, as its ``timestamp()``
        counts; aware: its instant), a `pandas.Timestamp` (the same rule) or a
        `numpy.datetime64` (always UTC).
        Milliseconds are cut off before the request (``time_msc`` of a tick has them).
    count : int
        Most ticks returned, counted forward from `date_from` (0 to ``2**31 - 1``).
    flags : int
        Which ticks: a `orbisyn.codes.CopyTicks` (``ALL`` -1 every tick; ``INFO`` 1 ticks
        that changed bid or ask; ``TRADE`` 2 ticks of deals, which symbols without exchange
        deals do not have).
    timeout : float, optional
        Keyword only: seconds that the call may wait for the Terminal without progress; when
        they run out it raises `TimeoutError` (the link is then closed, as for
        `orbisyn.set_timeout`). Not given: no limit but the process's own.

    Returns
    -------
    numpy.ndarray
        One-dimensional structured array of ticks, oldest first, with the fields ``time``
        (int64, seconds since 1970-01-01 UTC), ``bid``, ``ask``, ``last`` (float64),
        ``volume`` (uint64, lots), ``time_msc`` (int64, milliseconds since 1970-01-01 UTC),
        ``flags`` (uint32, bits of `orbisyn.codes.TickFlag`) and ``volume_real`` (float64).
        Empty (length 0) when no tick matches. `orbisyn.frames.ticks` makes a DataFrame of it.

    Raises
    ------
    TerminalError
        Where `orbisyn.copy_ticks_from` returns its failure value; ``code`` and ``message``
        are what `last_error` gives there:

        - ``-2`` 'Invalid arguments: "count"' and the like, naming the argument: a symbol that
          is not a str or too long; a `count` or `flags` that is not an integer (an int or anything with
          ``__index__``) or does not fit 32 bits; a `date_from` that is no time (a bool is none);
          'Invalid arguments: "date_from": a date names no instant, give a datetime' for a
          `datetime.date`. A call of another shape: see the guide's Errors page.
        - ``-4`` "Terminal: Not found": the Terminal does not know the symbol.
        - ``-2`` "Terminal: Invalid params": a negative count.
        - ``-10004`` "No IPC connection": no link; call `initialize` first (also after a
          broken link, which closes it).
        - ``-10001``, ``-10002``, ``-10000``: the request could not be sent, the reply could not be
          read (the link is then closed), or the reply was not for this request.
        - ``-10005`` "IPC timeout": the time limit of `orbisyn.set_timeout` ran out (the link is
          then closed).
    TimeoutError
        `timeout` ran out.

    Notes
    -----
    Unlike `copy_rates_from`, which counts back from its date, this counts forward: the first
    tick returned is the first at or after `date_from`. To go on from the last tick you have,
    call again from that tick's ``time`` and drop the ticks you already have (several ticks
    can share a second, and a millisecond).

    A cancelled await does not stop a call that has started: it completes and its
    result is dropped; a call still queued is not made.
    """
async def copy_ticks_range(symbol: str, date_from: _Time, date_to: _Time, flags: _Int, *, timeout: float | None = ...) -> _Array:
    """Get the ticks from `date_from` to `date_to`, both ends included.

    Awaitable `orbisyn.copy_ticks_range`: the call runs on the worker thread of `orbisyn.aio`,
    so the event loop goes on meanwhile. It returns what `orbisyn.copy_ticks_range` returns, and
    raises `orbisyn.TerminalError` where that returns its failure value.

    Parameters
    ----------
    symbol : str
        Symbol name, for example ``"EURUSD"`` (at most 29 UTF-16 code units; case matters).
    date_from : datetime, int or float
        Earliest tick time, in whole seconds. Times are seconds since 1970-01-01 00:00 UTC as an int or float (cut to whole
        seconds; a bool is none), a `datetime.datetime` (naive: local time, as its ``timestamp()``
        counts; aware: its instant), a `pandas.Timestamp` (the same rule) or a
        `numpy.datetime64` (always UTC).
    date_to : datetime, int or float
        Latest tick time, in whole seconds, included: a tick at exactly ``date_to`` (its
        millisecond 0) is in the range, one 1 ms later is not. Same rule as `date_from`.
    flags : int
        Which ticks: a `orbisyn.codes.CopyTicks` (``ALL`` -1 every tick; ``INFO`` 1 ticks
        that changed bid or ask; ``TRADE`` 2 ticks of deals, which symbols without exchange
        deals do not have).
    timeout : float, optional
        Keyword only: seconds that the call may wait for the Terminal without progress; when
        they run out it raises `TimeoutError` (the link is then closed, as for
        `orbisyn.set_timeout`). Not given: no limit but the process's own.

    Returns
    -------
    numpy.ndarray
        One-dimensional structured array of ticks, oldest first, with the fields ``time``
        (int64, seconds since 1970-01-01 UTC), ``bid``, ``ask``, ``last`` (float64),
        ``volume`` (uint64, lots), ``time_msc`` (int64, milliseconds since 1970-01-01 UTC),
        ``flags`` (uint32, bits of `orbisyn.codes.TickFlag`) and ``volume_real`` (float64).
        Empty (length 0) when no tick matches. `orbisyn.frames.ticks` makes a DataFrame of it.

    Raises
    ------
    TerminalError
        Where `orbisyn.copy_ticks_range` returns its failure value; ``code`` and ``message``
        are what `last_error` gives there:

        - ``-2`` 'Invalid arguments: "flags"' and the like, naming the argument: a symbol that
          is not a str or too long; a `flags` that is not an integer (an int or anything with
          ``__index__``) or does not fit 32 bits; a `date_from` or `date_to` that is no time (a
          bool is none); 'Invalid arguments: "date_from": a date names no instant, give a
          datetime' for a `datetime.date`. A call of another shape: see the guide's Errors page.
        - ``-4`` "Terminal: Not found": the Terminal does not know the symbol.
        - ``-3`` "Terminal: Out of memory": more ticks in the range than the Terminal gives in
          one reply.
        - ``-10004`` "No IPC connection": no link; call `initialize` first (also after a
          broken link, which closes it).
        - ``-10001``, ``-10002``, ``-10000``: the request could not be sent, the reply could not be
          read (the link is then closed), or the reply was not for this request.
        - ``-10005`` "IPC timeout": the time limit of `orbisyn.set_timeout` ran out (the link is
          then closed).
    TimeoutError
        `timeout` ran out.

    Notes
    -----
    Both times are cut to whole seconds and sent as milliseconds, so the range is
    ``[date_from * 1000, date_to * 1000]`` in ``time_msc``: to include the whole last second,
    pass one second more and drop the ticks past it. A range in the future ends at the
    current tick.

    A cancelled await does not stop a call that has started: it completes and its
    result is dropped; a call still queued is not made.
    """

async def positions_total(*, timeout: float | None = ...) -> int:
    """Return the number of open positions of the account.

    Awaitable `orbisyn.positions_total`: the call runs on the worker thread of `orbisyn.aio`,
    so the event loop goes on meanwhile. It returns what `orbisyn.positions_total` returns, and
    raises `orbisyn.TerminalError` where that returns its failure value.

    Parameters
    ----------
    timeout : float, optional
        Keyword only: seconds that the call may wait for the Terminal without progress; when
        they run out it raises `TimeoutError` (the link is then closed, as for
        `orbisyn.set_timeout`). Not given: no limit but the process's own.

    Returns
    -------
    int
        Number of open positions (0 or more).

    Raises
    ------
    TerminalError
        Where `orbisyn.positions_total` returns its failure value; ``code`` and ``message``
        are what `last_error` gives there:

        - ``-2`` 'Invalid arguments: takes none, 1 given': an argument was given (it takes none).
        - ``-10004`` "No IPC connection": no link; call `initialize` first (also after a
          broken link, which closes it).
        - ``-10001``, ``-10002``, ``-10000``: the request could not be sent, the reply could not be
          read (the link is then closed), or the reply was not for this request.
        - ``-10005`` "IPC timeout": the time limit of `orbisyn.set_timeout` ran out (the link is
          then closed).
    TimeoutError
        `timeout` ran out.

    Notes
    -----
    A cancelled await does not stop a call that has started: it completes and its
    result is dropped; a call still queued is not made.
    """
async def positions_get(*, symbol: str = ..., ticket: _Int = ..., group: str = ..., timeout: float | None = ...) -> tuple[TradePosition, ...]:
    """Return the open positions, all or those of a symbol, a ticket or a group mask.

    Awaitable `orbisyn.positions_get`: the call runs on the worker thread of `orbisyn.aio`,
    so the event loop goes on meanwhile. It returns what `orbisyn.positions_get` returns, and
    raises `orbisyn.TerminalError` where that returns its failure value.

    One keyword selects: `ticket`, `symbol` or `group`. Two or more together are refused,
    since one would drop the other. Without any, all open positions are returned.

    Parameters
    ----------
    symbol : str, optional
        Only the positions of this symbol (at most 29 UTF-16 code units; the Terminal selects).
    ticket : int, optional
        Only the position with this ticket (0 to ``2**64 - 1``).
    group : str, optional
        Only the positions whose symbol passes this group mask list (at most 1997 UTF-16 code
        units; see Notes).
    timeout : float, optional
        Keyword only: seconds that the call may wait for the Terminal without progress; when
        they run out it raises `TimeoutError` (the link is then closed, as for
        `orbisyn.set_timeout`). Not given: no limit but the process's own.

    Returns
    -------
    tuple of TradePosition
        In the Terminal's order (oldest first); empty when there are none, when no
        position has that ticket, and for a symbol the Terminal does not know.

    Raises
    ------
    TerminalError
        Where `orbisyn.positions_get` returns its failure value; ``code`` and ``message``
        are what `last_error` gives there:

        - ``-2`` "Unnamed arguments not allowed": an argument given by position (they are keyword
          only); 'Invalid arguments: "symbol" and "group" cannot be combined': two selections
          together (the message names the pair); 'Invalid "ticket" argument': not an integer in
          range, and likewise for `symbol` and `group` (not a str, too long). An unknown keyword:
          see the guide's Errors page.
        - the Terminal's negative status.
        - ``-10004`` "No IPC connection": no link; call `initialize` first (also after a
          broken link, which closes it).
        - ``-10001``, ``-10002``, ``-10000``: the request could not be sent, the reply could not be
          read (the link is then closed), or the reply was not for this request.
        - ``-10005`` "IPC timeout": the time limit of `orbisyn.set_timeout` ran out (the link is
          then closed).
    TimeoutError
        `timeout` ran out.

    Notes
    -----
    A group mask list is comma-separated masks with ``*`` for any run of characters; a
    mask that starts with ``!`` excludes the names it matches. A name passes when some mask
    without ``!`` matches it and no mask with ``!`` does, whatever their order:
    ``"EUR*,!*JPY"`` passes EURUSD and rejects EURJPY; ``"!*JPY"`` alone passes nothing (add
    ``"*"``). Matching is case-sensitive, ``?`` is an ordinary character, spaces around masks
    are ignored, and the name position never moves back (``"*AA"`` does not match ``"AAA"``).
    The module applies the mask to the symbol of each record after fetching them all.

    A cancelled await does not stop a call that has started: it completes and its
    result is dropped; a call still queued is not made.
    """
async def orders_total(*, timeout: float | None = ...) -> int:
    """Return the number of active (pending) orders of the account.

    Awaitable `orbisyn.orders_total`: the call runs on the worker thread of `orbisyn.aio`,
    so the event loop goes on meanwhile. It returns what `orbisyn.orders_total` returns, and
    raises `orbisyn.TerminalError` where that returns its failure value.

    Parameters
    ----------
    timeout : float, optional
        Keyword only: seconds that the call may wait for the Terminal without progress; when
        they run out it raises `TimeoutError` (the link is then closed, as for
        `orbisyn.set_timeout`). Not given: no limit but the process's own.

    Returns
    -------
    int
        Number of active orders (0 or more).

    Raises
    ------
    TerminalError
        Where `orbisyn.orders_total` returns its failure value; ``code`` and ``message``
        are what `last_error` gives there:

        - ``-2`` 'Invalid arguments: takes none, 1 given': an argument was given (it takes none).
        - ``-10004`` "No IPC connection": no link; call `initialize` first (also after a
          broken link, which closes it).
        - ``-10001``, ``-10002``, ``-10000``: the request could not be sent, the reply could not be
          read (the link is then closed), or the reply was not for this request.
        - ``-10005`` "IPC timeout": the time limit of `orbisyn.set_timeout` ran out (the link is
          then closed).
    TimeoutError
        `timeout` ran out.

    Notes
    -----
    A cancelled await does not stop a call that has started: it completes and its
    result is dropped; a call still queued is not made.
    """
async def orders_get(*, symbol: str = ..., ticket: _Int = ..., group: str = ..., timeout: float | None = ...) -> tuple[TradeOrder, ...]:
    """Return the active (pending) orders, all or those of a symbol, a ticket or a group mask.

    Awaitable `orbisyn.orders_get`: the call runs on the worker thread of `orbisyn.aio`,
    so the event loop goes on meanwhile. It returns what `orbisyn.orders_get` returns, and
    raises `orbisyn.TerminalError` where that returns its failure value.

    One keyword selects: `ticket`, `symbol` or `group`. Two or more together are refused,
    since one would drop the other. Without any, all active orders are returned.

    Parameters
    ----------
    symbol : str, optional
        Only the orders of this symbol (at most 29 UTF-16 code units; the Terminal selects).
    ticket : int, optional
        Only the order with this ticket (0 to ``2**64 - 1``).
    group : str, optional
        Only the orders whose symbol passes this group mask list (at most 1997 UTF-16 code
        units; see Notes).
    timeout : float, optional
        Keyword only: seconds that the call may wait for the Terminal without progress; when
        they run out it raises `TimeoutError` (the link is then closed, as for
        `orbisyn.set_timeout`). Not given: no limit but the process's own.

    Returns
    -------
    tuple of TradeOrder
        In the Terminal's order; empty when there are none, when no active order has that
        ticket, and for a symbol the Terminal does not know. Filled and cancelled orders are in `history_orders_get`.

    Raises
    ------
    TerminalError
        Where `orbisyn.orders_get` returns its failure value; ``code`` and ``message``
        are what `last_error` gives there:

        - ``-2`` "Unnamed arguments not allowed": an argument given by position (they are keyword
          only); 'Invalid arguments: "symbol" and "group" cannot be combined': two selections
          together (the message names the pair); 'Invalid "ticket" argument': not an integer in
          range, and likewise for `symbol` and `group` (not a str, too long). An unknown keyword:
          see the guide's Errors page.
        - the Terminal's negative status.
        - ``-10004`` "No IPC connection": no link; call `initialize` first (also after a
          broken link, which closes it).
        - ``-10001``, ``-10002``, ``-10000``: the request could not be sent, the reply could not be
          read (the link is then closed), or the reply was not for this request.
        - ``-10005`` "IPC timeout": the time limit of `orbisyn.set_timeout` ran out (the link is
          then closed).
    TimeoutError
        `timeout` ran out.

    Notes
    -----
    A group mask list is comma-separated masks with ``*`` for any run of characters; a
    mask that starts with ``!`` excludes the names it matches. A name passes when some mask
    without ``!`` matches it and no mask with ``!`` does, whatever their order:
    ``"EUR*,!*JPY"`` passes EURUSD and rejects EURJPY; ``"!*JPY"`` alone passes nothing (add
    ``"*"``). Matching is case-sensitive, ``?`` is an ordinary character, spaces around masks
    are ignored, and the name position never moves back (``"*AA"`` does not match ``"AAA"``).
    The module applies the mask to the symbol of each record after fetching them all.

    A cancelled await does not stop a call that has started: it completes and its
    result is dropped; a call still queued is not made.
    """
async def history_orders_total(date_from: _Time, date_to: _Time, *, timeout: float | None = ...) -> int:
    """Return the number of orders in the history between two times.

    Awaitable `orbisyn.history_orders_total`: the call runs on the worker thread of `orbisyn.aio`,
    so the event loop goes on meanwhile. It returns what `orbisyn.history_orders_total` returns, and
    raises `orbisyn.TerminalError` where that returns its failure value.

    Parameters
    ----------
    date_from : datetime, int or float
        Start of the range, included. Times are seconds since 1970-01-01 00:00 UTC as an int or float (cut to whole
        seconds; a bool is none), a `datetime.datetime` (naive: local time, as its ``timestamp()``
        counts; aware: its instant), a `pandas.Timestamp` (the same rule) or a
        `numpy.datetime64` (always UTC).
    date_to : datetime, int or float
        End of the range, included. Same rule as `date_from`.
    timeout : float, optional
        Keyword only: seconds that the call may wait for the Terminal without progress; when
        they run out it raises `TimeoutError` (the link is then closed, as for
        `orbisyn.set_timeout`). Not given: no limit but the process's own.

    Returns
    -------
    int
        Number of history orders (filled, cancelled, expired, ...) whose setup time lies in the
        range, both ends included.

    Raises
    ------
    TerminalError
        Where `orbisyn.history_orders_total` returns its failure value; ``code`` and ``message``
        are what `last_error` gives there:

        - ``-2`` 'Invalid arguments: "date_from"' (or `date_to`): a time that is no time (a bool is
          none); 'Invalid arguments: "date_to" missing': one time alone. A call of another shape:
          see the guide's Errors page.
        - the Terminal's negative status.
        - ``-10004`` "No IPC connection": no link; call `initialize` first (also after a
          broken link, which closes it).
        - ``-10001``, ``-10002``, ``-10000``: the request could not be sent, the reply could not be
          read (the link is then closed), or the reply was not for this request.
        - ``-10005`` "IPC timeout": the time limit of `orbisyn.set_timeout` ran out (the link is
          then closed).
    TimeoutError
        `timeout` ran out.

    Notes
    -----
    A cancelled await does not stop a call that has started: it completes and its
    result is dropped; a call still queued is not made.
    """
@overload
async def history_orders_get(date_from: _Time, date_to: _Time, /, *, group: str = ..., timeout: float | None = ...) -> tuple[TradeOrder, ...]:
    """Return orders from the history: of a time range, of a position, or one by its ticket.

    Awaitable `orbisyn.history_orders_get`: the call runs on the worker thread of `orbisyn.aio`,
    so the event loop goes on meanwhile. It returns what `orbisyn.history_orders_get` returns, and
    raises `orbisyn.TerminalError` where that returns its failure value.

    Three ways to call it: ``history_orders_get(date_from, date_to)`` (optionally with
    ``group=``), ``history_orders_get(position=ID)`` or ``history_orders_get(ticket=T)``.
    One way at a time: a time with `ticket` or `position`, `ticket` with `position`, and
    `group` without the two times are refused, since one selection would drop the other.

    Parameters
    ----------
    date_from : datetime, int or float
        Start of the range, included. Times are seconds since 1970-01-01 00:00 UTC as an int or float (cut to whole
        seconds; a bool is none), a `datetime.datetime` (naive: local time, as its ``timestamp()``
        counts; aware: its instant), a `pandas.Timestamp` (the same rule) or a
        `numpy.datetime64` (always UTC).
    date_to : datetime, int or float
        End of the range, included. Same rule as `date_from`.
    group : str, optional
        With a range only: keep the orders whose symbol passes this group mask list (at most
        1997 UTF-16 code units; see `positions_get`).
    position : int, optional
        Identifier of a position (``TradePosition.identifier``, ``TradeDeal.position_id``):
        the orders that opened, changed or closed it (0 to ``2**64 - 1``).
    ticket : int, optional
        Ticket of one order (0 to ``2**64 - 1``).
    timeout : float, optional
        Keyword only: seconds that the call may wait for the Terminal without progress; when
        they run out it raises `TimeoutError` (the link is then closed, as for
        `orbisyn.set_timeout`). Not given: no limit but the process's own.

    Returns
    -------
    tuple of TradeOrder
        In the Terminal's order (oldest first). Empty when none matches, and when no order has
        that `ticket`.

    Raises
    ------
    TerminalError
        Where `orbisyn.history_orders_get` returns its failure value; ``code`` and ``message``
        are what `last_error` gives there:

        - ``-2`` 'Invalid arguments: "date_from" and "ticket" cannot be combined': a time (by
          position or by name) with `ticket` or `position`. The message names the pair, as
          'Invalid arguments: "position" and "ticket" cannot be combined' and 'Invalid arguments:
          "group" and "position" cannot be combined' do.
        - ``-2`` 'Invalid arguments: "date_to" missing': one time alone; "Invalid arguments":
          neither times nor `ticket` or `position` (`group` alone).
        - ``-2`` 'Invalid arguments: "date_from"': a time that is no time ('Invalid "date_from"
          argument' when given by name); 'Invalid "ticket" argument': not an integer in range, and
          likewise for `position` and `group`. An unknown keyword: see the guide's Errors page.
        - ``-4`` "Terminal: Not found": the Terminal has no orders of that `position` (the
          simulated Terminal answers with an empty tuple instead).
        - the Terminal's other negative statuses.
        - ``-10004`` "No IPC connection": no link; call `initialize` first (also after a
          broken link, which closes it).
        - ``-10001``, ``-10002``, ``-10000``: the request could not be sent, the reply could not be
          read (the link is then closed), or the reply was not for this request.
        - ``-10005`` "IPC timeout": the time limit of `orbisyn.set_timeout` ran out (the link is
          then closed).
    TimeoutError
        `timeout` ran out.

    Notes
    -----
    The range selects by the order's setup time, both ends included. Deals made by the orders
    are in `history_deals_get`. The module applies `group` to the whole range after fetching
    it, with the group mask rules of `positions_get`.

    A cancelled await does not stop a call that has started: it completes and its
    result is dropped; a call still queued is not made.
    """
@overload
async def history_orders_get(*, ticket: _Int = ..., position: _Int = ..., timeout: float | None = ...) -> tuple[TradeOrder, ...]: ...
async def history_deals_total(date_from: _Time, date_to: _Time, *, timeout: float | None = ...) -> int:
    """Return the number of deals in the history between two times.

    Awaitable `orbisyn.history_deals_total`: the call runs on the worker thread of `orbisyn.aio`,
    so the event loop goes on meanwhile. It returns what `orbisyn.history_deals_total` returns, and
    raises `orbisyn.TerminalError` where that returns its failure value.

    Parameters
    ----------
    date_from : datetime, int or float
        Start of the range, included. Times are seconds since 1970-01-01 00:00 UTC as an int or float (cut to whole
        seconds; a bool is none), a `datetime.datetime` (naive: local time, as its ``timestamp()``
        counts; aware: its instant), a `pandas.Timestamp` (the same rule) or a
        `numpy.datetime64` (always UTC).
    date_to : datetime, int or float
        End of the range, included. Same rule as `date_from`.
    timeout : float, optional
        Keyword only: seconds that the call may wait for the Terminal without progress; when
        they run out it raises `TimeoutError` (the link is then closed, as for
        `orbisyn.set_timeout`). Not given: no limit but the process's own.

    Returns
    -------
    int
        Number of deals (balance operations included) whose time lies in the range, both ends
        included.

    Raises
    ------
    TerminalError
        Where `orbisyn.history_deals_total` returns its failure value; ``code`` and ``message``
        are what `last_error` gives there:

        - ``-2`` 'Invalid arguments: "date_from"' (or `date_to`): a time that is no time (a bool is
          none); 'Invalid arguments: "date_to" missing': one time alone. A call of another shape:
          see the guide's Errors page.
        - the Terminal's negative status.
        - ``-10004`` "No IPC connection": no link; call `initialize` first (also after a
          broken link, which closes it).
        - ``-10001``, ``-10002``, ``-10000``: the request could not be sent, the reply could not be
          read (the link is then closed), or the reply was not for this request.
        - ``-10005`` "IPC timeout": the time limit of `orbisyn.set_timeout` ran out (the link is
          then closed).
    TimeoutError
        `timeout` ran out.

    Notes
    -----
    A cancelled await does not stop a call that has started: it completes and its
    result is dropped; a call still queued is not made.
    """
@overload
async def history_deals_get(date_from: _Time, date_to: _Time, /, *, group: str = ..., timeout: float | None = ...) -> tuple[TradeDeal, ...]:
    """Return deals from the history: of a time range, of a position, or one by its ticket.

    Awaitable `orbisyn.history_deals_get`: the call runs on the worker thread of `orbisyn.aio`,
    so the event loop goes on meanwhile. It returns what `orbisyn.history_deals_get` returns, and
    raises `orbisyn.TerminalError` where that returns its failure value.

    Three ways to call it: ``history_deals_get(date_from, date_to)`` (optionally with
    ``group=``), ``history_deals_get(position=ID)`` or ``history_deals_get(ticket=T)``.
    One way at a time: a time with `ticket` or `position`, `ticket` with `position`, and
    `group` without the two times are refused, since one selection would drop the other.

    Parameters
    ----------
    date_from : datetime, int or float
        Start of the range, included. Times are seconds since 1970-01-01 00:00 UTC as an int or float (cut to whole
        seconds; a bool is none), a `datetime.datetime` (naive: local time, as its ``timestamp()``
        counts; aware: its instant), a `pandas.Timestamp` (the same rule) or a
        `numpy.datetime64` (always UTC).
    date_to : datetime, int or float
        End of the range, included. Same rule as `date_from`.
    group : str, optional
        With a range only: keep the deals whose symbol passes this group mask list (at most
        1997 UTF-16 code units; see `positions_get`). Balance deals have an empty symbol, which
        only ``"*"`` passes.
    position : int, optional
        Identifier of a position: its deals in and out (0 to ``2**64 - 1``).
    ticket : int, optional
        Ticket of one deal (0 to ``2**64 - 1``).
    timeout : float, optional
        Keyword only: seconds that the call may wait for the Terminal without progress; when
        they run out it raises `TimeoutError` (the link is then closed, as for
        `orbisyn.set_timeout`). Not given: no limit but the process's own.

    Returns
    -------
    tuple of TradeDeal
        In the Terminal's order (oldest first). Empty when none matches, and when no deal has
        that `ticket`.

    Raises
    ------
    TerminalError
        Where `orbisyn.history_deals_get` returns its failure value; ``code`` and ``message``
        are what `last_error` gives there:

        - ``-2`` 'Invalid arguments: "date_from" and "ticket" cannot be combined': a time (by
          position or by name) with `ticket` or `position`. The message names the pair, as
          'Invalid arguments: "position" and "ticket" cannot be combined' and 'Invalid arguments:
          "group" and "position" cannot be combined' do.
        - ``-2`` 'Invalid arguments: "date_to" missing': one time alone; "Invalid arguments":
          neither times nor `ticket` or `position` (`group` alone).
        - ``-2`` 'Invalid arguments: "date_from"': a time that is no time ('Invalid "date_from"
          argument' when given by name); 'Invalid "ticket" argument': not an integer in range, and
          likewise for `position` and `group`. An unknown keyword: see the guide's Errors page.
        - ``-4`` "Terminal: Not found": the Terminal has no deals of that `position` (the
          simulated Terminal answers with an empty tuple instead).
        - the Terminal's other negative statuses.
        - ``-10004`` "No IPC connection": no link; call `initialize` first (also after a
          broken link, which closes it).
        - ``-10001``, ``-10002``, ``-10000``: the request could not be sent, the reply could not be
          read (the link is then closed), or the reply was not for this request.
        - ``-10005`` "IPC timeout": the time limit of `orbisyn.set_timeout` ran out (the link is
          then closed).
    TimeoutError
        `timeout` ran out.

    Notes
    -----
    The range selects by deal time, both ends included. The account's balance is the sum of
    ``profit + commission + swap + fee`` over all its deals, the deposit included.
    `orbisyn.frames.records` turns the tuple into a DataFrame.

    A cancelled await does not stop a call that has started: it completes and its
    result is dropped; a call still queued is not made.
    """
@overload
async def history_deals_get(*, ticket: _Int = ..., position: _Int = ..., timeout: float | None = ...) -> tuple[TradeDeal, ...]: ...

@overload
async def order_check(request: TradeRequestDict, *, timeout: float | None = ...) -> OrderCheckResult:
    """Check whether a trade request would pass, and what it would do to the account.

    Awaitable `orbisyn.order_check`: the call runs on the worker thread of `orbisyn.aio`,
    so the event loop goes on meanwhile. It returns what `orbisyn.order_check` returns, and
    raises `orbisyn.TerminalError` where that returns its failure value.

    Nothing is traded: the Terminal checks the request (symbol, volume, prices, stops, money)
    and computes the balance, equity and margin after it.

    Parameters
    ----------
    request : dict
        The trade request, keyed by the fields of `TradeRequest` (``orbisyn.TradeRequestDict``
        names the keys for type checkers and editors). Keys left out are sent as 0, 0.0 or an
        empty string:

        - ``action`` (int): a `orbisyn.codes.TradeAction`: ``DEAL`` 1 buy or sell at the
          market, ``PENDING`` 5 place a pending order, ``SLTP`` 6 change a position's stops,
          ``MODIFY`` 7 change a pending order, ``REMOVE`` 8 remove it, ``CLOSE_BY`` 10 close a
          position by an opposite one.
        - ``symbol`` (str, at most 29 UTF-16 code units), ``volume`` (lots).
        - ``type`` (int): a `orbisyn.codes.OrderType` (``BUY`` 0, ``SELL`` 1, ``BUY_LIMIT``
          2, ...).
        - ``price``, ``stoplimit``, ``sl``, ``tp`` (prices; 0.0 means none),
          ``deviation`` (points of slippage accepted).
        - ``type_filling`` (`orbisyn.codes.OrderFilling`), ``type_time``
          (`orbisyn.codes.OrderTime`), ``expiration`` (int seconds since 1970-01-01 UTC).
        - ``position`` (ticket of the position to close or change), ``position_by`` (the
          opposite position of a close-by), ``order`` (the pending order to change or remove),
          ``magic`` (your own tag), ``comment`` (at most 29 UTF-16 code units).

        Prices and ``volume`` take any real number (float, int, numpy scalars); the integer
        keys anything with ``__index__`` (int, numpy integers, the enums of `orbisyn.codes`)
        within the field's range (0 to ``2**32 - 1`` or ``2**64 - 1``; ``expiration`` is signed).
    fields : keyword arguments
        The same request given as keyword arguments (``**fields``) instead of a dict:
        ``action=1, symbol="EURUSD", ...``; never both.
    timeout : float, optional
        Keyword only: seconds that the call may wait for the Terminal without progress; when
        they run out it raises `TimeoutError` (the link is then closed, as for
        `orbisyn.set_timeout`). Not given: no limit but the process's own.

    Returns
    -------
    OrderCheckResult
        ``retcode`` 0 when the request would pass, otherwise a `orbisyn.codes.TradeRetcode`
        that says why not (``NO_MONEY`` 10019, ``INVALID_VOLUME`` 10014, ...); the account's
        ``balance``, ``equity``, ``profit``, ``margin``, ``margin_free`` and ``margin_level``
        after it; ``request``, the `TradeRequest` as checked.

    Raises
    ------
    TerminalError
        Where `orbisyn.order_check` returns its failure value; ``code`` and ``message``
        are what `last_error` gives there:

        - ``-2``, and nothing is sent: 'Invalid "volume" argument' naming the first bad key (a
          value of the wrong type, out of range, a text too long); 'Unknown "stoploss" key, did you mean
          "sl"?' for a key that names no field; "Invalid arguments": the request is not a dict;
          "Invalid number of arguments": no request, or more than one; "Unnamed arguments not
          allowed": a dict and keywords together.
        - the Terminal's negative status.
        - ``-10004`` "No IPC connection": no link; call `initialize` first (also after a
          broken link, which closes it).
        - ``-10001``, ``-10002``, ``-10000``: the request could not be sent, the reply could not be
          read (the link is then closed), or the reply was not for this request.
        - ``-10005`` "IPC timeout": the time limit of `orbisyn.set_timeout` ran out (the link is
          then closed).
    TimeoutError
        `timeout` ran out.

    Notes
    -----
    A cancelled await does not stop a call that has started: it completes and its
    result is dropped; a call still queued is not made.
    """
@overload
async def order_check(*, timeout: float | None = ..., **request: Unpack[TradeRequestDict]) -> OrderCheckResult: ...
@overload
async def order_send(request: TradeRequestDict, *, timeout: float | None = ...) -> OrderSendResult:
    """Send a trade request to the trade server: open, close or change a position or an order.

    Awaitable `orbisyn.order_send`: the call runs on the worker thread of `orbisyn.aio`,
    so the event loop goes on meanwhile. It returns what `orbisyn.order_send` returns, and
    raises `orbisyn.TerminalError` where that returns its failure value.

    Parameters
    ----------
    request : dict
        The trade request, keyed by the fields of `TradeRequest` (``orbisyn.TradeRequestDict``
        names the keys for type checkers and editors). Keys left out are sent as 0, 0.0 or an
        empty string:

        - ``action`` (int): a `orbisyn.codes.TradeAction`: ``DEAL`` 1 buy or sell at the
          market, ``PENDING`` 5 place a pending order, ``SLTP`` 6 change a position's stops,
          ``MODIFY`` 7 change a pending order, ``REMOVE`` 8 remove it, ``CLOSE_BY`` 10 close a
          position by an opposite one.
        - ``symbol`` (str, at most 29 UTF-16 code units), ``volume`` (lots).
        - ``type`` (int): a `orbisyn.codes.OrderType` (``BUY`` 0, ``SELL`` 1, ``BUY_LIMIT``
          2, ...).
        - ``price``, ``stoplimit``, ``sl``, ``tp`` (prices; 0.0 means none),
          ``deviation`` (points of slippage accepted).
        - ``type_filling`` (`orbisyn.codes.OrderFilling`), ``type_time``
          (`orbisyn.codes.OrderTime`), ``expiration`` (int seconds since 1970-01-01 UTC).
        - ``position`` (ticket of the position to close or change), ``position_by`` (the
          opposite position of a close-by), ``order`` (the pending order to change or remove),
          ``magic`` (your own tag), ``comment`` (at most 29 UTF-16 code units).

        Prices and ``volume`` take any real number (float, int, numpy scalars); the integer
        keys anything with ``__index__`` (int, numpy integers, the enums of `orbisyn.codes`)
        within the field's range (0 to ``2**32 - 1`` or ``2**64 - 1``; ``expiration`` is signed).
    fields : keyword arguments
        The same request given as keyword arguments (``**fields``) instead of a dict:
        ``action=1, symbol="EURUSD", ...``; never both.
    timeout : float, optional
        Keyword only: seconds that the call may wait for the Terminal without progress; when
        they run out it raises `TimeoutError` (the link is then closed, as for
        `orbisyn.set_timeout`). Not given: no limit but the process's own.

    Returns
    -------
    OrderSendResult
        The trade server's answer: ``retcode`` (a `orbisyn.codes.TradeRetcode`: ``DONE``
        10009 for a deal made, ``PLACED`` 10008 for a pending order placed, or why it was
        refused), the ``deal`` and ``order`` tickets, the ``volume`` and ``price`` dealt, the
        server's ``comment``; ``request``, the `TradeRequest` as sent.

    Raises
    ------
    TerminalError
        Where `orbisyn.order_send` returns its failure value; ``code`` and ``message``
        are what `last_error` gives there:

        - ``-2``, and nothing is sent: 'Invalid "volume" argument' naming the first bad key (a
          value of the wrong type, out of range, a text too long); 'Unknown "stoploss" key, did you mean
          "sl"?' for a key that names no field; "Invalid arguments": the request is not a dict;
          "Invalid number of arguments": no request, or more than one; "Unnamed arguments not
          allowed": a dict and keywords together.
        - ``-8`` "Auto-Trading using Python API disabled in Terminal".
        - the Terminal's other negative statuses.
        - ``-10004`` "No IPC connection": no link; call `initialize` first (also after a
          broken link, which closes it).
        - ``-10001``, ``-10002``, ``-10000``: the request could not be sent, the reply could not be
          read (the link is then closed), or the reply was not for this request.
        - ``-10005`` "IPC timeout": the time limit of `orbisyn.set_timeout` ran out (the link is
          then closed).
    TimeoutError
        `timeout` ran out.

    Notes
    -----
    - To close a position, send the opposite deal with ``position`` set to its ticket: a buy
      is closed by ``type=SELL``, at most its volume (less closes a part). Without
      ``position`` a hedging account opens a second position instead.
    - For a market deal ``price`` may stay 0.0: the current price is used. A deal opened on a
      hedging account gets a position whose ticket is the result's ``order``.
    - A call that fails with a link code (-10002, -10005) after the request was sent leaves
      it open whether the trade was made: look at `positions_get` and `history_deals_get`.
    - Forex and index symbols of the simulated Terminal trade from Sunday 22:00 to Friday
      22:00 UTC; out of those hours ``retcode`` is ``MARKET_CLOSED`` (10018).

    A cancelled await does not stop a call that has started: it completes and its
    result is dropped; a call still queued is not made.
    """
@overload
async def order_send(*, timeout: float | None = ..., **request: Unpack[TradeRequestDict]) -> OrderSendResult: ...
async def order_calc_margin(action: _Int, symbol: str, volume: _Float, price: _Float, *, timeout: float | None = ...) -> float:
    """Calculate the margin that an order would need, in the account currency.

    Awaitable `orbisyn.order_calc_margin`: the call runs on the worker thread of `orbisyn.aio`,
    so the event loop goes on meanwhile. It returns what `orbisyn.order_calc_margin` returns, and
    raises `orbisyn.TerminalError` where that returns its failure value.

    Parameters
    ----------
    action : int
        Order type, buy or sell: `orbisyn.codes.OrderType` ``BUY`` (0) or ``SELL`` (1)
        (the name is historical; it is not a `orbisyn.codes.TradeAction`).
    symbol : str
        Symbol name (at most 29 UTF-16 code units).
    volume : float
        Volume in lots; any real number (the Terminal refuses a negative one).
    price : float
        Open price to compute with; any real number.
    timeout : float, optional
        Keyword only: seconds that the call may wait for the Terminal without progress; when
        they run out it raises `TimeoutError` (the link is then closed, as for
        `orbisyn.set_timeout`). Not given: no limit but the process's own.

    Returns
    -------
    float
        Margin in the account currency, for the current account (its leverage and margin
        mode) at current market conditions; 0.0 is a valid answer.

    Raises
    ------
    TerminalError
        Where `orbisyn.order_calc_margin` returns its failure value; ``code`` and ``message``
        are what `last_error` gives there:

        - ``-2`` 'Invalid arguments: "action"': not an integer (an int or anything with
          ``__index__``) of 32 bits; 'Invalid arguments: "volume"': not a real number (a bool is
          none), and likewise for the prices; 'Invalid arguments: "symbol"': not a str, or too long.
          A call of another shape: see the guide's Errors page.
        - ``-4`` "Terminal: Not found": the Terminal does not know the symbol.
        - ``-2`` "Terminal: Invalid params": the Terminal refused a value, such as a negative
          volume.
        - the Terminal's other negative statuses.
        - ``-10004`` "No IPC connection": no link; call `initialize` first (also after a
          broken link, which closes it).
        - ``-10001``, ``-10002``, ``-10000``: the request could not be sent, the reply could not be
          read (the link is then closed), or the reply was not for this request.
        - ``-10005`` "IPC timeout": the time limit of `orbisyn.set_timeout` ran out (the link is
          then closed).
    TimeoutError
        `timeout` ran out.

    Notes
    -----
    A cancelled await does not stop a call that has started: it completes and its
    result is dropped; a call still queued is not made.
    """
async def order_calc_profit(action: _Int, symbol: str, volume: _Float, price_open: _Float,
                            price_close: _Float, *, timeout: float | None = ...) -> float:
    """Calculate the profit of a trade between two prices, in the account currency.

    Awaitable `orbisyn.order_calc_profit`: the call runs on the worker thread of `orbisyn.aio`,
    so the event loop goes on meanwhile. It returns what `orbisyn.order_calc_profit` returns, and
    raises `orbisyn.TerminalError` where that returns its failure value.

    Parameters
    ----------
    action : int
        Order type, buy or sell: `orbisyn.codes.OrderType` ``BUY`` (0) or ``SELL`` (1)
        (the name is historical; it is not a `orbisyn.codes.TradeAction`).
    symbol : str
        Symbol name (at most 29 UTF-16 code units).
    volume : float
        Volume in lots; any real number (the Terminal refuses a negative one).
    price_open : float
        Open price; any real number.
    price_close : float
        Close price; any real number.
    timeout : float, optional
        Keyword only: seconds that the call may wait for the Terminal without progress; when
        they run out it raises `TimeoutError` (the link is then closed, as for
        `orbisyn.set_timeout`). Not given: no limit but the process's own.

    Returns
    -------
    float
        Profit in the account currency (negative for a loss), at current conversion rates.

    Raises
    ------
    TerminalError
        Where `orbisyn.order_calc_profit` returns its failure value; ``code`` and ``message``
        are what `last_error` gives there:

        - ``-2`` 'Invalid arguments: "action"': not an integer (an int or anything with
          ``__index__``) of 32 bits; 'Invalid arguments: "volume"': not a real number (a bool is
          none), and likewise for the prices; 'Invalid arguments: "symbol"': not a str, or too long.
          A call of another shape: see the guide's Errors page.
        - ``-4`` "Terminal: Not found": the Terminal does not know the symbol.
        - ``-2`` "Terminal: Invalid params": the Terminal refused a value, such as a negative
          volume.
        - the Terminal's other negative statuses.
        - ``-10004`` "No IPC connection": no link; call `initialize` first (also after a
          broken link, which closes it).
        - ``-10001``, ``-10002``, ``-10000``: the request could not be sent, the reply could not be
          read (the link is then closed), or the reply was not for this request.
        - ``-10005`` "IPC timeout": the time limit of `orbisyn.set_timeout` ran out (the link is
          then closed).
    TimeoutError
        `timeout` ran out.

    Notes
    -----
    A cancelled await does not stop a call that has started: it completes and its
    result is dropped; a call still queued is not made.
    """
