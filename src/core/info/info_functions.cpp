// terminal_info, account_info, the symbol functions and depth of market.
#include <cstdlib>
#include <memory>

#include "info/records.h"
#include "link/commands.h"
#include "link/inter_client.h"
#include "module/conversion.h"
#include "module/error_state.h"
#include "module/functions.h"

namespace orbisyn::py {

namespace {

constexpr const char kCallFailed[] = "Terminal: Call failed";

struct FreeBlock {
  void operator()(void* p) const { std::free(p); }
};
using Block = std::unique_ptr<void, FreeBlock>;

// The single positional symbol argument of the symbol functions.
bool ParseSymbol(PyObject* args, char16_t (&symbol)[kSymbolCopy + 1]) {
  return PyTuple_GET_SIZE(args) == 1 && ToText(PyTuple_GET_ITEM(args, 0), symbol, kSymbolCopy);
}

PyObject* RecordOrFail(PyObject* record) {
  return record ? record : SetErrorNone(kResultFail, kCallFailed);
}

// Converts count records of a successful array exchange; the block is freed on return.
PyObject* RecordTuple(RecordType type, const FieldSpec* fields, size_t field_count, Block block,
                      uint32_t count, size_t size) {
  if (!block && count != 0) return SetErrorNone(kResultFail, kCallFailed);
  return RecordOrFail(BuildRecordTuple(type, fields, field_count, block.get(), count, size));
}

// market_book_add and market_book_release report a failed exchange only by their result.
PyObject* BookSwitch(PyObject* args, int32_t (CInterClient::*op)(const char16_t*)) {
  ResetError();
  char16_t symbol[kSymbolCopy + 1] = {};
  if (!ParseSymbol(args, symbol)) return SetErrorNone(kResultInvalidParams, "Invalid arguments");
  if (!g_client.IsOpen()) Py_RETURN_FALSE;
  return PyBool_FromLong((g_client.*op)(symbol) >= 0);
}

}  // namespace

PyObject* terminal_info(PyObject*, PyObject*) {
  ResetError();
  if (!g_client.IsOpen()) return SetErrorNone(kIpcNoConnection);
  TerminalInfoRecord record = {};
  int32_t r = g_client.TerminalInfoGet(&record);
  if (r < 0) return SetErrorNone(r);
  return RecordOrFail(
      BuildRecord(kTerminalInfoType, kTerminalInfoSpec, kTerminalInfoFieldCount, &record));
}

PyObject* account_info(PyObject*, PyObject*) {
  ResetError();
  if (!g_client.IsOpen()) return SetErrorNone(kIpcNoConnection);
  AccountInfoRecord record;
  int32_t r = g_client.AccountInfoGet(&record);
  if (r < 0) return SetErrorNone(r);
  return RecordOrFail(
      BuildRecord(kAccountInfoType, kAccountInfoSpec, kAccountInfoFieldCount, &record));
}

PyObject* symbols_total(PyObject*, PyObject*) {
  ResetError();
  uint32_t count = 0;
  // The build gate comes first: before any handshake the build is 0 and this is -5.
  int32_t r = g_client.SymbolsTotal(&count);
  if (r < 0) return SetErrorNone(r);
  return PyLong_FromUnsignedLong(count);
}

PyObject* symbols_get(PyObject*, PyObject* args, PyObject* kwargs) {
  ResetError();
  char16_t group[kGroupCopy + 1] = {};
  const Py_ssize_t n = PyTuple_GET_SIZE(args);
  if (n > 1) return SetErrorFalse(kResultInvalidParams, "Invalid number of arguments");
  if (n == 1 && !ToText(PyTuple_GET_ITEM(args, 0), group, kGroupCopy))
    return SetErrorFalse(kResultInvalidParams, "Invalid 1st unnamed argument");
  PyObject* keyword = Keyword(kwargs, "group");
  // The keyword's mask replaces a positional one.
  if (keyword && !ToText(keyword, group, kGroupCopy))
    return SetErrorFalse(kResultInvalidParams, "Invalid \"group\" argument");

  void* records = nullptr;
  uint32_t count = 0;
  int32_t r = g_client.SymbolsGet(group, &records, &count);
  Block block(records);
  if (r < 0) return SetErrorNone(r);
  return RecordTuple(kSymbolInfoType, kSymbolInfoSpec, kSymbolInfoFieldCount, std::move(block),
                     count, kSymbolRecordSize);
}

PyObject* symbol_select(PyObject*, PyObject* args) {
  ResetError();
  PyObject* symbol_obj = nullptr;
  int enable = 1;
  const Py_ssize_t n = PyTuple_GET_SIZE(args);
  if (n == 1) {
    symbol_obj = PyTuple_GET_ITEM(args, 0);
  } else if (n != 2 || !PyArg_ParseTuple(args, "Op", &symbol_obj, &enable)) {
    return SetErrorFalse(kResultInvalidParams, "Invalid arguments");
  }
  char16_t symbol[kSymbolCopy + 1] = {};
  if (!ToText(symbol_obj, symbol, kSymbolCopy))
    return SetErrorFalse(kResultInvalidParams, "Invalid arguments");
  if (!g_client.IsOpen()) return SetErrorFalse(kIpcNoConnection);
  int32_t r = g_client.SymbolSelect(symbol, enable > 0);
  if (r < 0) return SetErrorFalse(r);
  Py_RETURN_TRUE;
}

PyObject* symbol_info(PyObject*, PyObject* args) {
  ResetError();
  char16_t symbol[kSymbolCopy + 1] = {};
  if (!ParseSymbol(args, symbol)) return SetErrorNone(kResultInvalidParams, "Invalid arguments");
  if (!g_client.IsOpen()) return SetErrorNone(kIpcNoConnection);
  SymbolInfoRecord record;
  int32_t r = g_client.SymbolInfoGet(symbol, &record);
  if (r < 0) return SetErrorNone(r);
  return RecordOrFail(
      BuildRecord(kSymbolInfoType, kSymbolInfoSpec, kSymbolInfoFieldCount, &record));
}

PyObject* symbol_info_tick(PyObject*, PyObject* args) {
  ResetError();
  char16_t symbol[kSymbolCopy + 1] = {};
  if (!ParseSymbol(args, symbol)) return SetErrorNone(kResultInvalidParams, "Invalid arguments");
  if (!g_client.IsOpen()) return SetErrorNone(kIpcNoConnection);
  TickRecord tick;
  int32_t r = g_client.SymbolInfoTick(symbol, &tick);
  if (r < 0) return SetErrorNone(r);
  return RecordOrFail(BuildRecord(kTickType, kTickSpec, kTickFieldCount, &tick));
}

PyObject* market_book_add(PyObject*, PyObject* args) {
  return BookSwitch(args, &CInterClient::MarketBookAdd);
}

PyObject* market_book_release(PyObject*, PyObject* args) {
  return BookSwitch(args, &CInterClient::MarketBookRelease);
}

PyObject* market_book_get(PyObject*, PyObject* args) {
  ResetError();
  char16_t symbol[kSymbolCopy + 1] = {};
  if (!ParseSymbol(args, symbol)) return SetErrorNone(kResultInvalidParams, "Invalid arguments");
  if (!g_client.IsOpen()) return SetErrorNone(kIpcNoConnection);
  void* entries = nullptr;
  uint32_t count = 0;
  int32_t r = g_client.MarketBookGet(symbol, &entries, &count);
  Block block(entries);
  if (r < 0) return SetErrorNone(r);
  return RecordTuple(kBookInfoType, kBookInfoSpec, kBookInfoFieldCount, std::move(block), count,
                     sizeof(BookEntryRecord));
}

}  // namespace orbisyn::py
