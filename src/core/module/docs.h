// Doc strings from the type stubs (src/orbisyn/_core.pyi): tools/docstrings.py writes them
// into a header of the build folder at build time, and only docs.cpp includes it.
#pragma once

namespace orbisyn {

// The docstring the stubs give: of function `name` (owner null), of record type `owner`
// (name null), or of field `name` of record type `owner`; null when the stubs have none.
const char* StubDoc(const char* owner, const char* name);

}  // namespace orbisyn
