#include "positions/group_mask.h"

#include <cstdlib>
#include <cstring>

namespace orbisyn {

namespace {

constexpr char16_t kStar = u'*';
constexpr char16_t kNot = u'!';
constexpr char16_t kComma = u',';
constexpr char16_t kSpace = u' ';
constexpr int32_t kFilterFailed = -10000;

}  // namespace

// The name position only ever moves forward: after a failed partial match the search
// resumes at the unit that failed, which keeps the cost linear in both lengths.
bool MaskMatch(const char16_t* mask, const char16_t* name) {
  if (!mask || !name) return false;
  const char16_t* m = mask;
  const char16_t* n = name;
  bool star = false;
  const char16_t* restart = nullptr;

  while (*m == kNot) ++m;
  if (*m == kStar) {
    while (*m == kStar) ++m;
    star = true;
    restart = m;
  }
  if (*n == 0) return *m == 0;

  for (;;) {
    if (*m == 0) return true;  // only "!" and one run of "*": every name
    if (*m != *n) {
      if (!star) return false;
      if (*++n == 0) return false;
      continue;
    }
    bool retry = false;
    for (;;) {
      if (*m == kStar || *n == 0) break;
      if (*n != *m) {
        if (!star) return false;
        m = restart;
        retry = true;
        break;
      }
      ++m;
      ++n;
      if (*m == 0) break;
    }
    if (retry) continue;

    if (*m == 0) {
      if (*n == 0) return true;
      if (!star) return false;
      m = restart;  // look for the last segment again, further on
      continue;
    }
    if (*n == 0) {
      while (*m == kStar) ++m;
      return *m == 0;
    }
    while (*m == kStar) ++m;
    star = true;
    restart = m;
    if (*m == 0) return true;
  }
}

bool GroupMatch(const char16_t* list, const char16_t* name) {
  if (!list || !name) return false;
  char16_t item[kMaskItemUnits + 1];
  bool accepted = false;
  const char16_t* p = list;
  for (;;) {
    while (*p == kSpace || *p == kComma) ++p;
    if (*p == 0) break;
    size_t len = 0;
    while (*p != 0 && *p != kComma && len < kMaskItemUnits) item[len++] = *p++;
    const bool last = *p == 0;
    while (len > 0 && item[len - 1] == kSpace) --len;
    item[len] = 0;

    const bool negated = item[0] == kNot;
    // A plain mask cannot change an accepted name: skip its match.
    if (negated || !accepted) {
      if (MaskMatch(item, name)) {
        if (negated) return false;
        accepted = true;
      }
    }
    if (last) break;
    ++p;  // the comma, or the unit after 255 copied ones
  }
  return accepted;
}

int32_t FilterByGroup(const char16_t* list, void** records, uint32_t* count,
                      GroupRecordKind kind) {
  if (!list || !records || !count) return kFilterFailed;
  if (*count == 0) return 1;
  if (!*records) return kFilterFailed;
  const GroupRecordLayout& layout = LayoutOf(kind);
  const size_t n = *count;
  auto* kept = static_cast<uint8_t*>(std::malloc(n * layout.size));
  uint32_t kept_count = 0;
  if (kept) {
    const auto* src = static_cast<const uint8_t*>(*records);
    // The field may lack its terminator: match a terminated copy, never past the record.
    char16_t symbol[kRecordSymbolUnits + 1];
    symbol[kRecordSymbolUnits] = 0;
    for (size_t i = 0; i < n; ++i) {
      const uint8_t* rec = src + i * layout.size;
      std::memcpy(symbol, rec + layout.symbol_offset, kRecordSymbolUnits * sizeof(char16_t));
      if (GroupMatch(list, symbol)) {
        std::memcpy(kept + size_t{kept_count} * layout.size, rec, layout.size);
        ++kept_count;
      }
    }
  }
  std::free(*records);
  *records = kept;
  *count = kept_count;
  return kept ? 1 : kFilterFailed;
}

}  // namespace orbisyn
