#include "market_data/client.h"

#include "link/commands.h"

namespace orbisyn {

namespace {

constexpr uint32_t kMarketRecordSize = 60;
static_assert(sizeof(BarRecord) == kMarketRecordSize && sizeof(TickRecord) == kMarketRecordSize,
              "bars and ticks share one reply shape");

// The symbol, then the fields put by put_fields.
template <class PutFields>
int32_t Records(CInterClient& session, int32_t command, const char16_t* symbol,
                PutFields&& put_fields, ArrayBlock* records) {
  return ExchangeArray(
      session.pipe(), command,
      [&](PipeWriter& w) { return w.PutText(symbol) && put_fields(w); }, kMarketRecordSize,
      records);
}

}  // namespace

int32_t CopyRatesFrom(CInterClient& session, const char16_t* symbol, int32_t timeframe,
                      int64_t date_from, int32_t count, ArrayBlock* bars) {
  return Records(
      session, cmd::kCopyRatesFrom, symbol,
      [&](PipeWriter& w) {
        return w.PutInt32(timeframe) && w.PutInt64(date_from) && w.PutInt32(count);
      },
      bars);
}

int32_t CopyRatesRange(CInterClient& session, const char16_t* symbol, int32_t timeframe,
                       int64_t date_from, int64_t date_to, ArrayBlock* bars) {
  return Records(
      session, cmd::kCopyRatesRange, symbol,
      [&](PipeWriter& w) {
        return w.PutInt32(timeframe) && w.PutInt64(date_from) && w.PutInt64(date_to);
      },
      bars);
}

int32_t CopyRatesFromPos(CInterClient& session, const char16_t* symbol, int32_t timeframe,
                         int32_t start_pos, int32_t count, ArrayBlock* bars) {
  return Records(
      session, cmd::kCopyRatesFromPos, symbol,
      [&](PipeWriter& w) {
        return w.PutInt32(timeframe) && w.PutInt32(start_pos) && w.PutInt32(count);
      },
      bars);
}

int32_t CopyTicksFrom(CInterClient& session, const char16_t* symbol, int64_t from_ms,
                      int32_t count, int32_t flags, ArrayBlock* ticks) {
  return Records(
      session, cmd::kCopyTicksFrom, symbol,
      [&](PipeWriter& w) { return w.PutInt64(from_ms) && w.PutInt32(count) && w.PutInt32(flags); },
      ticks);
}

int32_t CopyTicksRange(CInterClient& session, const char16_t* symbol, int64_t from_ms,
                       int64_t to_ms, int32_t flags, ArrayBlock* ticks) {
  return Records(
      session, cmd::kCopyTicksRange, symbol,
      [&](PipeWriter& w) { return w.PutInt64(from_ms) && w.PutInt64(to_ms) && w.PutInt32(flags); },
      ticks);
}

}  // namespace orbisyn
