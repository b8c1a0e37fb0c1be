"""The reference: every function, record type and field has its entry in the stubs, the
compiled module and aio carry that same text, and aio.pyi is what its tool writes."""
from __future__ import annotations

import inspect
import os
import re
import subprocess
import sys

import pytest

from orbisyn import _core, aio
from orbisyn._docs import SETTINGS, aio_doc, read_stub, sections
from orbisyn import _records

ROOT = os.path.join(os.path.dirname(__file__), os.pardir)
STUB = read_stub(os.path.join(os.path.dirname(_core.__file__), "_core.pyi"))
AIO_STUB = read_stub(os.path.join(os.path.dirname(_core.__file__), "aio.pyi"))
FUNCTIONS = sorted(n for n in dir(_core) if not n.startswith("_") and not inspect.isclass(getattr(_core, n)))
RECORDS = sorted(n for n in dir(_core) if inspect.isclass(getattr(_core, n)))
# Functions that cannot fail: no Failure section.
NEVER_FAIL = {"shutdown", "last_error", "get_timeout"}


def documented_parameters(doc: str) -> list[str]:
    """Names of the "name : type" entries of the Parameters section."""
    _, parts = sections(doc)
    return re.findall(r"^\**(\w+)(?: :|$)", parts.get("Parameters", ""), re.M)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_entry(name):
    doc = STUB.functions.get(name)
    assert doc, f"{name} has no doc string in _core.pyi"
    head, parts = sections(doc)
    summary = head.partition("\n\n")[0]
    assert summary and summary.split("\n")[0].endswith("."), "a summary line"
    wanted = {"Returns", "Examples"} | (set() if name in NEVER_FAIL else {"Failure"})
    assert wanted <= set(parts), f"missing sections: {wanted - set(parts)}"
    assert ">>> " in parts["Examples"]
    # Every parameter the function takes is named, and nothing else is.
    taken = [p for p in inspect.signature(getattr(_core, name)).parameters]
    assert documented_parameters(doc) == taken


@pytest.mark.parametrize("name", RECORDS)
def test_record_entry(name):
    assert STUB.records.get(name), f"{name} has no doc string"
    fields = _records.fields(getattr(_core, name))
    assert STUB.field_order[name] == list(fields)
    undocumented = [f for f in fields if not STUB.fields.get((name, f))]
    assert not undocumented


def test_summary_lines_say_what_the_functions_do():
    # The lines that said the opposite of what the function does.
    assert "end at `date_from`" in STUB.functions["copy_rates_from"].split("\n")[0]
    assert "forward" in STUB.functions["copy_ticks_from"].split("\n")[0]
    assert "filtred" not in "".join(STUB.functions.values())


@pytest.mark.parametrize("module", [_core, aio], ids=["plain", "aio"])
def test_help_shows_the_signature_once(module):
    import pydoc
    twice = []
    for name in FUNCTIONS:
        if name == "last_error" and module is aio:
            continue
        text = pydoc.render_doc(getattr(module, name), renderer=pydoc.plaintext)
        calls = re.findall(rf"^\s*(?:async )?{name}\(", text, re.M)
        if len(calls) != 1:
            twice.append(name)
    assert not twice


def module_texts():
    for name in FUNCTIONS:
        yield name, getattr(_core, name).__doc__, STUB.functions[name]
    for name in RECORDS:
        rtype = getattr(_core, name)
        yield name, rtype.__doc__, STUB.records[name]
        for field in _records.fields(rtype):
            yield f"{name}.{field}", getattr(rtype, field).__doc__, STUB.fields[(name, field)]


# The build writes the stubs' text into the extension (issue 22's generator); until that has
# landed the module keeps its one-line texts. strict: this fails once they agree, so that
# the mark is removed then.
def test_the_module_carries_the_stub_text():
    differ = [name for name, have, want in module_texts() if have != want]
    assert not differ, f"{len(differ)} texts differ from _core.pyi, e.g. {differ[:5]}"


def test_the_reference_lists_every_function_once():
    sys.path.insert(0, os.path.join(ROOT, "docs", "_ext"))
    try:
        ext = pytest.importorskip("orbisyn_reference")  # needs Sphinx
    finally:
        sys.path.pop(0)
    found = ext.families()
    plain = [n for family, (_, names) in found.items() if family != "aio" for n in names]
    assert sorted(plain) == FUNCTIONS
    assert sorted(found["aio"][1]) == sorted(
        n for n in dir(aio) if not n.startswith("_") and inspect.iscoroutinefunction(getattr(aio, n)))
    cited = []
    for page in ("index.rst", "aio.rst"):
        with open(os.path.join(ROOT, "docs", "reference", page), encoding="utf-8") as f:
            cited += re.findall(r"^\.\. orbisyn-functions:: (\w+)$", f.read(), re.M)
    assert sorted(cited) == sorted(found)


def test_aio_functions_carry_their_stub_text():
    # Python 3.13 dedents doc strings when it compiles them; earlier ones keep the indent.
    differ = [n for n, doc in AIO_STUB.functions.items()
              if inspect.cleandoc(getattr(aio, n).__doc__) != doc]
    assert not differ


@pytest.mark.parametrize("name", [n for n in FUNCTIONS if n not in ("last_error", *SETTINGS)])
def test_aio_stub_text(name):
    # What aio.pyi says: the plain function's parameters and returns, TerminalError instead
    # of the failure value, and no synchronous examples.
    doc = AIO_STUB.functions[name]
    assert doc == aio_doc(name, STUB.functions[name])
    _, parts = sections(doc)
    assert "Examples" not in parts and "Failure" not in parts
    if name not in ("shutdown",):
        assert parts["Raises"].startswith("TerminalError")
    assert documented_parameters(doc)[:len(documented_parameters(STUB.functions[name]))] == \
        documented_parameters(STUB.functions[name])


def test_aio_stub_is_what_its_tool_writes():
    res = subprocess.run([sys.executable, os.path.join(ROOT, "tools", "aio-stub"), "--check"],
                         capture_output=True, text=True)
    assert res.returncode == 0, res.stderr


def test_aio_text_names_the_codes_of_the_plain_function():
    doc = AIO_STUB.functions["copy_rates_from"]
    _, parts = sections(doc)
    assert '"Terminal: Not found"' in parts["Raises"]
    assert parts["Returns"] == sections(STUB.functions["copy_rates_from"])[1]["Returns"]


# ---------------------------------------------------------------- refusals shown, not only said

# Codes whose messages a function's page states with an example (the docs build runs them
# against a simulated Terminal): a bad argument, a value the Terminal refuses, too much
# data, nothing found, a refused login.
SHOWN_CODES = ("-2", "-3", "-4", "-6")
# What the simulated Terminal of the docs build cannot show, and why.
NOT_SHOWN = {
    ("copy_rates_range", -3): "more than maxbars (5 000 000) bars in one range",
    ("copy_ticks_range", -3): "the whole tick history: about 15 s to make",
    ("history_orders_get", -4): "the simulated Terminal answers an unknown position with ()",
    ("history_deals_get", -4): "the simulated Terminal answers an unknown position with ()",
}
_QUOTED = re.compile(r"""(?<![\w`])(?:"([^"\n]+)"|'([^'\n]+)')""")


def stated_messages(doc: str) -> list[tuple[int, str]]:
    """(code, message) of every quoted message in the Failure bullets of SHOWN_CODES."""
    failure = sections(doc)[1].get("Failure", "")
    found = []
    for item in re.split(r"\n(?=- )", failure):
        head = re.match(r"- ``(-\d+)``", item)
        if not head or head.group(1) not in SHOWN_CODES:
            continue
        text = " ".join(item.split())  # a message may wrap
        for m in _QUOTED.finditer(text):
            found.append((int(head.group(1)), m.group(1) or m.group(2)))
    return found


def test_stated_messages_are_found_in_failure_bullets():
    # The reader of the test: it must find what the pages state, or the test below is void.
    found = stated_messages(STUB.functions["positions_get"])
    assert (-2, 'Invalid arguments: "symbol" and "group" cannot be combined') in found
    assert (-2, "Unnamed arguments not allowed") in found
    assert (-4, "Terminal: Not found") in stated_messages(STUB.functions["symbol_info"])


@pytest.mark.parametrize("name", [n for n in FUNCTIONS if "Failure" in sections(STUB.functions[n])[1]])
def test_every_stated_refusal_has_its_example(name):
    doc = STUB.functions[name]
    examples = " ".join(sections(doc)[1]["Examples"].split())
    missing = [(code, message) for code, message in stated_messages(doc)
               if (name, code) not in NOT_SHOWN and f"({code}, {message!r})" not in examples]
    assert not missing, f"{name}: stated in Failure without an example: {missing}"
    # Placeholders such as NAME or KEY are no message a call gives.
    assert not re.search(r"""["'][^"'\n]*\b(NAME|KEY)\b""", sections(doc)[1]["Failure"])


@pytest.mark.parametrize("name", [n for n in FUNCTIONS if n not in SETTINGS])
def test_examples_connect_themselves(name):
    # Pasted into a fresh interpreter, an example must run: it connects before it calls.
    lines = [l.strip()[4:] for l in sections(STUB.functions[name])[1]["Examples"].split("\n")
             if l.strip().startswith(">>> ")]
    calls = [i for i, l in enumerate(lines) if re.match(r"orbisyn\.(?!initialize|last_error)\w+\(", l)
             or re.search(r"= orbisyn\.(?!initialize)\w+\(", l)]
    connects = [i for i, l in enumerate(lines) if l.startswith("orbisyn.initialize(")]
    assert not calls or (connects and connects[0] < calls[0]), name
