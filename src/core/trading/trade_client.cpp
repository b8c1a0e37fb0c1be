// Session operations of the trading commands.
#include "link/commands.h"
#include "link/inter_client.h"
#include "link/pipe_channel.h"
#include "trading/trade_records.h"

namespace orbisyn {

namespace {

template <class Result>
int32_t TradeExchange(platform::PipeHandle& pipe, int32_t command, const void* request,
                      void* result) {
  if (!request || !result) return kIpcCallFailed;
  return Exchange(
      pipe, command, sizeof(TradeRequestRecord),
      [&](PipeWriter& w) { return w.Write(request, sizeof(TradeRequestRecord)); },
      [&](PipeReader& r) { return r.Read(result, sizeof(Result)); });
}

}  // namespace

int32_t CInterClient::OrderCheck(const void* request, void* result) {
  return TradeExchange<CheckResultRecord>(pipe, cmd::kOrderCheck, request, result);
}

int32_t CInterClient::OrderSend(const void* request, void* result) {
  return TradeExchange<SendResultRecord>(pipe, cmd::kOrderSend, request, result);
}

int32_t CInterClient::OrderCalcMargin(uint32_t action, const char16_t* symbol, double volume,
                                      double price, double* margin) {
  if (!symbol || !margin) return kIpcCallFailed;
  const uint32_t units = TextUnits(symbol);
  double value = 0.0;
  int32_t r = Exchange(
      pipe, cmd::kOrderCalcMargin, 4 + TextWireSize(units) + 16,
      [&](PipeWriter& w) {
        return w.PutUInt32(action) && w.PutText(symbol, units) && w.PutDouble(volume) &&
               w.PutDouble(price);
      },
      [&](PipeReader& rd) { return rd.Get(&value); });
  if (r >= 0) *margin = value;
  return r;
}

int32_t CInterClient::OrderCalcProfit(uint32_t action, const char16_t* symbol, double volume,
                                      double price_open, double price_close, double* profit) {
  if (!symbol || !profit) return kIpcCallFailed;
  const uint32_t units = TextUnits(symbol);
  double value = 0.0;
  int32_t r = Exchange(
      pipe, cmd::kOrderCalcProfit, 4 + TextWireSize(units) + 24,
      [&](PipeWriter& w) {
        return w.PutUInt32(action) && w.PutText(symbol, units) && w.PutDouble(volume) &&
               w.PutDouble(price_open) && w.PutDouble(price_close);
      },
      [&](PipeReader& rd) { return rd.Get(&value); });
  if (r >= 0) *profit = value;
  return r;
}

}  // namespace orbisyn
