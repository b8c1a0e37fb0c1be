"""terminal_info, account_info, symbol_info and symbol_info_tick: record conversion, the
and the legacy symbol record."""
from __future__ import annotations

import pytest

import orbisyn
from support.fake_terminal import reply, request, session, text
from support.wire_layouts import (ACCOUNT, ACCOUNT_SIZE, LEGACY_SYMBOL_SIZE, SYMBOL, SYMBOL_SIZE,
                          TERMINAL, TERMINAL_SIZE, TICK, TICK_SIZE, names, pack, sample, typed)


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
