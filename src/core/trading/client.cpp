#include "trading/client.h"

#include "link/commands.h"

namespace orbisyn {

namespace {

auto PutRequest(const TradeRequestRecord& request) {
  return [&request](PipeWriter& w) { return w.Write(&request, sizeof request); };
}

}  // namespace

int32_t OrderCheck(CInterClient& session, const TradeRequestRecord& request,
                   CheckResultRecord* result) {
  return ExchangeRecord(session.pipe(), cmd::kOrderCheck, PutRequest(request), result,
                        sizeof *result);
}

int32_t OrderSend(CInterClient& session, const TradeRequestRecord& request,
                  SendResultRecord* result) {
  return ExchangeRecord(session.pipe(), cmd::kOrderSend, PutRequest(request), result,
                        sizeof *result);
}

int32_t OrderCalcMargin(CInterClient& session, uint32_t action, const char16_t* symbol,
                        double volume, double price, double* margin) {
  double value = 0.0;
  int32_t r = ExchangeRecord(
      session.pipe(), cmd::kOrderCalcMargin,
      [&](PipeWriter& w) {
        return w.PutUInt32(action) && w.PutText(symbol) && w.PutDouble(volume) &&
               w.PutDouble(price);
      },
      &value, sizeof value);
  if (r >= 0) *margin = value;
  return r;
}

int32_t OrderCalcProfit(CInterClient& session, uint32_t action, const char16_t* symbol,
                        double volume, double price_open, double price_close, double* profit) {
  double value = 0.0;
  int32_t r = ExchangeRecord(
      session.pipe(), cmd::kOrderCalcProfit,
      [&](PipeWriter& w) {
        return w.PutUInt32(action) && w.PutText(symbol) && w.PutDouble(volume) &&
               w.PutDouble(price_open) && w.PutDouble(price_close);
      },
      &value, sizeof value);
  if (r >= 0) *profit = value;
  return r;
}

}  // namespace orbisyn
