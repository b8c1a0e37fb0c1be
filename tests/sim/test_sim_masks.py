"""Group masks of symbols_get follow the extension's group filter rules."""
from __future__ import annotations

import pytest

from orbisyn.simulator.market.masks import group_match


@pytest.mark.parametrize("group,name,expected", [
    ("EUR*", "EURUSD", True), ("EUR*", "EUR", True), ("EUR*", "XEUR", False),
    ("*USD", "EURUSD", True), ("*USD", "USD", True),
    ("*USD*", "USDJPY", True), ("*USD*", "EURUSD", True),
    ("eur*", "EURUSD", False),
    ("E?R*", "EURUSD", False), ("E?R*", "E?RUSD", True),
    ("*,!*USD*", "EURUSD", False), ("*,!*USD*", "EURJPY", True),
    ("!*USD*,*", "EURUSD", False), ("!*USD*,*", "EURJPY", True),
    ("EUR*,!*JPY", "EURUSD", True), ("EUR*,!*JPY", "EURJPY", False),
    ("!*JPY", "EURUSD", False), ("!*JPY,*", "EURUSD", True),
    (" EURUSD , GBPUSD ", "GBPUSD", True), ("EUR USD", "EURUSD", False), ("EUR USD", "EUR USD", True),
    ("", "EURUSD", False), (",", "EURUSD", False), ("   ", "EURUSD", False),
    ("*,!", "EURUSD", False), ("!!", "EURUSD", False), ("*", "EURUSD", True), ("**", "EURUSD", True),
    ("!!EUR*,*", "EURUSD", False), ("EUR!", "EUR!", True), ("EUR!", "EUR", False),
    ("*AA", "AAA", False), ("*AA", "BAA", True), ("*AB", "AAB", True), ("*AAB", "AAAB", False),
    ("*aba", "ababa", False), ("*USD", "EURUSDUSD", True),
    ("*", "", True), ("A*", "", False), ("*A", "", False),
    ("EUR\tUSD", "EURUSD", False),
])
def test_mask_rules(group, name, expected):
    assert group_match(group, name) is expected


def test_an_item_longer_than_255_units_is_cut_and_its_256th_unit_dropped():
    group = "A" * 300
    assert group_match(group, "A" * 255)
    assert group_match(group, "A" * 44)
    assert not group_match(group, "A" * 300)
