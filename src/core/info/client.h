// Terminal, account, symbol and depth-of-market exchanges of the session.
#pragma once

#include <cstdint>

#include "link/session.h"
#include "protocol/records.h"

namespace orbisyn {

int32_t TerminalInfoGet(CInterClient& session, TerminalInfoRecord* record);
int32_t AccountInfoGet(CInterClient& session, AccountInfoRecord* record);
// Both need a Terminal of kSymbolRecordBuild or later (kResultVersion otherwise), and
// kIpcNoConnection before any Terminal answered a handshake.
int32_t SymbolsTotal(CInterClient& session, uint32_t* count);
int32_t SymbolsGet(CInterClient& session, const char16_t* group, ArrayBlock* records);
int32_t SymbolSelect(CInterClient& session, const char16_t* symbol, bool enable);
// Older Terminals send the record without its name slot: the name asked for fills it.
int32_t SymbolInfoGet(CInterClient& session, const char16_t* symbol, SymbolInfoRecord* record);
int32_t SymbolInfoTick(CInterClient& session, const char16_t* symbol, TickRecord* tick);
int32_t MarketBookAdd(CInterClient& session, const char16_t* symbol);
int32_t MarketBookRelease(CInterClient& session, const char16_t* symbol);
int32_t MarketBookGet(CInterClient& session, const char16_t* symbol, ArrayBlock* entries);

}  // namespace orbisyn
