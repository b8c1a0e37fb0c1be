#!/usr/bin/env python3
"""Writes the C++ headers that the core takes from the protocol's description.

    python tools/protocol_headers.py src/orbisyn/_protocol.py OUT_DIR

Into OUT_DIR/protocol/:
- commands.h: ``Command::kCopyRatesFrom`` ... , one code per command;
- records.h: the packed wire structs, a static_assert on the size and on every offset of
  each, and per struct the X-macro of the fields its Python record shows, in their order;
- requests.h: ``request::CopyRatesFrom(symbol, timeframe, date_from, count)`` ..., the
  command and the writer of its payload, one per command;
- exchanges.h: ``exchange::CopyRatesFrom(pipe, symbol, ..., ArrayBlock* out)`` ..., the
  whole exchange of each command: its request, then its reply read into the outputs.

Standard library only, and the description is read as a file: this runs at build time
(CMake, scikit-build-core, tools/devbuild, the mingw-w64 and sanitizer builds) before
the package can be imported.
"""
from __future__ import annotations

import os
import runpy
import sys

CPP_TYPES = {"bool": "uint8_t", "i32": "int32_t", "u32": "uint32_t", "i64": "int64_t",
             "u64": "uint64_t", "f64": "double"}
ARG_TYPES = dict(CPP_TYPES, bool="bool", text="const char16_t*")
PUTS = {"bool": "PutFlag", "i32": "PutInt32", "u32": "PutUInt32", "i64": "PutInt64",
        "u64": "PutUInt64", "f64": "PutDouble", "text": "PutText"}


def camel(name: str) -> str:
    return "".join(word.capitalize() for word in name.split("_"))


def banner(source: str) -> list[str]:
    return [f"// Generated from {source} by tools/protocol_headers.py: do not edit.",
            "#pragma once", ""]


def commands_h(d: dict, source: str) -> str:
    lines = banner(source) + [
        "#include <cstdint>", "", "namespace orbisyn {", "",
        "// Every command code the module sends (an enum in a struct: Command::kVersion",
        "// converts to int32_t and names nothing in the namespace itself).",
        "struct Command {", "  enum Code : int32_t {"]
    lines += [f"    k{camel(c.name)} = {c.code}," for c in d["COMMANDS"]]
    lines += ["  };", "};", "", "}  // namespace orbisyn", ""]
    return "\n".join(lines)


def member(f) -> str:
    if f.kind == "text":
        return f"  char16_t {f.name}[{f.count}];"
    if f.kind == "pad":
        return f"  uint8_t {f.name}[{f.count}];  // not shown in Python"
    return f"  {CPP_TYPES[f.kind]} {f.name};"


def records_h(d: dict, source: str) -> str:
    offsets, shown = d["offsets"], d["shown"]
    symbol = d["SYMBOL_INFO"]
    lines = banner(source) + [
        "#include <cstddef>", "#include <cstdint>", "", "namespace orbisyn {", "",
        "// First Terminal build that sends the symbol record with its name slot; earlier ones",
        "// send the record without it.",
        f"constexpr int32_t kSymbolRecordBuild = {d['SYMBOL_NAME_BUILD']};",
        f"constexpr uint32_t kSymbolRecordSize = {symbol.size};",
        f"constexpr uint32_t kLegacySymbolRecordSize = {offsets(symbol)['name']};", "",
        "#pragma pack(push, 1)"]
    for r in d["RECORDS"]:
        lines.append(f"struct {r.cpp} {{")
        lines += [member(f) for f in r.fields]
        lines += ["};", ""]
    lines += ["#pragma pack(pop)", ""]
    for r in d["RECORDS"]:
        lines.append(f"static_assert(sizeof({r.cpp}) == {r.size}, \"{r.key} record size\");")
        at = offsets(r)
        for f in r.fields:
            lines.append(f"static_assert(offsetof({r.cpp}, {f.name}) == {at[f.name]}, "
                         f"\"{r.key}.{f.name}\");")
        lines.append("")
    lines.append("// The fields each record's Python type (or dtype) shows, in its order: "
                 "X(Struct, member).")
    for r in d["RECORDS"]:
        rows = " \\\n  ".join(f"X({r.cpp}, {f.name})" for f in shown(r))
        lines.append(f"#define ORBISYN_ROWS_{r.cpp}(X) \\\n  {rows}")
    lines += ["", "}  // namespace orbisyn", ""]
    return "\n".join(lines)


def requests_h(d: dict, source: str) -> str:
    structs = {r.key: r.cpp for r in d["RECORDS"]}
    lines = banner(source) + [
        '#include "link/channel.h"', '#include "protocol/commands.h"',
        '#include "protocol/records.h"', "", "namespace orbisyn::request {", ""]
    for c in d["COMMANDS"]:
        params, puts, captures = [], [], []
        for name, kind in c.request:
            if kind.startswith("record:"):
                cpp = structs[kind.split(":", 1)[1]]
                params.append(f"const {cpp}& {name}")
                captures.append(f"&{name}")
                puts.append(f"w.Write(&{name}, sizeof {name})")
            else:
                params.append(f"{ARG_TYPES[kind]} {name}")
                captures.append(name)
                puts.append(f"w.{PUTS[kind]}({name})")
        body = " && ".join(puts) if puts else "true"
        unused = "" if puts else "/*w*/"
        lines += [
            f"inline auto {camel(c.name)}({', '.join(params)}) {{",
            f"  return RequestFrame{{Command::k{camel(c.name)},",
            f"                 [{', '.join(captures)}](PipeWriter& {unused or 'w'}) "
            f"{{ return {body}; }}}};",
            "}", ""]
    lines += ["}  // namespace orbisyn::request", ""]
    return "\n".join(lines)


def exchanges_h(d: dict, source: str) -> str:
    structs = {r.key: r.cpp for r in d["RECORDS"]}
    lines = banner(source) + [
        '#include "link/channel.h"', '#include "protocol/requests.h"', "",
        "namespace orbisyn::exchange {", "",
        "// Each returns the exchange's result (link/channel.h's Exchange); the outputs are",
        "// valid when it is zero or more, and an ArrayBlock is empty after a failure.", ""]
    for c in d["COMMANDS"]:
        params = ["PipeSlot& pipe"]
        args = []
        for name, kind in c.request:
            if kind.startswith("record:"):
                params.append(f"const {structs[kind[7:]]}& {name}")
            else:
                params.append(f"{ARG_TYPES[kind]} {name}")
            args.append(name)
        outs = ["out"] if len(c.reply) == 1 else [f"out{i}" for i in range(len(c.reply))]
        reads, blocks = [], []
        for out, kind in zip(outs, c.reply):
            if kind.startswith("array:"):
                params.append(f"ArrayBlock* {out}")
                reads.append(f"rd.ReadArray(*{out}, sizeof({structs[kind[6:]]}))")
                blocks.append(out)
            elif kind == "text":
                params.append(f"ArrayBlock* {out}")
                reads.append(f"rd.ReadArray(*{out}, sizeof(char16_t))")
                blocks.append(out)
            elif kind.startswith("record:"):
                params.append(f"{structs[kind[7:]]}* {out}")
                reads.append(f"rd.Read({out}, sizeof *{out})")
            else:
                params.append(f"{CPP_TYPES[kind]}* {out}")
                reads.append(f"rd.Get({out})")
        call = f"request::{camel(c.name)}({', '.join(args)})"
        lines.append(f"inline int32_t {camel(c.name)}({', '.join(params)}) {{")
        if not reads:
            lines.append(f"  return Exchange(pipe, {call}, NoReply);")
        else:
            lines.append(f"  int32_t r = Exchange(pipe, {call}, [&](PipeReader& rd) {{")
            lines.append(f"    return {' && '.join(reads)};")
            lines.append("  });")
            # An array may have been read whole before a wrong echo or trailing bytes.
            lines += [f"  if (r < 0) {b}->Reset();" for b in blocks]
            lines.append("  return r;")
        lines += ["}", ""]
    lines += ["}  // namespace orbisyn::exchange", ""]
    return "\n".join(lines)


def write(path: str, text: str) -> None:
    # Unchanged headers keep their time stamps: nothing that includes them rebuilds.
    try:
        with open(path, encoding="utf-8") as f:
            if f.read() == text:
                return
    except OSError:
        pass
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


def main(argv: list[str]) -> int:
    if len(argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    try:
        description = runpy.run_path(argv[1])
    except ValueError as e:
        print(f"{argv[1]}: {e}", file=sys.stderr)
        return 1
    source = os.path.basename(argv[1])
    out = os.path.join(argv[2], "protocol")
    os.makedirs(out, exist_ok=True)
    write(os.path.join(out, "commands.h"), commands_h(description, source))
    write(os.path.join(out, "records.h"), records_h(description, source))
    write(os.path.join(out, "requests.h"), requests_h(description, source))
    write(os.path.join(out, "exchanges.h"), exchanges_h(description, source))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
