// Trade request and result records as they travel on the pipe.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orbisyn {

constexpr size_t kRequestTextUnits = 32;  // symbol and comment of a trade request
constexpr size_t kResultCommentUnits = 100;

#pragma pack(push, 1)
struct TradeRequestRecord {
  uint32_t action;
  uint64_t magic;
  uint64_t order;
  char16_t symbol[kRequestTextUnits];
  double volume;
  double price;
  double stoplimit;
  double sl;
  double tp;
  uint64_t deviation;
  uint32_t type;
  uint32_t type_filling;
  uint32_t type_time;
  int64_t expiration;
  char16_t comment[kRequestTextUnits];
  uint64_t position;
  uint64_t position_by;
};

struct CheckResultRecord {
  uint32_t retcode;
  double balance;
  double equity;
  double profit;
  double margin;
  double margin_free;
  double margin_level;
  char16_t comment[kResultCommentUnits];
};

struct SendResultRecord {
  uint32_t retcode;
  uint64_t deal;
  uint64_t order;
  double volume;
  double price;
  double bid;
  double ask;
  char16_t comment[kResultCommentUnits];
  uint32_t request_id;
  int32_t retcode_external;
};
#pragma pack(pop)

static_assert(sizeof(TradeRequestRecord) == 232, "trade request record is 232 bytes");
static_assert(offsetof(TradeRequestRecord, magic) == 4 &&
                  offsetof(TradeRequestRecord, order) == 12 &&
                  offsetof(TradeRequestRecord, symbol) == 20 &&
                  offsetof(TradeRequestRecord, volume) == 84 &&
                  offsetof(TradeRequestRecord, tp) == 116 &&
                  offsetof(TradeRequestRecord, deviation) == 124 &&
                  offsetof(TradeRequestRecord, type) == 132 &&
                  offsetof(TradeRequestRecord, type_time) == 140 &&
                  offsetof(TradeRequestRecord, expiration) == 144 &&
                  offsetof(TradeRequestRecord, comment) == 152 &&
                  offsetof(TradeRequestRecord, position) == 216 &&
                  offsetof(TradeRequestRecord, position_by) == 224,
              "trade request record layout");
static_assert(sizeof(CheckResultRecord) == 252, "check result record is 252 bytes");
static_assert(offsetof(CheckResultRecord, balance) == 4 &&
                  offsetof(CheckResultRecord, margin_level) == 44 &&
                  offsetof(CheckResultRecord, comment) == 52,
              "check result record layout");
static_assert(sizeof(SendResultRecord) == 260, "send result record is 260 bytes");
static_assert(offsetof(SendResultRecord, deal) == 4 && offsetof(SendResultRecord, ask) == 44 &&
                  offsetof(SendResultRecord, comment) == 52 &&
                  offsetof(SendResultRecord, request_id) == 252 &&
                  offsetof(SendResultRecord, retcode_external) == 256,
              "send result record layout");

}  // namespace orbisyn
