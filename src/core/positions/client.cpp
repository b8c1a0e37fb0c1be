// Session operations of positions, orders and history.
#include <cstdlib>

#include "link/commands.h"
#include "link/inter_client.h"
#include "link/pipe_channel.h"
#include "positions/group_mask.h"
#include "positions/records.h"

namespace orbisyn {

namespace {

int32_t Count(platform::PipeHandle& pipe, int32_t command, uint32_t payload_size,
              const int64_t* range, uint32_t* count) {
  if (!count) return kIpcCallFailed;
  return Exchange(
      pipe, command, payload_size,
      [&](PipeWriter& w) { return !range || (w.PutInt64(range[0]) && w.PutInt64(range[1])); },
      [&](PipeReader& r) { return r.Get(count); });
}

// Reads an array reply into a malloc'ed block that the caller frees. A failed exchange
// hands out nothing, even when the records had been read before the echo was judged.
template <class Put>
int32_t Array(platform::PipeHandle& pipe, int32_t command, uint32_t payload_size, Put&& put,
              GroupRecordKind kind, const char16_t* group, void** records, uint32_t* count) {
  if (!records || !count) return kIpcCallFailed;
  *records = nullptr;
  *count = 0;
  MallocAllocator alloc;
  void* block = nullptr;
  uint32_t n = 0;
  const auto size = static_cast<uint32_t>(LayoutOf(kind).size);
  int32_t r = Exchange(pipe, command, payload_size, put,
                       [&](PipeReader& rd) { return rd.ReadArray(alloc, size, &block, &n); });
  if (r < 0) {
    std::free(block);
    return r;
  }
  if (group && n > 0) {
    r = FilterByGroup(group, &block, &n, kind);
    if (r < 0) return r;
  } else if (group) {
    r = 1;
  }
  *records = block;
  *count = n;
  return r;
}

int32_t Single(platform::PipeHandle& pipe, int32_t command, uint64_t ticket, void* record,
               uint32_t size) {
  if (!record) return kIpcCallFailed;
  return Exchange(
      pipe, command, 8, [&](PipeWriter& w) { return w.PutUInt64(ticket); },
      [&](PipeReader& r) { return r.Read(record, size); });
}

auto PutRange(int64_t from, int64_t to) {
  return [=](PipeWriter& w) { return w.PutInt64(from) && w.PutInt64(to); };
}

auto PutId(uint64_t id) {
  return [=](PipeWriter& w) { return w.PutUInt64(id); };
}

auto PutSymbol(const char16_t* symbol, uint32_t units) {
  return [=](PipeWriter& w) { return w.PutText(symbol, units); };
}

constexpr uint32_t kRecordSizePosition = sizeof(PositionRecord);
constexpr uint32_t kRecordSizeOrder = sizeof(OrderRecord);
constexpr uint32_t kRecordSizeDeal = sizeof(DealRecord);

}  // namespace

int32_t CInterClient::PositionsTotal(uint32_t* count) {
  return Count(pipe, cmd::kPositionsTotal, 0, nullptr, count);
}

int32_t CInterClient::PositionsGet(const char16_t* group, void** records, uint32_t* count) {
  return Array(pipe, cmd::kPositionsGet, 0, NoPayload, GroupRecordKind::kPosition, group, records,
               count);
}

int32_t CInterClient::PositionsGetBySymbol(const char16_t* symbol, void** records,
                                           uint32_t* count) {
  uint32_t units = TextUnits(symbol);
  return Array(pipe, cmd::kPositionsGetBySymbol, TextWireSize(units), PutSymbol(symbol, units),
               GroupRecordKind::kPosition, nullptr, records, count);
}

int32_t CInterClient::PositionGetByTicket(uint64_t ticket, void* record) {
  return Single(pipe, cmd::kPositionGetByTicket, ticket, record, kRecordSizePosition);
}

int32_t CInterClient::OrdersTotal(uint32_t* count) {
  return Count(pipe, cmd::kOrdersTotal, 0, nullptr, count);
}

int32_t CInterClient::OrdersGet(const char16_t* group, void** records, uint32_t* count) {
  return Array(pipe, cmd::kOrdersGet, 0, NoPayload, GroupRecordKind::kOrder, group, records,
               count);
}

int32_t CInterClient::OrdersGetBySymbol(const char16_t* symbol, void** records, uint32_t* count) {
  uint32_t units = TextUnits(symbol);
  return Array(pipe, cmd::kOrdersGetBySymbol, TextWireSize(units), PutSymbol(symbol, units),
               GroupRecordKind::kOrder, nullptr, records, count);
}

int32_t CInterClient::OrderGetByTicket(uint64_t ticket, void* record) {
  return Single(pipe, cmd::kOrderGetByTicket, ticket, record, kRecordSizeOrder);
}

int32_t CInterClient::HistoryOrdersTotal(int64_t date_from, int64_t date_to, uint32_t* count) {
  const int64_t range[2] = {date_from, date_to};
  return Count(pipe, cmd::kHistoryOrdersTotal, 16, range, count);
}

int32_t CInterClient::HistoryOrdersGet(int64_t date_from, int64_t date_to, const char16_t* group,
                                       void** records, uint32_t* count) {
  return Array(pipe, cmd::kHistoryOrdersGet, 16, PutRange(date_from, date_to),
               GroupRecordKind::kOrder, group, records, count);
}

int32_t CInterClient::HistoryOrdersGetByPosition(uint64_t position, void** records,
                                                 uint32_t* count) {
  return Array(pipe, cmd::kHistoryOrdersGetByPosition, 8, PutId(position),
               GroupRecordKind::kOrder, nullptr, records, count);
}

int32_t CInterClient::HistoryOrderGetByTicket(uint64_t ticket, void* record) {
  return Single(pipe, cmd::kHistoryOrderGetByTicket, ticket, record, kRecordSizeOrder);
}

int32_t CInterClient::HistoryDealsTotal(int64_t date_from, int64_t date_to, uint32_t* count) {
  const int64_t range[2] = {date_from, date_to};
  return Count(pipe, cmd::kHistoryDealsTotal, 16, range, count);
}

int32_t CInterClient::HistoryDealsGet(int64_t date_from, int64_t date_to, const char16_t* group,
                                      void** records, uint32_t* count) {
  return Array(pipe, cmd::kHistoryDealsGet, 16, PutRange(date_from, date_to),
               GroupRecordKind::kDeal, group, records, count);
}

int32_t CInterClient::HistoryDealsGetByPosition(uint64_t position, void** records,
                                                uint32_t* count) {
  return Array(pipe, cmd::kHistoryDealsGetByPosition, 8, PutId(position), GroupRecordKind::kDeal,
               nullptr, records, count);
}

int32_t CInterClient::HistoryDealGetByTicket(uint64_t ticket, void* record) {
  return Single(pipe, cmd::kHistoryDealGetByTicket, ticket, record, kRecordSizeDeal);
}

}  // namespace orbisyn
