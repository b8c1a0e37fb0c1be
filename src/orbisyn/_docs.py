"""The reference text of the module: read from the stubs, and turned into the text of the
awaitable functions of ``orbisyn.aio``.

The doc strings in ``_core.pyi`` are the one source: the build puts them into the compiled
module, ``tools/aio-stub`` writes the ``aio.pyi`` text from them with ``aio_doc``, and
``aio.py`` applies the same ``aio_doc`` to the compiled module's text at import.
"""
from __future__ import annotations

import ast
import inspect
import os
import re
from typing import Dict, List, NamedTuple, Optional, Tuple

CORE_STUB = os.path.join(os.path.dirname(__file__), "_core.pyi")


class StubDocs(NamedTuple):
    functions: Dict[str, str]            # name -> doc string
    records: Dict[str, str]              # record type -> doc string
    fields: Dict[Tuple[str, str], str]   # (record type, field) -> doc string
    field_order: Dict[str, List[str]]    # record type -> its fields, in order


def _doc(node: ast.AST) -> Optional[str]:
    doc = ast.get_docstring(node, clean=True)  # type: ignore[arg-type]
    return doc


def read_stub(path: str = CORE_STUB) -> StubDocs:
    """The doc strings of a stub file: of its functions (the first of overloads), its
    classes and their properties."""
    with open(path, encoding="utf-8") as f:
        tree = ast.parse(f.read(), path)
    out = StubDocs({}, {}, {}, {})
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            if node.name not in out.functions:
                out.functions[node.name] = _doc(node) or ""
        elif isinstance(node, ast.ClassDef) and not node.name.startswith("_"):
            out.records[node.name] = _doc(node) or ""
            order = out.field_order.setdefault(node.name, [])
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    out.fields[(node.name, item.name)] = _doc(item) or ""
                    order.append(item.name)
    return out


_SECTION = re.compile(r"^(\w[\w ]*)\n-+\n", re.M)


def sections(doc: str) -> Tuple[str, Dict[str, str]]:
    """Split a numpy-style doc string into its head (signature line, summary, extended
    summary) and its sections by title, each body without the title."""
    doc = inspect.cleandoc(doc)
    found = list(_SECTION.finditer(doc))
    head = doc[:found[0].start()] if found else doc
    parts: Dict[str, str] = {}
    for i, m in enumerate(found):
        end = found[i + 1].start() if i + 1 < len(found) else len(doc)
        parts[m.group(1)] = doc[m.end():end].strip("\n")
    return head.strip("\n"), parts


def _indent(text: str, by: str = "    ") -> str:
    return "\n".join(by + line if line else "" for line in text.split("\n"))


# Functions with a time limit of their own (in milliseconds): no second one in seconds.
_OWN_TIMEOUT = frozenset({"initialize", "login"})

_AIO_TIMEOUT = """timeout : float, optional
    Keyword only: seconds that the call may wait for the Terminal without progress; when
    they run out it raises `TimeoutError` (the link is then closed, as for
    `orbisyn.set_timeout`). Not given: no limit but the process's own."""


# Not awaitable: orbisyn.aio has the plain functions.
SETTINGS = ("set_timeout", "get_timeout")


def aio_doc(name: str, core_doc: str) -> str:
    """The doc string of ``orbisyn.aio.<name>`` from that of ``orbisyn.<name>``: the same
    head, parameters, returns and notes; the failure value becomes ``TerminalError``; no
    examples (they are synchronous). The settings are the plain functions themselves."""
    if name in SETTINGS:
        return core_doc
    head, parts = sections(core_doc)
    # No call form: help() and editors show the signature itself.
    summary, _, extended = head.partition("\n\n")
    out = [summary, "",
           f"Awaitable `orbisyn.{name}`: the call runs on the worker thread of `orbisyn.aio`,\n"
           f"so the event loop goes on meanwhile. It returns what `orbisyn.{name}` returns, and\n"
           f"raises `orbisyn.TerminalError` where that returns its failure value."]
    if extended:
        out += ["", extended]
    params = parts.get("Parameters", "")
    if name not in _OWN_TIMEOUT:
        params = (params + "\n" + _AIO_TIMEOUT) if params else _AIO_TIMEOUT
    if params:
        out += ["", "Parameters", "----------", params]
    if "Returns" in parts:
        out += ["", "Returns", "-------", parts["Returns"]]
    failure = parts.get("Failure", "")
    bullets = failure[failure.index("\n- ") + 1:] if "\n- " in failure else ""
    raises = ("TerminalError\n    Where `orbisyn.{0}` returns its failure value; ``code`` and "
              "``message``\n    are what `last_error` gives there".format(name))
    raises += (":\n\n" + _indent(bullets)) if bullets else "."
    if name not in _OWN_TIMEOUT:
        raises += "\nTimeoutError\n    `timeout` ran out."
    if failure:
        out += ["", "Raises", "------", raises]
    notes = parts.get("Notes", "")
    cancel = ("A cancelled await does not stop a call that has started: it completes and its\n"
              "result is dropped; a call still queued is not made.")
    out += ["", "Notes", "-----", (notes + "\n\n" + cancel) if notes else cancel]
    return "\n".join(out)
