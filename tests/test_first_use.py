"""What a new user meets first: records that pickle and copy, trade requests whose unknown
keys are named, the catalogue's build gate, and signatures that inspect and help can show
(the depth-of-market switches' errors are in test_info_catalogue)."""
from __future__ import annotations

import copy
import inspect
import pickle
import random
import warnings

import pytest

import orbisyn
from orbisyn import _core
from support import call_rules as rules
from support.fake_terminal import reply, session
from support.fuzz_driver import valid_call
from support.trade_wire import send_record

REQUEST = _core.TradeRequest((1, 2, 3, "BTCUSD", 0.01, 0.0, 0.0, 0.5, 1.5, 10, 0, 1, 2, 3,
                              "Ä \U0001d538", 4, 5))
RECORDS = {
    "TradePosition": (1, 2, 3, 4, 5, 0, 7, 8, 9, 0.1, 1.1, -0.0, 1.2, 1.15, 0.0, 2.5, "EURUSD",
                      "", "x"),
    "TradeOrder": tuple(range(14)) + (0.1, 0.2, 1.0, 0.0, 0.0, 1.1, 0.0, "EURUSD", "c", ""),
    "TradeDeal": tuple(range(9)) + (0.1, 1.1, -0.5, 0.0, 3.0, 0.0, "EURUSD", "", "e"),
    "TradeRequest": tuple(REQUEST),
    "OrderSendResult": (10009, 5, 6, 0.01, 1.1, 1.0, 1.2, "done", 7, 0, REQUEST),
    "OrderCheckResult": (0, 1e4, 1e4, 0.0, 5.0, 9995.0, 2e5, "", REQUEST),
    "Tick": (1, 1.1, 1.2, 0.0, 0, 1000, 6, 0.0),
    "TerminalInfo": (True, False) * 5 + (3000, 100000, 0, 10, 0.0, 0.0, "Q", "T", "en", "/p",
                                         "/d", "/c"),
    "SymbolInfo": (False,) + tuple(range(30)) + (0.0,) * 52 + ("",) * 13,
    "AccountInfo": (5001, 0, 100, 0, 0, True, True, 2, 2, False) + (0.0,) * 14 +
                   ("Name", "Srv", "USD", "Co"),
    "BookInfo": (1, 1.1, 3, 3.0),
}


@pytest.mark.parametrize("name", sorted(RECORDS))
def test_records_pickle_and_copy(name):
    record = getattr(orbisyn, name)(RECORDS[name])
    copies = [pickle.loads(pickle.dumps(record, p)) for p in range(pickle.HIGHEST_PROTOCOL + 1)]
    copies += [copy.copy(record), copy.deepcopy(record)]
    for c in copies:
        assert type(c) is type(record) and c == record and repr(c) == repr(record)
        assert c._asdict() == record._asdict()
    assert repr(record).startswith(name + "(")


def test_the_record_list_is_complete():
    assert sorted(RECORDS) == sorted(n for n in dir(_core) if inspect.isclass(getattr(_core, n)))


BASE = {"action": 1, "symbol": "BTCUSD", "volume": 0.01, "type": 0}


@pytest.mark.parametrize("call", [orbisyn.order_send, orbisyn.order_check])
@pytest.mark.parametrize("form", ["dict", "keywords"])
@pytest.mark.parametrize("key, message", [
    ("stoploss", 'Unknown "stoploss" key, did you mean "sl"?'),
    ("take_profit", 'Unknown "take_profit" key, did you mean "tp"?'),
    ("volme", 'Unknown "volme" key, did you mean "volume"?'),
    ("Volume", 'Unknown "Volume" key, did you mean "volume"?'),
    ("zzz", 'Unknown "zzz" key'),
])
def test_unknown_request_keys_refuse_the_request(fake_terminal, call, form, key, message):
    session(fake_terminal)
    before = len(fake_terminal.requests())
    req = dict(BASE, **{key: 1.0})
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # no warning either: a refusal
        result = call(req) if form == "dict" else call(**req)
    assert result is None
    assert orbisyn.last_error() == (-2, message)
    assert len(fake_terminal.requests()) == before  # nothing sent


def test_a_key_that_is_no_text_is_named():
    assert orbisyn.order_send({1: 2, "action": 1}) is None
    assert orbisyn.last_error() == (-2, "Unknown 1 key")
    assert orbisyn.UnknownKeyWarning  # still importable for programs that name it


@pytest.mark.parametrize("build, shut, code", [
    (2000, False, -5),   # an old Terminal: upgrade it
    (2000, True, -5),    # its build is remembered after the link closed
    (3000, True, -10004),
])
def test_catalogue_after_a_handshake(fake_terminal, build, shut, code):
    session(fake_terminal, build=build)
    if shut:
        orbisyn.shutdown()
    assert orbisyn.symbols_total() is None
    assert orbisyn.last_error()[0] == code


@pytest.mark.parametrize("name", rules.ALL_FUNCTIONS)
def test_signatures_admit_every_accepted_call(name):
    f = getattr(orbisyn, name)
    sig = inspect.signature(f)
    assert not f.__doc__.startswith(name + "(")  # the signature is shown once, as sig
    # Python 3.13's pydoc puts a long signature one parameter a line.
    assert "".join((name + str(sig)).split()) in "".join(pydoc_text(f).split())
    documented = set(sig.parameters)
    rng = random.Random(name)
    bound = 0
    for _ in range(200):
        args, kwargs = valid_call(name, rng)
        if rules.refusal(name, args, kwargs) is not None or not set(kwargs) <= documented | {
                k for k, _ in rules.TRADE_KEYS}:
            continue
        sig.bind(*args, **kwargs)
        bound += 1
    assert bound > 0


def pydoc_text(f) -> str:
    import pydoc
    return pydoc.render_doc(f, renderer=pydoc.plaintext)


def test_a_call_outside_the_signature_is_refused_not_raised():
    assert orbisyn.copy_rates_from() is None
    assert orbisyn.last_error() == (-2, 'Invalid arguments: "symbol" missing')
    assert orbisyn.positions_total(1) is None
    assert orbisyn.last_error() == (-2, "Invalid arguments: takes none, 1 given")
