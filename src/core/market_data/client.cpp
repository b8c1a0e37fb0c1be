#include "market_data/client.h"

#include "protocol/requests.h"

namespace orbisyn {

int32_t CopyRatesFrom(CInterClient& session, const char16_t* symbol, int32_t timeframe,
                      int64_t date_from, int32_t count, ArrayBlock* bars) {
  return ExchangeArray(session.pipe(),
                       request::CopyRatesFrom(symbol, timeframe, date_from, count),
                       sizeof(BarRecord), bars);
}

int32_t CopyRatesRange(CInterClient& session, const char16_t* symbol, int32_t timeframe,
                       int64_t date_from, int64_t date_to, ArrayBlock* bars) {
  return ExchangeArray(session.pipe(),
                       request::CopyRatesRange(symbol, timeframe, date_from, date_to),
                       sizeof(BarRecord), bars);
}

int32_t CopyRatesFromPos(CInterClient& session, const char16_t* symbol, int32_t timeframe,
                         int32_t start_pos, int32_t count, ArrayBlock* bars) {
  return ExchangeArray(session.pipe(),
                       request::CopyRatesFromPos(symbol, timeframe, start_pos, count),
                       sizeof(BarRecord), bars);
}

int32_t CopyTicksFrom(CInterClient& session, const char16_t* symbol, int64_t from_ms,
                      int32_t count, int32_t flags, ArrayBlock* ticks) {
  return ExchangeArray(session.pipe(), request::CopyTicksFrom(symbol, from_ms, count, flags),
                       sizeof(TickRecord), ticks);
}

int32_t CopyTicksRange(CInterClient& session, const char16_t* symbol, int64_t from_ms,
                       int64_t to_ms, int32_t flags, ArrayBlock* ticks) {
  return ExchangeArray(session.pipe(), request::CopyTicksRange(symbol, from_ms, to_ms, flags),
                       sizeof(TickRecord), ticks);
}

}  // namespace orbisyn
