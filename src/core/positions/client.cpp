#include "positions/client.h"

#include "link/commands.h"

namespace orbisyn {

namespace {

auto PutRange(int64_t from, int64_t to) {
  return [=](PipeWriter& w) { return w.PutInt64(from) && w.PutInt64(to); };
}

auto PutId(uint64_t id) {
  return [=](PipeWriter& w) { return w.PutUInt64(id); };
}

auto PutSymbol(const char16_t* symbol) {
  return [=](PipeWriter& w) { return w.PutText(symbol); };
}

template <class Put>
int32_t Array(CInterClient& session, int32_t command, Put&& put,
              const GroupRecordLayout& layout, const char16_t* group, RecordArray* out) {
  int32_t r = ExchangeArray(session.pipe(), command, put, static_cast<uint32_t>(layout.size),
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

template <class Record>
int32_t Ticket(CInterClient& session, int32_t command, uint64_t ticket, Record* record) {
  return ExchangeRecord(session.pipe(), command, PutId(ticket), record, sizeof *record);
}

int32_t Count(CInterClient& session, int32_t command, uint32_t* count) {
  return ExchangeRecord(session.pipe(), command, NoPayload, count, sizeof *count);
}

int32_t Count(CInterClient& session, int32_t command, int64_t from, int64_t to, uint32_t* count) {
  return ExchangeRecord(session.pipe(), command, PutRange(from, to), count, sizeof *count);
}

}  // namespace

int32_t PositionsTotal(CInterClient& session, uint32_t* count) {
  return Count(session, cmd::kPositionsTotal, count);
}

int32_t PositionsGet(CInterClient& session, const char16_t* group, RecordArray* records) {
  return Array(session, cmd::kPositionsGet, NoPayload, kPositionLayout, group, records);
}

int32_t PositionsGetBySymbol(CInterClient& session, const char16_t* symbol, RecordArray* records) {
  return Array(session, cmd::kPositionsGetBySymbol, PutSymbol(symbol), kPositionLayout, nullptr,
               records);
}

int32_t PositionGetByTicket(CInterClient& session, uint64_t ticket, PositionRecord* record) {
  return Ticket(session, cmd::kPositionGetByTicket, ticket, record);
}

int32_t OrdersTotal(CInterClient& session, uint32_t* count) {
  return Count(session, cmd::kOrdersTotal, count);
}

int32_t OrdersGet(CInterClient& session, const char16_t* group, RecordArray* records) {
  return Array(session, cmd::kOrdersGet, NoPayload, kOrderLayout, group, records);
}

int32_t OrdersGetBySymbol(CInterClient& session, const char16_t* symbol, RecordArray* records) {
  return Array(session, cmd::kOrdersGetBySymbol, PutSymbol(symbol), kOrderLayout, nullptr,
               records);
}

int32_t OrderGetByTicket(CInterClient& session, uint64_t ticket, OrderRecord* record) {
  return Ticket(session, cmd::kOrderGetByTicket, ticket, record);
}

int32_t HistoryOrdersTotal(CInterClient& session, int64_t date_from, int64_t date_to,
                           uint32_t* count) {
  return Count(session, cmd::kHistoryOrdersTotal, date_from, date_to, count);
}

int32_t HistoryOrdersGet(CInterClient& session, int64_t date_from, int64_t date_to,
                         const char16_t* group, RecordArray* records) {
  return Array(session, cmd::kHistoryOrdersGet, PutRange(date_from, date_to), kOrderLayout, group,
               records);
}

int32_t HistoryOrdersGetByPosition(CInterClient& session, uint64_t position,
                                   RecordArray* records) {
  return Array(session, cmd::kHistoryOrdersGetByPosition, PutId(position), kOrderLayout, nullptr,
               records);
}

int32_t HistoryOrderGetByTicket(CInterClient& session, uint64_t ticket, OrderRecord* record) {
  return Ticket(session, cmd::kHistoryOrderGetByTicket, ticket, record);
}

int32_t HistoryDealsTotal(CInterClient& session, int64_t date_from, int64_t date_to,
                          uint32_t* count) {
  return Count(session, cmd::kHistoryDealsTotal, date_from, date_to, count);
}

int32_t HistoryDealsGet(CInterClient& session, int64_t date_from, int64_t date_to,
                        const char16_t* group, RecordArray* records) {
  return Array(session, cmd::kHistoryDealsGet, PutRange(date_from, date_to), kDealLayout, group,
               records);
}

int32_t HistoryDealsGetByPosition(CInterClient& session, uint64_t position, RecordArray* records) {
  return Array(session, cmd::kHistoryDealsGetByPosition, PutId(position), kDealLayout, nullptr,
               records);
}

int32_t HistoryDealGetByTicket(CInterClient& session, uint64_t ticket, DealRecord* record) {
  return Ticket(session, cmd::kHistoryDealGetByTicket, ticket, record);
}

}  // namespace orbisyn
