#!/usr/bin/env python3
"""Writes the C++ header of doc strings that _core takes from its type stubs.

    python tools/docstrings.py src/orbisyn/_core.pyi OUT.h

One entry per docstring the stubs have: each module function's (the first of its overloads
that has one), each record class's, and each field's (the docstring of its @property). The
text is what ``ast.get_docstring`` gives (indentation cleaned), so ``help()`` and
``__doc__`` show exactly the stub's text. Standard library only: it runs at build time
(CMake, scikit-build-core, tools/devbuild, tools/test-windows).
"""
from __future__ import annotations

import ast
import os
import sys

# MSVC takes at most 65535 bytes in one string literal, concatenation included.
LIMIT = 60000


def entries(source: str) -> list[tuple[str, str, str]]:
    tree = ast.parse(source)
    found: dict[tuple[str, str], str] = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef) and not node.name.startswith("_"):
            doc = ast.get_docstring(node)
            if doc is not None:
                found.setdefault(("", node.name), doc)
        elif isinstance(node, ast.ClassDef) and not node.name.startswith("_"):
            doc = ast.get_docstring(node)
            if doc is not None:
                found[(node.name, "")] = doc
            for item in node.body:
                if isinstance(item, ast.FunctionDef) and any(
                        isinstance(d, ast.Name) and d.id == "property" for d in item.decorator_list):
                    doc = ast.get_docstring(item)
                    if doc is not None:
                        found[(node.name, item.name)] = doc
    return [(owner, name, doc) for (owner, name), doc in found.items()]


def literal(text: str) -> str:
    """A C string literal of text's UTF-8 bytes, one piece per line."""
    data = text.encode("utf-8")
    if len(data) > LIMIT:
        raise SystemExit(f"docstring of {len(data)} bytes: the limit is {LIMIT}")
    pieces, out = [], []
    for byte in data:
        c = chr(byte)
        if c == "\n":
            out.append("\\n")
            pieces.append("".join(out))
            out = []
        elif c in '"\\':
            out.append("\\" + c)
        elif 32 <= byte < 127 and c != "?":
            out.append(c)
        else:
            out.append(f"\\{byte:03o}")  # octal: never runs into a following digit
    if out or not pieces:
        pieces.append("".join(out))
    return "\n        ".join(f'"{p}"' for p in pieces)


def main(argv: list[str]) -> int:
    if len(argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    with open(argv[1], encoding="utf-8") as f:
        rows = entries(f.read())
    lines = [
        f"// Generated from {os.path.basename(argv[1])} by tools/docstrings.py: do not edit.",
        "#pragma once",
        "",
        "namespace orbisyn {",
        "",
        "struct StubDocEntry {",
        "  const char* owner;  // record type, or empty for a function",
        "  const char* name;   // function or field, or empty for a record type",
        "  const char* doc;",
        "};",
        "",
        "inline constexpr StubDocEntry kStubDocs[] = {",
    ]
    for owner, name, doc in rows:
        lines.append(f'    {{"{owner}", "{name}",\n        {literal(doc)}}},')
    lines += ["    {\"\", \"\", nullptr},", "};", "", "}  // namespace orbisyn", ""]
    text = "\n".join(lines)
    os.makedirs(os.path.dirname(os.path.abspath(argv[2])), exist_ok=True)
    with open(argv[2], "w", encoding="utf-8") as f:
        f.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
