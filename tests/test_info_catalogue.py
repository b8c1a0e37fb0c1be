"""symbols_total, symbols_get, symbol_select, depth of market and the symbol argument."""
from __future__ import annotations

import os

import pytest

import orbisyn
from support.fake_terminal import close, reply, request, session, text, u32
from support.wire_layouts import BOOK, BOOK_SIZE, SYMBOL, SYMBOL_SIZE, pack, sample, typed

GROUP_MSG = 'Invalid "group" argument'


def symbol_records(n):
    out, want = b"", []
    for i in range(n):
        raw, w = sample(SYMBOL, "distinct")
        raw["name"] = w[93] = f"SYM{i}"
        raw["digits"] = w[11] = i
        out += pack(SYMBOL, SYMBOL_SIZE, raw)
        want.append(w)
    return out, want


def book_entries(rows):
    return b"".join(pack(BOOK, BOOK_SIZE, dict(zip(["type", "price", "volume", "volume_dbl"], r)))
                    for r in rows)


# ---------------------------------------------------------------- symbols_total


def test_symbols_total_before_any_handshake(run_fresh):
    # No build to judge before a handshake: that is no link, not an old Terminal.
    res = run_fresh("import orbisyn as o\n"
                    "print(o.symbols_total(), o.last_error()[0], o.symbols_get(), o.last_error()[0],"
                    " o.symbols_get(1), o.last_error()[0])")
    assert res.returncode == 0, res.stderr
    assert res.stdout.split() == ["None", "-10004", "None", "-10004", "False", "-2"]


def test_symbols_total(fake_terminal):
    session(fake_terminal)
    fake_terminal.script(reply(173, 0, u32(0xFFFFFFFF)))
    assert orbisyn.symbols_total() == 4294967295
    assert fake_terminal.requests()[-1] == request(173)
    orbisyn.shutdown()  # the build is kept: now it is the link that is missing
    assert orbisyn.symbols_total() is None and orbisyn.last_error()[0] == -10004


@pytest.mark.parametrize("build", [0, 2363])
def test_catalogue_build_gate_sends_nothing(fake_terminal, build):
    session(fake_terminal, build=build)
    fake_terminal.clear()
    assert orbisyn.symbols_total() is None
    assert orbisyn.last_error()[0] == -5
    assert orbisyn.symbols_get(group="*") is None
    assert orbisyn.last_error()[0] == -5
    assert orbisyn.symbols_get(group=None) is False  # arguments are checked first
    fake_terminal.script(reply(171, 0))
    assert orbisyn.symbol_select("EURUSD") is True  # not gated
    assert fake_terminal.codes() == [171]


# ---------------------------------------------------------------- symbols_get


@pytest.mark.parametrize("args, kwargs, sent", [
    ((), {}, request(174)),
    (("",), {}, request(174)),
    (("\0EUR",), {}, request(174)),
    ((), {"group": ""}, request(174)),
    (("EUR\0USD",), {}, request(175, text("EUR"))),
    (("*,!EUR*",), {}, request(175, text("*,!EUR*"))),
    (("A*",), {"group": "B*"}, request(175, text("B*"))),
    (("A*",), {"group": ""}, request(174)),
    (("x" * 1997,), {}, request(175, text("x" * 1997))),
    ((), {"group": "\U0001d11e" * 998 + "x"}, request(175, text("\U0001d11e" * 998 + "x"))),
])
def test_symbols_get_command_choice(fake_terminal, args, kwargs, sent):
    session(fake_terminal)
    fake_terminal.clear()
    fake_terminal.script(reply(sent[4], 0, u32(0)))
    assert orbisyn.symbols_get(*args, **kwargs) == ()
    assert orbisyn.last_error() == (1, "Success")
    assert fake_terminal.requests() == [sent]


SYMBOLS_GET_REFUSALS = [
    (("a", "b"), {}, "Invalid number of arguments"),
    ((1,), {}, "Invalid 1st unnamed argument"),
    ((b"EUR",), {}, "Invalid 1st unnamed argument"),
    ((None,), {}, "Invalid 1st unnamed argument"),
    (("x" * 1998,), {}, "Invalid 1st unnamed argument"),
    (("\U0001d11e" * 999,), {}, "Invalid 1st unnamed argument"),
    ((), {"group": None}, GROUP_MSG),
    ((), {"group": 5}, GROUP_MSG),
    ((), {"group": "x" * 1998}, GROUP_MSG),
    (("EUR*",), {"group": b"EUR"}, GROUP_MSG),
    ((1,), {"group": "EUR*"}, "Invalid 1st unnamed argument"),
    ((), {"grp": "X"}, 'Unknown "grp" argument, did you mean "group"?'),
    ((), {"mask": "EUR*"}, 'Unknown "mask" argument'),
]


def test_symbols_get_argument_errors(fake_terminal):
    session(fake_terminal)
    fake_terminal.clear()
    for args, kwargs, message in SYMBOLS_GET_REFUSALS:
        assert orbisyn.symbols_get(*args, **kwargs) is False, (args, kwargs)
        assert orbisyn.last_error() == (-2, message), (args, kwargs)
    assert fake_terminal.codes() == []


def test_symbols_get_records(fake_terminal):
    data, want = symbol_records(3)
    session(fake_terminal)
    fake_terminal.script(reply(175, 0, u32(3) + data))
    got = orbisyn.symbols_get("SYM*")
    assert type(got) is tuple and [type(r) for r in got] == [orbisyn.SymbolInfo] * 3
    assert [typed(r) for r in got] == [typed(w) for w in want]


@pytest.mark.parametrize("payload", [
    pytest.param(lambda d: u32(2) + d, id="count below records"),
    pytest.param(lambda d: u32(4) + d, id="count above records"),
    pytest.param(lambda d: u32(0xFFFFFFFF) + d, id="huge count"),
])
def test_record_count_not_matching_the_reply(fake_terminal, payload):
    data, _ = symbol_records(3)
    session(fake_terminal)
    fake_terminal.script(reply(174, 0, payload(data)), reply(174, 0, u32(1) + data[:SYMBOL_SIZE]))
    assert orbisyn.symbols_get() is None
    assert orbisyn.last_error() == (-10002, "IPC recv failed")
    # The rest of the bad reply was discarded: the next exchange is in step.
    assert [r.name for r in orbisyn.symbols_get()] == ["SYM0"]


def _rss_mb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2 ** 20


@pytest.mark.parametrize("code, count, size, call", [
    (174, 1000, SYMBOL_SIZE, lambda: orbisyn.symbols_get()),
    (193, 100_000, BOOK_SIZE, lambda: orbisyn.market_book_get("X")),
])
@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer keeps freed blocks in quarantine")
def test_record_arrays_released_on_failure(fake_terminal, code, count, size, call):
    # Every call reads a multi-megabyte array that a wrong echo then throws away.
    session(fake_terminal)
    fake_terminal.standing(code, reply(code + 1, 0, u32(count) + bytes(count * size)))
    assert call() is None and orbisyn.last_error()[0] == -10000
    before = _rss_mb()
    for _ in range(25):
        assert call() is None
    assert _rss_mb() - before < 25 * count * size / 2 ** 20 / 3


# ---------------------------------------------------------------- symbol_select


@pytest.mark.parametrize("args, flag", [
    (("EURUSD",), 1),
    (("EURUSD", True), 1),
    (("EURUSD", 2), 1),
    (("EURUSD", -1), 1),
    (("EURUSD", "no"), 1),
    (("EURUSD", 0), 0),
    (("EURUSD", False), 0),
    (("EURUSD", ""), 0),
    (("EURUSD", []), 0),
    (("EURUSD", None), 0),
])
def test_symbol_select_enable_byte(fake_terminal, args, flag):
    session(fake_terminal)
    fake_terminal.clear()
    fake_terminal.script(reply(171, 0))
    assert orbisyn.symbol_select(*args) is True
    assert fake_terminal.requests() == [request(171, text("EURUSD") + bytes([flag]))]


class Untruthful:
    def __bool__(self):
        raise ValueError("no truth")


def test_symbol_select_argument_errors(fake_terminal):
    session(fake_terminal)
    fake_terminal.clear()
    for args, kwargs, message in [
            ((), {}, '"symbol" missing'), (("A", 1, 2), {}, "takes at most 2, 3 given"),
            ((1,), {}, '"symbol"'), ((b"EURUSD",), {}, '"symbol"'), ((None, 1), {}, '"symbol"'),
            (("x" * 30,), {}, '"symbol"'), (("EURUSD", Untruthful()), {}, '"enable"'),
            (("EURUSD",), {"enable": Untruthful()}, None), (("EURUSD",), {"symbol": "X"}, '"symbol" given twice')]:
        assert orbisyn.symbol_select(*args, **kwargs) is False, args
        want = 'Invalid "enable" argument' if message is None else "Invalid arguments: " + message
        assert orbisyn.last_error() == (-2, want), args
    assert fake_terminal.codes() == []


# ---------------------------------------------------------------- the symbol argument

SYMBOL_FUNCS = ["symbol_info", "symbol_info_tick", "market_book_add", "market_book_release",
                "market_book_get"]
CODE = {"symbol_info": 170, "symbol_info_tick": 172, "market_book_add": 191,
        "market_book_release": 192, "market_book_get": 193}


@pytest.mark.parametrize("func", SYMBOL_FUNCS)
def test_symbol_argument(fake_terminal, func):
    # One session per function: refused symbols send nothing, accepted ones go out as given.
    call = getattr(orbisyn, func)
    session(fake_terminal)
    fake_terminal.clear()
    for args in [(), ("A", "B"), (1,), (b"EURUSD",), (None,), ("x" * 30,), ("\U0001d11e" * 15,),
                 ("x" * 28 + "\U0001d11e",)]:
        assert call(*args) is None, args
        message = ('"symbol" missing' if not args else "takes 1, 2 given" if len(args) == 2
                   else '"symbol"')
        assert orbisyn.last_error() == (-2, "Invalid arguments: " + message), args
    assert fake_terminal.codes() == []
    sent = [("x" * 29, "x" * 29), ("\U0001d11e" * 14 + "x",) * 2, ("", ""), ("EUR\0USD", "EUR")]
    fake_terminal.script(*[reply(CODE[func], -4)] * len(sent)).sync()
    for symbol, _ in sent:
        assert call(symbol) in (None, False)
    assert fake_terminal.requests() == [request(CODE[func], text(s)) for _, s in sent]


# ---------------------------------------------------------------- depth of market


@pytest.mark.parametrize("func", ["market_book_add", "market_book_release"])
def test_market_book_switch(fake_terminal, func):
    call = getattr(orbisyn, func)
    code = CODE[func]
    assert call("EURUSD") is False  # no link, and it says so
    assert orbisyn.last_error() == (-10004, "No IPC connection")
    session(fake_terminal)
    fake_terminal.script(reply(code, 0), reply(code, 5), reply(code, -4), reply(code + 1, 0),
          reply(code, 0, b"\0"), close(reply(code, 0)[:6]))
    assert call("EURUSD") is True
    assert call("EURUSD") is True
    for why in [-4, -10000, -10002, -10002]:  # each failure records why
        orbisyn.symbols_get(None)  # leaves an error the next call must reset
        assert call("EURUSD") is False
        assert orbisyn.last_error()[0] == why
    assert call("EURUSD") is False  # the link broke above
    assert orbisyn.last_error() == (-10004, "No IPC connection")


def test_market_book_get(fake_terminal):
    rows = [(1, 1.25, 2 ** 64 - 1, 0.5), (0xFFFFFFFF, -3.5, 0, 1e300), (2, 0.0, 7, 7.0)]
    assert orbisyn.market_book_get("EURUSD") is None
    assert orbisyn.last_error()[0] == -10004
    session(fake_terminal)
    fake_terminal.script(reply(193, 0, u32(3) + book_entries(rows)), reply(193, 0, u32(0)))
    got = orbisyn.market_book_get("EURUSD")
    assert [type(e) for e in got] == [orbisyn.BookInfo] * 3
    assert [typed(e) for e in got] == [typed(r) for r in rows]
    assert list(got[0]._asdict()) == ["type", "price", "volume", "volume_dbl"]
    assert orbisyn.market_book_get("EURUSD") == ()
