// positions_total, positions_get, orders_total, orders_get and the four history functions.
#include <cstdlib>

#include "link/commands.h"
#include "link/inter_client.h"
#include "module/conversion.h"
#include "module/error_state.h"
#include "module/functions.h"
#include "positions/records.h"

namespace orbisyn::py {

namespace {

constexpr const char kUnnamed[] = "Unnamed arguments not allowed";
constexpr const char kInvalidArguments[] = "Invalid arguments";
constexpr const char kInvalidTicket[] = "Invalid \"ticket\" argument";
constexpr const char kInvalidSymbol[] = "Invalid \"symbol\" argument";
constexpr const char kInvalidGroup[] = "Invalid \"group\" argument";
constexpr const char kInvalidPosition[] = "Invalid \"position\" argument";
constexpr const char kCallFailed[] = "Terminal: Call failed";

// What separates positions, orders and deals in the shared code below.
struct Family {
  RecordType type;
  const FieldSpec* fields;
  size_t field_count;
  size_t record_size;
};

constexpr Family kPositions = {kTradePositionType, kTradePositionSpecs, kTradePositionFieldCount,
                               sizeof(PositionRecord)};
constexpr Family kOrders = {kTradeOrderType, kTradeOrderSpecs, kTradeOrderFieldCount,
                            sizeof(OrderRecord)};
constexpr Family kDeals = {kTradeDealType, kTradeDealSpecs, kTradeDealFieldCount,
                           sizeof(DealRecord)};

// Largest record a ticket lookup reads into its stack buffer.
constexpr size_t kLargestRecord = sizeof(OrderRecord);
static_assert(sizeof(PositionRecord) <= kLargestRecord && sizeof(DealRecord) <= kLargestRecord,
              "ticket buffer holds every record");

bool HasKeywords(PyObject* kwargs) { return kwargs && PyDict_GET_SIZE(kwargs) > 0; }

PyObject* CountResult(int32_t r, uint32_t count) {
  if (r < 0) return SetErrorNone(r);
  PyObject* value = PyLong_FromUnsignedLong(count);
  return value ? value : SetErrorNone(kResultFail, kCallFailed);
}

// Takes ownership of records (malloc'ed) whatever the outcome.
PyObject* ArrayResult(const Family& f, int32_t r, void* records, uint32_t count) {
  if (r < 0) {
    std::free(records);
    return SetErrorNone(r);
  }
  if (!records && count != 0) return SetErrorNone(kResultFail, kCallFailed);
  PyObject* tuple = BuildRecordTuple(f.type, f.fields, f.field_count, records, count,
                                     f.record_size);
  std::free(records);
  return tuple ? tuple : SetErrorNone(kResultFail, kCallFailed);
}

// A ticket that the Terminal does not know is an empty answer, not a failure.
PyObject* TicketResult(const Family& f, int32_t r, const void* record) {
  if (r == kResultNotFound || r == 0) {
    PyObject* empty = PyTuple_New(0);
    return empty ? empty : SetErrorNone(kResultFail, kCallFailed);
  }
  if (r < 0) return SetErrorNone(r);
  PyObject* tuple = BuildRecordTuple(f.type, f.fields, f.field_count, record, 1, f.record_size);
  return tuple ? tuple : SetErrorNone(kResultFail, kCallFailed);
}

// positions_get / orders_get: the first of ticket, symbol, group picks the request; the
// others are not looked at.
struct OpenOps {
  const Family& family;
  int32_t (CInterClient::*get)(const char16_t*, void**, uint32_t*);
  int32_t (CInterClient::*by_symbol)(const char16_t*, void**, uint32_t*);
  int32_t (CInterClient::*by_ticket)(uint64_t, void*);
};

PyObject* OpenGet(const OpenOps& ops, PyObject* args, PyObject* kwargs) {
  ResetError();
  if (PyTuple_GET_SIZE(args) > 0) return SetErrorNone(kResultInvalidParams, kUnnamed);

  PyObject* v;
  if ((v = Keyword(kwargs, "ticket"))) {
    uint64_t ticket = 0;
    if (!ToUInt64(v, &ticket)) return SetErrorNone(kResultInvalidParams, kInvalidTicket);
    if (!g_client.IsOpen()) return SetErrorNone(kIpcNoConnection);
    alignas(8) uint8_t record[kLargestRecord];
    int32_t r = (g_client.*ops.by_ticket)(ticket, record);
    return TicketResult(ops.family, r, record);
  }

  void* records = nullptr;
  uint32_t count = 0;
  int32_t r;
  if ((v = Keyword(kwargs, "symbol"))) {
    char16_t symbol[kSymbolCopy + 1] = {};
    if (!ToText(v, symbol, kSymbolCopy)) return SetErrorNone(kResultInvalidParams, kInvalidSymbol);
    if (!g_client.IsOpen()) return SetErrorNone(kIpcNoConnection);
    r = (g_client.*ops.by_symbol)(symbol, &records, &count);
  } else if ((v = Keyword(kwargs, "group"))) {
    char16_t group[kGroupCopy + 1] = {};
    if (!ToText(v, group, kGroupCopy)) return SetErrorNone(kResultInvalidParams, kInvalidGroup);
    if (!g_client.IsOpen()) return SetErrorNone(kIpcNoConnection);
    r = (g_client.*ops.get)(group, &records, &count);
  } else {
    if (!g_client.IsOpen()) return SetErrorNone(kIpcNoConnection);
    r = (g_client.*ops.get)(nullptr, &records, &count);
  }
  return ArrayResult(ops.family, r, records, count);
}

bool RangeArgs(PyObject* args, int64_t* from, int64_t* to) {
  return PyTuple_GET_SIZE(args) == 2 && ToTime(PyTuple_GET_ITEM(args, 0), from) &&
         ToTime(PyTuple_GET_ITEM(args, 1), to);
}

// history_orders_get / history_deals_get: two positionals select a date range (with an
// optional group); otherwise ticket, then position, selects the request.
struct HistoryOps {
  const Family& family;
  int32_t (CInterClient::*range)(int64_t, int64_t, const char16_t*, void**, uint32_t*);
  int32_t (CInterClient::*by_position)(uint64_t, void**, uint32_t*);
  int32_t (CInterClient::*by_ticket)(uint64_t, void*);
};

PyObject* HistoryGet(const HistoryOps& ops, PyObject* args, PyObject* kwargs) {
  ResetError();
  const Py_ssize_t positional = PyTuple_GET_SIZE(args);
  void* records = nullptr;
  uint32_t count = 0;
  int32_t r;
  PyObject* v;

  if (positional == 2) {
    int64_t from = 0, to = 0;
    if (!RangeArgs(args, &from, &to)) return SetErrorNone(kResultInvalidParams, kInvalidArguments);
    char16_t group[kGroupCopy + 1] = {};
    const bool grouped = (v = Keyword(kwargs, "group")) != nullptr;
    if (grouped && !ToText(v, group, kGroupCopy))
      return SetErrorNone(kResultInvalidParams, kInvalidGroup);
    if (!g_client.IsOpen()) return SetErrorNone(kIpcNoConnection);
    r = (g_client.*ops.range)(from, to, grouped ? group : nullptr, &records, &count);
    return ArrayResult(ops.family, r, records, count);
  }

  if (!HasKeywords(kwargs)) return SetErrorNone(kResultInvalidParams, kInvalidArguments);
  if ((v = Keyword(kwargs, "ticket"))) {
    if (positional > 0) return SetErrorNone(kResultInvalidParams, kUnnamed);
    uint64_t ticket = 0;
    if (!ToUInt64(v, &ticket)) return SetErrorNone(kResultInvalidParams, kInvalidTicket);
    if (!g_client.IsOpen()) return SetErrorNone(kIpcNoConnection);
    alignas(8) uint8_t record[kLargestRecord];
    r = (g_client.*ops.by_ticket)(ticket, record);
    return TicketResult(ops.family, r, record);
  }
  if ((v = Keyword(kwargs, "position"))) {
    if (positional > 0) return SetErrorNone(kResultInvalidParams, kUnnamed);
    uint64_t position = 0;
    if (!ToUInt64(v, &position)) return SetErrorNone(kResultInvalidParams, kInvalidPosition);
    if (!g_client.IsOpen()) return SetErrorNone(kIpcNoConnection);
    r = (g_client.*ops.by_position)(position, &records, &count);
    return ArrayResult(ops.family, r, records, count);
  }
  return SetErrorNone(kResultInvalidParams, kInvalidArguments);
}

PyObject* HistoryTotal(int32_t (CInterClient::*total)(int64_t, int64_t, uint32_t*),
                       PyObject* args) {
  ResetError();
  int64_t from = 0, to = 0;
  if (!RangeArgs(args, &from, &to)) return SetErrorNone(kResultInvalidParams, kInvalidArguments);
  if (!g_client.IsOpen()) return SetErrorNone(kIpcNoConnection);
  uint32_t count = 0;
  int32_t r = (g_client.*total)(from, to, &count);
  return CountResult(r, count);
}

const OpenOps kOpenPositions = {kPositions, &CInterClient::PositionsGet,
                                &CInterClient::PositionsGetBySymbol,
                                &CInterClient::PositionGetByTicket};
const OpenOps kOpenOrders = {kOrders, &CInterClient::OrdersGet, &CInterClient::OrdersGetBySymbol,
                             &CInterClient::OrderGetByTicket};
const HistoryOps kHistoryOrders = {kOrders, &CInterClient::HistoryOrdersGet,
                                   &CInterClient::HistoryOrdersGetByPosition,
                                   &CInterClient::HistoryOrderGetByTicket};
const HistoryOps kHistoryDeals = {kDeals, &CInterClient::HistoryDealsGet,
                                  &CInterClient::HistoryDealsGetByPosition,
                                  &CInterClient::HistoryDealGetByTicket};

}  // namespace

PyObject* positions_total(PyObject*, PyObject*) {
  ResetError();
  if (!g_client.IsOpen()) return SetErrorNone(kIpcNoConnection);
  uint32_t count = 0;
  int32_t r = g_client.PositionsTotal(&count);
  return CountResult(r, count);
}

PyObject* positions_get(PyObject*, PyObject* args, PyObject* kwargs) {
  return OpenGet(kOpenPositions, args, kwargs);
}

PyObject* orders_total(PyObject*, PyObject*) {
  ResetError();
  if (!g_client.IsOpen()) return SetErrorNone(kIpcNoConnection);
  uint32_t count = 0;
  int32_t r = g_client.OrdersTotal(&count);
  return CountResult(r, count);
}

PyObject* orders_get(PyObject*, PyObject* args, PyObject* kwargs) {
  return OpenGet(kOpenOrders, args, kwargs);
}

PyObject* history_orders_total(PyObject*, PyObject* args) {
  return HistoryTotal(&CInterClient::HistoryOrdersTotal, args);
}

PyObject* history_orders_get(PyObject*, PyObject* args, PyObject* kwargs) {
  return HistoryGet(kHistoryOrders, args, kwargs);
}

PyObject* history_deals_total(PyObject*, PyObject* args) {
  return HistoryTotal(&CInterClient::HistoryDealsTotal, args);
}

PyObject* history_deals_get(PyObject*, PyObject* args, PyObject* kwargs) {
  return HistoryGet(kHistoryDeals, args, kwargs);
}

}  // namespace orbisyn::py
