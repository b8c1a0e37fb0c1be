// The module's functions, declared beside their bodies in each family's functions.cpp
// (a Signature and a Function row each); module.cpp makes the method table, the text
// signatures and the doc strings from these rows at import.
#pragma once

#include "module/args.h"

namespace orbisyn {

// Each ends with a row whose signature is null.
extern const Function kSessionFunctions[];
extern const Function kInfoFunctions[];
extern const Function kMarketDataFunctions[];
extern const Function kTradingFunctions[];
extern const Function kPositionsFunctions[];

// Module settings (set_timeout, get_timeout, ...): plain method rows that raise on a bad
// value, as Python's own settings do; their doc starts with the text signature.
extern const PyMethodDef kSettingsMethods[];
// Private helpers of the package's own tools (_terminals, for orbisyn-terminal list).
extern const PyMethodDef kLocatorMethods[];

}  // namespace orbisyn
