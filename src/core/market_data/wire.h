// Bar and tick records: the same 60 bytes on the wire and in the numpy arrays.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orbisyn {

#pragma pack(push, 1)
struct BarRecord {
  int64_t time;
  double open;
  double high;
  double low;
  double close;
  uint64_t tick_volume;
  int32_t spread;
  uint64_t real_volume;
};

struct TickRecord {
  int64_t time;
  double bid;
  double ask;
  double last;
  uint64_t volume;
  int64_t time_msc;
  uint32_t flags;
  double volume_real;
};
#pragma pack(pop)

static_assert(sizeof(BarRecord) == 60, "bar record is 60 bytes");
static_assert(offsetof(BarRecord, spread) == 48 && offsetof(BarRecord, real_volume) == 52,
              "bar record layout");
static_assert(sizeof(TickRecord) == 60, "tick record is 60 bytes");
static_assert(offsetof(TickRecord, flags) == 48 && offsetof(TickRecord, volume_real) == 52,
              "tick record layout");

}  // namespace orbisyn
