// copy_rates_from, copy_rates_from_pos, copy_rates_range, copy_ticks_from, copy_ticks_range.
#include "market_data/records.h"
#include "module/args.h"
#include "module/errors.h"
#include "module/functions.h"
#include "module/session_call.h"
#include "module/state.h"
#include "protocol/exchanges.h"

namespace orbisyn {

namespace {

constexpr const char kNoMemory[] = "No memory";

constexpr Param kRatesFromParams[] = {
    Arg("symbol", ArgKind::kText, kSymbolUnits), Arg("timeframe", ArgKind::kInt32),
    Arg("date_from", ArgKind::kTime), Arg("count", ArgKind::kInt32)};
constexpr Param kRatesFromPosParams[] = {
    Arg("symbol", ArgKind::kText, kSymbolUnits), Arg("timeframe", ArgKind::kInt32),
    Arg("start_pos", ArgKind::kInt32), Arg("count", ArgKind::kInt32)};
constexpr Param kRatesRangeParams[] = {
    Arg("symbol", ArgKind::kText, kSymbolUnits), Arg("timeframe", ArgKind::kInt32),
    Arg("date_from", ArgKind::kTime), Arg("date_to", ArgKind::kTime)};
constexpr Param kTicksFromParams[] = {
    Arg("symbol", ArgKind::kText, kSymbolUnits), Arg("date_from", ArgKind::kMillis),
    Arg("count", ArgKind::kInt32), Arg("flags", ArgKind::kInt32)};
constexpr Param kTicksRangeParams[] = {
    Arg("symbol", ArgKind::kText, kSymbolUnits), Arg("date_from", ArgKind::kMillis),
    Arg("date_to", ArgKind::kMillis), Arg("flags", ArgKind::kInt32)};

constexpr Signature kCopyTicksFrom =
    Declare("copy_ticks_from", kTicksFromParams, "copy_ticks_from(symbol, date_from, count, flags)",
            "Get ticks starting from specific date");
constexpr Signature kCopyTicksRange = Declare(
    "copy_ticks_range", kTicksRangeParams, "copy_ticks_range(symbol, date_from, date_to, flags)",
    "Get ticks from specified period");
constexpr Signature kCopyRatesFrom = Declare(
    "copy_rates_from", kRatesFromParams, "copy_rates_from(symbol, timeframe, date_from, count)",
    "Get bars starting from specific date");
constexpr Signature kCopyRatesFromPos =
    Declare("copy_rates_from_pos", kRatesFromPosParams,
            "copy_rates_from_pos(symbol, timeframe, start_pos, count)",
            "Get bars starting from specified position");
constexpr Signature kCopyRatesRange = Declare(
    "copy_rates_range", kRatesRangeParams, "copy_rates_range(symbol, timeframe, date_from, date_to)",
    "Get bars from specified period");

// Runs one record exchange (op(session, block) -> result) and returns the numpy array the
// records were read into, or None with the error recorded.
template <class Op>
PyObject* FetchArray(PyArray_Descr* dtype, Op&& op) {
  NumpyArrayAllocator alloc(dtype);
  ArrayBlock block(alloc);
  int32_t r = OnSession([&](Session& s) { return op(s, &block); });
  // The array is the allocation: when numpy could not make it (or the dtype is missing)
  // the failure is ours, not the link's, unless the Terminal already reported one.
  if (r == kIpcRecvFailed && alloc.Failed()) return SetErrorNone(kResultNoMemory, kNoMemory);
  if (r < 0) return SetErrorNone(r);
  block.Release();
  PyObject* array = alloc.Take();
  return array ? array : SetErrorNone(kResultNoMemory, kNoMemory);
}

PyObject* copy_rates_from(ORBISYN_ARGS) {
  ResetError();
  SymbolText symbol;
  int32_t timeframe, count;
  int64_t date_from;
  if (!ReadArgs(kCopyRatesFrom, args, nargs, kwnames, {symbol, &timeframe, &date_from, &count}))
    return Refused(kCopyRatesFrom);
  return FetchArray(g_module.bar_dtype, [&](Session& s, ArrayBlock* bars) {
    return exchange::CopyRatesFrom(s.pipe(), symbol, timeframe, date_from, count, bars);
  });
}

PyObject* copy_rates_from_pos(ORBISYN_ARGS) {
  ResetError();
  SymbolText symbol;
  int32_t timeframe, start_pos, count;
  if (!ReadArgs(kCopyRatesFromPos, args, nargs, kwnames, {symbol, &timeframe, &start_pos, &count}))
    return Refused(kCopyRatesFromPos);
  return FetchArray(g_module.bar_dtype, [&](Session& s, ArrayBlock* bars) {
    return exchange::CopyRatesFromPos(s.pipe(), symbol, timeframe, start_pos, count, bars);
  });
}

PyObject* copy_rates_range(ORBISYN_ARGS) {
  ResetError();
  SymbolText symbol;
  int32_t timeframe;
  int64_t date_from, date_to;
  if (!ReadArgs(kCopyRatesRange, args, nargs, kwnames, {symbol, &timeframe, &date_from, &date_to}))
    return Refused(kCopyRatesRange);
  return FetchArray(g_module.bar_dtype, [&](Session& s, ArrayBlock* bars) {
    return exchange::CopyRatesRange(s.pipe(), symbol, timeframe, date_from, date_to, bars);
  });
}

PyObject* copy_ticks_from(ORBISYN_ARGS) {
  ResetError();
  SymbolText symbol;
  int32_t count, flags;
  int64_t from_ms;
  if (!ReadArgs(kCopyTicksFrom, args, nargs, kwnames, {symbol, &from_ms, &count, &flags}))
    return Refused(kCopyTicksFrom);
  return FetchArray(g_module.tick_dtype, [&](Session& s, ArrayBlock* ticks) {
    return exchange::CopyTicksFrom(s.pipe(), symbol, from_ms, count, flags, ticks);
  });
}

PyObject* copy_ticks_range(ORBISYN_ARGS) {
  ResetError();
  SymbolText symbol;
  int32_t flags;
  int64_t from_ms, to_ms;
  if (!ReadArgs(kCopyTicksRange, args, nargs, kwnames, {symbol, &from_ms, &to_ms, &flags}))
    return Refused(kCopyTicksRange);
  return FetchArray(g_module.tick_dtype, [&](Session& s, ArrayBlock* ticks) {
    return exchange::CopyTicksRange(s.pipe(), symbol, from_ms, to_ms, flags, ticks);
  });
}

}  // namespace

const Function kMarketDataFunctions[] = {
    {&kCopyTicksFrom, copy_ticks_from},
    {&kCopyTicksRange, copy_ticks_range},
    {&kCopyRatesFrom, copy_rates_from},
    {&kCopyRatesFromPos, copy_rates_from_pos},
    {&kCopyRatesRange, copy_rates_range},
    {nullptr, nullptr},
};

}  // namespace orbisyn
