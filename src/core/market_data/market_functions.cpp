// copy_rates_from, copy_rates_from_pos, copy_rates_range, copy_ticks_from, copy_ticks_range.
#include <cstdint>

#include "link/commands.h"
#include "link/inter_client.h"
#include "market_data/dtypes.h"
#include "market_data/numpy_allocator.h"
#include "module/conversion.h"
#include "module/error_state.h"
#include "module/functions.h"

namespace orbisyn::py {

namespace {

constexpr const char kInvalidArguments[] = "Invalid arguments";
constexpr const char kNoMemory[] = "No memory";

PyObject* InvalidArguments() { return SetErrorNone(kResultInvalidParams, kInvalidArguments); }

bool HasFourArguments(PyObject* args) { return PyTuple_GET_SIZE(args) == 4; }

// Seconds as milliseconds; refuses what int64 cannot hold.
bool ToMilliseconds(PyObject* obj, int64_t* ms) {
  int64_t seconds = 0;
  return ToTime(obj, &seconds) && !__builtin_mul_overflow(seconds, int64_t{1000}, ms);
}

// Runs one record exchange (op(allocator, &count) -> result) and returns the array the
// records were read into, or None with the error recorded.
template <class Op>
PyObject* FetchArray(PyArray_Descr* dtype, Op&& op) {
  if (!g_client.IsOpen()) return SetErrorNone(kIpcNoConnection);
  NumpyArrayAllocator alloc(dtype);
  uint32_t count = 0;
  int32_t r = op(alloc, &count);
  // The array is the allocation: when numpy could not make it (or the dtype is missing)
  // the failure is ours, not the link's, unless the Terminal already reported one.
  if (r == kIpcRecvFailed && alloc.Failed()) return SetErrorNone(kResultNoMemory, kNoMemory);
  if (r < 0) return SetErrorNone(r);
  PyObject* array = alloc.Take();
  if (!array) return SetErrorNone(kResultNoMemory, kNoMemory);
  return array;
}

}  // namespace

PyObject* copy_rates_from(PyObject*, PyObject* args) {
  ResetError();
  PyObject *symbol_obj, *date_obj;
  int timeframe, count;
  char16_t symbol[kSymbolCopy + 1];
  int64_t date_from = 0;
  if (!HasFourArguments(args) ||
      !PyArg_ParseTuple(args, "OiOi", &symbol_obj, &timeframe, &date_obj, &count) ||
      !ToText(symbol_obj, symbol, kSymbolCopy) || !ToTime(date_obj, &date_from))
    return InvalidArguments();
  return FetchArray(g_bar_dtype, [&](ArrayAllocator& out, uint32_t* n) {
    return g_client.CopyRatesFrom(symbol, timeframe, date_from, count, out, n);
  });
}

PyObject* copy_rates_from_pos(PyObject*, PyObject* args) {
  ResetError();
  PyObject* symbol_obj;
  int timeframe, start_pos, count;
  char16_t symbol[kSymbolCopy + 1];
  if (!HasFourArguments(args) ||
      !PyArg_ParseTuple(args, "Oiii", &symbol_obj, &timeframe, &start_pos, &count) ||
      !ToText(symbol_obj, symbol, kSymbolCopy))
    return InvalidArguments();
  return FetchArray(g_bar_dtype, [&](ArrayAllocator& out, uint32_t* n) {
    return g_client.CopyRatesFromPos(symbol, timeframe, start_pos, count, out, n);
  });
}

PyObject* copy_rates_range(PyObject*, PyObject* args) {
  ResetError();
  PyObject *symbol_obj, *from_obj, *to_obj;
  int timeframe;
  char16_t symbol[kSymbolCopy + 1];
  int64_t date_from = 0, date_to = 0;
  if (!HasFourArguments(args) ||
      !PyArg_ParseTuple(args, "OiOO", &symbol_obj, &timeframe, &from_obj, &to_obj) ||
      !ToText(symbol_obj, symbol, kSymbolCopy) || !ToTime(from_obj, &date_from) ||
      !ToTime(to_obj, &date_to))
    return InvalidArguments();
  return FetchArray(g_bar_dtype, [&](ArrayAllocator& out, uint32_t* n) {
    return g_client.CopyRatesRange(symbol, timeframe, date_from, date_to, out, n);
  });
}

PyObject* copy_ticks_from(PyObject*, PyObject* args) {
  ResetError();
  PyObject *symbol_obj, *from_obj;
  int count, flags;
  char16_t symbol[kSymbolCopy + 1];
  int64_t from_ms = 0;
  if (!HasFourArguments(args) ||
      !PyArg_ParseTuple(args, "OOii", &symbol_obj, &from_obj, &count, &flags) ||
      !ToText(symbol_obj, symbol, kSymbolCopy) || !ToMilliseconds(from_obj, &from_ms))
    return InvalidArguments();
  return FetchArray(g_tick_dtype, [&](ArrayAllocator& out, uint32_t* n) {
    return g_client.CopyTicksFrom(symbol, from_ms, count, flags, out, n);
  });
}

PyObject* copy_ticks_range(PyObject*, PyObject* args) {
  ResetError();
  PyObject *symbol_obj, *from_obj, *to_obj;
  int flags;
  char16_t symbol[kSymbolCopy + 1];
  int64_t from_ms = 0, to_ms = 0;
  if (!HasFourArguments(args) ||
      !PyArg_ParseTuple(args, "OOOi", &symbol_obj, &from_obj, &to_obj, &flags) ||
      !ToText(symbol_obj, symbol, kSymbolCopy) || !ToMilliseconds(from_obj, &from_ms) ||
      !ToMilliseconds(to_obj, &to_ms))
    return InvalidArguments();
  return FetchArray(g_tick_dtype, [&](ArrayAllocator& out, uint32_t* n) {
    return g_client.CopyTicksRange(symbol, from_ms, to_ms, flags, out, n);
  });
}

}  // namespace orbisyn::py
