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

def _values(name: str) -> tuple:
    """A value of its kind for every field of a record type, each a different one."""
    make = {"i": lambda i: 7 * i + 1, "f": lambda i: i + 0.25 if i % 3 else -0.0,
            "s": lambda i: ("", "EURUSD", "\u00c4 \U0001d538")[i % 3], "b": lambda i: bool(i % 2),
            "r": lambda i: REQUEST}
    return tuple(make[kind](i) for i, kind in enumerate(rules.RECORD_KINDS[name]))


REQUEST = _core.TradeRequest(_values("TradeRequest"))
RECORDS = {name: _values(name) for name in rules.RECORD_KINDS}


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
