// Shared argument rules of the module functions. Each returns false on failure and may
// leave a Python exception pending; the caller reports -2 through the error state, which
// clears it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "module/python.h"

namespace orbisyn {

// Text buffers of the arguments; a buffer of N units takes a str of at most N - 3 units.
using SymbolText = char16_t[32];       // symbols and request texts: 29 units
using CredentialText = char16_t[256];  // password and server: 253 units
using PathText = char16_t[260];        // executable path: 257 units
using GroupText = char16_t[2000];      // group masks: 1997 units

// Imports the datetime C API; false (exception set) when it cannot be imported.
bool InitConversion();

// int, float or datetime.datetime -> seconds since the epoch, truncated toward zero.
// Refuses what does not fit int64, NaN and infinities.
bool ToTime(PyObject* obj, int64_t* seconds);

// str of at most max_units UTF-16 units -> buffer, terminated after the text.
bool ToTextUnits(PyObject* obj, char16_t* buffer, size_t max_units);

template <size_t N>
bool ToText(PyObject* obj, char16_t (&buffer)[N]) {
  static_assert(N > 3, "text buffer");
  return ToTextUnits(obj, buffer, N - 3);
}

bool ToUInt64(PyObject* obj, uint64_t* value);
bool ToInt64(PyObject* obj, int64_t* value);
bool ToUInt32(PyObject* obj, uint32_t* value);
// float only: an int is refused.
bool ToFloat(PyObject* obj, double* value);

// The value of a keyword argument, or null when it was not given (borrowed).
inline PyObject* Keyword(PyObject* kwargs, const char* key) {
  return kwargs ? PyDict_GetItemString(kwargs, key) : nullptr;
}

}  // namespace orbisyn
