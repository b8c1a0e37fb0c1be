// Shared argument rules of the module functions. Each returns false on failure and may
// leave a Python exception pending; the caller reports -2 through the error state, which
// clears it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "module/python.h"

namespace orbisyn {

constexpr size_t kSymbolCopy = 31;     // symbol names and request texts: 29 units accepted
constexpr size_t kPasswordCopy = 255;  // password and server: 253 units
constexpr size_t kPathCopy = 259;      // executable path: 257 units
constexpr size_t kGroupCopy = 1999;    // group masks: 1997 units

// Imports the datetime C API; false (exception set) when it cannot be imported.
bool InitConversion();

// int, float or datetime.datetime → seconds since the epoch, truncated toward zero.
// Refuses what does not fit int64, NaN and infinities.
bool ToTime(PyObject* obj, int64_t* seconds);

// str of at most size - 2 UTF-16 units → buffer (size + 1 units, always terminated).
bool ToText(PyObject* obj, char16_t* buffer, size_t size);

bool ToUInt64(PyObject* obj, uint64_t* value);
bool ToInt64(PyObject* obj, int64_t* value);
bool ToUInt32(PyObject* obj, uint32_t* value);
// float only: an int is refused.
bool ToFloat(PyObject* obj, double* value);

// The value of a keyword argument, or null when it was not given (borrowed).
inline PyObject* Keyword(PyObject* kwargs, const char* key) {
  return kwargs ? PyDict_GetItemString(kwargs, key) : nullptr;
}

// Python str of the units before the first NUL among at most max units.
PyObject* TextToPy(const char16_t* units, size_t max);

}  // namespace orbisyn
