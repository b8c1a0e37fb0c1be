// Record types of open positions, orders (active and historical) and deals.
#include "module/records.h"
#include "positions/wire.h"

namespace orbisyn {

namespace {

constexpr Field kTradePositionRows[] = {
    ORBISYN_FIELD(PositionRecord, ticket),
    ORBISYN_FIELD(PositionRecord, time),
    ORBISYN_FIELD(PositionRecord, time_msc),
    ORBISYN_FIELD(PositionRecord, time_update),
    ORBISYN_FIELD(PositionRecord, time_update_msc),
    ORBISYN_FIELD(PositionRecord, type),
    ORBISYN_FIELD(PositionRecord, magic),
    ORBISYN_FIELD(PositionRecord, identifier),
    ORBISYN_FIELD(PositionRecord, reason),
    ORBISYN_FIELD(PositionRecord, volume),
    ORBISYN_FIELD(PositionRecord, price_open),
    ORBISYN_FIELD(PositionRecord, sl),
    ORBISYN_FIELD(PositionRecord, tp),
    ORBISYN_FIELD(PositionRecord, price_current),
    ORBISYN_FIELD(PositionRecord, swap),
    ORBISYN_FIELD(PositionRecord, profit),
    ORBISYN_FIELD(PositionRecord, symbol),
    ORBISYN_FIELD(PositionRecord, comment),
    ORBISYN_FIELD(PositionRecord, external_id),
};
// The 8 bytes at offset 104 are not part of TradePosition.
static_assert(Tiles(kTradePositionRows, sizeof(PositionRecord), sizeof(PositionRecord::unused)),
              "every other byte is a field");

constexpr Field kTradeOrderRows[] = {
    ORBISYN_FIELD(OrderRecord, ticket),
    ORBISYN_FIELD(OrderRecord, time_setup),
    ORBISYN_FIELD(OrderRecord, time_setup_msc),
    ORBISYN_FIELD(OrderRecord, time_done),
    ORBISYN_FIELD(OrderRecord, time_done_msc),
    ORBISYN_FIELD(OrderRecord, time_expiration),
    ORBISYN_FIELD(OrderRecord, type),
    ORBISYN_FIELD(OrderRecord, type_time),
    ORBISYN_FIELD(OrderRecord, type_filling),
    ORBISYN_FIELD(OrderRecord, state),
    ORBISYN_FIELD(OrderRecord, magic),
    ORBISYN_FIELD(OrderRecord, position_id),
    ORBISYN_FIELD(OrderRecord, position_by_id),
    ORBISYN_FIELD(OrderRecord, reason),
    ORBISYN_FIELD(OrderRecord, volume_initial),
    ORBISYN_FIELD(OrderRecord, volume_current),
    ORBISYN_FIELD(OrderRecord, price_open),
    ORBISYN_FIELD(OrderRecord, sl),
    ORBISYN_FIELD(OrderRecord, tp),
    ORBISYN_FIELD(OrderRecord, price_current),
    ORBISYN_FIELD(OrderRecord, price_stoplimit),
    ORBISYN_FIELD(OrderRecord, symbol),
    ORBISYN_FIELD(OrderRecord, comment),
    ORBISYN_FIELD(OrderRecord, external_id),
};
static_assert(Tiles(kTradeOrderRows, sizeof(OrderRecord)), "every byte is a field");

constexpr Field kTradeDealRows[] = {
    ORBISYN_FIELD(DealRecord, ticket),
    ORBISYN_FIELD(DealRecord, order),
    ORBISYN_FIELD(DealRecord, time),
    ORBISYN_FIELD(DealRecord, time_msc),
    ORBISYN_FIELD(DealRecord, type),
    ORBISYN_FIELD(DealRecord, entry),
    ORBISYN_FIELD(DealRecord, magic),
    ORBISYN_FIELD(DealRecord, position_id),
    ORBISYN_FIELD(DealRecord, reason),
    ORBISYN_FIELD(DealRecord, volume),
    ORBISYN_FIELD(DealRecord, price),
    ORBISYN_FIELD(DealRecord, commission),
    ORBISYN_FIELD(DealRecord, swap),
    ORBISYN_FIELD(DealRecord, profit),
    ORBISYN_FIELD(DealRecord, fee),
    ORBISYN_FIELD(DealRecord, symbol),
    ORBISYN_FIELD(DealRecord, comment),
    ORBISYN_FIELD(DealRecord, external_id),
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
