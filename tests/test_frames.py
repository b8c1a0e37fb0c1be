"""orbisyn.frames: the UTC index, the columns and their dtypes, no copy, empty input, records."""
from __future__ import annotations

import ast
import os

import numpy as np
import pytest

import orbisyn

pd = pytest.importorskip("pandas")
from orbisyn import frames  # noqa: E402
from orbisyn import _records

RATE = np.dtype({"names": ["time", "open", "high", "low", "close", "tick_volume", "spread", "real_volume"],
                 "formats": ["<i8", "<f8", "<f8", "<f8", "<f8", "<u8", "<i4", "<u8"],
                 "offsets": [0, 8, 16, 24, 32, 40, 48, 52], "itemsize": 60})
TICK = np.dtype({"names": ["time", "bid", "ask", "last", "volume", "time_msc", "flags", "volume_real"],
                 "formats": ["<i8", "<f8", "<f8", "<f8", "<u8", "<i8", "<u4", "<f8"],
                 "offsets": [0, 8, 16, 24, 32, 40, 48, 52], "itemsize": 60})
MSC = 1_710_234_567_891  # 2024-03-12 09:09:27.891 UTC


def filled(dtype: np.dtype, n: int) -> np.ndarray:
    a = np.zeros(n, dtype)
    for i, name in enumerate(dtype.names):
        a[name] = np.arange(n) * (i + 2) + i
    if "time_msc" in dtype.names:
        a["time_msc"] = MSC + np.arange(n) * 250
        a["time"] = a["time_msc"] // 1000
    else:
        a["time"] = MSC // 1000 + np.arange(n) * 60
    return a


@pytest.mark.parametrize("kind, dtype, field, unit", [("rates", RATE, "time", "s"),
                                                     ("ticks", TICK, "time_msc", "ms")])
@pytest.mark.parametrize("n", [0, 1, 1000])
def test_array_frames(kind, dtype, field, unit, n):
    a = filled(dtype, n)
    df = getattr(frames, kind)(a)
    # One unit whatever pandas picks by itself (nanoseconds up to 2.x, the input's in 3).
    assert isinstance(df.index, pd.DatetimeIndex) and str(df.index.dtype) == "datetime64[ns, UTC]"
    assert df.index.name == field
    expected = pd.to_datetime(a[field].astype(f"datetime64[{unit}]")).tz_localize("UTC")
    assert df.index.equals(pd.DatetimeIndex(expected))
    others = [f for f in dtype.names if f != field]
    assert list(df.columns) == others
    assert [df[f].dtype for f in others] == [dtype[f] for f in others]
    for f in others:
        np.testing.assert_array_equal(df[f].to_numpy(), a[f])
    if n:
        assert np.shares_memory(df["bid" if kind == "ticks" else "close"].to_numpy(), a)


@pytest.mark.parametrize("call, arg, error", [
    ("rates", None, TypeError), ("ticks", [1, 2], TypeError),
    ("ticks", np.zeros(3), TypeError), ("ticks", filled(RATE, 2), ValueError),
    ("rates", filled(RATE, 4).reshape(2, 2), TypeError), ("records", None, TypeError),
    ("records", [(1, 2)], TypeError),
])
def test_bad_input_is_refused(call, arg, error):
    with pytest.raises(error):
        getattr(frames, call)(arg)


def position(ticket: int, **changes) -> orbisyn.TradePosition:
    fields = dict(ticket=ticket, time=MSC // 1000, time_msc=MSC, time_update=0, time_update_msc=0,
                  type=0, magic=7, identifier=ticket, reason=3, volume=0.5, price_open=1.1, sl=0.0,
                  tp=0.0, price_current=1.2, swap=0.0, profit=5.0, symbol="EURUSD", comment="c",
                  external_id="")
    fields.update(changes)
    return orbisyn.TradePosition(tuple(fields[f] for f in _records.fields(orbisyn.TradePosition)))


def test_records_give_one_row_per_record_with_typed_columns():
    rows = (position(1), position(2, time_update=MSC // 1000 + 5, time_update_msc=MSC + 5000),
            position(2**63 + 5, symbol="BTCUSD"))
    df = frames.records(rows)
    assert list(df.columns) == list(_records.fields(orbisyn.TradePosition)) and len(df) == 3
    assert df["ticket"].dtype == np.uint64 and df["ticket"].iloc[2] == 2**63 + 5
    assert df["magic"].dtype == np.int64 and df["volume"].dtype == np.float64
    assert df["symbol"].tolist() == ["EURUSD", "EURUSD", "BTCUSD"]
    stamp = pd.Timestamp(MSC, unit="ms", tz="UTC")
    assert df["time_msc"].iloc[0] == stamp and df["time"].iloc[0] == stamp.floor("s")
    assert df["time_update_msc"].isna().tolist() == [True, False, True]  # 0 is no time
    assert df["time_update_msc"].iloc[1] == stamp + pd.Timedelta(seconds=5)
    assert {str(df[f].dtype) for f in ("time", "time_msc", "time_update")} == {"datetime64[ns, UTC]"}


def test_empty_records_of_a_type_concatenate_with_full_ones():
    empty = frames.records((), orbisyn.TradePosition)
    full = frames.records([position(1)])
    assert len(empty) == 0 and list(empty.columns) == list(full.columns)
    assert empty.dtypes.to_dict() == full.dtypes.to_dict()
    assert pd.concat([empty, full]).dtypes.to_dict() == full.dtypes.to_dict()
    assert frames.records(()).empty


def test_records_refuse_mixed_types():
    tick = orbisyn.Tick((1, 1.0, 1.0, 0.0, 0, 1000, 6, 0.0))
    with pytest.raises(TypeError, match="one type"):
        frames.records([position(1), tick])


STUB = os.path.join(os.path.dirname(orbisyn.__file__), "_core.pyi")
KIND = {"int": "i", "float": "f", "bool": "b", "str": "s", "TradeRequest": "r"}


def stub_kinds() -> dict:
    tree = ast.parse(open(STUB).read())
    return {c.name: "".join(KIND[ast.unparse(f.returns)] for f in c.body if isinstance(f, ast.FunctionDef))
            for c in tree.body if isinstance(c, ast.ClassDef) and not c.name.startswith("_")}


def test_field_kinds_follow_the_stubs():
    assert frames._KINDS == stub_kinds()


def test_field_names_by_position_are_the_stubs_order():
    # Python 3.9's records have no __match_args__: their names come from this.
    for name in frames._KINDS:
        assert _records.field_names(getattr(orbisyn, name)) == tuple(stub_fields()[name]), name
        assert _records.fields(getattr(orbisyn, name)) == tuple(stub_fields()[name]), name


def stub_fields() -> dict:
    tree = ast.parse(open(STUB).read())
    return {c.name: [f.name for f in c.body if isinstance(f, ast.FunctionDef)]
            for c in tree.body if isinstance(c, ast.ClassDef) and not c.name.startswith("_")}


@pytest.mark.parametrize("volume", ["tick_volume", "real_volume"])
@pytest.mark.parametrize("n", [0, 5])
def test_rates_in_the_conventional_columns(volume, n):
    a = filled(RATE, n)
    df = frames.rates(a, ohlcv=True, volume=volume)
    assert list(df.columns) == ["Open", "High", "Low", "Close", "Volume"]
    assert df.index.name == "time" and str(df.index.tz) == "UTC"
    for field, column in [("open", "Open"), ("high", "High"), ("low", "Low"), ("close", "Close"),
                          (volume, "Volume")]:
        np.testing.assert_array_equal(df[column].to_numpy(), a[field])
        assert df[column].dtype == RATE[field]
    if n:
        assert np.shares_memory(df["Close"].to_numpy(), a)


@pytest.mark.parametrize("array, kwargs", [
    (filled(RATE, 2), {"ohlcv": True, "volume": "spread"}),
    (filled(TICK, 2), {"ohlcv": True}),       # a tick array has no open/high/low/close
])
def test_rates_in_the_conventional_columns_refused(array, kwargs):
    with pytest.raises(ValueError):
        frames.rates(array, **kwargs)
