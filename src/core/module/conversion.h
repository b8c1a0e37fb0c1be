// The value rules every argument and trade-request field goes through: numbers as Python
// means them, times, texts. Each returns false on failure and may leave a Python exception
// pending; the caller reports -2 through the error state, which clears it. A rule may give
// a reason (a fixed text) for the caller's message through *why.
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

template <class Buffer>
constexpr uint16_t ArgUnitsOf() {
  return static_cast<uint16_t>(sizeof(Buffer) / sizeof(char16_t) - 3);
}
constexpr uint16_t kSymbolUnits = ArgUnitsOf<SymbolText>();
constexpr uint16_t kCredentialUnits = ArgUnitsOf<CredentialText>();
constexpr uint16_t kPathArgUnits = ArgUnitsOf<PathText>();
constexpr uint16_t kGroupUnits = ArgUnitsOf<GroupText>();

// numpy's bool scalar: a truth value, neither an integer nor a time nor a quantity.
bool IsNumpyBool(PyObject* obj);

// Imports the datetime C API; false (exception set) when it cannot be imported.
bool InitConversion();

// Times: an int or float of seconds (anything with __index__ or __float__: numpy scalars),
// truncated toward zero; a datetime (pandas.Timestamp too) by datetime.timestamp() of the
// datetime type itself, so a naive one is local time and an aware one its instant; a
// numpy.datetime64 as UTC. A date alone is refused: it names no instant. Refuses bools,
// NaN, infinities, NaT and what does not fit int64.
bool ToTime(PyObject* obj, int64_t* seconds, const char** why = nullptr);

// str of at most max_units UTF-16 units -> buffer, terminated after the text.
bool ToTextUnits(PyObject* obj, char16_t* buffer, size_t max_units);

template <size_t N>
bool ToText(PyObject* obj, char16_t (&buffer)[N]) {
  static_assert(N > 3, "text buffer");
  return ToTextUnits(obj, buffer, N - 3);
}

// Integers: int (bool included) or anything with __index__ (numpy integers, IntEnum; not
// numpy's bool), in the width's range.
bool ToUInt64(PyObject* obj, uint64_t* value);
bool ToInt64(PyObject* obj, int64_t* value);
bool ToUInt32(PyObject* obj, uint32_t* value);
bool ToInt32(PyObject* obj, int32_t* value);
// Floats: any real number (int, float, numpy scalars, through __index__ or __float__), but
// not bool, str or complex. NaN and infinities pass as they are.
bool ToFloat(PyObject* obj, double* value);

}  // namespace orbisyn
