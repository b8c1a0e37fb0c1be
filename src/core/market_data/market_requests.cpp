// Bar and tick requests of the session: a symbol, a few fixed fields, and an array of
// 60-byte records in reply.
#include "link/commands.h"
#include "link/inter_client.h"
#include "link/pipe_channel.h"
#include "market_data/records.h"

namespace orbisyn {

namespace {

constexpr uint32_t kMarketRecordSize = 60;
static_assert(sizeof(BarRecord) == kMarketRecordSize && sizeof(TickRecord) == kMarketRecordSize,
              "bars and ticks share one reply shape");

// Sends command with the symbol and the fields put by put_fields (fields_size bytes), then
// reads the record array into a block from out. On failure the block goes back to out.
template <class PutFields>
int32_t RecordsExchange(platform::PipeHandle& pipe, int32_t command, const char16_t* symbol,
                        uint32_t fields_size, PutFields&& put_fields, ArrayAllocator& out,
                        uint32_t* n) {
  if (!n) return kIpcCallFailed;
  const uint32_t units = TextUnits(symbol);
  void* block = nullptr;
  uint32_t count = 0;
  int32_t r = Exchange(
      pipe, command, TextWireSize(units) + fields_size,
      [&](PipeWriter& w) { return w.PutText(symbol, units) && put_fields(w); },
      [&](PipeReader& rd) { return rd.ReadArray(out, kMarketRecordSize, &block, &count); });
  if (r < 0) {
    // The array may have been read whole before a wrong echo, a negative status or
    // trailing bytes showed up.
    if (block) out.Release(block);
    return r;
  }
  *n = count;
  return r;
}

}  // namespace

int32_t CInterClient::CopyRatesFrom(const char16_t* symbol, int32_t timeframe, int64_t date_from,
                                    int32_t count, ArrayAllocator& out, uint32_t* n) {
  return RecordsExchange(
      pipe, cmd::kCopyRatesFrom, symbol, 4 + 8 + 4,
      [&](PipeWriter& w) {
        return w.PutInt32(timeframe) && w.PutInt64(date_from) && w.PutInt32(count);
      },
      out, n);
}

int32_t CInterClient::CopyRatesRange(const char16_t* symbol, int32_t timeframe,
                                     int64_t date_from, int64_t date_to, ArrayAllocator& out,
                                     uint32_t* n) {
  return RecordsExchange(
      pipe, cmd::kCopyRatesRange, symbol, 4 + 8 + 8,
      [&](PipeWriter& w) {
        return w.PutInt32(timeframe) && w.PutInt64(date_from) && w.PutInt64(date_to);
      },
      out, n);
}

int32_t CInterClient::CopyRatesFromPos(const char16_t* symbol, int32_t timeframe,
                                       int32_t start_pos, int32_t count, ArrayAllocator& out,
                                       uint32_t* n) {
  return RecordsExchange(
      pipe, cmd::kCopyRatesFromPos, symbol, 4 + 4 + 4,
      [&](PipeWriter& w) {
        return w.PutInt32(timeframe) && w.PutInt32(start_pos) && w.PutInt32(count);
      },
      out, n);
}

int32_t CInterClient::CopyTicksFrom(const char16_t* symbol, int64_t from_ms, int32_t count,
                                    int32_t flags, ArrayAllocator& out, uint32_t* n) {
  return RecordsExchange(
      pipe, cmd::kCopyTicksFrom, symbol, 8 + 4 + 4,
      [&](PipeWriter& w) {
        return w.PutInt64(from_ms) && w.PutInt32(count) && w.PutInt32(flags);
      },
      out, n);
}

int32_t CInterClient::CopyTicksRange(const char16_t* symbol, int64_t from_ms, int64_t to_ms,
                                     int32_t flags, ArrayAllocator& out, uint32_t* n) {
  return RecordsExchange(
      pipe, cmd::kCopyTicksRange, symbol, 8 + 8 + 4,
      [&](PipeWriter& w) { return w.PutInt64(from_ms) && w.PutInt64(to_ms) && w.PutInt32(flags); },
      out, n);
}

}  // namespace orbisyn
