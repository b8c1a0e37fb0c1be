// Session operations for terminal, account and symbol information and depth of market.
#include <cstring>

#include "info/records.h"
#include "link/commands.h"
#include "link/inter_client.h"
#include "link/pipe_channel.h"

namespace orbisyn {

namespace {

int32_t GetFixedRecord(CInterClient& client, int32_t command, void* record, uint32_t size) {
  if (!record) return kIpcCallFailed;
  return Exchange(client.pipe, command, 0, NoPayload,
                  [&](PipeReader& r) { return r.Read(record, size); });
}

// One symbol text as the whole request payload; the reply carries no payload.
int32_t SymbolCommand(CInterClient& client, int32_t command, const char16_t* symbol) {
  if (!symbol) return kIpcCallFailed;
  const uint32_t units = TextUnits(symbol);
  return Exchange(
      client.pipe, command, TextWireSize(units),
      [&](PipeWriter& w) { return w.PutText(symbol, units); }, NoReply);
}

// An array reply; on success *block is a malloc'ed block the caller frees. A block that a
// failed exchange leaves behind is freed here, so the caller owns nothing on failure.
template <class Put>
int32_t GetArray(CInterClient& client, int32_t command, uint32_t payload_size, Put&& put,
                 uint32_t element_size, void** block, uint32_t* count) {
  MallocAllocator alloc;
  void* got = nullptr;
  uint32_t n = 0;
  int32_t r = Exchange(client.pipe, command, payload_size, put,
                       [&](PipeReader& rd) { return rd.ReadArray(alloc, element_size, &got, &n); });
  if (r < 0) {
    alloc.Release(got);
    return r;
  }
  *block = got;
  *count = n;
  return r;
}

}  // namespace

int32_t CInterClient::TerminalInfoGet(void* record) {
  return GetFixedRecord(*this, cmd::kTerminalInfo, record, sizeof(TerminalInfoRecord));
}

int32_t CInterClient::AccountInfoGet(void* record) {
  return GetFixedRecord(*this, cmd::kAccountInfo, record, sizeof(AccountInfoRecord));
}

int32_t CInterClient::SymbolsTotal(uint32_t* count) {
  if (build < kSymbolRecordBuild) return kResultVersion;
  if (!count) return kIpcCallFailed;
  return Exchange(pipe, cmd::kSymbolsTotal, 0, NoPayload,
                  [&](PipeReader& r) { return r.Get(count); });
}

int32_t CInterClient::SymbolsGet(const char16_t* group, void** records, uint32_t* count) {
  if (build < kSymbolRecordBuild) return kResultVersion;
  if (!records || !count) return kIpcCallFailed;
  const uint32_t units = TextUnits(group);
  if (units == 0)
    return GetArray(*this, cmd::kSymbolsGet, 0, NoPayload, kSymbolRecordSize, records, count);
  return GetArray(
      *this, cmd::kSymbolsGetByGroup, TextWireSize(units),
      [&](PipeWriter& w) { return w.PutText(group, units); }, kSymbolRecordSize, records, count);
}

int32_t CInterClient::SymbolSelect(const char16_t* symbol, bool enable) {
  if (!symbol) return kIpcCallFailed;
  const uint32_t units = TextUnits(symbol);
  return Exchange(
      pipe, cmd::kSymbolSelect, TextWireSize(units) + 1,
      [&](PipeWriter& w) { return w.PutText(symbol, units) && w.PutFlag(enable); }, NoReply);
}

int32_t CInterClient::SymbolInfoGet(const char16_t* symbol, void* record) {
  if (!symbol || !record) return kIpcCallFailed;
  const uint32_t units = TextUnits(symbol);
  const bool legacy = build < kSymbolRecordBuild;
  auto* rec = static_cast<SymbolInfoRecord*>(record);
  return Exchange(
      pipe, cmd::kSymbolInfo, TextWireSize(units),
      [&](PipeWriter& w) { return w.PutText(symbol, units); },
      [&](PipeReader& r) {
        if (!legacy) return r.Read(rec, sizeof *rec);
        if (!r.Read(&rec->head, sizeof rec->head)) return false;
        // The old record has no name slot: the name is the one asked for.
        constexpr uint32_t kNameUnits = sizeof rec->name / sizeof(char16_t);
        char16_t name[kNameUnits] = {};
        for (uint32_t i = 0; i < units && i < kNameUnits - 1; ++i) name[i] = symbol[i];
        std::memcpy(rec->name, name, sizeof name);
        return true;
      });
}

int32_t CInterClient::SymbolInfoTick(const char16_t* symbol, void* tick) {
  if (!tick) return kIpcCallFailed;
  const uint32_t units = TextUnits(symbol);
  return Exchange(
      pipe, cmd::kSymbolInfoTick, TextWireSize(units),
      [&](PipeWriter& w) { return w.PutText(symbol, units); },
      [&](PipeReader& r) { return r.Read(tick, sizeof(TickRecord)); });
}

int32_t CInterClient::MarketBookAdd(const char16_t* symbol) {
  return SymbolCommand(*this, cmd::kMarketBookAdd, symbol);
}

int32_t CInterClient::MarketBookRelease(const char16_t* symbol) {
  return SymbolCommand(*this, cmd::kMarketBookRelease, symbol);
}

int32_t CInterClient::MarketBookGet(const char16_t* symbol, void** entries, uint32_t* count) {
  if (!symbol || !entries || !count) return kIpcCallFailed;
  const uint32_t units = TextUnits(symbol);
  return GetArray(
      *this, cmd::kMarketBookGet, TextWireSize(units),
      [&](PipeWriter& w) { return w.PutText(symbol, units); }, sizeof(BookEntryRecord), entries,
      count);
}

}  // namespace orbisyn
