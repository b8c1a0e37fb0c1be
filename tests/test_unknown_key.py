"""The nearest-name hint of a refused key or keyword is the one difflib gives (the module
computes it in C++): typos, case, aliases, long keys whose common letters difflib ignores,
non-ASCII and non-str keys."""
from __future__ import annotations

import random

import pytest

import orbisyn
from orbisyn._protocol import TRADE_REQUEST, shown
from support.unknown_names import unknown_message

REQUEST_FIELDS = [f.name for f in shown(TRADE_REQUEST)]


def _typos(rnd: random.Random, name: str) -> str:
    i = rnd.randrange(len(name))
    letters = "abcdeilmnoprstuvy_"
    return rnd.choice([
        name[:i] + name[i + 1:],
        name[:i] + rnd.choice(letters) + name[i:],
        name[:i] + rnd.choice(letters) + name[i + 1:],
        name[:i] + name[i + 1:i + 2] + name[i:i + 1] + name[i + 2:],
        name.upper(),
        name + name[: rnd.randrange(1, 4)],
    ])


def _keys() -> list[object]:
    rnd = random.Random(29)
    keys: list[object] = [_typos(rnd, rnd.choice(REQUEST_FIELDS)) for _ in range(150)]
    keys += ["STOPLOSS", "Lots", "by", "x", "", "positionby", "type_fillin", "commment"]
    # Two fields equally near: the greater name wins, as in difflib.
    keys += ["sltp", "typime", "typeation", "devi_time", "ordice", "volmit", "prde", "afice"]
    # Long keys: difflib stops seeding matches with letters that fill more than 1% of them.
    keys += ["a" * 250, "volume" * 40, "s" + "l" * 300, "p" * 199 + "osition",
             "ty" + "pe_" * 100, "".join(rnd.choice("slatp_") for _ in range(260))]
    keys += ["vol\u00fcme", "\u00c9xpiration", "sl\U0001d11e", "tp\udc80", "\u0130d"]
    keys += [1, None, (1, 2), b"sl", 2.5]
    return [k for k in keys if k not in REQUEST_FIELDS]


@pytest.mark.parametrize("key", _keys(), ids=lambda k: repr(k)[:40])
def test_request_key_hint_is_difflibs(key):
    assert orbisyn.order_check({"action": 1, key: 1}) is None
    want = unknown_message(key, "key", REQUEST_FIELDS)
    assert orbisyn.last_error() == (-2, want.encode("utf-8", "backslashreplace").decode())


@pytest.mark.parametrize("key", [k for k in _keys() if isinstance(k, str) and k][::7],
                         ids=lambda k: k[:40])
def test_keyword_hint_is_difflibs(key):
    known = ["symbol", "timeframe", "date_from", "count"]
    assert orbisyn.copy_rates_from(**{key: 1}) is None
    want = unknown_message(key, "argument", known)
    assert orbisyn.last_error() == (-2, want.encode("utf-8", "backslashreplace").decode())
