#include "positions/client.h"

#include <cstddef>

#include "protocol/requests.h"

namespace orbisyn {

namespace {

// Where the group filter finds each record's symbol.
template <class Record>
constexpr GroupRecordLayout LayoutOf() {
  static_assert(sizeof(Record::symbol) == kRecordSymbolUnits * 2,
                "the filter reads 32-unit symbol fields");
  return {sizeof(Record), offsetof(Record, symbol)};
}

template <class Record, class Put>
int32_t Array(Session& session, const RequestFrame<Put>& request, const char16_t* group,
              RecordArray* out) {
  constexpr GroupRecordLayout layout = LayoutOf<Record>();
  int32_t r = ExchangeArray(session.pipe(), request, static_cast<uint32_t>(layout.size),
                            &out->records);
  if (r < 0 || !group) return r;
  const uint32_t count = out->records.count();
  if (!out->kept.Allocate(count, sizeof(uint32_t))) {
    out->records.Reset();
    return kIpcCallFailed;
  }
  out->grouped = true;
  out->kept.Shrink(SelectByGroup(group, out->records.data(), count, layout,
                                 static_cast<uint32_t*>(out->kept.data())));
  return kResultSuccess;
}

}  // namespace

int32_t PositionsGet(Session& session, const char16_t* group, RecordArray* records) {
  return Array<PositionRecord>(session, request::PositionsGet(), group, records);
}

int32_t PositionsGetBySymbol(Session& session, const char16_t* symbol, RecordArray* records) {
  return Array<PositionRecord>(session, request::PositionsGetBySymbol(symbol), nullptr, records);
}

int32_t OrdersGet(Session& session, const char16_t* group, RecordArray* records) {
  return Array<OrderRecord>(session, request::OrdersGet(), group, records);
}

int32_t OrdersGetBySymbol(Session& session, const char16_t* symbol, RecordArray* records) {
  return Array<OrderRecord>(session, request::OrdersGetBySymbol(symbol), nullptr, records);
}

int32_t HistoryOrdersGet(Session& session, int64_t date_from, int64_t date_to,
                         const char16_t* group, RecordArray* records) {
  return Array<OrderRecord>(session, request::HistoryOrdersGet(date_from, date_to), group,
                            records);
}

int32_t HistoryOrdersGetByPosition(Session& session, uint64_t position,
                                   RecordArray* records) {
  return Array<OrderRecord>(session, request::HistoryOrdersGetByPosition(position), nullptr,
                            records);
}

int32_t HistoryDealsGet(Session& session, int64_t date_from, int64_t date_to,
                        const char16_t* group, RecordArray* records) {
  return Array<DealRecord>(session, request::HistoryDealsGet(date_from, date_to), group,
                           records);
}

int32_t HistoryDealsGetByPosition(Session& session, uint64_t position, RecordArray* records) {
  return Array<DealRecord>(session, request::HistoryDealsGetByPosition(position), nullptr,
                           records);
}

}  // namespace orbisyn
