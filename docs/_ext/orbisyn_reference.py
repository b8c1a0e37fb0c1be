"""The API reference from the one source of its text, the doc strings of _core.pyi.

- Functions, record types and fields of the extension are documented with the stubs'
  text. ``orbisyn_reference_source = "module"`` takes the compiled module's own text and
  warns (an error under -W) where it differs from the stubs; ``"stubs"`` uses the stubs'
  text, for a build of the extension that does not carry it yet.
- ``orbisyn.aio`` functions get the text ``aio_doc`` makes of it, as aio.pyi has it.
- ``.. orbisyn-record:: NAME`` documents a record type and its fields in field order.
"""
from __future__ import annotations

import inspect

from docutils import nodes
from docutils.statemachine import StringList
from sphinx.util import logging
from sphinx.util.docutils import SphinxDirective

from orbisyn import _core, _records
from orbisyn._docs import aio_doc, read_stub

logger = logging.getLogger(__name__)
_STUB = read_stub()


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
    return {"parallel_read_safe": True, "parallel_write_safe": True}
