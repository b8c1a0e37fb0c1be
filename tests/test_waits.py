"""orbisyn.sleep and orbisyn.wait_bar against a scripted Terminal: which Terminal is sent the
stepped replay's command (only one that says it replays stepped), the request written out
by hand, and what the waits make of every answer."""
from __future__ import annotations

import asyncio
import struct
import time

import pytest

import orbisyn
from orbisyn import aio
from orbisyn._waits import next_open
from support.fake_terminal import i32, i64, reply, request, session, text
from support.info_layouts import TERMINAL, TERMINAL_SIZE, pack

STEP = 9001   # the stepped replay's command, as the simulated Terminal knows it
STEPPED = "Orbisyn Terminal (simulated, stepped replay)"
MAY_10 = 1715299200_000          # 2024-05-10 00:00 UTC


def info(name: str) -> bytes:
    return reply(180, 0, pack(TERMINAL, TERMINAL_SIZE, {"name": name, "build": 3000}))


def step(present_ms: int, opened: int, over: bool) -> bytes:
    return reply(STEP, 0, struct.pack("<qqB", present_ms, opened, over))


@pytest.mark.parametrize("name", ["Orbisyn Terminal", "Orbisyn Terminal (simulated)",
                                  "stepped replay", STEPPED + " ", STEPPED[:-1]])
def test_a_terminal_that_does_not_say_it_replays_stepped_is_never_sent_the_step(fake_terminal, name):
    session(fake_terminal)
    fake_terminal.clear()
    fake_terminal.script(info(name))
    started = time.monotonic()
    assert orbisyn.sleep(0.2) is True
    assert orbisyn.sleep(0.05) is True
    assert time.monotonic() - started >= 0.25            # slept in wall time
    assert orbisyn.last_error() == (1, "Success")
    assert fake_terminal.codes() == [180]                # asked once a session, never the step


def test_what_was_learnt_is_forgotten_with_the_session(fake_terminal):
    session(fake_terminal)
    fake_terminal.script(info(STEPPED), step(MAY_10 - 1000, 0, False))
    assert orbisyn.sleep(1) is True
    orbisyn.shutdown()
    assert orbisyn.sleep(1) is False and orbisyn.last_error()[0] == -10004
    session(fake_terminal)
    fake_terminal.clear()
    fake_terminal.script(info("Orbisyn Terminal"))
    assert orbisyn.sleep(0.01) is True
    assert fake_terminal.codes() == [180]


@pytest.mark.parametrize("call, payload", [
    (lambda: orbisyn.sleep(1.5), text("") + i32(0) + i64(1500)),
    (lambda: orbisyn.sleep(0.0004), text("") + i32(0) + i64(1)),
    (lambda: orbisyn.wait_bar("EURUSD", 5), text("EURUSD") + i32(5) + i64(-1)),
    (lambda: orbisyn.wait_bar("GB\u00e9", 16385, timeout=2.0005), text("GB\u00e9") + i32(16385) + i64(2001)),
], ids=["sleep", "sleep-rounded-up", "wait_bar", "wait_bar-timeout"])
def test_the_step_request_as_written_by_hand(fake_terminal, call, payload):
    session(fake_terminal)
    fake_terminal.clear()
    fake_terminal.script(info(STEPPED), step(MAY_10 - 1000, 0, False))
    call()
    assert fake_terminal.requests() == [request(180), request(STEP, payload)]


@pytest.mark.parametrize("call, answer, result, error", [
    ("sleep", (MAY_10 - 60_000, 0, False), True, (1, "Success")),
    ("sleep", (MAY_10, 0, True), False, (-10201, "the replay is over at 2024-05-10 00:00:00 UTC")),
    ("bar", (MAY_10 - 299_650, 1715298900, False), 1715298900, (1, "Success")),
    ("bar5", (MAY_10 - 60_000, 0, False), None, (-10200, "no new EURUSD M5 bar within 5 s")),
    ("bar", (MAY_10, 0, True), None,
     (-10201, "the replay is over at 2024-05-10 00:00:00 UTC: no new EURUSD M5 bar")),
])
def test_what_the_waits_make_of_each_answer(fake_terminal, call, answer, result, error):
    session(fake_terminal)
    fake_terminal.script(info(STEPPED), step(*answer))
    got = {"sleep": lambda: orbisyn.sleep(60), "bar": lambda: orbisyn.wait_bar("EURUSD", 5),
           "bar5": lambda: orbisyn.wait_bar("EURUSD", 5, timeout=5)}[call]()
    assert (got, orbisyn.last_error()) == (result, error)


@pytest.mark.parametrize("cut", range(17))
def test_a_short_answer_fails_the_wait_without_raising(fake_terminal, cut):
    session(fake_terminal)
    payload = struct.pack("<qqB", MAY_10, 1715298900, 0)[:cut]
    fake_terminal.script(info(STEPPED), reply(STEP, 0, payload))
    assert orbisyn.wait_bar("EURUSD", 5) is None
    assert orbisyn.last_error()[0] == -10002


@pytest.mark.parametrize("status, message", [(-4, "Terminal: Not found"),
                                             (-2, "Terminal: Invalid params")])
def test_the_terminal_refusing_the_step(fake_terminal, status, message):
    session(fake_terminal)
    fake_terminal.script(info(STEPPED), reply(STEP, status))
    assert orbisyn.wait_bar("NOSUCH", 5) is None
    assert orbisyn.last_error() == (status, message)


@pytest.mark.parametrize("call, message", [
    (lambda: orbisyn.sleep(-1), 'Invalid "seconds" argument'),
    (lambda: orbisyn.sleep(float("nan")), 'Invalid "seconds" argument'),
    (lambda: orbisyn.sleep("1"), 'Invalid "seconds" argument'),
    (lambda: orbisyn.sleep(True), 'Invalid "seconds" argument'),
    (lambda: orbisyn.wait_bar(b"EURUSD", 5), 'Invalid "symbol" argument'),
    (lambda: orbisyn.wait_bar("EURUSD", "M5"), 'Invalid "timeframe" argument'),
    (lambda: orbisyn.wait_bar("EURUSD", 5.0), 'Invalid "timeframe" argument'),
    (lambda: orbisyn.wait_bar("EURUSD", 5, timeout=0), 'Invalid "timeout" argument'),
    (lambda: orbisyn.wait_bar("EURUSD", 5, timeout=-3), 'Invalid "timeout" argument'),
    # A typo or a wrong count is refused like any other argument, never raised.
    (lambda: orbisyn.wait_bar("EURUSD", 5, timout=1), 'Unknown "timout" argument, did you mean "timeout"?'),
    (lambda: orbisyn.sleep(1, zzz=2), 'Unknown "zzz" argument'),
    (lambda: orbisyn.sleep(), 'Invalid arguments: "seconds" missing'),
    (lambda: orbisyn.wait_bar("EURUSD", 5, 1, 2), "Invalid number of arguments"),
    (lambda: orbisyn.wait_bar("EURUSD", 5, symbol="X"), 'Invalid arguments: "symbol" given twice'),
], ids=range(14))
def test_bad_arguments_are_refused_before_anything_is_sent(fake_terminal, call, message):
    session(fake_terminal)
    fake_terminal.clear()
    assert call() in (False, None)
    assert orbisyn.last_error() == (-2, message)
    assert fake_terminal.codes() == []


@pytest.mark.parametrize("call", [lambda: aio.sleep(1, second=2), lambda: aio.wait_bar("EURUSD")])
def test_the_awaitables_refuse_arguments_with_a_terminal_error(call):
    with pytest.raises(orbisyn.TerminalError) as e:
        asyncio.run(call())
    assert e.value.code == -2 and "argument" in e.value.message


def test_without_a_session_the_waits_fail():
    assert orbisyn.sleep(0.01) is False
    assert orbisyn.last_error() == (-10004, "No IPC connection")
    assert orbisyn.wait_bar("EURUSD", 5) is None and orbisyn.last_error()[0] == -10004


def test_the_awaitables_return_or_raise_what_the_plain_waits_give(fake_terminal):
    session(fake_terminal)
    fake_terminal.script(info(STEPPED), step(MAY_10 - 299_650, 1715298900, False),
                         step(MAY_10 - 1000, 0, False), step(MAY_10, 0, True))

    async def main():
        opened = await aio.wait_bar("EURUSD", 5)
        with pytest.raises(orbisyn.TerminalError) as timed_out:
            await aio.wait_bar("EURUSD", 5, timeout=1)
        with pytest.raises(orbisyn.TerminalError) as over:
            await aio.sleep(60)
        return opened, timed_out.value, over.value

    opened, timed_out, over = asyncio.run(main())
    assert opened == 1715298900
    assert (timed_out.code, timed_out.function) == (-10200, "wait_bar")
    assert (over.code, over.message, over.function) == (
        -10201, "the replay is over at 2024-05-10 00:00:00 UTC", "sleep")


@pytest.mark.parametrize("opened, timeframe, after", [
    ("2024-05-10 13:05", 5, "2024-05-10 13:10"), ("2024-05-10 22:00", 16388, "2024-05-11 02:00"),
    ("2024-05-10 00:00", 16408, "2024-05-11 00:00"), ("2024-05-06 00:00", 32769, "2024-05-13 00:00"),
    ("2024-12-01 00:00", 49153, "2025-01-01 00:00"), ("2024-02-01 00:00", 49153, "2024-03-01 00:00"),
])
def test_when_a_live_wait_expects_the_next_bar(opened, timeframe, after):
    from orbisyn.simulator.market.clock import parse_when
    assert next_open(parse_when(opened) // 1000, timeframe) == parse_when(after) // 1000
