"""Threads, Ctrl-C, cancellation and fork: calls wait without the interpreter lock, never
interleave their exchanges, end on a raising signal handler or a shutdown() from another
thread, and a forked child never touches its parent's link."""
from __future__ import annotations

import multiprocessing
import os
import signal
import struct
import threading
import time

import pytest

import orbisyn
from support.fake_terminal import (delayed, mirror, mirrored, no_reply, reply, session, text,
                                   u32)


def _in_main_thread_after(seconds: float, signum: int = signal.SIGINT) -> threading.Timer:
    # Aimed at the main thread: a process-wide signal may land on the timer thread, and a
    # wait is only ended by a handler that runs in the main thread.
    timer = threading.Timer(seconds, signal.pthread_kill, (threading.main_thread().ident, signum))
    timer.start()
    return timer


def test_other_threads_run_while_a_call_waits(fake_terminal):
    session(fake_terminal)
    fake_terminal.script(delayed(reply(120, 0, u32(3)), 1.0))
    fake_terminal.sync()
    ticks, stop = [0], threading.Event()

    def count():
        while not stop.is_set():
            ticks[0] += 1
            time.sleep(0.005)

    counter = threading.Thread(target=count)
    counter.start()
    time.sleep(0.05)
    before = ticks[0]
    assert orbisyn.positions_total() == 3
    during = ticks[0] - before
    stop.set()
    counter.join()
    # About 200 rounds fit in the second the call waits; with the lock held, none would.
    assert during >= 50


SYMBOLS = [f"T{t}S{i}" for t in range(8) for i in range(3)]


def _expected(kind: str, symbol: str, n: int):
    if kind == "tick":
        return mirrored(text(symbol))
    if kind == "margin":
        return float(mirrored(struct.pack("<I", n) + text(symbol) + struct.pack("<dd", 1.0, n)))
    if kind == "bars":  # copy_rates_from_pos(symbol, 1, n, 5)
        value = mirrored(text(symbol) + struct.pack("<iii", 1, n, 5))
        return [value + i for i in range(value % 7 + 1)]
    return None


def _call(kind: str, symbol: str, n: int):
    if kind == "tick":
        return orbisyn.symbol_info_tick(symbol).time
    if kind == "margin":
        return orbisyn.order_calc_margin(n, symbol, 1.0, float(n))
    if kind == "bars":
        return [int(t) for t in orbisyn.copy_rates_from_pos(symbol, 1, n, 5)["time"]]
    return orbisyn.positions_total()


def test_concurrent_calls_get_their_own_answers(fake_terminal):
    session(fake_terminal)
    for code, shape in [(172, "tick"), (162, "f64"), (108, "bars"), (120, "u32")]:
        fake_terminal.standing(code, mirror(shape))
    fake_terminal.sync()
    kinds = ["tick", "margin", "bars", "total"]
    wrong, errors = [], []

    def work(t: int):
        try:
            for i in range(60):
                kind, symbol = kinds[(t + i) % 4], SYMBOLS[(t * 3 + i) % len(SYMBOLS)]
                got = _call(kind, symbol, i)
                want = _expected(kind, symbol, i) if kind != "total" else mirrored(b"")
                if got != want:
                    wrong.append((t, i, kind, got, want))
        except Exception as e:  # noqa: BLE001  reported below with the thread
            errors.append((t, repr(e)))

    threads = [threading.Thread(target=work, args=(t,)) for t in range(8)]
    for th in threads:
        th.start()
    for th in threads:
        th.join(60)
    assert not errors and not wrong, (errors, wrong[:5])
    # Every frame arrived whole, one after another, on the one connection.
    assert fake_terminal.unscripted() == []
    assert fake_terminal.connections() == 1
    assert len(fake_terminal.requests()) == 2 + 8 * 60


def test_ctrl_c_during_a_read_closes_the_link(fake_terminal):
    session(fake_terminal)
    fake_terminal.script(no_reply(hold=None))
    fake_terminal.sync()
    _in_main_thread_after(0.3)
    started = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        orbisyn.account_info()
    assert time.monotonic() - started < 0.3 + 0.5
    # The stream is out of step: the link is closed, and a new one works.
    assert orbisyn.positions_total() is None
    assert orbisyn.last_error()[0] == -10004
    session(fake_terminal)
    fake_terminal.script(reply(120, 0, u32(4)))
    assert orbisyn.positions_total() == 4


def test_ctrl_c_during_the_readiness_poll(fake_terminal):
    fake_terminal.auto(build=3000, state=1)  # never ready
    fake_terminal.sync()
    _in_main_thread_after(0.35)
    started = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        orbisyn.initialize(fake_terminal.exe_path)
    assert time.monotonic() - started < 0.35 + 0.5
    assert orbisyn.terminal_info() is None and orbisyn.last_error()[0] == -10004
    fake_terminal.auto(build=3000, state=2)
    assert orbisyn.initialize(fake_terminal.exe_path)


def test_ctrl_c_during_the_connect_poll(make_terminal):
    term = make_terminal(start=False)
    # A Terminal that starts but never opens its pipe.
    with open(term.exe_path, "w") as f:
        f.write("#!/bin/sh\nexec sleep 3\n")
    _in_main_thread_after(0.8)
    started = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        orbisyn.initialize(term.exe_path)
    assert time.monotonic() - started < 0.8 + 0.5
    assert orbisyn.version() == (0, 0, "") and orbisyn.last_error()[0] == -10004


def test_a_handler_that_returns_lets_the_wait_go_on(fake_terminal):
    session(fake_terminal)
    fake_terminal.script(delayed(reply(120, 0, u32(9)), 0.6))
    fake_terminal.sync()
    seen = []
    old = signal.signal(signal.SIGUSR1, lambda *a: seen.append(1))
    try:
        _in_main_thread_after(0.2, signal.SIGUSR1)
        assert orbisyn.positions_total() == 9
    finally:
        signal.signal(signal.SIGUSR1, old)
    assert seen == [1]


@pytest.mark.parametrize("waiting", ["read", "readiness"])
def test_shutdown_from_another_thread_ends_a_waiting_call(fake_terminal, waiting):
    if waiting == "read":
        session(fake_terminal)
        fake_terminal.script(no_reply(hold=None))
        call, failed = orbisyn.account_info, None
    else:
        fake_terminal.auto(build=3000, state=1)
        call, failed = (lambda: orbisyn.initialize(fake_terminal.exe_path)), False
    fake_terminal.sync()
    done = []
    timer = threading.Timer(0.3, lambda: done.append((orbisyn.shutdown(), time.monotonic())))
    timer.start()
    result = call()
    returned = time.monotonic()
    timer.join()
    assert result is failed
    assert done[0][0] is True
    assert returned - done[0][1] < 0.5
    assert orbisyn.positions_total() is None and orbisyn.last_error()[0] == -10004


def _child(exe: str, conn) -> None:
    # In the child, after a fork that copied an open link.
    results = [orbisyn.positions_total(), orbisyn.last_error()[0]]
    results.append(orbisyn.initialize(exe))
    results.append(orbisyn.positions_total())
    conn.send(results)
    orbisyn.shutdown()


def test_fork_leaves_the_parents_link_alone(fake_terminal):
    fake_terminal.auto(build=3000, state=2)
    session(fake_terminal)
    fake_terminal.standing(120, mirror("u32"))
    fake_terminal.sync()
    before = len(fake_terminal.requests())
    ctx = multiprocessing.get_context("fork")
    parent_end, child_end = ctx.Pipe()
    child = ctx.Process(target=_child, args=(fake_terminal.exe_path, child_end))
    child.start()
    got = parent_end.recv()
    child.join(30)
    assert got == [None, -10004, True, mirrored(b"")]
    # The child sent nothing on the inherited connection: only its own handshake, ready
    # poll and call arrived, on a second connection.
    assert fake_terminal.connections() == 2
    assert fake_terminal.codes()[before:] == [4, 109, 120]
    assert orbisyn.positions_total() == mirrored(b"")


def _worker(exe: str) -> tuple[int, list[int]]:
    assert orbisyn.initialize(exe), orbisyn.last_error()
    start = os.getpid() % 100
    bars = orbisyn.copy_rates_from_pos("EURUSD", 1, start, 5)
    orbisyn.shutdown()
    return start, [int(t) for t in bars["time"]]


def test_a_pool_of_forked_workers_each_with_its_own_session(fake_terminal):
    fake_terminal.auto(build=3000, state=2)
    session(fake_terminal)
    fake_terminal.standing(108, mirror("bars"))
    fake_terminal.sync()
    with multiprocessing.get_context("fork").Pool(4) as pool:
        results = pool.map(_worker, [fake_terminal.exe_path] * 8)
    assert [times for start, times in results] == [
        _expected("bars", "EURUSD", start) for start, _ in results]
    assert fake_terminal.unscripted() == []
    assert orbisyn.copy_rates_from_pos("EURUSD", 1, 0, 5) is not None
