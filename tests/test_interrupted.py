"""Calls blocked on a slow Terminal while signals keep arriving: every interrupted read
or write must be resumed, so the call returns what the Terminal sent."""
from __future__ import annotations

import signal

import pytest

import orbisyn
from support.fake_terminal import BAR, delayed, f64, i32, reply, session, split, text, u32

# (function, args, reply echo, reply payload, check of the result); absent functions skip.
CASES = [
    ("positions_total", (), 120, u32(7), lambda r: r == 7),
    ("version", (), 1, i32(5) + i32(3000) + text("5.0"), lambda r: r == (5, 3000, "5.0")),
    ("symbols_total", (), 173, u32(9), lambda r: r == 9),
    ("order_calc_margin", (0, "EURUSD", 1.0, 1.1), 162, f64(12.5), lambda r: r == 12.5),
    ("copy_rates_from_pos", ("EURUSD", 1, 0, 300), 108,
     u32(300) + b"".join(BAR.pack(i, 1.0, 2.0, 0.5, 1.5, i, 2, i) for i in range(300)),
     lambda r: len(r) == 300 and int(r["time"][299]) == 299),
]


@pytest.fixture
def signal_storm():
    """SIGALRM every 2 ms with a handler that only counts."""
    count = [0]

    def handler(signum, frame):
        count[0] += 1

    old = signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, 0.002, 0.002)
    yield count
    signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGALRM, old)


@pytest.mark.parametrize("how", ["delayed", "split"])
@pytest.mark.parametrize("name, args, echo, payload, ok", CASES, ids=[c[0] for c in CASES])
def test_reply_survives_signals(fake_terminal, signal_storm, how, name, args, echo, payload, ok):
    if not hasattr(orbisyn, name):
        pytest.skip(f"{name} is not built yet")
    session(fake_terminal)
    frame = reply(echo, 1, payload)
    fake_terminal.script(delayed(frame, 0.1) if how == "delayed" else
                         split(frame, 2, 10, len(frame) - 1, pause=0.03))
    fake_terminal.sync()
    before = signal_storm[0]
    result = getattr(orbisyn, name)(*args)
    assert orbisyn.last_error() == (1, "Success")
    assert ok(result), result
    # Handlers run once the call is back in Python: the signals did arrive meanwhile.
    assert signal_storm[0] > before
