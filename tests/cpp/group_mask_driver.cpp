// Runs the group mask matcher on cases read from stdin and writes one result byte per case.
//   'M' mask name   -> '1'/'0' for MaskMatch
//   'G' list name   -> '1'/'0' for GroupMatch
//   'N'             -> '1' when the null and empty-array rules hold, else '0'
// Texts are a uint32 unit count followed by the UTF-16LE units.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "positions/group_mask.h"

namespace {

bool ReadText(std::vector<char16_t>* out) {
  uint32_t n = 0;
  if (std::fread(&n, 4, 1, stdin) != 1) return false;
  out->assign(n + 1, 0);
  return n == 0 || std::fread(out->data(), 2, n, stdin) == n;
}

bool NullRules() {
  using orbisyn::FilterByGroup;
  using orbisyn::GroupRecordKind;
  const char16_t name[] = u"EURUSD";
  void* block = std::malloc(300);
  uint32_t count = 1;
  bool ok = !orbisyn::MaskMatch(nullptr, name) && !orbisyn::MaskMatch(u"*", nullptr) &&
            !orbisyn::GroupMatch(nullptr, name) && !orbisyn::GroupMatch(u"*", nullptr) &&
            FilterByGroup(nullptr, &block, &count, GroupRecordKind::kDeal) == -10000 &&
            FilterByGroup(u"*", nullptr, &count, GroupRecordKind::kDeal) == -10000 &&
            FilterByGroup(u"*", &block, nullptr, GroupRecordKind::kDeal) == -10000 &&
            block != nullptr && count == 1;
  void* const before = block;
  count = 0;
  ok = ok && FilterByGroup(u"*", &block, &count, GroupRecordKind::kDeal) == 1 &&
       block == before && count == 0;
  std::free(block);
  return ok;
}

}  // namespace

int main() {
  std::vector<char16_t> a, b;
  int op;
  while ((op = std::fgetc(stdin)) != EOF) {
    bool result = false;
    if (op == 'N') {
      result = NullRules();
    } else {
      if (!ReadText(&a) || !ReadText(&b)) return 2;
      result = op == 'M' ? orbisyn::MaskMatch(a.data(), b.data())
                         : orbisyn::GroupMatch(a.data(), b.data());
    }
    std::fputc(result ? '1' : '0', stdout);
  }
  return 0;
}
