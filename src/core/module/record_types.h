// The record types, in registration order: the one list. The enum, the descriptions and
// the module's types derive from it (module/records.h); the package's lists
// (orbisyn._records.NAMES, frames' field kinds) derive from the module at import, and a
// test holds the stubs to it.
#pragma once

namespace orbisyn {

#define ORBISYN_RECORD_TYPES(X)                                                           \
  X(TradePosition) X(TradeOrder) X(TradeDeal) X(TradeRequest) X(OrderSendResult)          \
      X(OrderCheckResult) X(Tick) X(TerminalInfo) X(SymbolInfo) X(AccountInfo) X(BookInfo)

enum RecordType : int {
#define ORBISYN_RECORD_ENUM(name) k##name##Type,
  ORBISYN_RECORD_TYPES(ORBISYN_RECORD_ENUM)
#undef ORBISYN_RECORD_ENUM
  kRecordTypeCount
};

// A record type's rows and converter (module/records.h).
struct RecordDesc;

}  // namespace orbisyn
