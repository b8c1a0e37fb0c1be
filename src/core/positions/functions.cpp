// positions_total, positions_get, orders_total, orders_get and the four history functions.
#include <cstdio>

#include "module/args.h"
#include "module/errors.h"
#include "module/functions.h"
#include "module/records.h"
#include "module/session_call.h"
#include "positions/client.h"
#include "protocol/exchanges.h"

namespace orbisyn {

namespace {

constexpr const char kInvalidArguments[] = "Invalid arguments";
constexpr const char kCallFailed[] = "Terminal: Call failed";

constexpr Param kOpenParams[] = {
    Arg("symbol", ArgKind::kText, kSymbolUnits).KeywordOnly(),
    Arg("ticket", ArgKind::kUInt64).KeywordOnly(),
    Arg("group", ArgKind::kText, kGroupUnits).KeywordOnly()};
constexpr uint8_t kOpenOrder[] = {1, 0, 2};  // ticket, symbol, group
constexpr Param kRangeParams[] = {Arg("date_from", ArgKind::kTime), Arg("date_to", ArgKind::kTime)};
constexpr Param kHistoryParams[] = {
    Arg("date_from", ArgKind::kTime).Optional(), Arg("date_to", ArgKind::kTime).Optional(),
    Arg("group", ArgKind::kText, kGroupUnits).KeywordOnly(),
    Arg("position", ArgKind::kUInt64).KeywordOnly(),
    Arg("ticket", ArgKind::kUInt64).KeywordOnly()};
constexpr uint8_t kHistoryOrder[] = {0, 1, 4, 3, 2};  // dates, ticket, position, group
enum { kDateFrom, kDateTo, kGroup, kPosition, kTicket };
enum { kOpenSymbol, kOpenTicket, kOpenGroup };

constexpr Signature kPositionsTotal = Declare("positions_total", "positions_total()",
                                              "Return the number of open positions");
constexpr Signature kPositionsGet =
    Declare("positions_get", kOpenParams,
            "positions_get([symbol=\"SYMBOL\"],[ticket=TICKET],[group=\"GROUP\"])",
            "Return all open positions, can be filtered by symbol, group or ticket")
        .KeywordOrder(kOpenOrder);
constexpr Signature kOrdersTotal =
    Declare("orders_total", "orders_total()", "Return the number of orders");
constexpr Signature kOrdersGet =
    Declare("orders_get", kOpenParams,
            "orders_get([symbol=\"SYMBOL\"],[ticket=TICKET],[group=\"GROUP\"])",
            "Return all orders, can be filtered by symbol, group or ticket")
        .KeywordOrder(kOpenOrder);
constexpr Signature kHistoryOrdersTotal =
    Declare("history_orders_total", kRangeParams, "history_orders_total(date_from, date_to)",
            "Return the number of orders in selected range from history");
constexpr Signature kHistoryOrdersGet =
    Declare("history_orders_get", kHistoryParams,
            "history_orders_get([date_from, date_to, [group=\"GROUP\"]],[position=POSITION],"
            "[ticket=TICKET])",
            "Return orders in selected range from history or filtered by position id, ticket")
        .KeywordOrder(kHistoryOrder);
constexpr Signature kHistoryDealsTotal =
    Declare("history_deals_total", kRangeParams, "history_deals_total(date_from, date_to)",
            "Return the number of deals in selected range from history");
constexpr Signature kHistoryDealsGet =
    Declare("history_deals_get", kHistoryParams,
            "history_deals_get([date_from, date_to, [group=\"GROUP\"]],[position=POSITION],"
            "[ticket=TICKET])",
            "Return deals in selected range from history or filtered by position id, ticket")
        .KeywordOrder(kHistoryOrder);

PyObject* Invalid(const char* message) { return SetErrorNone(kResultInvalidParams, message); }

// Two selections given together: one of them would be dropped without a word.
PyObject* Together(const Signature& sig, size_t a, size_t b) {
  char message[128];
  std::snprintf(message, sizeof message, "Invalid arguments: \"%s\" and \"%s\" cannot be combined",
                sig.params[a].name, sig.params[b].name);
  return Invalid(message);
}

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
PyObject* ByTicket(RecordType type, uint64_t ticket,
                   int32_t (*by_ticket)(PipeSlot&, uint64_t, Record*)) {
  Record record;
  int32_t r = OnSession([&](Session& s) { return by_ticket(s.pipe(), ticket, &record); });
  return TicketResult(type, r, &record);
}

// positions_get / orders_get: one of ticket, symbol, group picks the request.
template <class Record>
struct OpenOps {
  RecordType type;
  int32_t (*get)(Session&, const char16_t*, RecordArray*);
  int32_t (*by_symbol)(Session&, const char16_t*, RecordArray*);
  int32_t (*by_ticket)(PipeSlot&, uint64_t, Record*);
};

template <class Record>
PyObject* OpenGet(const Signature& sig, const OpenOps<Record>& ops, PyObject* const* args,
                  Py_ssize_t nargs, PyObject* kwnames) {
  ResetError();
  SymbolText symbol = {};
  uint64_t ticket = 0;
  GroupText group = {};
  Given g;
  if (!ReadArgs(sig, args, nargs, kwnames, {symbol, &ticket, group}, &g)) return Refused(sig);
  if (g.Has(kOpenTicket) && g.Has(kOpenSymbol)) return Together(sig, kOpenSymbol, kOpenTicket);
  if (g.Has(kOpenTicket) && g.Has(kOpenGroup)) return Together(sig, kOpenTicket, kOpenGroup);
  if (g.Has(kOpenSymbol) && g.Has(kOpenGroup)) return Together(sig, kOpenSymbol, kOpenGroup);
  if (g.Has(kOpenTicket)) return ByTicket(ops.type, ticket, ops.by_ticket);

  RecordArray records;
  int32_t r;
  if (g.Has(kOpenSymbol)) {
    r = OnSession([&](Session& s) { return ops.by_symbol(s, symbol, &records); });
  } else if (g.Has(kOpenGroup)) {
    r = OnSession([&](Session& s) { return ops.get(s, group, &records); });
  } else {
    r = OnSession([&](Session& s) { return ops.get(s, nullptr, &records); });
  }
  return ArrayResult(ops.type, r, records);
}

// history_orders_get / history_deals_get: both dates select a range (with an optional
// group); otherwise ticket or position selects the request.
template <class Record>
struct HistoryOps {
  RecordType type;
  int32_t (*range)(Session&, int64_t, int64_t, const char16_t*, RecordArray*);
  int32_t (*by_position)(Session&, uint64_t, RecordArray*);
  int32_t (*by_ticket)(PipeSlot&, uint64_t, Record*);
};

template <class Record>
PyObject* HistoryGet(const Signature& sig, const HistoryOps<Record>& ops, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames) {
  ResetError();
  int64_t from = 0, to = 0;
  GroupText group = {};
  uint64_t position = 0, ticket = 0;
  Given g;
  if (!ReadArgs(sig, args, nargs, kwnames, {&from, &to, group, &position, &ticket}, &g))
    return Refused(sig);
  const bool range = g.Has(kDateFrom) && g.Has(kDateTo);
  const bool by_id = g.Has(kTicket) || g.Has(kPosition);
  // A time, by position or by name, beside a ticket or position: say which two clash.
  if (by_id && (g.Has(kDateFrom) || g.Has(kDateTo)))
    return Together(sig, g.Has(kDateFrom) ? kDateFrom : kDateTo, g.Has(kTicket) ? kTicket : kPosition);
  if (g.Has(kTicket) && g.Has(kPosition)) return Together(sig, kPosition, kTicket);
  if (g.Has(kGroup) && by_id) return Together(sig, kGroup, g.Has(kTicket) ? kTicket : kPosition);

  RecordArray records;
  if (range) {
    const bool grouped = g.Has(kGroup);
    int32_t r = OnSession(
        [&](Session& s) { return ops.range(s, from, to, grouped ? group : nullptr, &records); });
    return ArrayResult(ops.type, r, records);
  }
  if (g.Has(kTicket)) return ByTicket(ops.type, ticket, ops.by_ticket);
  if (g.Has(kPosition)) {
    int32_t r = OnSession([&](Session& s) { return ops.by_position(s, position, &records); });
    return ArrayResult(ops.type, r, records);
  }
  if (g.Has(kDateFrom) != g.Has(kDateTo))
    return Invalid(g.Has(kDateFrom) ? "Invalid arguments: \"date_to\" missing"
                                    : "Invalid arguments: \"date_from\" missing");
  return Invalid(kInvalidArguments);
}

PyObject* Total(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                int32_t (*total)(PipeSlot&, int64_t, int64_t, uint32_t*)) {
  ResetError();
  int64_t from = 0, to = 0;
  if (!ReadArgs(sig, args, nargs, kwnames, {&from, &to})) return Refused(sig);
  uint32_t count = 0;
  int32_t r = OnSession([&](Session& s) { return total(s.pipe(), from, to, &count); });
  return CountResult(r, count);
}

PyObject* Total(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                int32_t (*total)(PipeSlot&, uint32_t*)) {
  ResetError();
  if (!ReadArgs(sig, args, nargs, kwnames, {})) return Refused(sig);
  uint32_t count = 0;
  int32_t r = OnSession([&](Session& s) { return total(s.pipe(), &count); });
  return CountResult(r, count);
}

const OpenOps<PositionRecord> kOpenPositions = {kTradePositionType, PositionsGet,
                                                PositionsGetBySymbol,
                                                exchange::PositionGetByTicket};
const OpenOps<OrderRecord> kOpenOrders = {kTradeOrderType, OrdersGet, OrdersGetBySymbol,
                                          exchange::OrderGetByTicket};
const HistoryOps<OrderRecord> kHistoryOrders = {kTradeOrderType, HistoryOrdersGet,
                                                HistoryOrdersGetByPosition,
                                                exchange::HistoryOrderGetByTicket};
const HistoryOps<DealRecord> kHistoryDeals = {kTradeDealType, HistoryDealsGet,
                                              HistoryDealsGetByPosition,
                                              exchange::HistoryDealGetByTicket};

PyObject* positions_total(ORBISYN_ARGS) {
  return Total(kPositionsTotal, args, nargs, kwnames, exchange::PositionsTotal);
}

PyObject* positions_get(ORBISYN_ARGS) {
  return OpenGet(kPositionsGet, kOpenPositions, args, nargs, kwnames);
}

PyObject* orders_total(ORBISYN_ARGS) {
  return Total(kOrdersTotal, args, nargs, kwnames, exchange::OrdersTotal);
}

PyObject* orders_get(ORBISYN_ARGS) { return OpenGet(kOrdersGet, kOpenOrders, args, nargs, kwnames); }

PyObject* history_orders_total(ORBISYN_ARGS) {
  return Total(kHistoryOrdersTotal, args, nargs, kwnames, exchange::HistoryOrdersTotal);
}

PyObject* history_orders_get(ORBISYN_ARGS) {
  return HistoryGet(kHistoryOrdersGet, kHistoryOrders, args, nargs, kwnames);
}

PyObject* history_deals_total(ORBISYN_ARGS) {
  return Total(kHistoryDealsTotal, args, nargs, kwnames, exchange::HistoryDealsTotal);
}

PyObject* history_deals_get(ORBISYN_ARGS) {
  return HistoryGet(kHistoryDealsGet, kHistoryDeals, args, nargs, kwnames);
}

}  // namespace

const Function kPositionsFunctions[] = {
    {&kPositionsTotal, positions_total},
    {&kPositionsGet, positions_get},
    {&kOrdersTotal, orders_total},
    {&kOrdersGet, orders_get},
    {&kHistoryOrdersTotal, history_orders_total},
    {&kHistoryOrdersGet, history_orders_get},
    {&kHistoryDealsTotal, history_deals_total},
    {&kHistoryDealsGet, history_deals_get},
    {nullptr, nullptr},
};

}  // namespace orbisyn
