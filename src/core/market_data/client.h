// Bar and tick exchanges of the session: a symbol and a few fixed fields out, an array of
// 60-byte records back, read into a block from the caller's allocator.
#pragma once

#include <cstdint>

#include "link/session.h"
#include "protocol/records.h"

namespace orbisyn {

int32_t CopyRatesFrom(CInterClient& session, const char16_t* symbol, int32_t timeframe,
                      int64_t date_from, int32_t count, ArrayBlock* bars);
int32_t CopyRatesRange(CInterClient& session, const char16_t* symbol, int32_t timeframe,
                       int64_t date_from, int64_t date_to, ArrayBlock* bars);
int32_t CopyRatesFromPos(CInterClient& session, const char16_t* symbol, int32_t timeframe,
                         int32_t start_pos, int32_t count, ArrayBlock* bars);
int32_t CopyTicksFrom(CInterClient& session, const char16_t* symbol, int64_t from_ms,
                      int32_t count, int32_t flags, ArrayBlock* ticks);
int32_t CopyTicksRange(CInterClient& session, const char16_t* symbol, int64_t from_ms,
                       int64_t to_ms, int32_t flags, ArrayBlock* ticks);

}  // namespace orbisyn
