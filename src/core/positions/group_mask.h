// Group mask lists over symbol names: "EUR*,!*JPY" keeps every name that some plain mask
// matches and no negated mask matches. Plain C++ without Python, so it can be tested alone.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orbisyn {

// Longest mask cut from a list; its 256th unit is dropped.
constexpr size_t kMaskItemUnits = 255;

// True when name matches mask ("*" wildcards, leading "!" ignored). Null gives false.
bool MaskMatch(const char16_t* mask, const char16_t* name);

// True when name passes the comma-separated list. Null gives false.
bool GroupMatch(const char16_t* list, const char16_t* name);

// The three record kinds that carry a symbol field of 32 units.
enum class GroupRecordKind { kPosition, kOrder, kDeal };

struct GroupRecordLayout {
  size_t size;
  size_t symbol_offset;
};

constexpr GroupRecordLayout kGroupRecordLayouts[] = {
    {320, 128},  // position
    {340, 148},  // order
    {300, 108},  // deal
};

constexpr size_t kRecordSymbolUnits = 32;

constexpr const GroupRecordLayout& LayoutOf(GroupRecordKind kind) {
  return kGroupRecordLayouts[static_cast<int>(kind)];
}

// Replaces *records (a malloc'ed array of *count records) by a malloc'ed array of the
// records whose symbol passes list, in their order, and *count by their number.
// Returns 1, or -10000 for a missing argument or a failed allocation (then *records is
// null and *count 0: the received array is gone either way).
int32_t FilterByGroup(const char16_t* list, void** records, uint32_t* count,
                      GroupRecordKind kind);

}  // namespace orbisyn
