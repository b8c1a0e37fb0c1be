// Runs the group mask matcher on cases read from stdin and writes one result byte per case.
//   'M' mask name   -> '1'/'0' for MaskMatch
//   'G' list name   -> '1'/'0' for GroupMatch
//   'N'             -> '1' when the null, empty-array and compaction rules hold, else '0'
// Texts are a uint32 unit count followed by the UTF-16LE units.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
  const char16_t name[] = u"EURUSD";
  const orbisyn::GroupRecordLayout deal = {300, 108};
  alignas(8) uint8_t block[2 * 300] = {};
  std::memcpy(block + 108, name, sizeof name - 2);
  std::memcpy(block + 300 + 108, u"GBPUSD", sizeof name - 2);
  block[299] = 1;
  return !orbisyn::MaskMatch(nullptr, name) && !orbisyn::MaskMatch(u"*", nullptr) &&
         !orbisyn::GroupMatch(nullptr, name) && !orbisyn::GroupMatch(u"*", nullptr) &&
         FilterByGroup(nullptr, block, 2, deal) == 0 && FilterByGroup(u"*", nullptr, 2, deal) == 0 &&
         FilterByGroup(u"*", block, 0, deal) == 0 &&
         // the kept record moves to the front, whole
         FilterByGroup(u"GBP*", block, 2, deal) == 1 &&
         std::memcmp(block + 108, u"GBPUSD", sizeof name - 2) == 0 && block[299] == 0;
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
