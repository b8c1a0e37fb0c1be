#include "info/client.h"

#include <cstring>

#include "protocol/requests.h"

namespace orbisyn {

int32_t TerminalInfoGet(CInterClient& session, TerminalInfoRecord* record) {
  return ExchangeRecord(session.pipe(), request::TerminalInfo(), record, sizeof *record);
}

int32_t AccountInfoGet(CInterClient& session, AccountInfoRecord* record) {
  return ExchangeRecord(session.pipe(), request::AccountInfo(), record, sizeof *record);
}

// Before any handshake there is no build to judge: that is no link, not an old Terminal.
int32_t BuildGate(const CInterClient& session) {
  if (!session.answered()) return kIpcNoConnection;
  return session.build() < kSymbolRecordBuild ? kResultVersion : kResultSuccess;
}

int32_t SymbolsTotal(CInterClient& session, uint32_t* count) {
  if (int32_t gate = BuildGate(session); gate < 0) return gate;
  return ExchangeRecord(session.pipe(), request::SymbolsTotal(), count, sizeof *count);
}

int32_t SymbolsGet(CInterClient& session, const char16_t* group, ArrayBlock* records) {
  if (int32_t gate = BuildGate(session); gate < 0) return gate;
  if (TextUnits(group) == 0)
    return ExchangeArray(session.pipe(), request::SymbolsGet(), kSymbolRecordSize, records);
  return ExchangeArray(session.pipe(), request::SymbolsGetByGroup(group), kSymbolRecordSize,
                       records);
}

int32_t SymbolSelect(CInterClient& session, const char16_t* symbol, bool enable) {
  return Exchange(session.pipe(), request::SymbolSelect(symbol, enable), NoReply);
}

int32_t SymbolInfoGet(CInterClient& session, const char16_t* symbol, SymbolInfoRecord* record) {
  if (session.build() >= kSymbolRecordBuild)
    return ExchangeRecord(session.pipe(), request::SymbolInfo(symbol), record, sizeof *record);
  return Exchange(session.pipe(), request::SymbolInfo(symbol), [&](PipeReader& r) {
    if (!r.Read(record, kLegacySymbolRecordSize)) return false;
    constexpr uint32_t kNameUnits = sizeof record->name / sizeof(char16_t);
    char16_t name[kNameUnits] = {};
    for (uint32_t i = 0; i < kNameUnits - 1 && symbol[i]; ++i) name[i] = symbol[i];
    std::memcpy(record->name, name, sizeof name);
    return true;
  });
}

int32_t SymbolInfoTick(CInterClient& session, const char16_t* symbol, TickRecord* tick) {
  return ExchangeRecord(session.pipe(), request::SymbolInfoTick(symbol), tick, sizeof *tick);
}

int32_t MarketBookAdd(CInterClient& session, const char16_t* symbol) {
  return Exchange(session.pipe(), request::MarketBookAdd(symbol), NoReply);
}

int32_t MarketBookRelease(CInterClient& session, const char16_t* symbol) {
  return Exchange(session.pipe(), request::MarketBookRelease(symbol), NoReply);
}

int32_t MarketBookGet(CInterClient& session, const char16_t* symbol, ArrayBlock* entries) {
  return ExchangeArray(session.pipe(), request::MarketBookGet(symbol), sizeof(BookEntryRecord),
                       entries);
}

}  // namespace orbisyn
