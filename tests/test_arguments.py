"""One argument rule for every function: numbers as Python means them, one time rule (with a
time zone set), and an error state that belongs to the thread that made the call."""
from __future__ import annotations

import datetime as dt
import enum
import os
import sys
import threading
import time
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest

import orbisyn
from support.fake_terminal import i64, reply, request, session, u32

NO_LINK = (-10004, "No IPC connection")


class Side(enum.IntEnum):
    SELL = 1


# (value, accepted) per kind; accepted values reach the link test, which fails here.
FLOATS = [(1, True), (0, True), (np.float32(0.5), True), (np.int64(2), True), (Fraction(1, 4), True),
          (Decimal("0.1"), True), (np.float64("nan"), True), (True, False), (np.bool_(True), False),
          ("1.0", False), (1j, False), (None, False), (2**2000, False), (np.array([1.0, 2.0]), False)]
INTS = [(np.int64(5), True), (np.uint8(5), True), (Side.SELL, True), (True, True), (np.array(3), True),
        (1.0, False), (np.float64(1.0), False), ("1", False), (np.bool_(True), False), (2**31, False)]
UINT64 = [(np.uint64(2**64 - 1), True), (2**64 - 1, True), (np.int8(-1), False), (2**64, False)]


@pytest.mark.parametrize("value, accepted", FLOATS, ids=repr)
def test_float_parameters(value, accepted):
    assert orbisyn.order_calc_margin(0, "EURUSD", value, 1.1) is None
    assert orbisyn.last_error() == (NO_LINK if accepted else (-2, 'Invalid arguments: "volume"'))
    assert orbisyn.order_calc_profit(0, "EURUSD", 1.0, 1.1, price_close=value) is None
    assert orbisyn.last_error() == (NO_LINK if accepted else (-2, 'Invalid "price_close" argument'))
    assert orbisyn.order_check({"tp": value}) is None
    assert orbisyn.last_error() == (NO_LINK if accepted else (-2, 'Invalid "tp" argument'))


@pytest.mark.parametrize("value, accepted", INTS, ids=repr)
def test_int32_parameters(value, accepted):
    assert orbisyn.copy_rates_from_pos("EURUSD", value, 0, 10) is None
    assert orbisyn.last_error() == (NO_LINK if accepted else (-2, 'Invalid arguments: "timeframe"'))
    assert orbisyn.copy_ticks_from("EURUSD", 0, count=value, flags=1) is None
    assert orbisyn.last_error() == (NO_LINK if accepted else (-2, 'Invalid "count" argument'))


@pytest.mark.parametrize("value, accepted", INTS[:5] + UINT64 + [(1.0, False)], ids=repr)
def test_uint64_parameters(value, accepted):
    assert orbisyn.positions_get(ticket=value) is None
    assert orbisyn.last_error() == (NO_LINK if accepted else (-2, 'Invalid "ticket" argument'))
    assert orbisyn.order_send({"magic": value}) is None
    assert orbisyn.last_error() == (NO_LINK if accepted else (-2, 'Invalid "magic" argument'))


# ---------------------------------------------------------------- times

@pytest.fixture
def new_york():
    """A zone other than UTC for local time, restored afterwards."""
    saved = os.environ.get("TZ")
    os.environ["TZ"] = "America/New_York"
    time.tzset()
    yield
    if saved is None:
        os.environ.pop("TZ")
    else:
        os.environ["TZ"] = saved
    time.tzset()


MIDNIGHT_UTC = 1704067200     # 2024-01-01 00:00 UTC
MIDNIGHT_NY = MIDNIGHT_UTC + 5 * 3600  # 2024-01-01 00:00 in New York (UTC-5)
UTC = dt.timezone.utc


def time_cases():
    cases = [
        (MIDNIGHT_UTC, MIDNIGHT_UTC), (MIDNIGHT_UTC + 0.9, MIDNIGHT_UTC), (np.int64(MIDNIGHT_UTC), MIDNIGHT_UTC),
        (np.float64(MIDNIGHT_UTC + 0.5), MIDNIGHT_UTC), (-1.9, -1),
        (dt.datetime(2024, 1, 1), MIDNIGHT_NY),  # naive: local time
        (dt.datetime(2024, 1, 1, tzinfo=UTC), MIDNIGHT_UTC),
        (dt.datetime(2024, 1, 1, tzinfo=dt.timezone(dt.timedelta(hours=2))), MIDNIGHT_UTC - 7200),
        (np.datetime64("2024-01-01"), MIDNIGHT_UTC),  # numpy: always UTC
        (np.datetime64("2024-01-01T00:00:01.999", "ms"), MIDNIGHT_UTC + 1),
        (np.datetime64("2024-01", "M"), MIDNIGHT_UTC),
        (np.datetime64(MIDNIGHT_UTC * 10**9 + 5, "ns"), MIDNIGHT_UTC),
    ]
    try:
        import pandas as pd
    except ImportError:
        return cases
    return cases + [(pd.Timestamp("2024-01-01"), MIDNIGHT_NY),  # as datetime: local
                    (pd.Timestamp("2024-01-01", tz="UTC"), MIDNIGHT_UTC),
                    (pd.Timestamp("2024-01-01 00:00", tz="Asia/Tokyo"), MIDNIGHT_UTC - 9 * 3600)]


@pytest.mark.parametrize("value, seconds", time_cases(), ids=repr)
def test_times_on_the_wire(fake_terminal, new_york, value, seconds):
    session(fake_terminal)
    fake_terminal.script(reply(150, 0, u32(0)), reply(104, 0, u32(0))).sync()
    assert orbisyn.history_deals_total(value, date_to=value) == 0, orbisyn.last_error()
    assert orbisyn.copy_ticks_from("EURUSD", value, 1, 0) is not None, orbisyn.last_error()
    from support.fake_terminal import text
    assert fake_terminal.requests()[-2:] == [
        request(150, i64(seconds) + i64(seconds)),
        request(104, text("EURUSD") + i64(seconds * 1000) + u32(1) + u32(0))]


REFUSED_TIMES = [(dt.date(2024, 1, 1), ": a date names no instant, give a datetime"),
                 (np.datetime64("NaT"), ""), (float("nan"), ""), (np.bool_(True), ""), (True, ""),
                 ("2024-01-01", ""), (np.datetime64("2024-01-01T00:00:00", "ps"), "")]


@pytest.mark.parametrize("value, why", REFUSED_TIMES, ids=repr)
def test_refused_times(value, why):
    assert orbisyn.copy_rates_range("EURUSD", 1, value, 0) is None
    assert orbisyn.last_error() == (-2, 'Invalid arguments: "date_from"' + why)
    assert orbisyn.order_send({"expiration": value}) is None
    assert orbisyn.last_error() == (-2, 'Invalid "expiration" argument' + why)


# ---------------------------------------------------------------- the error state per thread

def test_each_thread_reads_its_own_last_error():
    # Calls wait for the session without the interpreter lock, so another thread's call
    # runs in between; each thread must still read what its own call left.
    wrong = []
    stop = threading.Event()

    def loop(call, want):
        while not stop.is_set():
            call()
            got = orbisyn.last_error()
            if got != want:
                wrong.append((want, got))

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    threads = [threading.Thread(target=loop, args=a) for a in [
        (lambda: orbisyn.symbol_info("EURUSD"), NO_LINK),
        (lambda: orbisyn.positions_total(1), (-2, "Invalid arguments: takes none, 1 given")),
        (orbisyn.shutdown, (1, "Success")),
    ]]
    try:
        for t in threads:
            t.start()
        time.sleep(1.0)
    finally:
        stop.set()
        for t in threads:
            t.join()
        sys.setswitchinterval(old)
    assert wrong == []


def test_a_new_thread_starts_without_an_error():
    orbisyn.positions_total(1)
    seen = []
    t = threading.Thread(target=lambda: seen.append(orbisyn.last_error()))
    t.start()
    t.join()
    assert seen == [(0, "")]
    assert orbisyn.last_error()[0] == -2


# ---------------------------------------------------------------- bad calls never raise

@pytest.mark.parametrize("call, result, message", [
    (lambda: orbisyn.account_info(1), None, "Invalid arguments: takes none, 1 given"),
    (lambda: orbisyn.terminal_info(x=1), None, 'Unknown "x" argument'),
    (lambda: orbisyn.version(1), (0, 0, ""), "Invalid arguments: takes none, 1 given"),
    (lambda: orbisyn.shutdown(now=True), False, 'Unknown "now" argument'),
    (lambda: orbisyn.initialize(logn=1), False, 'Unknown "logn" argument, did you mean "login"?'),
    (lambda: orbisyn.login(1, pasword="x"), False, 'Unknown "pasword" argument, did you mean "password"?'),
    (lambda: orbisyn.copy_rates_from("EURUSD", 1, 0, count=1, extra=2), None, 'Unknown "extra" argument'),
    (lambda: orbisyn.copy_rates_from("EURUSD", 1, 0, 1, count=1), None, 'Invalid arguments: "count" given twice'),
    (lambda: orbisyn.symbol_info(symbl="EURUSD"), None, 'Unknown "symbl" argument, did you mean "symbol"?'),
    (lambda: orbisyn.order_calc_margin(actoin=0, symbol="EURUSD", volume=1.0, price=1.1), None,
     'Unknown "actoin" argument, did you mean "action"?'),
])
def test_bad_calls_return_the_failure_value(call, result, message):
    assert call() == result
    assert orbisyn.last_error() == (-2, message)


def test_last_error_refuses_arguments_in_its_own_reply():
    assert orbisyn.last_error(1) == (-2, "Invalid arguments: takes none, 1 given")
    assert orbisyn.last_error() == (-2, "Invalid arguments: takes none, 1 given")
