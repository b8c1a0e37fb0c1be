// numpy record types of bars and ticks, built once at import.
#pragma once

#include "module/python.h"

namespace orbisyn {

// Both are null when they could not be built; the bar and tick functions then fail
// with "No memory".
extern PyArray_Descr* g_bar_dtype;
extern PyArray_Descr* g_tick_dtype;

// Builds both dtypes. Never fails the import: a missing dtype only disables its functions.
void BuildMarketDtypes();

}  // namespace orbisyn
