"""Property tests of the argument rules: any Python object in any argument of any module
function never raises, never crashes, and gives -2 with the documented message exactly
when the rules (call_rules.py) refuse it; accepted arguments reach the link test, which
fails here because no session is open."""
from __future__ import annotations

import datetime
import decimal
import fractions
import os

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from support import call_rules as rules
from support.fake_terminal import FakeTerminal, session
from support.folders import private_folders

orbisyn = pytest.importorskip("orbisyn")
PRESENT = [n for n in rules.ALL_FUNCTIONS if hasattr(orbisyn, n)]
ABSENT = [n for n in rules.ALL_FUNCTIONS if not hasattr(orbisyn, n)]
SETTINGS = settings(max_examples=int(os.environ.get("ORBISYN_PROP_EXAMPLES", "150")), deadline=None,
                    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])


# ---------------------------------------------------------------------------
# Objects

class IntSub(int):
    pass


class StrSub(str):
    pass


class FloatSub(float):
    pass


class DictSub(dict):
    def __getitem__(self, key):  # the module must not call it
        raise RuntimeError("getitem")


class BadStamp(datetime.datetime):
    def timestamp(self):
        raise OverflowError("no timestamp")


class StrStamp(datetime.datetime):
    def timestamp(self):
        return "soon"


UTC = datetime.timezone.utc

ints = st.one_of(
    st.integers(-2**70, 2**70),
    st.sampled_from([0, 1, -1, 2**31 - 1, 2**31, -2**31, -2**31 - 1, 2**32 - 1, 2**32, 2**63 - 1,
                     2**63, -2**63, -2**63 - 1, 2**64 - 1, 2**64, True, False]),
    st.integers(-2**64, 2**64).map(IntSub),
)
floats = st.one_of(st.floats(allow_nan=True, allow_infinity=True), st.floats(-1e19, 1e19),
                   st.floats(-1e10, 1e10).map(FloatSub),
                   st.sampled_from([9.3e15, 9.223372036854776e18, -9.223372036854776e18, 1e300]))


def texts_around(limit: int):
    """Texts of limit - 2 .. limit + 2 units, some with characters outside the BMP."""
    base = st.integers(max(0, limit - 2), limit + 2)
    return st.one_of(
        base.map(lambda n: "x" * n),
        base.map(lambda n: "\U0001f600" * (n // 2) + "y" * (n % 2)),
        base.map(lambda n: StrSub("z" * n)),
    )


texts = st.one_of(st.text(max_size=40), texts_around(29), texts_around(253), texts_around(257),
                  texts_around(1997), st.sampled_from(["", "EURUSD", "a\0b", "\ud800"]))
datetimes = st.one_of(
    st.datetimes(timezones=st.just(UTC)), st.datetimes(min_value=datetime.datetime(1900, 1, 1)),
    st.sampled_from([BadStamp(2020, 1, 1), StrStamp(2020, 1, 1),
                     datetime.datetime.max.replace(tzinfo=UTC), datetime.datetime.min]),
)
scalars = st.one_of(
    st.none(), ints, floats, texts, datetimes, st.binary(max_size=8), st.dates(),
    st.sampled_from([rules.Unconvertible(), object(), 3 + 0j, decimal.Decimal("1.5"), fractions.Fraction(1, 3),
                     np.int64(5), np.int32(-1), np.float64(1.5), np.float32(2.5), np.bool_(True),
                     np.uint64(2**64 - 1), np.array([1, 2]), np.array(3.0), bytearray(b"x"),
                     [1], (), {}, set(), len]),
)
# Objects whose conversions fail in unusual ways, drawn more often than chance would.
hostile = st.sampled_from([rules.Unconvertible(), np.array([1, 2]), BadStamp(2020, 1, 1), StrStamp(2020, 1, 1),
                           DictSub(action=1), IntSub(-1), StrSub("x" * 30), FloatSub("nan"), 2**64])
anything = st.recursive(scalars, lambda inner: st.one_of(
    st.lists(inner, max_size=3), st.tuples(inner),
    st.dictionaries(st.sampled_from([k for k, _ in rules.TRADE_KEYS]), inner, max_size=4),
), max_leaves=6)

# Per function, a slot strategy: a mostly valid value or anything at all.
SYMBOL = st.sampled_from(["EURUSD", "", "X" * 29, "X" * 30])
TIME = st.one_of(st.integers(-2**40, 2**40), st.floats(-1e12, 1e12),
                 st.datetimes(timezones=st.just(UTC)))
I32 = st.integers(-2**31, 2**31 - 1)
U64 = st.integers(0, 2**64 - 1)
REQUEST = st.dictionaries(st.sampled_from([k for k, _ in rules.TRADE_KEYS]),
                          st.one_of(st.integers(-1, 2**64), st.floats(-1e3, 1e3), SYMBOL, anything),
                          max_size=6)
SLOTS = {
    "symbol_info": [SYMBOL], "symbol_info_tick": [SYMBOL], "market_book_add": [SYMBOL],
    "market_book_get": [SYMBOL], "market_book_release": [SYMBOL],
    "symbol_select": [SYMBOL, st.booleans()], "symbols_get": [st.text(max_size=5)],
    "copy_rates_from": [SYMBOL, I32, TIME, I32], "copy_rates_from_pos": [SYMBOL, I32, I32, I32],
    "copy_rates_range": [SYMBOL, I32, TIME, TIME], "copy_ticks_from": [SYMBOL, TIME, I32, I32],
    "copy_ticks_range": [SYMBOL, TIME, TIME, I32],
    "history_orders_total": [TIME, TIME], "history_deals_total": [TIME, TIME],
    "history_orders_get": [TIME, TIME], "history_deals_get": [TIME, TIME],
    "order_check": [REQUEST], "order_send": [REQUEST],
    "order_calc_margin": [ints, SYMBOL, floats, floats],
    "order_calc_profit": [ints, SYMBOL, floats, floats, floats],
    "login": [U64, st.text(max_size=5), st.text(max_size=5)],
    "initialize": [st.text(max_size=5)],
}
KEYWORDS = {
    "initialize": {"login": U64, "password": st.text(max_size=5), "server": st.text(max_size=5),
                   "timeout": st.integers(0, 2**32 - 1), "path": st.just("x"), "portable": anything},
    "login": {"login": U64, "password": st.text(max_size=5), "server": st.text(max_size=5),
              "timeout": st.integers(0, 2**32 - 1)},
    "symbols_get": {"group": st.text(max_size=5)},
    "positions_get": {"ticket": U64, "symbol": SYMBOL, "group": st.text(max_size=5)},
    "orders_get": {"ticket": U64, "symbol": SYMBOL, "group": st.text(max_size=5)},
    "history_orders_get": {"ticket": U64, "position": U64, "group": st.text(max_size=5)},
    "history_deals_get": {"ticket": U64, "position": U64, "group": st.text(max_size=5)},
    "order_check": {k: anything for k, _ in rules.TRADE_KEYS[:5]},
    "order_send": {k: anything for k, _ in rules.TRADE_KEYS[:5]},
}


@st.composite
def calls(draw, name):
    slots = SLOTS.get(name, [])
    n = draw(st.sampled_from([len(slots)] * 4 + list(range(0, len(slots) + 2))))
    args = []
    for i in range(n):
        slot = slots[i] if i < len(slots) else anything
        args.append(draw(st.one_of(slot, slot, anything, hostile)))
    kwargs = {}
    # Keywords mostly where the function has some, now and then anywhere.
    if name in KEYWORDS or draw(st.integers(0, 9)) == 0:
        for key, strat in KEYWORDS.get(name, {}).items():
            if draw(st.booleans()):
                kwargs[key] = draw(st.one_of(strat, strat, anything, hostile))
        if draw(st.integers(0, 4)) == 0:
            kwargs["unrelated"] = draw(anything)
    return tuple(args), kwargs


# ---------------------------------------------------------------------------

@pytest.fixture(scope="module")
def no_link():
    """No session open, and a handshake of build 3000 behind (the catalogue's gate)."""
    with private_folders() as root:
        term = FakeTerminal(root, root, "Prop")
        try:
            term.start()
            session(term, build=3000)
        finally:
            orbisyn.shutdown()
            term.close()


def same(a, b) -> bool:
    return type(a) is type(b) and a == b


def check_call(name, args, kwargs, missing_exe):
    expected = rules.refusal(name, args, kwargs)
    if name == "initialize" and expected is None:
        # Accepted: aim at an executable that does not exist, so nothing is started.
        kwargs = dict(kwargs, path=missing_exe)
    func = getattr(orbisyn, name)
    result = func(*args, **kwargs)
    err = orbisyn.last_error()
    if expected is not None:
        assert same(result, expected[0]) and err == (-2, expected[1]), (result, err)
    elif name == "initialize":
        assert result is False and err[0] == -10003 and err[1].startswith("IPC initialize failed, ")
    elif name == "last_error":
        assert isinstance(result, tuple) and len(result) == 2
    elif name == "shutdown":
        assert result is True and err == (1, "Success")
    else:
        want = rules.without_link(name, build=3000)
        assert same(result, want[0]) and err == want[1:], (result, err)


# A valid call per function, whose arguments are replaced one at a time below.
VALID = {
    "symbol_info": (("EURUSD",), {}), "symbol_info_tick": (("EURUSD",), {}),
    "market_book_add": (("EURUSD",), {}), "market_book_get": (("EURUSD",), {}),
    "market_book_release": (("EURUSD",), {}), "symbol_select": (("EURUSD", True), {}),
    "symbols_get": (("*",), {"group": "EUR*"}),
    "copy_rates_from": (("EURUSD", 1, 0, 10), {}), "copy_rates_from_pos": (("EURUSD", 1, 0, 10), {}),
    "copy_rates_range": (("EURUSD", 1, 0, 10), {}), "copy_ticks_from": (("EURUSD", 0, 10, 0), {}),
    "copy_ticks_range": (("EURUSD", 0, 10, 0), {}),
    "positions_get": ((), {"ticket": 1}), "orders_get": ((), {"symbol": "EURUSD"}),
    "history_orders_total": ((0, 10), {}), "history_deals_total": ((0, 10), {}),
    "history_orders_get": ((0, 10), {"group": "*"}), "history_deals_get": ((), {"position": 5}),
    "order_check": (({"action": 1, "symbol": "EURUSD", "volume": 1.0, "comment": "c"},), {}),
    "order_send": ((), {"action": 1, "volume": 1.0, "expiration": 5, "position_by": 2}),
    "order_calc_margin": ((0, "EURUSD", 1.0, 1.1), {}),
    "order_calc_profit": ((0, "EURUSD", 1.0, 1.1, 1.2), {}),
    "login": ((123, "pw", "srv"), {"timeout": 10}),
    "initialize": (("x",), {"login": 1, "password": "p", "server": "s", "timeout": 1, "portable": 1}),
}
TRICKY = [None, b"EURUSD", 1.5, "text", -1, 2**64, datetime.date(2020, 1, 1), rules.Unconvertible(),
          np.array([1, 2]), BadStamp(2020, 1, 1), StrStamp(2020, 1, 1), DictSub(action=1),
          IntSub(-1), StrSub("x" * 30), FloatSub("nan"), np.float64("inf"), np.int64(7), True]


def _replacements(name):
    args, kwargs = VALID.get(name, ((), {}))
    for i in range(len(args)):
        for obj in TRICKY:
            yield args[:i] + (obj,) + args[i + 1:], kwargs
            if isinstance(args[i], dict):
                for key, _ in rules.TRADE_KEYS:
                    yield args[:i] + ({**args[i], key: obj},) + args[i + 1:], kwargs
    for key in kwargs:
        for obj in TRICKY:
            yield args, {**kwargs, key: obj}


@pytest.mark.parametrize("name", PRESENT)
def test_each_argument_with_tricky_objects(no_link, tmp_path, name):
    for args, kwargs in _replacements(name):
        check_call(name, args, kwargs, str(tmp_path / "missing" / "terminal64.exe"))


@pytest.mark.parametrize("name", PRESENT)
@SETTINGS
@given(data=st.data())
def test_argument_rules(no_link, tmp_path, name, data):
    args, kwargs = data.draw(calls(name))
    check_call(name, args, kwargs, str(tmp_path / "missing" / "terminal64.exe"))


def test_table_covers_every_function():
    assert set(rules.ALL_FUNCTIONS) | rules.SETTINGS >= {
        n for n in dir(orbisyn._core) if not n.startswith("_") and
        callable(getattr(orbisyn._core, n)) and not isinstance(getattr(orbisyn._core, n), type)}


# Texts that may go into a file path: any units but "/" and NUL, lone surrogates included.
path_leaf = st.text(st.characters(blacklist_characters="/\0", blacklist_categories=()), min_size=1,
                    max_size=60)


@SETTINGS
@given(leaf=path_leaf, repeat=st.integers(1, 4))
def test_initialize_with_odd_paths(no_link, tmp_path, leaf, repeat):
    """Any path text up to the limit reaches the setup code and comes back as a readable
    -10003 message: no crash, no exception, nothing started."""
    path = str(tmp_path / "missing" / (leaf * repeat))
    accepted = rules.units(path) <= rules.PATH
    assert orbisyn.initialize(path) is False
    code, message = orbisyn.last_error()
    if accepted:
        assert code == -10003 and message.startswith("IPC initialize failed, "), (code, message)
    else:
        assert (code, message) == (-2, "Invalid 1st unnamed argument")
