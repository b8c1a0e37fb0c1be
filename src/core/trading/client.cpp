#include "trading/client.h"

#include "protocol/requests.h"

namespace orbisyn {

int32_t OrderCheck(CInterClient& session, const TradeRequestRecord& request,
                   CheckResultRecord* result) {
  return ExchangeRecord(session.pipe(), request::OrderCheck(request), result, sizeof *result);
}

int32_t OrderSend(CInterClient& session, const TradeRequestRecord& request,
                  SendResultRecord* result) {
  return ExchangeRecord(session.pipe(), request::OrderSend(request), result, sizeof *result);
}

int32_t OrderCalcMargin(CInterClient& session, uint32_t action, const char16_t* symbol,
                        double volume, double price, double* margin) {
  double value = 0.0;
  int32_t r = ExchangeRecord(session.pipe(), request::OrderCalcMargin(action, symbol, volume, price),
                             &value, sizeof value);
  if (r >= 0) *margin = value;
  return r;
}

int32_t OrderCalcProfit(CInterClient& session, uint32_t action, const char16_t* symbol,
                        double volume, double price_open, double price_close, double* profit) {
  double value = 0.0;
  int32_t r = ExchangeRecord(
      session.pipe(), request::OrderCalcProfit(action, symbol, volume, price_open, price_close),
      &value, sizeof value);
  if (r >= 0) *profit = value;
  return r;
}

}  // namespace orbisyn
