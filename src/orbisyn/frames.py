"""pandas DataFrames from the arrays and records of ``orbisyn`` (needs ``orbisyn[pandas]``).

    rates(array)              bars, indexed by ``time``
    rates(array, ohlcv=True)  bars as ``Open, High, Low, Close, Volume`` (backtesting.py, mplfinance)
    ticks(array)              ticks, indexed by ``time_msc`` (millisecond precision)
    records(rows)             one row per record (positions, orders, deals, symbols...), fields as columns

Indexes and time columns are UTC timestamps of one dtype, ``datetime64[ns, UTC]``, with
every pandas (pandas 3 alone would pick the unit of the input). The array functions keep every other field as a
column of its own dtype, and don't copy the array: the columns are views of its memory (so
changing the array afterwards changes the frame). ``records`` turns a time field of 0 (an
order not yet done, no expiration) into ``NaT``.
"""
from __future__ import annotations

from typing import Any, Dict, Iterable, List, Literal, Optional, Tuple

import numpy as np
import numpy.typing as npt

try:
    import pandas as pd
except ImportError as e:  # pragma: no cover - depends on the environment
    raise ImportError("orbisyn.frames needs pandas: pip install 'orbisyn[pandas]'") from e

from . import _core, _records

__all__ = ["rates", "ticks", "records"]


def rates(array: np.ndarray, *, ohlcv: bool = False,
          volume: Literal["tick_volume", "real_volume"] = "tick_volume") -> pd.DataFrame:
    """Bars from ``copy_rates_*`` as a DataFrame indexed by ``time`` (UTC).

    Parameters
    ----------
    array : numpy.ndarray
        The bar array of `orbisyn.copy_rates_from`, `orbisyn.copy_rates_from_pos` or
        `orbisyn.copy_rates_range` (not None: check the call first).
    ohlcv : bool, optional
        False (default): the other fields as columns with their names and dtypes
        (``open, high, low, close, tick_volume, spread, real_volume``). True: the columns
        ``Open, High, Low, Close, Volume`` that backtesting.py, mplfinance and most
        charting and backtesting libraries expect, and no others.
    volume : {"tick_volume", "real_volume"}, optional
        With ``ohlcv=True``, the field that becomes ``Volume``: the number of ticks
        (default; every symbol has it) or the traded volume (exchange symbols only; 0
        elsewhere).

    Returns
    -------
    pandas.DataFrame
        One row per bar, oldest first, index ``time`` (``datetime64[ns, UTC]``, the bar's
        open time). The columns are views of the array, not copies.

    Raises
    ------
    TypeError
        `array` is None or not a one-dimensional structured array.
    ValueError
        `array` has no ``time`` field (or not the fields that ``ohlcv=True`` needs), or
        `volume` is neither field name.

    Examples
    --------
    >>> import orbisyn
    >>> orbisyn.initialize()
    True
    >>> from orbisyn import frames
    >>> from orbisyn.codes import Timeframe
    >>> bars = frames.rates(orbisyn.copy_rates_from_pos("EURUSD", Timeframe.H1, 1, 48), ohlcv=True)
    >>> list(bars.columns), str(bars.index.tz), len(bars)
    (['Open', 'High', 'Low', 'Close', 'Volume'], 'UTC', 48)
    """
    if volume not in ("tick_volume", "real_volume"):
        raise ValueError(f"volume must be 'tick_volume' or 'real_volume', not {volume!r}")
    names = _OHLCV + ((volume, "Volume"),) if ohlcv else None
    return _indexed(array, "time", "s", "rates", names)


# Field of the bar array -> conventional column name.
_OHLCV = (("open", "Open"), ("high", "High"), ("low", "Low"), ("close", "Close"))


def ticks(array: np.ndarray) -> pd.DataFrame:
    """Ticks from ``copy_ticks_*`` as a DataFrame indexed by ``time_msc`` (UTC, millisecond
    precision), the other fields (``time`` in seconds included) as columns with their dtypes.

    Examples
    --------
    >>> import orbisyn
    >>> orbisyn.initialize()
    True
    >>> from datetime import datetime, timezone
    >>> from orbisyn import frames
    >>> noon = datetime(2026, 12, 2, 12, tzinfo=timezone.utc)
    >>> ticks = frames.ticks(orbisyn.copy_ticks_range("EURUSD", noon, noon.replace(minute=1), -1))
    >>> ticks.index.name, list(ticks.columns)
    ('time_msc', ['time', 'bid', 'ask', 'last', 'volume', 'flags', 'volume_real'])
    """
    return _indexed(array, "time_msc", "ms", "ticks")


def _in_ns(stamps: pd.DatetimeIndex) -> pd.DatetimeIndex:
    # pandas 3 picks the unit of the input (seconds, milliseconds); pandas 1.5 knows only
    # nanoseconds. One unit for all, so that frames compare and concatenate alike.
    as_unit = getattr(stamps, "as_unit", None)
    return as_unit("ns") if as_unit is not None else stamps


def _indexed(array: Any, field: str, unit: Literal["s", "ms"], what: str,
             names: Optional[Tuple[Tuple[str, str], ...]] = None) -> pd.DataFrame:
    if array is None:
        raise TypeError(f"{what}() got None: the call that should have made the array failed "
                        "(see orbisyn.last_error())")
    if not isinstance(array, np.ndarray) or array.dtype.names is None or array.ndim != 1:
        raise TypeError(f"{what}() needs a one-dimensional structured array, not {type(array).__name__}")
    if field not in array.dtype.names:
        raise ValueError(f"{what}() needs a {field!r} field; the array has {array.dtype.names}")
    stamps: npt.NDArray[np.int64] = array[field]
    index = pd.DatetimeIndex(_in_ns(pd.to_datetime(stamps, unit=unit, utc=True)), name=field)
    # copy=False: each column is a view of its field, no consolidation into new blocks.
    if names is None:
        columns = {name: array[name] for name in array.dtype.names if name != field}
    else:
        missing = [f for f, _ in names if f not in array.dtype.names]
        if missing:
            raise ValueError(f"{what}() needs the fields {missing}; the array has {array.dtype.names}")
        columns = {column: array[f] for f, column in names}
    return pd.DataFrame(columns, index=index, copy=False)


# Field kinds of each record type, in field order, as the extension gives them: i int, f
# float, b bool, s str, r a nested TradeRequest record (kept as an object column).
_KINDS: Dict[str, str] = {name: getattr(_core, name)._kinds for name in _records.NAMES}

# Integer fields that hold times: seconds, or milliseconds for the *_msc ones.
_TIMES = frozenset({"time", "time_msc", "time_update", "time_update_msc", "time_setup",
                    "time_setup_msc", "time_done", "time_done_msc", "time_expiration",
                    "start_time", "expiration_time", "expiration"})


def _column(name: str, kind: str, values: List[Any]) -> Any:
    if name in _TIMES:
        stamps = np.array(values, dtype=np.int64)
        col = _in_ns(pd.to_datetime(stamps, unit="ms" if name.endswith("_msc") else "s", utc=True))
        return col.where(stamps != 0)  # 0 means no such time
    if kind == "i":
        try:
            return np.array(values, dtype=np.int64)
        except OverflowError:
            return np.array(values, dtype=np.uint64)
    if kind == "f":
        return np.array(values, dtype=np.float64)
    if kind == "b":
        return np.array(values, dtype=np.bool_)
    if kind == "s":
        return pd.Series(values, dtype=str)
    out = np.empty(len(values), dtype=object)
    out[:] = values
    return out


def records(rows: Iterable[Any], record_type: Optional[type] = None) -> pd.DataFrame:
    """One row per record (all of one record type, e.g. the tuple ``positions_get`` returns),
    the record's fields as columns: ints, floats, bools and strs as such, times as UTC
    timestamps (``NaT`` for 0), a nested ``request`` as an object column.

    Without rows the frame is empty; give ``record_type`` (e.g. ``orbisyn.TradePosition``) to
    have its columns and dtypes all the same, so that it concatenates with full frames.

    Parameters
    ----------
    rows : iterable of records
        Records of one type, such as the tuple of `orbisyn.positions_get` (not None: check
        the call first).
    record_type : class, optional
        Their type, for example `orbisyn.TradeDeal`; needed for the columns when there may be
        no rows.

    Returns
    -------
    pandas.DataFrame
        One row per record, in order, with a RangeIndex.

    Examples
    --------
    >>> import orbisyn
    >>> orbisyn.initialize()
    True
    >>> from orbisyn import frames
    >>> deals = frames.records(orbisyn.history_deals_get(0, 2**31 - 1), orbisyn.TradeDeal)
    >>> deals.loc[0, "comment"], str(deals["time"].dt.tz)
    ('Deposit', 'UTC')
    """
    if rows is None:
        raise TypeError("records() got None: the call that should have made the records failed "
                        "(see orbisyn.last_error())")
    rows = list(rows)
    if record_type is None:
        if not rows:
            return pd.DataFrame()
        record_type = type(rows[0])
    name = record_type.__name__
    kinds = _KINDS.get(name)
    if kinds is None or getattr(_core, name, None) != record_type:
        raise TypeError(f"records() takes orbisyn records, not {name}")
    for row in rows:
        if type(row) is not record_type:
            raise TypeError(f"records() takes records of one type: {name} and {type(row).__name__} given")
    names = _records.fields(record_type)
    by_field = list(zip(*rows)) if rows else [()] * len(names)
    columns = {field: _column(field, kind, list(values))
               for field, kind, values in zip(names, kinds, by_field)}
    return pd.DataFrame(columns, index=pd.RangeIndex(len(rows)))
