// terminal_info, account_info, the symbol functions and depth of market.
#include "info/client.h"
#include "module/conversion.h"
#include "module/errors.h"
#include "module/functions.h"
#include "module/records.h"
#include "module/session_call.h"

namespace orbisyn {

namespace {

constexpr const char kCallFailed[] = "Terminal: Call failed";
constexpr const char kInvalidArguments[] = "Invalid arguments";

// The single positional symbol argument of the symbol functions.
bool ParseSymbol(PyObject* args, SymbolText& symbol) {
  return PyTuple_GET_SIZE(args) == 1 && ToText(PyTuple_GET_ITEM(args, 0), symbol);
}

PyObject* Built(PyObject* record) { return record ? record : SetErrorNone(kResultFail, kCallFailed); }

template <class Record>
PyObject* OneRecord(RecordType type, int32_t (*get)(CInterClient&, Record*)) {
  ResetError();
  Record record;
  int32_t r = OnSession([&](CInterClient& s) { return get(s, &record); });
  if (r < 0) return SetErrorNone(r);
  RecordBuilder builder;
  return Built(builder.One(type, &record));
}

PyObject* RecordTuple(RecordType type, const ArrayBlock& block) {
  RecordBuilder builder;
  return Built(builder.Tuple(type, block.data(), block.count()));
}

// market_book_add and market_book_release: False for a failed exchange, with its reason.
PyObject* BookSwitch(PyObject* args, int32_t (*op)(CInterClient&, const char16_t*)) {
  ResetError();
  SymbolText symbol = {};
  if (!ParseSymbol(args, symbol)) return SetErrorNone(kResultInvalidParams, kInvalidArguments);
  int32_t r = OnSession([&](CInterClient& s) { return op(s, symbol); });
  if (r < 0) return SetErrorFalse(r);
  Py_RETURN_TRUE;
}

PyObject* terminal_info(PyObject*, PyObject*) {
  return OneRecord(kTerminalInfoType, TerminalInfoGet);
}

PyObject* account_info(PyObject*, PyObject*) {
  return OneRecord(kAccountInfoType, AccountInfoGet);
}

PyObject* symbols_total(PyObject*, PyObject*) {
  ResetError();
  uint32_t count = 0;
  int32_t r = OnSession([&](CInterClient& s) { return SymbolsTotal(s, &count); });
  if (r < 0) return SetErrorNone(r);
  return PyLong_FromUnsignedLong(count);
}

PyObject* symbols_get(PyObject*, PyObject* args, PyObject* kwargs) {
  ResetError();
  GroupText group = {};
  const Py_ssize_t n = PyTuple_GET_SIZE(args);
  if (n > 1) return SetErrorFalse(kResultInvalidParams, "Invalid number of arguments");
  if (n == 1 && !ToText(PyTuple_GET_ITEM(args, 0), group))
    return SetErrorFalse(kResultInvalidParams, "Invalid 1st unnamed argument");
  PyObject* keyword = Keyword(kwargs, "group");
  // The keyword's mask replaces a positional one.
  if (keyword && !ToText(keyword, group))
    return SetErrorFalse(kResultInvalidParams, "Invalid \"group\" argument");

  ArrayBlock records;
  int32_t r = OnSession([&](CInterClient& s) { return SymbolsGet(s, group, &records); });
  if (r < 0) return SetErrorNone(r);
  return RecordTuple(kSymbolInfoType, records);
}

PyObject* symbol_select(PyObject*, PyObject* args) {
  ResetError();
  PyObject* symbol_obj = nullptr;
  int enable = 1;
  const Py_ssize_t n = PyTuple_GET_SIZE(args);
  if (n == 1) {
    symbol_obj = PyTuple_GET_ITEM(args, 0);
  } else if (n != 2 || !PyArg_ParseTuple(args, "Op", &symbol_obj, &enable)) {
    return SetErrorFalse(kResultInvalidParams, kInvalidArguments);
  }
  SymbolText symbol = {};
  if (!ToText(symbol_obj, symbol)) return SetErrorFalse(kResultInvalidParams, kInvalidArguments);
  int32_t r = OnSession([&](CInterClient& s) { return SymbolSelect(s, symbol, enable > 0); });
  if (r < 0) return SetErrorFalse(r);
  Py_RETURN_TRUE;
}

PyObject* symbol_info(PyObject*, PyObject* args) {
  ResetError();
  SymbolText symbol = {};
  if (!ParseSymbol(args, symbol)) return SetErrorNone(kResultInvalidParams, kInvalidArguments);
  SymbolInfoRecord record;
  int32_t r = OnSession([&](CInterClient& s) { return SymbolInfoGet(s, symbol, &record); });
  if (r < 0) return SetErrorNone(r);
  RecordBuilder builder;
  return Built(builder.One(kSymbolInfoType, &record));
}

PyObject* symbol_info_tick(PyObject*, PyObject* args) {
  ResetError();
  SymbolText symbol = {};
  if (!ParseSymbol(args, symbol)) return SetErrorNone(kResultInvalidParams, kInvalidArguments);
  TickRecord tick;
  int32_t r = OnSession([&](CInterClient& s) { return SymbolInfoTick(s, symbol, &tick); });
  if (r < 0) return SetErrorNone(r);
  RecordBuilder builder;
  return Built(builder.One(kTickType, &tick));
}

PyObject* market_book_add(PyObject*, PyObject* args) { return BookSwitch(args, MarketBookAdd); }

PyObject* market_book_release(PyObject*, PyObject* args) {
  return BookSwitch(args, MarketBookRelease);
}

PyObject* market_book_get(PyObject*, PyObject* args) {
  ResetError();
  SymbolText symbol = {};
  if (!ParseSymbol(args, symbol)) return SetErrorNone(kResultInvalidParams, kInvalidArguments);
  ArrayBlock entries;
  int32_t r = OnSession([&](CInterClient& s) { return MarketBookGet(s, symbol, &entries); });
  if (r < 0) return SetErrorNone(r);
  return RecordTuple(kBookInfoType, entries);
}

}  // namespace

const PyMethodDef kInfoMethods[] = {
    {"terminal_info", terminal_info, METH_NOARGS,
     ORBISYN_DOC("terminal_info($module, /)", "terminal_info()", "Get parameters of Orbisyn terminal")},
    {"account_info", account_info, METH_NOARGS,
     ORBISYN_DOC("account_info($module, /)", "account_info()", "Return information on the current account")},
    {"symbol_info", symbol_info, METH_VARARGS,
     ORBISYN_DOC("symbol_info($module, symbol, /)", "symbol_info(symbol)", "Return full information for specified symbol")},
    {"symbol_info_tick", symbol_info_tick, METH_VARARGS,
     ORBISYN_DOC("symbol_info_tick($module, symbol, /)", "symbol_info_tick(symbol)", "Return current prices of specified symbol")},
    {"symbol_select", symbol_select, METH_VARARGS,
     ORBISYN_DOC("symbol_select($module, symbol, enable=True, /)", "symbol_select(symbol,[enable])",
                 "Select symbol in Market Watch window or remove symbol from the window")},
    {"symbols_total", symbols_total, METH_NOARGS,
     ORBISYN_DOC("symbols_total($module, /)", "symbols_total()", "Return the number of all available symbols")},
    {"symbols_get", ORBISYN_KEYWORDS(symbols_get), METH_VARARGS | METH_KEYWORDS,
     ORBISYN_DOC("symbols_get($module, /, group=None)", "symbols_get([group=\"GROUP\"])",
                 "Return all available symbols or filtred by group")},
    {"market_book_add", market_book_add, METH_VARARGS,
     ORBISYN_DOC("market_book_add($module, symbol, /)", "market_book_add(symbol)", "Opens Depth of Market for a selected symbol")},
    {"market_book_release", market_book_release, METH_VARARGS,
     ORBISYN_DOC("market_book_release($module, symbol, /)", "market_book_release(symbol)", "Closes Depth of Market for a selected symbol")},
    {"market_book_get", market_book_get, METH_VARARGS,
     ORBISYN_DOC("market_book_get($module, symbol, /)", "market_book_get(symbol)",
                 "Returns Depth of Market structures of a specified symbol")},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace orbisyn
