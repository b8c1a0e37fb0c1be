// copy_rates_from, copy_rates_from_pos, copy_rates_range, copy_ticks_from, copy_ticks_range.
#include "market_data/client.h"
#include "market_data/records.h"
#include "module/conversion.h"
#include "module/errors.h"
#include "module/functions.h"
#include "module/session_call.h"
#include "module/state.h"

namespace orbisyn {

namespace {

constexpr const char kNoMemory[] = "No memory";

PyObject* InvalidArguments() { return SetErrorNone(kResultInvalidParams, "Invalid arguments"); }

bool HasFourArguments(PyObject* args) { return PyTuple_GET_SIZE(args) == 4; }

// Seconds as milliseconds; refuses what int64 cannot hold.
bool ToMilliseconds(PyObject* obj, int64_t* ms) {
  int64_t seconds = 0;
  if (!ToTime(obj, &seconds) || seconds > INT64_MAX / 1000 || seconds < INT64_MIN / 1000)
    return false;
  *ms = seconds * 1000;
  return true;
}

// Runs one record exchange (op(session, block) -> result) and returns the numpy array the
// records were read into, or None with the error recorded.
template <class Op>
PyObject* FetchArray(PyArray_Descr* dtype, Op&& op) {
  NumpyArrayAllocator alloc(dtype);
  ArrayBlock block(alloc);
  int32_t r = OnSession([&](CInterClient& s) { return op(s, &block); });
  // The array is the allocation: when numpy could not make it (or the dtype is missing)
  // the failure is ours, not the link's, unless the Terminal already reported one.
  if (r == kIpcRecvFailed && alloc.Failed()) return SetErrorNone(kResultNoMemory, kNoMemory);
  if (r < 0) return SetErrorNone(r);
  block.Release();
  PyObject* array = alloc.Take();
  return array ? array : SetErrorNone(kResultNoMemory, kNoMemory);
}

PyObject* copy_rates_from(PyObject*, PyObject* args) {
  ResetError();
  PyObject *symbol_obj, *date_obj;
  int timeframe, count;
  SymbolText symbol;
  int64_t date_from = 0;
  if (!HasFourArguments(args) ||
      !PyArg_ParseTuple(args, "OiOi", &symbol_obj, &timeframe, &date_obj, &count) ||
      !ToText(symbol_obj, symbol) || !ToTime(date_obj, &date_from))
    return InvalidArguments();
  return FetchArray(g_module.bar_dtype, [&](CInterClient& s, ArrayBlock* bars) {
    return CopyRatesFrom(s, symbol, timeframe, date_from, count, bars);
  });
}

PyObject* copy_rates_from_pos(PyObject*, PyObject* args) {
  ResetError();
  PyObject* symbol_obj;
  int timeframe, start_pos, count;
  SymbolText symbol;
  if (!HasFourArguments(args) ||
      !PyArg_ParseTuple(args, "Oiii", &symbol_obj, &timeframe, &start_pos, &count) ||
      !ToText(symbol_obj, symbol))
    return InvalidArguments();
  return FetchArray(g_module.bar_dtype, [&](CInterClient& s, ArrayBlock* bars) {
    return CopyRatesFromPos(s, symbol, timeframe, start_pos, count, bars);
  });
}

PyObject* copy_rates_range(PyObject*, PyObject* args) {
  ResetError();
  PyObject *symbol_obj, *from_obj, *to_obj;
  int timeframe;
  SymbolText symbol;
  int64_t date_from = 0, date_to = 0;
  if (!HasFourArguments(args) ||
      !PyArg_ParseTuple(args, "OiOO", &symbol_obj, &timeframe, &from_obj, &to_obj) ||
      !ToText(symbol_obj, symbol) || !ToTime(from_obj, &date_from) || !ToTime(to_obj, &date_to))
    return InvalidArguments();
  return FetchArray(g_module.bar_dtype, [&](CInterClient& s, ArrayBlock* bars) {
    return CopyRatesRange(s, symbol, timeframe, date_from, date_to, bars);
  });
}

PyObject* copy_ticks_from(PyObject*, PyObject* args) {
  ResetError();
  PyObject *symbol_obj, *from_obj;
  int count, flags;
  SymbolText symbol;
  int64_t from_ms = 0;
  if (!HasFourArguments(args) ||
      !PyArg_ParseTuple(args, "OOii", &symbol_obj, &from_obj, &count, &flags) ||
      !ToText(symbol_obj, symbol) || !ToMilliseconds(from_obj, &from_ms))
    return InvalidArguments();
  return FetchArray(g_module.tick_dtype, [&](CInterClient& s, ArrayBlock* ticks) {
    return CopyTicksFrom(s, symbol, from_ms, count, flags, ticks);
  });
}

PyObject* copy_ticks_range(PyObject*, PyObject* args) {
  ResetError();
  PyObject *symbol_obj, *from_obj, *to_obj;
  int flags;
  SymbolText symbol;
  int64_t from_ms = 0, to_ms = 0;
  if (!HasFourArguments(args) ||
      !PyArg_ParseTuple(args, "OOOi", &symbol_obj, &from_obj, &to_obj, &flags) ||
      !ToText(symbol_obj, symbol) || !ToMilliseconds(from_obj, &from_ms) ||
      !ToMilliseconds(to_obj, &to_ms))
    return InvalidArguments();
  return FetchArray(g_module.tick_dtype, [&](CInterClient& s, ArrayBlock* ticks) {
    return CopyTicksRange(s, symbol, from_ms, to_ms, flags, ticks);
  });
}

}  // namespace

const PyMethodDef kMarketDataMethods[] = {
    {"copy_ticks_from", copy_ticks_from, METH_VARARGS,
     ORBISYN_DOC("copy_ticks_from($module, symbol, date_from, count, flags, /)", "copy_ticks_from(symbol, date_from, count, flags)",
                 "Get ticks starting from specific date")},
    {"copy_ticks_range", copy_ticks_range, METH_VARARGS,
     ORBISYN_DOC("copy_ticks_range($module, symbol, date_from, date_to, flags, /)", "copy_ticks_range(symbol, date_from, date_to, flags)",
                 "Get ticks from specified period")},
    {"copy_rates_from", copy_rates_from, METH_VARARGS,
     ORBISYN_DOC("copy_rates_from($module, symbol, timeframe, date_from, count, /)", "copy_rates_from(symbol, timeframe, date_from, count)",
                 "Get bars starting from specific date")},
    {"copy_rates_from_pos", copy_rates_from_pos, METH_VARARGS,
     ORBISYN_DOC("copy_rates_from_pos($module, symbol, timeframe, start_pos, count, /)", "copy_rates_from_pos(symbol, timeframe, start_pos, count)",
                 "Get bars starting from specified position")},
    {"copy_rates_range", copy_rates_range, METH_VARARGS,
     ORBISYN_DOC("copy_rates_range($module, symbol, timeframe, date_from, date_to, /)", "copy_rates_range(symbol, timeframe, date_from, date_to)",
                 "Get bars from specified period")},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace orbisyn
