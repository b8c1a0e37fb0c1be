"""The API reference from the one source of its text, the doc strings of _core.pyi.

- Functions, record types and fields of the extension are documented with the stubs'
  text. ``orbisyn_reference_source = "module"`` takes the compiled module's own text and
  warns (an error under -W) where it differs from the stubs; ``"stubs"`` uses the stubs'
  text, for a build of the extension that does not carry it yet.
- ``orbisyn.aio`` functions get the text ``aio_doc`` makes of it, as aio.pyi has it.
- ``.. orbisyn-record:: NAME`` documents a record type and its fields in field order.
- ``.. orbisyn-functions:: FAMILY`` is the summary of the module's functions of a family
  (session, info, market_data, trading, positions; ``aio`` for the awaitable functions),
  in the stubs' order, each with a page of its own: a new function is listed where it
  belongs without a line here.
"""
from __future__ import annotations

import ast
import inspect
import os
import tempfile

from docutils import nodes
from docutils.statemachine import StringList
from sphinx.util import logging
from sphinx.util.docutils import SphinxDirective

import orbisyn
from orbisyn import _core, _protocol, _records
from orbisyn._docs import CORE_STUB, aio_doc, read_stub

logger = logging.getLogger(__name__)
_STUB = read_stub()
_AIO_STUB = os.path.join(os.path.dirname(orbisyn.__file__), "aio.pyi")
# The pages of the summaries, beside the pages that cite them (docs/reference).
_PAGES = "generated"


def _functions(path: str, awaitable: bool) -> list[str]:
    """The functions of a stub in its order (the first of overloads); with awaitable, its
    async ones only."""
    with open(path, encoding="utf-8") as f:
        tree = ast.parse(f.read(), path)
    kinds = (ast.AsyncFunctionDef,) if awaitable else (ast.FunctionDef,)
    return list(dict.fromkeys(n.name for n in tree.body if isinstance(n, kinds)))


def families() -> dict[str, tuple[str, list[str]]]:
    """family -> (module, its functions). A function belongs to the family of the command of
    its name; the session's are those of the link's commands and those that send none."""
    of_command = {c.name: c.family for c in _protocol.COMMANDS}
    out: dict[str, tuple[str, list[str]]] = {}
    for name in _functions(CORE_STUB, awaitable=False):
        family = of_command.get(name, "link")
        family = "session" if family == "link" else family
        out.setdefault(family, ("orbisyn", []))[1].append(name)
    out["aio"] = ("orbisyn.aio", _functions(_AIO_STUB, awaitable=True))
    return out


def _summary(module: str, names: list[str], toctree: str) -> list[str]:
    return [f".. currentmodule:: {module}", "", ".. autosummary::", f"   :toctree: {toctree}",
            "   :nosignatures:", "", *(f"   {n}" for n in names), ""]


class FunctionsDirective(SphinxDirective):
    required_arguments = 1

    def run(self) -> list[nodes.Node]:
        found = families()
        family = self.arguments[0]
        if family not in found:
            raise self.error(f"no functions of family {family!r} (there are {', '.join(found)})")
        module, names = found[family]
        text = StringList(_summary(module, names, _PAGES), source="orbisyn-functions")
        node = nodes.container()
        self.state.nested_parse(text, self.content_offset, node)
        return node.children


def _generate_pages(app) -> None:
    """Writes the pages of every summary before the sources are read: autosummary finds
    the names of a summary in the source text, where the directive above has none."""
    from sphinx.ext.autosummary.generate import generate_autosummary_docs

    pages = os.path.join(app.srcdir, "reference", _PAGES)
    rows: list[str] = []
    for module, names in families().values():
        rows += _summary(module, names, pages)
    with tempfile.TemporaryDirectory() as folder:
        listing = os.path.join(folder, "functions.rst")
        with open(listing, "w", encoding="utf-8") as f:
            f.write("\n".join(rows))
        generate_autosummary_docs([listing], suffix=".rst", app=app,
                                  overwrite=app.config.autosummary_generate_overwrite)


def _stub_text(what: str, name: str) -> str | None:
    parts = name.split(".")
    if parts[:1] != ["orbisyn"]:
        return None
    if what == "function" and len(parts) == 2 and parts[1] in _STUB.functions:
        return _STUB.functions[parts[1]]
    if what == "function" and parts[1:2] == ["aio"] and len(parts) == 3 and parts[2] in _STUB.functions:
        return aio_doc(parts[2], _STUB.functions[parts[2]])
    if what == "class" and len(parts) == 2 and parts[1] in _STUB.records:
        return _STUB.records[parts[1]]
    if what == "attribute" and len(parts) == 3 and (parts[1], parts[2]) in _STUB.fields:
        return _STUB.fields[(parts[1], parts[2])]
    return None


def _process(app, what, name, obj, options, lines):
    text = _stub_text(what, name)
    if text is None:
        return
    own = inspect.cleandoc(getattr(obj, "__doc__", None) or "")
    if app.config.orbisyn_reference_source == "module" and own != text:
        logger.warning("%s: its doc string differs from _core.pyi (rebuild the extension)", name)
    lines[:] = text.split("\n") + [""]


class RecordDirective(SphinxDirective):
    required_arguments = 1

    def run(self) -> list[nodes.Node]:
        name = self.arguments[0]
        fields = _records.fields(getattr(_core, name))
        # One autoattribute per field, in field order (a members list comes out sorted).
        rows = [f".. autoclass:: orbisyn.{name}", ""]
        rows += [f"   .. autoattribute:: {field}" for field in fields]
        text = StringList(rows + [""], source="orbisyn-record")
        node = nodes.container()
        self.state.nested_parse(text, self.content_offset, node)
        return node.children


def setup(app):
    app.add_config_value("orbisyn_reference_source", "module", "env")
    app.connect("autodoc-process-docstring", _process)
    app.add_directive("orbisyn-record", RecordDirective)
    app.add_directive("orbisyn-functions", FunctionsDirective)
    app.connect("builder-inited", _generate_pages)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
