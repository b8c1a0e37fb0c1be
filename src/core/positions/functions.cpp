// positions_total, positions_get, orders_total, orders_get and the four history functions.
#include "module/conversion.h"
#include "module/errors.h"
#include "module/functions.h"
#include "module/records.h"
#include "module/session_call.h"
#include "positions/client.h"

namespace orbisyn {

namespace {

constexpr const char kUnnamed[] = "Unnamed arguments not allowed";
constexpr const char kInvalidArguments[] = "Invalid arguments";
constexpr const char kInvalidTicket[] = "Invalid \"ticket\" argument";
constexpr const char kInvalidSymbol[] = "Invalid \"symbol\" argument";
constexpr const char kInvalidGroup[] = "Invalid \"group\" argument";
constexpr const char kInvalidPosition[] = "Invalid \"position\" argument";
constexpr const char kCallFailed[] = "Terminal: Call failed";

bool HasKeywords(PyObject* kwargs) { return kwargs && PyDict_GET_SIZE(kwargs) > 0; }

PyObject* Invalid(const char* message) { return SetErrorNone(kResultInvalidParams, message); }

PyObject* CountResult(int32_t r, uint32_t count) {
  if (r < 0) return SetErrorNone(r);
  PyObject* value = PyLong_FromUnsignedLong(count);
  return value ? value : SetErrorNone(kResultFail, kCallFailed);
}

PyObject* ArrayResult(RecordType type, int32_t r, const RecordArray& records) {
  if (r < 0) return SetErrorNone(r);
  RecordBuilder builder;
  PyObject* tuple = builder.Tuple(type, records.records.data(), records.size(), records.selection());
  return tuple ? tuple : SetErrorNone(kResultFail, kCallFailed);
}

// A ticket that the Terminal does not know is an empty answer, not a failure.
PyObject* TicketResult(RecordType type, int32_t r, const void* record) {
  if (r == kResultNotFound || r == 0) {
    PyObject* empty = PyTuple_New(0);
    return empty ? empty : SetErrorNone(kResultFail, kCallFailed);
  }
  if (r < 0) return SetErrorNone(r);
  RecordBuilder builder;
  PyObject* tuple = builder.Tuple(type, record, 1);
  return tuple ? tuple : SetErrorNone(kResultFail, kCallFailed);
}

template <class Record>
PyObject* ByTicket(RecordType type, PyObject* value,
                   int32_t (*by_ticket)(CInterClient&, uint64_t, Record*)) {
  uint64_t ticket = 0;
  if (!ToUInt64(value, &ticket)) return Invalid(kInvalidTicket);
  Record record;
  int32_t r = OnSession([&](CInterClient& s) { return by_ticket(s, ticket, &record); });
  return TicketResult(type, r, &record);
}

// positions_get / orders_get: the first of ticket, symbol, group picks the request; the
// others are not looked at.
template <class Record>
struct OpenOps {
  RecordType type;
  int32_t (*get)(CInterClient&, const char16_t*, RecordArray*);
  int32_t (*by_symbol)(CInterClient&, const char16_t*, RecordArray*);
  int32_t (*by_ticket)(CInterClient&, uint64_t, Record*);
};

template <class Record>
PyObject* OpenGet(const OpenOps<Record>& ops, PyObject* args, PyObject* kwargs) {
  ResetError();
  if (PyTuple_GET_SIZE(args) > 0) return Invalid(kUnnamed);
  PyObject* v;
  if ((v = Keyword(kwargs, "ticket"))) return ByTicket(ops.type, v, ops.by_ticket);

  RecordArray records;
  int32_t r;
  if ((v = Keyword(kwargs, "symbol"))) {
    SymbolText symbol = {};
    if (!ToText(v, symbol)) return Invalid(kInvalidSymbol);
    r = OnSession([&](CInterClient& s) { return ops.by_symbol(s, symbol, &records); });
  } else if ((v = Keyword(kwargs, "group"))) {
    GroupText group = {};
    if (!ToText(v, group)) return Invalid(kInvalidGroup);
    r = OnSession([&](CInterClient& s) { return ops.get(s, group, &records); });
  } else {
    r = OnSession([&](CInterClient& s) { return ops.get(s, nullptr, &records); });
  }
  return ArrayResult(ops.type, r, records);
}

bool RangeArgs(PyObject* args, int64_t* from, int64_t* to) {
  return PyTuple_GET_SIZE(args) == 2 && ToTime(PyTuple_GET_ITEM(args, 0), from) &&
         ToTime(PyTuple_GET_ITEM(args, 1), to);
}

// history_orders_get / history_deals_get: two positionals select a date range (with an
// optional group); otherwise ticket, then position, selects the request.
template <class Record>
struct HistoryOps {
  RecordType type;
  int32_t (*range)(CInterClient&, int64_t, int64_t, const char16_t*, RecordArray*);
  int32_t (*by_position)(CInterClient&, uint64_t, RecordArray*);
  int32_t (*by_ticket)(CInterClient&, uint64_t, Record*);
};

template <class Record>
PyObject* HistoryGet(const HistoryOps<Record>& ops, PyObject* args, PyObject* kwargs) {
  ResetError();
  const Py_ssize_t positional = PyTuple_GET_SIZE(args);
  RecordArray records;
  PyObject* v;

  if (positional == 2) {
    int64_t from = 0, to = 0;
    if (!RangeArgs(args, &from, &to)) return Invalid(kInvalidArguments);
    GroupText group = {};
    const bool grouped = (v = Keyword(kwargs, "group")) != nullptr;
    if (grouped && !ToText(v, group)) return Invalid(kInvalidGroup);
    int32_t r = OnSession(
        [&](CInterClient& s) { return ops.range(s, from, to, grouped ? group : nullptr, &records); });
    return ArrayResult(ops.type, r, records);
  }

  if (!HasKeywords(kwargs)) return Invalid(kInvalidArguments);
  if ((v = Keyword(kwargs, "ticket"))) {
    if (positional > 0) return Invalid(kUnnamed);
    return ByTicket(ops.type, v, ops.by_ticket);
  }
  if ((v = Keyword(kwargs, "position"))) {
    if (positional > 0) return Invalid(kUnnamed);
    uint64_t position = 0;
    if (!ToUInt64(v, &position)) return Invalid(kInvalidPosition);
    int32_t r = OnSession([&](CInterClient& s) { return ops.by_position(s, position, &records); });
    return ArrayResult(ops.type, r, records);
  }
  return Invalid(kInvalidArguments);
}

PyObject* Total(PyObject* args, int32_t (*total)(CInterClient&, int64_t, int64_t, uint32_t*)) {
  ResetError();
  int64_t from = 0, to = 0;
  if (!RangeArgs(args, &from, &to)) return Invalid(kInvalidArguments);
  uint32_t count = 0;
  int32_t r = OnSession([&](CInterClient& s) { return total(s, from, to, &count); });
  return CountResult(r, count);
}

PyObject* Total(int32_t (*total)(CInterClient&, uint32_t*)) {
  ResetError();
  uint32_t count = 0;
  int32_t r = OnSession([&](CInterClient& s) { return total(s, &count); });
  return CountResult(r, count);
}

const OpenOps<PositionRecord> kOpenPositions = {kTradePositionType, PositionsGet,
                                                PositionsGetBySymbol, PositionGetByTicket};
const OpenOps<OrderRecord> kOpenOrders = {kTradeOrderType, OrdersGet, OrdersGetBySymbol,
                                          OrderGetByTicket};
const HistoryOps<OrderRecord> kHistoryOrders = {kTradeOrderType, HistoryOrdersGet,
                                                HistoryOrdersGetByPosition,
                                                HistoryOrderGetByTicket};
const HistoryOps<DealRecord> kHistoryDeals = {kTradeDealType, HistoryDealsGet,
                                              HistoryDealsGetByPosition, HistoryDealGetByTicket};

PyObject* positions_total(PyObject*, PyObject*) { return Total(PositionsTotal); }

PyObject* positions_get(PyObject*, PyObject* args, PyObject* kwargs) {
  return OpenGet(kOpenPositions, args, kwargs);
}

PyObject* orders_total(PyObject*, PyObject*) { return Total(OrdersTotal); }

PyObject* orders_get(PyObject*, PyObject* args, PyObject* kwargs) {
  return OpenGet(kOpenOrders, args, kwargs);
}

PyObject* history_orders_total(PyObject*, PyObject* args) {
  return Total(args, HistoryOrdersTotal);
}

PyObject* history_orders_get(PyObject*, PyObject* args, PyObject* kwargs) {
  return HistoryGet(kHistoryOrders, args, kwargs);
}

PyObject* history_deals_total(PyObject*, PyObject* args) { return Total(args, HistoryDealsTotal); }

PyObject* history_deals_get(PyObject*, PyObject* args, PyObject* kwargs) {
  return HistoryGet(kHistoryDeals, args, kwargs);
}

}  // namespace

const PyMethodDef kPositionsMethods[] = {
    {"positions_total", positions_total, METH_NOARGS,
     ORBISYN_DOC("positions_total($module, /)", "positions_total()", "Return the number of open positions")},
    {"positions_get", ORBISYN_KEYWORDS(positions_get), METH_VARARGS | METH_KEYWORDS,
     ORBISYN_DOC("positions_get($module, /, *, symbol=None, ticket=None, group=None)", "positions_get([symbol=\"SYMBOL\"],[ticket=TICKET],[group=\"GROUP\"])",
                 "Return all open positions, can be filtered by symbol, group or ticket")},
    {"orders_total", orders_total, METH_NOARGS,
     ORBISYN_DOC("orders_total($module, /)", "orders_total()", "Return the number of orders")},
    {"orders_get", ORBISYN_KEYWORDS(orders_get), METH_VARARGS | METH_KEYWORDS,
     ORBISYN_DOC("orders_get($module, /, *, symbol=None, ticket=None, group=None)", "orders_get([symbol=\"SYMBOL\"],[ticket=TICKET],[group=\"GROUP\"])",
                 "Return all orders, can be filtered by symbol, group or ticket")},
    {"history_orders_total", history_orders_total, METH_VARARGS,
     ORBISYN_DOC("history_orders_total($module, date_from, date_to, /)", "history_orders_total(date_from, date_to)",
                 "Return the number of orders in selected range from history")},
    {"history_orders_get", ORBISYN_KEYWORDS(history_orders_get), METH_VARARGS | METH_KEYWORDS,
     ORBISYN_DOC("history_orders_get($module, date_from=None, date_to=None, /, *, group=None, position=None, ticket=None)", "history_orders_get([date_from, date_to, "
                 "[group=\"GROUP\"]],[position=POSITION],[ticket=TICKET])",
                 "Return orders in selected range from history or filtered by position id, "
                 "ticket")},
    {"history_deals_total", history_deals_total, METH_VARARGS,
     ORBISYN_DOC("history_deals_total($module, date_from, date_to, /)", "history_deals_total(date_from, date_to)",
                 "Return the number of deals in selected range from history")},
    {"history_deals_get", ORBISYN_KEYWORDS(history_deals_get), METH_VARARGS | METH_KEYWORDS,
     ORBISYN_DOC("history_deals_get($module, date_from=None, date_to=None, /, *, group=None, position=None, ticket=None)", "history_deals_get([date_from, date_to, "
                 "[group=\"GROUP\"]],[position=POSITION],[ticket=TICKET])",
                 "Return deals in selected range from history or filtered by position id, "
                 "ticket")},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace orbisyn
