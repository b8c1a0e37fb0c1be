// The symbol exchanges that depend on the Terminal's build; the other information
// commands are plain exchanges (protocol/exchanges.h).
#pragma once

#include <cstdint>

#include "link/session.h"
#include "protocol/records.h"

namespace orbisyn {

// Both need a Terminal of kSymbolRecordBuild or later (kResultVersion otherwise), and
// kIpcNoConnection before any Terminal answered a handshake.
int32_t SymbolsTotal(Session& session, uint32_t* count);
int32_t SymbolsGet(Session& session, const char16_t* group, ArrayBlock* records);
// Older Terminals send the record without its name slot: the name asked for fills it.
int32_t SymbolInfoGet(Session& session, const char16_t* symbol, SymbolInfoRecord* record);

}  // namespace orbisyn
