#include "info/client.h"

#include <cstring>

#include "protocol/exchanges.h"

namespace orbisyn {

// Before any handshake there is no build to judge: that is no link, not an old Terminal.
int32_t BuildGate(const Session& session) {
  if (!session.answered()) return kIpcNoConnection;
  return session.build() < kSymbolRecordBuild ? kResultVersion : kResultSuccess;
}

int32_t SymbolsTotal(Session& session, uint32_t* count) {
  if (int32_t gate = BuildGate(session); gate < 0) return gate;
  return exchange::SymbolsTotal(session.pipe(), count);
}

int32_t SymbolsGet(Session& session, const char16_t* group, ArrayBlock* records) {
  if (int32_t gate = BuildGate(session); gate < 0) return gate;
  if (TextUnits(group) == 0) return exchange::SymbolsGet(session.pipe(), records);
  return exchange::SymbolsGetByGroup(session.pipe(), group, records);
}

int32_t SymbolInfoGet(Session& session, const char16_t* symbol, SymbolInfoRecord* record) {
  if (session.build() >= kSymbolRecordBuild)
    return exchange::SymbolInfo(session.pipe(), symbol, record);
  return Exchange(session.pipe(), request::SymbolInfo(symbol), [&](PipeReader& r) {
    if (!r.Read(record, kLegacySymbolRecordSize)) return false;
    constexpr uint32_t kNameUnits = sizeof record->name / sizeof(char16_t);
    char16_t name[kNameUnits] = {};
    for (uint32_t i = 0; i < kNameUnits - 1 && symbol[i]; ++i) name[i] = symbol[i];
    std::memcpy(record->name, name, sizeof name);
    return true;
  });
}

}  // namespace orbisyn
