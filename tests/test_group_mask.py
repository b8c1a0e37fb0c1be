"""The group mask list, through positions_get(group=...) and history_deals_get(d1, d2,
group=...) over scripted record arrays, and directly through a small C++ driver."""
from __future__ import annotations

import struct
import subprocess

import pytest

import orbisyn
from support.fake_terminal import reply, session
from support.native import drivers
from support.trade_wire import with_symbols

# (group, names that pass, names that are rejected)
CASES = [
    ("EUR*", ["EURUSD", "EUR"], ["XEUR", "EU"]),
    ("*USD", ["EURUSD", "USD"], ["USDJPY", "US"]),
    ("*USD*", ["USDJPY", "EURUSD", "USD"], ["EURJPY"]),
    ("EUR*USD", ["EURUSD", "EURXUSD"], ["EURUSDX", "XEURUSD"]),
    ("EURUSD", ["EURUSD"], ["EURUSDX", "XEURUSD", "EURUS"]),
    ("eur*", [], ["EURUSD"]),
    ("E?R*", ["E?RUSD"], ["EURUSD"]),
    ("*,!*USD*", ["EURJPY"], ["EURUSD"]),
    ("!*USD*,*", ["EURJPY"], ["EURUSD"]),
    ("EUR*,!*JPY", ["EURUSD"], ["EURJPY", "GBPUSD"]),
    ("!*JPY,EUR*", ["EURUSD"], ["EURJPY", "GBPUSD"]),
    ("!*JPY", [], ["EURUSD", "EURJPY"]),
    ("!*JPY,*", ["EURUSD"], ["EURJPY"]),
    (" EURUSD , GBPUSD ", ["EURUSD", "GBPUSD"], [" EURUSD", "GBPUSD "]),
    ("EUR USD", ["EUR USD"], ["EURUSD"]),
    ("EURUSD\t", ["EURUSD\t"], ["EURUSD"]),
    ("", [], ["EURUSD", ""]),
    (",", [], ["EURUSD"]),
    ("   ", [], ["EURUSD"]),
    (" , ,, ", [], ["EURUSD"]),
    ("!", [], ["EURUSD", ""]),
    ("*,!", [], ["EURUSD", ""]),
    ("*,!!", [], ["EURUSD"]),
    ("*", ["EURUSD", ""], []),
    ("**", ["EURUSD", ""], []),
    ("!!EUR*,*", ["GBPUSD"], ["EURUSD"]),
    ("EUR!", ["EUR!"], ["EUR"]),
    ("*AA", ["BAA", "AA"], ["AAA"]),
    ("*AB", ["AAB"], ["ABA"]),
    ("*AAB", [], ["AAAB"]),
    ("*aba", ["aba", "xaba"], ["ababa"]),
    ("*USD", ["EURUSDUSD"], ["EURUSDUS"]),
    ("A*", [], [""]),
    ("*A", [], [""]),
    # An item is cut after 255 units, its 256th unit ("X") is lost and the rest is a mask.
    ("B" * 255 + "XAUUSD", ["AUUSD"], ["XAUUSD", "B" * 31, "B"]),
]


def _case_id(case):
    group = case[0]
    return repr(group if len(group) < 20 else group[:8] + f"...({len(group)})")


def _interleave(passes, rejects):
    """Names in an order that mixes kept and dropped records, and the kept ones in order."""
    names = []
    for i in range(max(len(passes), len(rejects))):
        names += rejects[i:i + 1] + passes[i:i + 1]
    return names, [n for n in names if n in passes]


# Every case runs through the C++ driver below, which calls the matcher the module's filter
# calls for each record. Through the module, the cases that exercise the filter around it:
# group text as passed, several items, empty and full names, a long group.
MODULE_CASES = [c for c in CASES if c[0] in (
    "EUR*,!*JPY", " EURUSD , GBPUSD ", "", "*", "A*", "B" * 255 + "XAUUSD")]

FAMILIES = {
    "positions_get": (121, "position", lambda group: orbisyn.positions_get(group=group)),
    "history_deals_get": (151, "deal", lambda group: orbisyn.history_deals_get(0, 100, group=group)),
}


@pytest.mark.parametrize("family", FAMILIES)
@pytest.mark.parametrize("case", MODULE_CASES, ids=_case_id)
def test_group_through_module(fake_terminal, family, case):
    group, passes, rejects = case
    code, kind, call = FAMILIES[family]
    names, kept = _interleave(passes, rejects)
    session(fake_terminal)
    fake_terminal.script(reply(code, 0, with_symbols(kind, names)))
    fake_terminal.sync()
    result = call(group)
    assert result is not None, orbisyn.last_error()
    assert [r.symbol for r in result] == kept
    # Whole records survive the copy: tickets still number the received order.
    assert [r.ticket for r in result] == [names.index(n) + 1 for n in kept]
    assert orbisyn.last_error() == (1, "Success")


@pytest.mark.parametrize("family", FAMILIES)
def test_group_over_no_records_is_an_empty_tuple(fake_terminal, family):
    code, kind, call = FAMILIES[family]
    session(fake_terminal)
    fake_terminal.script(reply(code, 0, with_symbols(kind, [])))
    fake_terminal.sync()
    assert call("*") == ()
    assert orbisyn.last_error() == (1, "Success")


def test_symbol_field_without_terminator_is_matched_whole(fake_terminal):
    full = "A" * 31 + "Z"  # all 32 units, no NUL inside the field
    session(fake_terminal)
    fake_terminal.script(reply(121, 0, with_symbols("position", [full, "A" * 31])))
    fake_terminal.sync()
    result = orbisyn.positions_get(group="*Z")
    assert [r.symbol for r in result] == [full]


# --------------------------------------------------------------------------- C++ driver



@pytest.fixture(scope="module")
def driver():
    exe = drivers() / "group_mask_driver"

    def run(*cases):
        data = bytearray()
        for op, *texts in cases:
            data += op.encode()
            for t in texts:
                units = t.encode("utf-16-le", "surrogatepass")
                data += struct.pack("<I", len(units) // 2) + units
        out = subprocess.run([str(exe)], input=bytes(data), capture_output=True, check=True).stdout
        return [c == ord("1") for c in out]

    return run


@pytest.mark.parametrize("case", CASES, ids=_case_id)
def test_group_match_direct(driver, case):
    group, passes, rejects = case
    got = driver(*[("G", group, n) for n in passes + rejects])
    assert got == [True] * len(passes) + [False] * len(rejects)


@pytest.mark.parametrize("mask, name, expected", [
    ("!!EUR*", "EURUSD", True),   # leading "!" is not part of the mask
    ("", "A", True),              # as an item "!" does: it rejects every name
    ("", "", True),
    ("A*B*C", "AxxBxxC", True),
    ("A*B*C", "AxxCxxB", False),
    ("A**", "A", True),
    ("AB*", "A", False),
])
def test_mask_match_direct(driver, mask, name, expected):
    assert driver(("M", mask, name)) == [expected]


def test_items_longer_than_255_units(driver):
    group = "A" * 300
    names = ["A" * 255, "A" * 44, "A" * 300, "A" * 45, "A" * 256]
    assert driver(*[("G", group, n) for n in names]) == [True, True, False, False, False]


def test_missing_arguments_and_empty_arrays(driver):
    assert driver(("N",)) == [True]
