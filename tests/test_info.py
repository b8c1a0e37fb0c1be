"""terminal_info, account_info, symbol_info and symbol_info_tick: record conversion and the
exchange failures of a fixed-record reply."""
from __future__ import annotations

import pytest

import orbisyn
from fake_terminal import close, reply, request, session, text
from info_layouts import (ACCOUNT, ACCOUNT_SIZE, LEGACY_SYMBOL_SIZE, SYMBOL, SYMBOL_SIZE,
                          TERMINAL, TERMINAL_SIZE, TICK, TICK_SIZE, names, pack)


def sample(layout, variant):
    """(raw values to pack, expected Python values) giving each field a value of its own."""
    raw, want = {}, []
    for i, (name, _, kind) in enumerate(layout):
        if isinstance(kind, tuple):
            units = kind[1]
            if variant == "zero":
                r = w = ""
            elif variant == "extreme":  # every unit used: no terminator in the field
                r = w = ("z" * units)[:-1] + "\u00e9"
            elif i % 2:  # a terminator with junk after it
                r, w = f"{name[:4]}\u20ac\U0001d11e\0junk", f"{name[:4]}\u20ac\U0001d11e"
            else:
                r = w = f"{name}-{i}"[:units]
        elif kind == "bool":
            r = {"zero": 0, "extreme": 0xFF}.get(variant, (1, 0, 2, 0x80)[i % 4])
            w = r != 0
        elif kind == "f64":
            r = w = {"zero": (0.0, -0.0)[i % 2], "extreme": -1.5e308}.get(variant, i + 0.25)
        else:
            bits = 32 if kind.endswith("32") else 64
            if kind.startswith("u"):
                r = {"zero": 0, "extreme": 2 ** bits - 1}.get(variant, 2 ** (bits - 1) + i)
            else:
                r = {"zero": 0, "extreme": -2 ** (bits - 1)}.get(variant, -1000 * (i + 1))
            w = r
        raw[name], want = r, want + [w]
    return raw, want


def typed(values):
    # repr keeps what == hides: the sign of a zero, True against 1.
    return [(type(v), repr(v)) for v in values]


# name: (command, layout, record size, record type, call)
FIXED = {
    "terminal_info": (180, TERMINAL, TERMINAL_SIZE, "TerminalInfo", lambda: orbisyn.terminal_info()),
    "account_info": (190, ACCOUNT, ACCOUNT_SIZE, "AccountInfo", lambda: orbisyn.account_info()),
    "symbol_info": (170, SYMBOL, SYMBOL_SIZE, "SymbolInfo", lambda: orbisyn.symbol_info("EURUSD")),
    "symbol_info_tick": (172, TICK, TICK_SIZE, "Tick", lambda: orbisyn.symbol_info_tick("EURUSD")),
}
REQUEST = {"terminal_info": request(180), "account_info": request(190),
           "symbol_info": request(170, text("EURUSD")),
           "symbol_info_tick": request(172, text("EURUSD"))}


@pytest.mark.parametrize("variant", ["distinct", "extreme", "zero"])
@pytest.mark.parametrize("func", FIXED)
def test_fixed_record_fields(fake_terminal, func, variant):
    code, layout, size, type_name, call = FIXED[func]
    raw, want = sample(layout, variant)
    session(fake_terminal)
    fake_terminal.clear()
    fake_terminal.script(reply(code, 0, pack(layout, size, raw)))
    rec = call()
    assert type(rec) is getattr(orbisyn, type_name), orbisyn.last_error()
    assert typed(rec) == typed(want)
    assert list(rec._asdict()) == names(layout)
    assert orbisyn.last_error() == (1, "Success")
    assert fake_terminal.requests() == [REQUEST[func]]


@pytest.mark.parametrize("func", FIXED)
def test_fixed_record_failures(fake_terminal, func):
    code, layout, size, _, call = FIXED[func]
    body = pack(layout, size, {})
    cases = [  # (reply, expected code); each must leave the link in step for the next
        (reply(code + 1, 0, body), -10000),
        (reply(code + 1, -4, body), -10000),
        (reply(code, 0, body + b"\0"), -10002),
        (reply(code, 0, body[:-1]), -10002),
        (reply(code, 0), -10002),
        (reply(code, -4), -4),
        (reply(code, -4, body), -4),
    ]
    session(fake_terminal)
    for data, want in cases:
        fake_terminal.script(data)
        assert call() is None, data[:12]
        assert orbisyn.last_error()[0] == want, data[:12]
    assert orbisyn.last_error() == (-4, "Terminal: Not found")
    fake_terminal.script(reply(code, 0, body))
    assert call() is not None


@pytest.mark.parametrize("func", FIXED)
def test_fixed_record_without_link(fake_terminal, func):
    assert FIXED[func][4]() is None
    assert orbisyn.last_error() == (-10004, "No IPC connection")
    session(fake_terminal)
    orbisyn.shutdown()
    assert FIXED[func][4]() is None
    assert orbisyn.last_error()[0] == -10004
    assert FIXED[func][0] not in fake_terminal.codes()


def test_broken_pipe_mid_record_closes_link(fake_terminal):
    session(fake_terminal)
    fake_terminal.script(close(reply(180, 0, pack(TERMINAL, TERMINAL_SIZE, {}))[:100]))
    assert orbisyn.terminal_info() is None
    assert orbisyn.last_error()[0] == -10002
    assert orbisyn.account_info() is None
    assert orbisyn.last_error()[0] == -10004


@pytest.mark.parametrize("build, size, ok", [
    (2363, LEGACY_SYMBOL_SIZE, True),
    (2363, SYMBOL_SIZE, False),
    (2364, LEGACY_SYMBOL_SIZE, False),
    (2364, SYMBOL_SIZE, True),
])
def test_symbol_record_forms(fake_terminal, build, size, ok):
    raw, want = sample(SYMBOL, "distinct")
    session(fake_terminal, build=build)
    fake_terminal.script(reply(170, 0, pack(SYMBOL, SYMBOL_SIZE, raw)[:size]))
    rec = orbisyn.symbol_info("GB\u00e9\U0001d11e\0X")
    if not ok:
        assert rec is None and orbisyn.last_error()[0] == -10002
        return
    if build < 2364:  # the old record has no name: it is the one asked for, up to the NUL
        want[names(SYMBOL).index("name")] = "GB\u00e9\U0001d11e"
    assert typed(rec) == typed(want)
    assert fake_terminal.requests()[-1] == request(170, text("GB\u00e9\U0001d11e"))


def test_symbol_info_legacy_failures(fake_terminal):
    session(fake_terminal, build=2000)
    fake_terminal.script(reply(170, -4), reply(171, 0, bytes(LEGACY_SYMBOL_SIZE)))
    assert orbisyn.symbol_info("A") is None and orbisyn.last_error()[0] == -4
    assert orbisyn.symbol_info("A") is None and orbisyn.last_error()[0] == -10000
