"""Bars and ticks: requests on the wire, arrays built from the replies, failures."""
from __future__ import annotations

import datetime as dt
import resource
import tracemalloc

import numpy as np
import pytest

import orbisyn
from support import wire_layouts as layouts
from support.fake_terminal import BAR, TICK, close, i32, i64, reply, request, session, text, u32

UTC = dt.timezone.utc


def _numpy_fields(layout):
    """(name, numpy format, offset) of each field, from the hand-written layout."""
    return [(name, {"f64": "<f8"}.get(kind, f"<{kind[0]}{int(kind[1:]) // 8}"), offset)
            for name, offset, kind in layout]


BAR_FIELDS = _numpy_fields(layouts.BAR)
TICK_FIELDS = _numpy_fields(layouts.TICK)

# name -> (command, valid arguments, request payload after the symbol for those arguments)
FUNCS = {
    "copy_rates_from": (106, ("EURUSD", 16385, 1_700_000_000, 10),
                        i32(16385) + i64(1_700_000_000) + i32(10)),
    "copy_rates_from_pos": (108, ("EURUSD", 1, 5, 10), i32(1) + i32(5) + i32(10)),
    "copy_rates_range": (107, ("EURUSD", -7, 100, 200), i32(-7) + i64(100) + i64(200)),
    "copy_ticks_from": (104, ("EURUSD", 100, 7, -1), i64(100_000) + i32(7) + i32(-1)),
    "copy_ticks_range": (105, ("EURUSD", 100, 200, 6), i64(100_000) + i64(200_000) + i32(6)),
}


def is_ticks(name):
    return name.startswith("copy_ticks")


def bar(i):
    return BAR.pack(-86400 + i, 1.5 + i, 2.25, -0.5, 1e300, 2**64 - 1 - i, -3 - i, 2**63 + i)


def tick(i):
    return TICK.pack(1_700_000_000 + i, 1.25, 1.5 + i, -2.0, 2**64 - 1, -1_700_000_000_123 - i,
                     0xFFFFFFFF - i, 0.125 * i)


def records(name, n):
    make = tick if is_ticks(name) else bar
    return b"".join(make(i) for i in range(n))


def call(name, *args):
    return getattr(orbisyn, name)(*args)


@pytest.fixture
def term(fake_terminal):
    return session(fake_terminal)


def serve(term, *actions):
    """Queue replies and wait until the peer holds them, so no request can overtake them."""
    term.script(*actions)
    term.sync()


def last_request(term):
    return term.requests()[-1]


@pytest.mark.parametrize("name", FUNCS)
def test_request_bytes_and_values(term, name):
    code, args, fields = FUNCS[name]
    serve(term, reply(code, 0, u32(3) + records(name, 3)))
    arr = call(name, *args)
    assert orbisyn.last_error() == (1, "Success")
    assert last_request(term) == request(code, text("EURUSD") + fields)
    assert isinstance(arr, np.ndarray) and arr.ndim == 1 and arr.shape == (3,)
    fields, layout = (TICK_FIELDS, TICK) if is_ticks(name) else (BAR_FIELDS, BAR)
    sent = records(name, 3)
    for i in range(3):
        assert tuple(arr[i][f] for f, _, _ in fields) == layout.unpack_from(sent, 60 * i)


@pytest.mark.parametrize("fields, name", [(BAR_FIELDS, "copy_rates_from_pos"),
                                          (TICK_FIELDS, "copy_ticks_from")])
def test_dtype_layout(term, fields, name):
    code, args, _ = FUNCS[name]
    serve(term, reply(code, 0, u32(0)))
    dtype = call(name, *args).dtype
    assert dtype.itemsize == 60 and not dtype.isalignedstruct
    assert list(dtype.names) == [f for f, _, _ in fields]
    for f, fmt, off in fields:
        sub, offset = dtype.fields[f]
        assert (sub.str, offset) == (np.dtype(fmt).str, off)


@pytest.mark.parametrize("name", FUNCS)
def test_empty_reply_is_empty_array(term, name):
    code, args, _ = FUNCS[name]
    serve(term, reply(code, 0, u32(0)))
    arr = call(name, *args)
    assert isinstance(arr, np.ndarray) and arr.shape == (0,) and arr.dtype.itemsize == 60
    assert orbisyn.last_error() == (1, "Success")


@pytest.mark.parametrize("symbol, sent", [
    ("A" * 29, "A" * 29),
    ("\U0001F600" * 14 + "x", "\U0001F600" * 14 + "x"),  # 29 units, surrogate pairs
    ("EUR\0USD", "EUR"),
    ("", ""),
    ("\u00e9\u4e2d", "\u00e9\u4e2d"),
])
@pytest.mark.parametrize("name", ["copy_rates_from", "copy_ticks_range"])
def test_symbol_sent(term, name, symbol, sent):
    code, args, fields = FUNCS[name]
    serve(term, reply(code, 0, u32(0)))
    assert call(name, symbol, *args[1:]) is not None
    assert last_request(term) == request(code, text(sent) + fields)


SECONDS = [
    (0, 0), (0.0, 0), (dt.datetime(1970, 1, 1, tzinfo=UTC), 0),
    (dt.datetime(1970, 1, 1, 0, 0, 1, tzinfo=UTC), 1),
    (100.9, 100), (-100.9, -100), (2.75, 2),
    (dt.datetime(2026, 1, 5, 12, 0, 0, 999_999, tzinfo=UTC), 1_767_614_400),
    (dt.datetime(2040, 1, 1, tzinfo=UTC), 2_208_988_800),
    (2**40, 2**40),
]


@pytest.mark.parametrize("value, seconds", SECONDS)
def test_times_on_the_wire(term, value, seconds):
    serve(term, *(reply(code, 0, u32(0)) for code in (106, 107, 104, 105)))
    sym = text("S")
    call("copy_rates_from", "S", 1, value, 2)
    call("copy_rates_range", "S", 1, value, value)
    call("copy_ticks_from", "S", value, 2, 3)
    call("copy_ticks_range", "S", value, value, 3)
    ms = seconds * 1000
    assert term.requests()[-4:] == [
        request(106, sym + i32(1) + i64(seconds) + i32(2)),
        request(107, sym + i32(1) + i64(seconds) + i64(seconds)),
        request(104, sym + i64(ms) + i32(2) + i32(3)),
        request(105, sym + i64(ms) + i64(ms) + i32(3)),
    ]


PARAMS = {
    "copy_rates_from": ("symbol", "timeframe", "date_from", "count"),
    "copy_rates_from_pos": ("symbol", "timeframe", "start_pos", "count"),
    "copy_rates_range": ("symbol", "timeframe", "date_from", "date_to"),
    "copy_ticks_from": ("symbol", "date_from", "count", "flags"),
    "copy_ticks_range": ("symbol", "date_from", "date_to", "flags"),
}


def with_arg(name, index, value):
    args = list(FUNCS[name][1])
    args[index] = value
    return tuple(args)


BAD_ARGS = [
    (name, args) for name in FUNCS for args in (FUNCS[name][1][:3], FUNCS[name][1] + (1,), ())
] + [(name, with_arg(name, 0, bad)) for name in FUNCS
     for bad in (b"EURUSD", None, "A" * 30)] + [
    ("copy_ticks_from", with_arg("copy_ticks_from", 0, "\U0001F600" * 15)),
    ("copy_rates_from", with_arg("copy_rates_from", 2, dt.date(2026, 1, 5))),
    ("copy_rates_from", with_arg("copy_rates_from", 2, "2026-01-05")),
    ("copy_rates_from", with_arg("copy_rates_from", 2, float("nan"))),
    ("copy_rates_from", with_arg("copy_rates_from", 2, 2**63)),
    ("copy_rates_from", with_arg("copy_rates_from", 1, 2**31)),
    ("copy_rates_from", with_arg("copy_rates_from", 3, 1.0)),
    ("copy_rates_from_pos", with_arg("copy_rates_from_pos", 2, "5")),
    ("copy_rates_range", with_arg("copy_rates_range", 3, dt.date(2026, 1, 5))),
    ("copy_rates_range", with_arg("copy_rates_range", 3, float("inf"))),
    ("copy_ticks_from", with_arg("copy_ticks_from", 1, dt.date(2026, 1, 5))),
    ("copy_ticks_from", with_arg("copy_ticks_from", 1, 2**62)),  # x1000 leaves int64
    ("copy_ticks_from", with_arg("copy_ticks_from", 1, -1e17)),
    ("copy_ticks_from", with_arg("copy_ticks_from", 3, -2**31 - 1)),
    ("copy_ticks_range", with_arg("copy_ticks_range", 2, 2**62)),
    ("copy_ticks_range", with_arg("copy_ticks_range", 2, "x")),
]


def refused_message(name, args):
    """The message names the bad argument, or says what is wrong with the count."""
    params = PARAMS[name]
    if len(args) != len(params):
        return (f'Invalid arguments: "{params[len(args)]}" missing' if len(args) < len(params)
                else f"Invalid arguments: takes {len(params)}, {len(args)} given")
    bad = next(i for i, a in enumerate(args) if a is not FUNCS[name][1][i] and a != FUNCS[name][1][i])
    why = (": a date names no instant, give a datetime"
           if type(args[bad]) is dt.date else "")
    return f'Invalid arguments: "{params[bad]}"{why}'


@pytest.mark.parametrize("name, args", BAD_ARGS)
def test_invalid_arguments_come_before_the_link(name, args):
    assert call(name, *args) is None
    assert orbisyn.last_error() == (-2, refused_message(name, args))


@pytest.mark.parametrize("name", FUNCS)
def test_invalid_arguments_send_nothing(term, name):
    for bad in [args for n, args in BAD_ARGS if n == name]:
        assert call(name, *bad) is None, bad
        assert orbisyn.last_error() == (-2, refused_message(name, bad)), bad
    assert term.codes() == [4, 109]


@pytest.mark.parametrize("name", FUNCS)
def test_no_session(name):
    assert call(name, *FUNCS[name][1]) is None
    assert orbisyn.last_error() == (-10004, "No IPC connection")


def traced(fn):
    """fn's result and the peak memory traced meanwhile (numpy reports its data blocks)."""
    tracemalloc.start()
    try:
        result = fn()
        return result, tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


@pytest.mark.parametrize("bad_reply, error", [
    # a complete array followed by surplus, beyond and within the reader's buffer
    pytest.param(reply(106, 0, u32(1) + bar(0) + b"\0" * 40_000), (-10002, "IPC recv failed"),
                 id="surplus-40k"),
    pytest.param(reply(106, 0, u32(1) + bar(0) + bar(1)), (-10002, "IPC recv failed"),
                 id="surplus-record"),
    # a count far beyond what the reply carries: refused before allocating
    pytest.param(reply(106, 0, u32(50_000_000) + bar(0)), (-10002, "IPC recv failed"),
                 id="count-50M"),
    pytest.param(reply(106, 0, u32(0xFFFFFFFF) + bar(0) * 300), (-10002, "IPC recv failed"),
                 id="count-max"),
])
def test_failed_reply_frees_block_and_keeps_step(term, bad_reply, error):
    serve(term, bad_reply, reply(106, 0, u32(2) + bar(5) + bar(6)))
    result, peak = traced(lambda: orbisyn.copy_rates_from("EURUSD", 1, 0, 2))
    assert result is None
    assert orbisyn.last_error() == error
    assert peak < 1 << 20
    again = orbisyn.copy_rates_from("EURUSD", 1, 0, 2)
    assert again is not None and list(again["spread"]) == [-8, -9]
    assert orbisyn.last_error() == (1, "Success")


@pytest.mark.parametrize("cut", [12, 100, 12 + 60 * 500])
def test_broken_pipe_mid_array(term, cut):
    full = reply(104, 0, u32(1000) + records("copy_ticks_from", 1000))
    serve(term, close(full[:cut]))
    assert orbisyn.copy_ticks_from("EURUSD", 0, 1000, 0) is None
    assert orbisyn.last_error() == (-10002, "IPC recv failed")
    assert orbisyn.copy_ticks_from("EURUSD", 0, 1000, 0) is None
    assert orbisyn.last_error() == (-10004, "No IPC connection")
    assert term.codes() == [4, 109, 104]


def test_array_owns_one_block_of_exactly_n_records(term):
    n = 100_000
    serve(term, reply(106, 0, u32(n) + bar(1) * n))
    arr, peak = traced(lambda: orbisyn.copy_rates_from("EURUSD", 1, 0, n))
    assert arr.flags.owndata and arr.base is None and arr.flags.writeable
    assert arr.flags.c_contiguous and arr.strides == (60,)
    # one block of N x 60 bytes and no second copy
    assert n * 60 <= peak < n * 60 + (1 << 20)
    assert arr[-1].tobytes() == bar(1)


def test_memory_released_when_arrays_die(term):
    n, rounds = 200_000, 12
    big = reply(108, 0, u32(n) + bar(2) * n)
    serve(term, *[big] * rounds)
    rss = []
    for _ in range(rounds):
        arr = orbisyn.copy_rates_from_pos("EURUSD", 1, 0, n)
        assert arr.shape == (n,)
        del arr
        rss.append(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
    # 12 blocks of 12 MB: a leak would add them up
    assert rss[-1] - rss[1] < 2 * n * 60 // 1024
