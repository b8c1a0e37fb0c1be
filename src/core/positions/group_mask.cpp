#include "positions/group_mask.h"

#include <cstring>

#include "platform/text.h"

namespace orbisyn {

namespace {

constexpr char16_t kStar = u'*';
constexpr char16_t kNot = u'!';
constexpr char16_t kComma = u',';
constexpr char16_t kSpace = u' ';

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

namespace {

// Verdicts of the names seen so far in one filter run, keyed on their units.
class Verdicts {
 public:
  explicit Verdicts(const char16_t* list) : list_(list) {}

  bool Passes(const uint8_t* field) {
    FieldKey key;
    key.Load(field, kRecordSymbolUnits);
    for (uint32_t probe = 0; probe < kSlots; ++probe) {
      Slot& s = slots_[(key.hash + probe) & (kSlots - 1)];
      if (!s.used) {
        if (used_ >= kSlots / 2) break;  // half full is full: keep the probes short
        ++used_;
        s.used = true;
        s.key = key;
        s.passes = Match(key);
        return s.passes;
      }
      if (s.key == key) return s.passes;
    }
    return Match(key);
  }

 private:
  bool Match(const FieldKey& key) const {
    char16_t name[kRecordSymbolUnits + 1];
    key.CopyTo(name);
    return GroupMatch(list_, name);
  }

  static constexpr uint32_t kSlots = 256;
  struct Slot {
    bool used = false;
    bool passes = false;
    FieldKey key;
  };
  const char16_t* list_;
  uint32_t used_ = 0;
  Slot slots_[kSlots];
};

static_assert(kRecordSymbolUnits == FieldKey::kMaxUnits, "a symbol field is one key");

}  // namespace

uint32_t SelectByGroup(const char16_t* list, const void* block, uint32_t count,
                       const GroupRecordLayout& layout, uint32_t* kept) {
  if (!list || !block || !kept) return 0;
  Verdicts verdicts(list);
  const auto* records = static_cast<const uint8_t*>(block) + layout.symbol_offset;
  uint32_t n = 0;
  for (uint32_t i = 0; i < count; ++i) {
    if (verdicts.Passes(records + size_t{i} * layout.size)) kept[n++] = i;
  }
  return n;
}

}  // namespace orbisyn
