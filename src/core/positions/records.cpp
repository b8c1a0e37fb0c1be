// Record types of open positions, orders (active and historical) and deals.
#include "module/records.h"
#include "protocol/records.h"

namespace orbisyn {

namespace {

constexpr Field kTradePositionRows[] = {
    ORBISYN_ROWS_PositionRecord(ORBISYN_ROW)
};
// The Terminal's unused bytes are not part of TradePosition.
static_assert(Tiles(kTradePositionRows, sizeof(PositionRecord), sizeof(PositionRecord::unused)),
              "every other byte is a field");

constexpr Field kTradeOrderRows[] = {
    ORBISYN_ROWS_OrderRecord(ORBISYN_ROW)
};
static_assert(Tiles(kTradeOrderRows, sizeof(OrderRecord)), "every byte is a field");

constexpr Field kTradeDealRows[] = {
    ORBISYN_ROWS_DealRecord(ORBISYN_ROW)
};
static_assert(Tiles(kTradeDealRows, sizeof(DealRecord)), "every byte is a field");

}  // namespace

const RecordDesc kTradePositionDesc =
    MakeDesc<PositionRecord, kTradePositionRows>("TradePosition", "Trade position structure");
const RecordDesc kTradeOrderDesc =
    MakeDesc<OrderRecord, kTradeOrderRows>("TradeOrder", "Trade order structure");
const RecordDesc kTradeDealDesc =
    MakeDesc<DealRecord, kTradeDealRows>("TradeDeal", "Trade deal structure");

}  // namespace orbisyn
