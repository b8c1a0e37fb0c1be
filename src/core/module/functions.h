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
#define ORBISYN_DOC(signature, text) signature "\n\n" text

}  // namespace orbisyn
