"""The module frame: exports, doc strings, record types, error state, hostile arguments."""
from __future__ import annotations

import shutil
import subprocess

import pytest

import orbisyn
from orbisyn import _core
from support import call_rules as rules
from orbisyn import _records

ALL_FUNCTIONS = set(rules.ALL_FUNCTIONS) | rules.SETTINGS
RECORDS = {name: len(kinds) for name, kinds in rules.RECORD_KINDS.items()}  # name: field count


def test_module_exports():
    assert _core.__doc__ == "API Connector to Orbisyn Terminal"
    public = {n for n in dir(_core) if not n.startswith("_")}
    assert public == ALL_FUNCTIONS | set(RECORDS)
    for name in public:
        assert getattr(orbisyn, name) is getattr(_core, name)


@pytest.mark.parametrize("name", sorted(ALL_FUNCTIONS))
def test_the_signature_is_the_functions_own(name):
    # help() and inspect show it; the text (the stubs', test_stubs checks that they agree)
    # does not repeat it.
    fn = getattr(_core, name)
    assert fn.__text_signature__ and not fn.__doc__.startswith(name + "(")


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm")
def test_only_the_module_initialiser_is_exported():
    out = subprocess.run(["nm", "-D", "--defined-only", _core.__file__],
                         capture_output=True, text=True, check=True).stdout
    functions = [line.split()[-1] for line in out.splitlines() if line.split()[-2] in ("T", "W", "i")]
    assert functions == ["PyInit__core"]


@pytest.mark.parametrize("name", sorted(RECORDS))
def test_record_type(name):
    fields = RECORDS[name]
    rtype = getattr(orbisyn, name)
    assert rtype._asdict.__doc__ == "Convert named tuple object to dictionary"
    assert rtype.n_fields == rtype.n_sequence_fields == fields
    names = list(_records.fields(rtype))
    assert len(set(names)) == fields

    values = [object() for _ in range(fields)]
    record = rtype(values)
    orbisyn.shutdown()
    before = orbisyn.last_error()
    as_dict = record._asdict()
    assert list(as_dict) == names
    assert all(as_dict[k] is v for k, v in zip(names, values))
    # _asdict is not a module function: it leaves the error state alone.
    assert orbisyn.last_error() == before


def test_asdict_belongs_to_its_type():
    with pytest.raises(TypeError):
        orbisyn.Tick._asdict(orbisyn.BookInfo((1, 2.0, 3, 4.0)))
    with pytest.raises(TypeError):
        orbisyn.BookInfo._asdict((1, 2.0, 3, 4.0))


def test_tick_asdict():
    tick = orbisyn.Tick((1, 2.0, 3.0, 4.0, 5, 6, 7, 8.0))
    assert tick._asdict() == {"time": 1, "bid": 2.0, "ask": 3.0, "last": 4.0, "volume": 5,
                              "time_msc": 6, "flags": 7, "volume_real": 8.0}


def test_last_error_in_fresh_process(run_fresh):
    code = ("import orbisyn\n"
            "print(orbisyn.last_error(), orbisyn.last_error())\n"
            "print(orbisyn.version(), orbisyn.last_error())\n"
            "print(orbisyn.shutdown(), orbisyn.last_error())\n")
    result = run_fresh(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "(0, '') (0, '')",
        "(0, 0, '') (-10004, 'No IPC connection')",
        "True (1, 'Success')",
    ]


class Str(str):
    pass


class Int(int):
    pass


JUNK = [None, b"x", bytearray(b"x"), 2**200, -2**200, -1, 2**64, 2**32, float("nan"), float("inf"), 1.5,
        object(), [1], {"a": 1}, ("t",), "x" * 100_000, "\udc80", rules.Unconvertible(), Str("s" * 300), Int(-5)]


@pytest.mark.parametrize("junk", JUNK, ids=lambda j: type(j).__name__)
def test_no_exception_escapes(junk):
    calls = [
        lambda: orbisyn.initialize(junk),
        lambda: orbisyn.initialize(junk, junk),
        lambda: orbisyn.initialize(path=junk),
        lambda: orbisyn.initialize(login=junk),
        lambda: orbisyn.initialize(password=junk),
        lambda: orbisyn.initialize(server=junk),
        lambda: orbisyn.initialize(timeout=junk),
        lambda: orbisyn.initialize(path="/nonexistent/terminal64.exe", portable=junk),
        lambda: orbisyn.login(junk),
        lambda: orbisyn.login(1, junk),
        lambda: orbisyn.login(1, "p", junk),
        lambda: orbisyn.login(junk, junk, junk, junk),
        lambda: orbisyn.login(login=junk),
        lambda: orbisyn.login(1, password=junk),
        lambda: orbisyn.login(1, server=junk),
        lambda: orbisyn.login(1, timeout=junk),
    ]
    for call in calls:
        result = call()
        assert result is False or result is True
        code, message = orbisyn.last_error()
        assert code < 0 and message


def test_import_fails_cleanly_without_datetime(run_fresh):
    # numpy first, so that only the extension's own datetime import can fail.
    # The package itself imports (it loads the extension at first use), and says why it can't.
    code = ("import sys, numpy\n"
            "sys.modules['datetime'] = None\n"
            "import orbisyn\n"
            "for load in (lambda: orbisyn.initialize, lambda: __import__('orbisyn._core')):\n"
            "    try:\n"
            "        load()\n"
            "    except Exception as e:\n"
            "        print(type(e).__name__, e)\n")
    result = run_fresh(code)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert [line.split()[0] for line in lines] == ["AttributeError", "ImportError"]
    assert all("datetime" in line for line in lines)
