// terminal_info, account_info, the symbol functions and depth of market.
#include "info/client.h"
#include "module/args.h"
#include "module/errors.h"
#include "module/functions.h"
#include "module/records.h"
#include "module/session_call.h"
#include "protocol/exchanges.h"

namespace orbisyn {

namespace {

constexpr const char kCallFailed[] = "Terminal: Call failed";

constexpr Param kSymbolParam[] = {Arg("symbol", ArgKind::kText, kSymbolUnits)};
constexpr Param kSelectParams[] = {Arg("symbol", ArgKind::kText, kSymbolUnits),
                                   Arg("enable", ArgKind::kTruth).Optional("True")};
constexpr Param kGroupParam[] = {Arg("group", ArgKind::kText, kGroupUnits).Optional()};

constexpr Signature kTerminalInfo =
    Declare("terminal_info", "terminal_info()", "Get parameters of Orbisyn terminal");
constexpr Signature kAccountInfo =
    Declare("account_info", "account_info()", "Return information on the current account");
constexpr Signature kSymbolInfo = Declare("symbol_info", kSymbolParam, "symbol_info(symbol)",
                                          "Return full information for specified symbol");
constexpr Signature kSymbolInfoTick =
    Declare("symbol_info_tick", kSymbolParam, "symbol_info_tick(symbol)",
            "Return current prices of specified symbol");
constexpr Signature kSymbolSelect =
    Declare("symbol_select", kSelectParams, "symbol_select(symbol,[enable])",
            "Select symbol in Market Watch window or remove symbol from the window")
        .RefusedWith(Refusal::kFalse);
constexpr Signature kSymbolsTotal = Declare("symbols_total", "symbols_total()",
                                            "Return the number of all available symbols");
constexpr Signature kSymbolsGet =
    Declare("symbols_get", kGroupParam, "symbols_get([group=\"GROUP\"])",
            "Return all available symbols or filtred by group")
        .Numbered()
        .KeywordWins()
        .RefusedWith(Refusal::kFalse);
constexpr Signature kMarketBookAdd =
    Declare("market_book_add", kSymbolParam, "market_book_add(symbol)",
            "Opens Depth of Market for a selected symbol");
constexpr Signature kMarketBookRelease =
    Declare("market_book_release", kSymbolParam, "market_book_release(symbol)",
            "Closes Depth of Market for a selected symbol");
constexpr Signature kMarketBookGet =
    Declare("market_book_get", kSymbolParam, "market_book_get(symbol)",
            "Returns Depth of Market structures of a specified symbol");

PyObject* Built(PyObject* record) { return record ? record : SetErrorNone(kResultFail, kCallFailed); }

template <class Record>
PyObject* OneRecord(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, RecordType type, int32_t (*get)(PipeSlot&, Record*)) {
  ResetError();
  if (!ReadArgs(sig, args, nargs, kwnames, {})) return Refused(sig);
  Record record;
  int32_t r = OnSession([&](Session& s) { return get(s.pipe(), &record); });
  if (r < 0) return SetErrorNone(r);
  RecordBuilder builder;
  return Built(builder.One(type, &record));
}

PyObject* RecordTuple(RecordType type, const ArrayBlock& block) {
  RecordBuilder builder;
  return Built(builder.Tuple(type, block.data(), block.count()));
}

// market_book_add and market_book_release: False for a failed exchange, with its reason.
PyObject* BookSwitch(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, int32_t (*op)(PipeSlot&, const char16_t*)) {
  ResetError();
  SymbolText symbol = {};
  if (!ReadArgs(sig, args, nargs, kwnames, {symbol})) return Refused(sig);
  int32_t r = OnSession([&](Session& s) { return op(s.pipe(), symbol); });
  if (r < 0) return SetErrorFalse(r);
  Py_RETURN_TRUE;
}

PyObject* terminal_info(ORBISYN_ARGS) {
  return OneRecord(kTerminalInfo, args, nargs, kwnames, kTerminalInfoType, exchange::TerminalInfo);
}

PyObject* account_info(ORBISYN_ARGS) {
  return OneRecord(kAccountInfo, args, nargs, kwnames, kAccountInfoType, exchange::AccountInfo);
}

PyObject* symbols_total(ORBISYN_ARGS) {
  ResetError();
  if (!ReadArgs(kSymbolsTotal, args, nargs, kwnames, {})) return Refused(kSymbolsTotal);
  uint32_t count = 0;
  int32_t r = OnSession([&](Session& s) { return SymbolsTotal(s, &count); });
  if (r < 0) return SetErrorNone(r);
  return PyLong_FromUnsignedLong(count);
}

PyObject* symbols_get(ORBISYN_ARGS) {
  ResetError();
  GroupText group = {};
  if (!ReadArgs(kSymbolsGet, args, nargs, kwnames, {group})) return Refused(kSymbolsGet);

  ArrayBlock records;
  int32_t r = OnSession([&](Session& s) { return SymbolsGet(s, group, &records); });
  if (r < 0) return SetErrorNone(r);
  return RecordTuple(kSymbolInfoType, records);
}

PyObject* symbol_select(ORBISYN_ARGS) {
  ResetError();
  SymbolText symbol = {};
  bool enable = true;
  if (!ReadArgs(kSymbolSelect, args, nargs, kwnames, {symbol, &enable}))
    return Refused(kSymbolSelect);
  int32_t r = OnSession([&](Session& s) { return exchange::SymbolSelect(s.pipe(), symbol, enable); });
  if (r < 0) return SetErrorFalse(r);
  Py_RETURN_TRUE;
}

PyObject* symbol_info(ORBISYN_ARGS) {
  ResetError();
  SymbolText symbol = {};
  if (!ReadArgs(kSymbolInfo, args, nargs, kwnames, {symbol})) return Refused(kSymbolInfo);
  SymbolInfoRecord record;
  int32_t r = OnSession([&](Session& s) { return SymbolInfoGet(s, symbol, &record); });
  if (r < 0) return SetErrorNone(r);
  RecordBuilder builder;
  return Built(builder.One(kSymbolInfoType, &record));
}

PyObject* symbol_info_tick(ORBISYN_ARGS) {
  ResetError();
  SymbolText symbol = {};
  if (!ReadArgs(kSymbolInfoTick, args, nargs, kwnames, {symbol})) return Refused(kSymbolInfoTick);
  TickRecord tick;
  int32_t r = OnSession([&](Session& s) { return exchange::SymbolInfoTick(s.pipe(), symbol, &tick); });
  if (r < 0) return SetErrorNone(r);
  RecordBuilder builder;
  return Built(builder.One(kTickType, &tick));
}

PyObject* market_book_add(ORBISYN_ARGS) {
  return BookSwitch(kMarketBookAdd, args, nargs, kwnames, exchange::MarketBookAdd);
}

PyObject* market_book_release(ORBISYN_ARGS) {
  return BookSwitch(kMarketBookRelease, args, nargs, kwnames, exchange::MarketBookRelease);
}

PyObject* market_book_get(ORBISYN_ARGS) {
  ResetError();
  SymbolText symbol = {};
  if (!ReadArgs(kMarketBookGet, args, nargs, kwnames, {symbol})) return Refused(kMarketBookGet);
  ArrayBlock entries;
  int32_t r = OnSession([&](Session& s) { return exchange::MarketBookGet(s.pipe(), symbol, &entries); });
  if (r < 0) return SetErrorNone(r);
  return RecordTuple(kBookInfoType, entries);
}

}  // namespace

const Function kInfoFunctions[] = {
    {&kTerminalInfo, terminal_info},
    {&kAccountInfo, account_info},
    {&kSymbolInfo, symbol_info},
    {&kSymbolInfoTick, symbol_info_tick},
    {&kSymbolSelect, symbol_select},
    {&kSymbolsTotal, symbols_total},
    {&kSymbolsGet, symbols_get},
    {&kMarketBookAdd, market_book_add},
    {&kMarketBookRelease, market_book_release},
    {&kMarketBookGet, market_book_get},
    {nullptr, nullptr},
};

}  // namespace orbisyn
