// The module's functions, as method rows defined beside the functions in each family's
// functions.cpp. Every doc string starts with the function's signature line.
#pragma once

#include "module/python.h"

namespace orbisyn {

// Each ends with a row whose name is null.
extern const PyMethodDef kSessionMethods[];
extern const PyMethodDef kInfoMethods[];
extern const PyMethodDef kMarketDataMethods[];
extern const PyMethodDef kTradingMethods[];
extern const PyMethodDef kPositionsMethods[];
extern const PyMethodDef kErrorMethods[];

// Keyword functions are stored as PyCFunction; the cast goes through a generic pointer.
#define ORBISYN_KEYWORDS(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))
// The text signature (for inspect.signature and help) goes before the doc string proper,
// which __doc__ then shows without it.
#define ORBISYN_DOC(text_signature, signature, text) \
  text_signature "\n--\n\n" signature "\n\n" text

}  // namespace orbisyn
