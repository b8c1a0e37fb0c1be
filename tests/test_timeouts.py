"""Time limits against a Terminal that stops answering: initialize's timeout bounds every phase
of the call, set_timeout bounds a call's wait without progress but never a reply that keeps
coming, and a call that ran out leaves the link closed."""
from __future__ import annotations

import signal
import socket
import threading
import time

import numpy as np
import pytest

import orbisyn
from support.fake_terminal import BAR, TICK, i32, no_reply, reply, session, split, u32

HELLO = reply(4, 0, i32(3000))
READY = reply(109, 0, i32(2))
HELD = no_reply(hold=None)  # the Terminal reads the request and never answers


@pytest.fixture
def limit():
    """set_timeout for one test; no limit again afterwards."""
    yield orbisyn.set_timeout
    orbisyn.set_timeout(None)


def timed(call, *args, **kwargs):
    started = time.monotonic()
    result = call(*args, **kwargs)
    return result, time.monotonic() - started


def _never_listening(term) -> None:
    # A Terminal that starts but never opens its pipe: the connect poll goes on.
    with open(term.exe_path, "w") as f:
        f.write("#!/bin/sh\nexec sleep 3\n")


@pytest.mark.parametrize("phase", ["connect poll", "busy pipe", "handshake", "login", "readiness"])
def test_initialize_timeout_bounds_every_phase(make_terminal, phase):
    term = make_terminal(start=phase in ("handshake", "login", "readiness"))
    kwargs = {}
    held = None
    if phase == "connect poll":
        _never_listening(term)
    elif phase == "busy pipe":
        # A listener whose queue is full: connect() waits for a free slot.
        held = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        held.bind(term.socket_path)
        held.listen(0)
        filler = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        filler.connect(term.socket_path)
        held = (held, filler)
    elif phase == "handshake":
        term.script(HELD)
    elif phase == "login":
        term.script(HELLO, HELD)
        kwargs = {"login": 7, "password": "pw"}
    else:
        term.script(HELLO, HELD)
    if phase in ("handshake", "login", "readiness"):
        term.sync()
    ok, took = timed(orbisyn.initialize, term.exe_path, timeout=1000, **kwargs)
    assert ok is False
    assert orbisyn.last_error() == (-10005, "IPC timeout")
    assert 0.95 <= took < 1.5
    if phase in ("handshake", "login", "readiness"):
        assert not term.connected()  # the link is given up
    assert orbisyn.version() == (0, 0, "") and orbisyn.last_error()[0] == -10004
    if held:
        for s in held:
            s.close()


def test_the_default_timeout_is_still_60_seconds_of_polls(fake_terminal):
    # Nothing but the timeout changed: a Terminal ready after 1.2 s is waited for.
    fake_terminal.script(HELLO, *[reply(109, 0, i32(0))] * 12, READY)
    fake_terminal.sync()
    assert orbisyn.initialize(fake_terminal.exe_path) is True


TOTAL = 120
BARS = 108
RATES = ("copy_rates_from_pos", ("EURUSD", 1, 0, 10))


@pytest.mark.parametrize("name, args, failed, how", [
    ("positions_total", (), None, "silent"),
    ("account_info", (), None, "silent"),
    ("version", (), (0, 0, ""), "silent"),
    ("symbol_select", ("EURUSD", True), False, "silent"),
    (*RATES, None, "stops mid-reply"),
])
def test_a_call_that_waits_longer_than_the_limit(fake_terminal, limit, name, args, failed, how):
    session(fake_terminal)
    if how == "silent":
        fake_terminal.script(HELD)
    else:  # ten bars, of which two arrive
        frame = reply(BARS, 0, u32(10) + b"".join(BAR.pack(i, 1, 2, 0, 1, 0, 0, 0) for i in range(10)))
        fake_terminal.script(split(frame, 12 + 2 * BAR.size, pause=2.5))
    fake_terminal.sync()
    limit(1)
    result, took = timed(getattr(orbisyn, name), *args)
    assert result == failed
    assert orbisyn.last_error() == (-10005, "IPC timeout")
    assert 0.95 <= took < 1.5
    # The stream is out of step: the link is closed until initialize.
    assert not fake_terminal.connected()
    assert orbisyn.positions_total() is None and orbisyn.last_error()[0] == -10004
    session(fake_terminal)
    fake_terminal.script(reply(TOTAL, 0, u32(5)))
    assert orbisyn.positions_total() == 5


def test_a_long_reply_that_keeps_coming_is_never_cut(fake_terminal, limit):
    # 60 MB of bars, in pieces 0.4 s apart: 2.8 s in all, far beyond the 1 s limit.
    n = 1_000_000
    body = bytearray(n * BAR.size)
    for i in range(0, n, 997):
        BAR.pack_into(body, i * BAR.size, i, 1.0, 2.0, 0.5, 1.5, i, 0, 0)
    frame = reply(BARS, 0, u32(n) + bytes(body))
    pieces = [len(frame) * k // 8 for k in range(1, 8)]
    session(fake_terminal)
    fake_terminal.script(split(frame, *pieces, pause=0.4))
    fake_terminal.sync()
    limit(1)
    bars, took = timed(orbisyn.copy_rates_from_pos, "EURUSD", 1, 0, n)
    assert orbisyn.last_error() == (1, "Success")
    assert took >= 2.5 and len(bars) == n
    assert bars.tobytes() == bytes(body)
    assert fake_terminal.connected()


@pytest.mark.parametrize("seconds, stored", [(1, 1.0), (0.25, 0.25), (None, None)])
def test_set_timeout_keeps_what_it_was_given(limit, seconds, stored):
    limit(3)
    limit(seconds)
    assert orbisyn.get_timeout() == stored


@pytest.mark.parametrize("bad, error", [(0, ValueError), (-1.0, ValueError),
                                        (float("nan"), ValueError), (float("inf"), ValueError),
                                        ("1", TypeError), (b"1", TypeError), ([1], TypeError),
                                        (True, TypeError), (np.True_, TypeError)])
def test_set_timeout_refuses_what_is_not_a_time(limit, bad, error):
    limit(2)
    with pytest.raises(error):
        orbisyn.set_timeout(bad)
    assert orbisyn.get_timeout() == 2.0  # unchanged


def test_a_limit_set_meanwhile_applies_from_the_next_call(fake_terminal, limit):
    session(fake_terminal)
    fake_terminal.script(split(reply(TOTAL, 0, u32(3)), 4, pause=1.3), reply(TOTAL, 0, u32(4)))
    fake_terminal.sync()
    timer = threading.Timer(0.2, limit, (1,))
    timer.start()
    # Its call started without a limit: the 1.3 s pause does not end it.
    assert orbisyn.positions_total() == 3
    timer.join()
    assert orbisyn.positions_total() == 4


@pytest.mark.parametrize("how", ["shutdown", "ctrl-c"])
def test_a_limited_wait_still_ends_at_once(fake_terminal, limit, how):
    session(fake_terminal)
    fake_terminal.script(HELD)
    fake_terminal.sync()
    limit(20)
    if how == "shutdown":
        timer = threading.Timer(0.3, orbisyn.shutdown)
        timer.start()
        result, took = timed(orbisyn.account_info)
        timer.join()
        assert result is None
    else:
        timer = threading.Timer(0.3, signal.pthread_kill, (threading.main_thread().ident, signal.SIGINT))
        timer.start()
        started = time.monotonic()
        with pytest.raises(KeyboardInterrupt):
            orbisyn.account_info()
        took = time.monotonic() - started
    assert took < 0.3 + 0.5
    assert orbisyn.positions_total() is None and orbisyn.last_error()[0] == -10004


def test_the_limit_of_one_thread(fake_terminal, limit):
    # What the aio worker does around a call: its own limit, then the process-wide one again.
    session(fake_terminal)
    fake_terminal.script(HELD)
    fake_terminal.sync()
    got = []

    def worker():
        orbisyn._core._set_thread_timeout(0.5)
        got.append(timed(orbisyn.positions_total))
        got.append(orbisyn.last_error())
        orbisyn._core._set_thread_timeout(None)

    t = threading.Thread(target=worker)
    t.start()
    t.join(5)
    (result, took), error = got
    assert result is None and error == (-10005, "IPC timeout") and 0.45 <= took < 1.0
    assert orbisyn.get_timeout() is None  # the process-wide limit is untouched
    session(fake_terminal)
    fake_terminal.script(split(reply(TOTAL, 0, u32(8)), 4, pause=0.8))
    t = threading.Thread(target=lambda: got.append(orbisyn.positions_total()))
    t.start()
    t.join(5)
    assert got[-1] == 8  # that thread is back without a limit


def test_initialize_after_a_timeout_opens_a_new_link(fake_terminal, limit):
    session(fake_terminal)
    fake_terminal.script(HELD)
    limit(0.3)
    assert orbisyn.symbol_info_tick("EURUSD") is None
    assert orbisyn.last_error() == (-10005, "IPC timeout")
    session(fake_terminal)
    fake_terminal.script(reply(172, 0, TICK.pack(5, 1.0, 2.0, 0.0, 0, 5000, 6, 0.0)))
    assert orbisyn.symbol_info_tick("EURUSD").time_msc == 5000
    assert fake_terminal.connections() == 2
