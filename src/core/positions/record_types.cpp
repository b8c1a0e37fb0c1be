// Field lists of the record types returned by this subsystem, and where each field lies in
// its wire record. Names and specs are kept in the same order, one line each.
#include "positions/records.h"

namespace orbisyn {

namespace {

constexpr uint32_t kTextUnits = 32;

constexpr FieldSpec U64(size_t offset) { return {static_cast<uint32_t>(offset), FieldKind::kUInt64, 0}; }
constexpr FieldSpec I64(size_t offset) { return {static_cast<uint32_t>(offset), FieldKind::kInt64, 0}; }
constexpr FieldSpec U32(size_t offset) { return {static_cast<uint32_t>(offset), FieldKind::kUInt32, 0}; }
constexpr FieldSpec F64(size_t offset) { return {static_cast<uint32_t>(offset), FieldKind::kDouble, 0}; }
constexpr FieldSpec Text(size_t offset) {
  return {static_cast<uint32_t>(offset), FieldKind::kText, kTextUnits};
}

}  // namespace

PyStructSequence_Field kTradePositionFields[] = {
    {"ticket", nullptr},
    {"time", nullptr},
    {"time_msc", nullptr},
    {"time_update", nullptr},
    {"time_update_msc", nullptr},
    {"type", nullptr},
    {"magic", nullptr},
    {"identifier", nullptr},
    {"reason", nullptr},
    {"volume", nullptr},
    {"price_open", nullptr},
    {"sl", nullptr},
    {"tp", nullptr},
    {"price_current", nullptr},
    {"swap", nullptr},
    {"profit", nullptr},
    {"symbol", nullptr},
    {"comment", nullptr},
    {"external_id", nullptr},
    {nullptr, nullptr},
};
PyStructSequence_Desc kTradePositionDesc = {"TradePosition", "Trade position structure",
                                            kTradePositionFields, kTradePositionFieldCount};

const FieldSpec kTradePositionSpecs[kTradePositionFieldCount] = {
    U64(offsetof(PositionRecord, ticket)),
    I64(offsetof(PositionRecord, time)),
    I64(offsetof(PositionRecord, time_msc)),
    I64(offsetof(PositionRecord, time_update)),
    I64(offsetof(PositionRecord, time_update_msc)),
    U32(offsetof(PositionRecord, type)),
    U64(offsetof(PositionRecord, magic)),
    U64(offsetof(PositionRecord, identifier)),
    U32(offsetof(PositionRecord, reason)),
    F64(offsetof(PositionRecord, volume)),
    F64(offsetof(PositionRecord, price_open)),
    F64(offsetof(PositionRecord, sl)),
    F64(offsetof(PositionRecord, tp)),
    F64(offsetof(PositionRecord, price_current)),
    F64(offsetof(PositionRecord, swap)),
    F64(offsetof(PositionRecord, profit)),
    Text(offsetof(PositionRecord, symbol)),
    Text(offsetof(PositionRecord, comment)),
    Text(offsetof(PositionRecord, external_id)),
};

PyStructSequence_Field kTradeOrderFields[] = {
    {"ticket", nullptr},
    {"time_setup", nullptr},
    {"time_setup_msc", nullptr},
    {"time_done", nullptr},
    {"time_done_msc", nullptr},
    {"time_expiration", nullptr},
    {"type", nullptr},
    {"type_time", nullptr},
    {"type_filling", nullptr},
    {"state", nullptr},
    {"magic", nullptr},
    {"position_id", nullptr},
    {"position_by_id", nullptr},
    {"reason", nullptr},
    {"volume_initial", nullptr},
    {"volume_current", nullptr},
    {"price_open", nullptr},
    {"sl", nullptr},
    {"tp", nullptr},
    {"price_current", nullptr},
    {"price_stoplimit", nullptr},
    {"symbol", nullptr},
    {"comment", nullptr},
    {"external_id", nullptr},
    {nullptr, nullptr},
};
PyStructSequence_Desc kTradeOrderDesc = {"TradeOrder", "Trade order structure", kTradeOrderFields,
                                         kTradeOrderFieldCount};

const FieldSpec kTradeOrderSpecs[kTradeOrderFieldCount] = {
    U64(offsetof(OrderRecord, ticket)),
    I64(offsetof(OrderRecord, time_setup)),
    I64(offsetof(OrderRecord, time_setup_msc)),
    I64(offsetof(OrderRecord, time_done)),
    I64(offsetof(OrderRecord, time_done_msc)),
    I64(offsetof(OrderRecord, time_expiration)),
    U32(offsetof(OrderRecord, type)),
    U32(offsetof(OrderRecord, type_time)),
    U32(offsetof(OrderRecord, type_filling)),
    U32(offsetof(OrderRecord, state)),
    U64(offsetof(OrderRecord, magic)),
    U64(offsetof(OrderRecord, position_id)),
    U64(offsetof(OrderRecord, position_by_id)),
    U32(offsetof(OrderRecord, reason)),
    F64(offsetof(OrderRecord, volume_initial)),
    F64(offsetof(OrderRecord, volume_current)),
    F64(offsetof(OrderRecord, price_open)),
    F64(offsetof(OrderRecord, sl)),
    F64(offsetof(OrderRecord, tp)),
    F64(offsetof(OrderRecord, price_current)),
    F64(offsetof(OrderRecord, price_stoplimit)),
    Text(offsetof(OrderRecord, symbol)),
    Text(offsetof(OrderRecord, comment)),
    Text(offsetof(OrderRecord, external_id)),
};

PyStructSequence_Field kTradeDealFields[] = {
    {"ticket", nullptr},
    {"order", nullptr},
    {"time", nullptr},
    {"time_msc", nullptr},
    {"type", nullptr},
    {"entry", nullptr},
    {"magic", nullptr},
    {"position_id", nullptr},
    {"reason", nullptr},
    {"volume", nullptr},
    {"price", nullptr},
    {"commission", nullptr},
    {"swap", nullptr},
    {"profit", nullptr},
    {"fee", nullptr},
    {"symbol", nullptr},
    {"comment", nullptr},
    {"external_id", nullptr},
    {nullptr, nullptr},
};
PyStructSequence_Desc kTradeDealDesc = {"TradeDeal", "Trade deal structure", kTradeDealFields,
                                        kTradeDealFieldCount};

const FieldSpec kTradeDealSpecs[kTradeDealFieldCount] = {
    U64(offsetof(DealRecord, ticket)),
    U64(offsetof(DealRecord, order)),
    I64(offsetof(DealRecord, time)),
    I64(offsetof(DealRecord, time_msc)),
    U32(offsetof(DealRecord, type)),
    U32(offsetof(DealRecord, entry)),
    U64(offsetof(DealRecord, magic)),
    U64(offsetof(DealRecord, position_id)),
    U32(offsetof(DealRecord, reason)),
    F64(offsetof(DealRecord, volume)),
    F64(offsetof(DealRecord, price)),
    F64(offsetof(DealRecord, commission)),
    F64(offsetof(DealRecord, swap)),
    F64(offsetof(DealRecord, profit)),
    F64(offsetof(DealRecord, fee)),
    Text(offsetof(DealRecord, symbol)),
    Text(offsetof(DealRecord, comment)),
    Text(offsetof(DealRecord, external_id)),
};

static_assert(sizeof kTradePositionFields / sizeof kTradePositionFields[0] ==
                  kTradePositionFieldCount + 1,
              "one name per TradePosition field");
static_assert(sizeof kTradeOrderFields / sizeof kTradeOrderFields[0] == kTradeOrderFieldCount + 1,
              "one name per TradeOrder field");
static_assert(sizeof kTradeDealFields / sizeof kTradeDealFields[0] == kTradeDealFieldCount + 1,
              "one name per TradeDeal field");

}  // namespace orbisyn
