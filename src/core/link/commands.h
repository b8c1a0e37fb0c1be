// Command codes of the Terminal protocol; the only codes the module ever sends.
#pragma once

#include <cstdint>

namespace orbisyn::cmd {

constexpr int32_t kVersion = 1;
constexpr int32_t kHandshake = 4;
constexpr int32_t kLogin = 5;
constexpr int32_t kCopyTicksFrom = 104;
constexpr int32_t kCopyTicksRange = 105;
constexpr int32_t kCopyRatesFrom = 106;
constexpr int32_t kCopyRatesRange = 107;
constexpr int32_t kCopyRatesFromPos = 108;
constexpr int32_t kConnectionState = 109;
constexpr int32_t kPositionsTotal = 120;
constexpr int32_t kPositionsGet = 121;
constexpr int32_t kPositionsGetBySymbol = 122;
constexpr int32_t kPositionGetByTicket = 123;
constexpr int32_t kOrdersTotal = 130;
constexpr int32_t kOrdersGet = 131;
constexpr int32_t kOrdersGetBySymbol = 132;
constexpr int32_t kOrderGetByTicket = 133;
constexpr int32_t kHistoryOrdersTotal = 140;
constexpr int32_t kHistoryOrdersGet = 141;
constexpr int32_t kHistoryOrdersGetByPosition = 142;
constexpr int32_t kHistoryOrderGetByTicket = 143;
constexpr int32_t kHistoryDealsTotal = 150;
constexpr int32_t kHistoryDealsGet = 151;
constexpr int32_t kHistoryDealsGetByPosition = 152;
constexpr int32_t kHistoryDealGetByTicket = 153;
constexpr int32_t kOrderCheck = 160;
constexpr int32_t kOrderSend = 161;
constexpr int32_t kOrderCalcMargin = 162;
constexpr int32_t kOrderCalcProfit = 163;
constexpr int32_t kSymbolInfo = 170;
constexpr int32_t kSymbolSelect = 171;
constexpr int32_t kSymbolInfoTick = 172;
constexpr int32_t kSymbolsTotal = 173;
constexpr int32_t kSymbolsGet = 174;
constexpr int32_t kSymbolsGetByGroup = 175;
constexpr int32_t kTerminalInfo = 180;
constexpr int32_t kAccountInfo = 190;
constexpr int32_t kMarketBookAdd = 191;
constexpr int32_t kMarketBookRelease = 192;
constexpr int32_t kMarketBookGet = 193;

}  // namespace orbisyn::cmd
