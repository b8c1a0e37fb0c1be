// Trade exchanges of the session: check and send a request, margin and profit.
#pragma once

#include <cstdint>

#include "link/session.h"
#include "protocol/records.h"

namespace orbisyn {

int32_t OrderCheck(CInterClient& session, const TradeRequestRecord& request,
                   CheckResultRecord* result);
int32_t OrderSend(CInterClient& session, const TradeRequestRecord& request,
                  SendResultRecord* result);
int32_t OrderCalcMargin(CInterClient& session, uint32_t action, const char16_t* symbol,
                        double volume, double price, double* margin);
int32_t OrderCalcProfit(CInterClient& session, uint32_t action, const char16_t* symbol,
                        double volume, double price_open, double price_close, double* profit);

}  // namespace orbisyn
