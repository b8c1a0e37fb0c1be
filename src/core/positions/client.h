// Position, order and history lists of the session. A group (null for none) is a mask list
// the records are filtered by here, after the reply. Counts and ticket lookups are plain
// exchanges (protocol/exchanges.h).
#pragma once

#include <cstdint>

#include "link/session.h"
#include "positions/group_mask.h"
#include "protocol/records.h"

namespace orbisyn {

// An array reply and, when a group was given, which of its records passed it: their
// indices, in order (the records are not moved).
struct RecordArray {
  ArrayBlock records;
  ArrayBlock kept;
  bool grouped = false;

  uint32_t size() const { return grouped ? kept.count() : records.count(); }
  // The kept indices, or null when every record counts.
  const uint32_t* selection() const {
    return grouped ? static_cast<const uint32_t*>(kept.data()) : nullptr;
  }
};

int32_t PositionsGet(Session& session, const char16_t* group, RecordArray* records);
int32_t PositionsGetBySymbol(Session& session, const char16_t* symbol, RecordArray* records);

int32_t OrdersGet(Session& session, const char16_t* group, RecordArray* records);
int32_t OrdersGetBySymbol(Session& session, const char16_t* symbol, RecordArray* records);

int32_t HistoryOrdersGet(Session& session, int64_t date_from, int64_t date_to,
                         const char16_t* group, RecordArray* records);
int32_t HistoryOrdersGetByPosition(Session& session, uint64_t position,
                                   RecordArray* records);

int32_t HistoryDealsGet(Session& session, int64_t date_from, int64_t date_to,
                        const char16_t* group, RecordArray* records);
int32_t HistoryDealsGetByPosition(Session& session, uint64_t position, RecordArray* records);

}  // namespace orbisyn
