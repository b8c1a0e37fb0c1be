// Group mask lists over symbol names: "EUR*,!*JPY" keeps every name that some plain mask
// matches and no negated mask matches.
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

// Where the 32-unit symbol field lies in a record of size bytes.
struct GroupRecordLayout {
  size_t size;
  size_t symbol_offset;
};

constexpr size_t kRecordSymbolUnits = 32;

// Writes the indices of the records of block (count records of layout.size bytes) whose
// symbol passes list into kept (room for count), in their order, and returns how many.
// Each distinct symbol is matched once: records of one symbol share the answer.
uint32_t SelectByGroup(const char16_t* list, const void* block, uint32_t count,
                       const GroupRecordLayout& layout, uint32_t* kept);

}  // namespace orbisyn
