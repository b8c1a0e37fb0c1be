// Wire records of open positions, orders (active and historical) and deals.
#pragma once

#include <cstddef>
#include <cstdint>

#include "positions/group_mask.h"

namespace orbisyn {

#pragma pack(push, 1)
struct PositionRecord {
  uint64_t ticket;
  int64_t time;
  int64_t time_msc;
  int64_t time_update;
  int64_t time_update_msc;
  uint32_t type;
  uint64_t magic;
  uint64_t identifier;
  uint32_t reason;
  double volume;
  double price_open;
  double sl;
  double tp;
  double price_current;
  uint8_t unused[8];  // sent by the Terminal, not part of TradePosition
  double swap;
  double profit;
  char16_t symbol[32];
  char16_t comment[32];
  char16_t external_id[32];
};

struct OrderRecord {
  uint64_t ticket;
  int64_t time_setup;
  int64_t time_setup_msc;
  int64_t time_done;
  int64_t time_done_msc;
  int64_t time_expiration;
  uint32_t type;
  uint32_t type_time;
  uint32_t type_filling;
  uint32_t state;
  uint64_t magic;
  uint64_t position_id;
  uint64_t position_by_id;
  uint32_t reason;
  double volume_initial;
  double volume_current;
  double price_open;
  double sl;
  double tp;
  double price_current;
  double price_stoplimit;
  char16_t symbol[32];
  char16_t comment[32];
  char16_t external_id[32];
};

struct DealRecord {
  uint64_t ticket;
  uint64_t order;
  int64_t time;
  int64_t time_msc;
  uint32_t type;
  uint32_t entry;
  uint64_t magic;
  uint64_t position_id;
  uint32_t reason;
  double volume;
  double price;
  double commission;
  double swap;
  double profit;
  double fee;
  char16_t symbol[32];
  char16_t comment[32];
  char16_t external_id[32];
};
#pragma pack(pop)

static_assert(sizeof(PositionRecord) == 320, "position record is 320 bytes");
static_assert(offsetof(PositionRecord, magic) == 44 && offsetof(PositionRecord, reason) == 60 &&
                  offsetof(PositionRecord, unused) == 104 && offsetof(PositionRecord, swap) == 112 &&
                  offsetof(PositionRecord, comment) == 192 &&
                  offsetof(PositionRecord, external_id) == 256,
              "position record layout");
static_assert(sizeof(OrderRecord) == 340, "order record is 340 bytes");
static_assert(offsetof(OrderRecord, type) == 48 && offsetof(OrderRecord, reason) == 88 &&
                  offsetof(OrderRecord, volume_initial) == 92 &&
                  offsetof(OrderRecord, price_stoplimit) == 140 &&
                  offsetof(OrderRecord, comment) == 212 &&
                  offsetof(OrderRecord, external_id) == 276,
              "order record layout");
static_assert(sizeof(DealRecord) == 300, "deal record is 300 bytes");
static_assert(offsetof(DealRecord, type) == 32 && offsetof(DealRecord, reason) == 56 &&
                  offsetof(DealRecord, volume) == 60 && offsetof(DealRecord, fee) == 100 &&
                  offsetof(DealRecord, comment) == 172 &&
                  offsetof(DealRecord, external_id) == 236,
              "deal record layout");

// Where the group filter finds each record's symbol.
constexpr GroupRecordLayout kPositionLayout = {sizeof(PositionRecord),
                                               offsetof(PositionRecord, symbol)};
constexpr GroupRecordLayout kOrderLayout = {sizeof(OrderRecord), offsetof(OrderRecord, symbol)};
constexpr GroupRecordLayout kDealLayout = {sizeof(DealRecord), offsetof(DealRecord, symbol)};
static_assert(sizeof(PositionRecord::symbol) == kRecordSymbolUnits * 2 &&
                  sizeof(OrderRecord::symbol) == kRecordSymbolUnits * 2 &&
                  sizeof(DealRecord::symbol) == kRecordSymbolUnits * 2,
              "the filter reads 32-unit symbol fields");

}  // namespace orbisyn
