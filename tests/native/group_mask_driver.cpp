// Runs the group mask matcher on cases read from stdin and writes one result byte per case.
//   'M' mask name   -> '1'/'0' for MaskMatch
//   'G' list name   -> '1'/'0' for GroupMatch
//   'N'             -> '1' when the null, empty-array and selection rules hold, else '0'
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
  using orbisyn::SelectByGroup;
  const char16_t name[] = u"EURUSD";
  const orbisyn::GroupRecordLayout deal = {300, 108};
  alignas(8) uint8_t block[3 * 300] = {};
  std::memcpy(block + 108, name, sizeof name - 2);
  std::memcpy(block + 300 + 108, u"GBPUSD", sizeof name - 2);
  std::memcpy(block + 600 + 108, u"GBPJPY", sizeof name - 2);
  uint32_t kept[3] = {9, 9, 9};
  return !orbisyn::MaskMatch(nullptr, name) && !orbisyn::MaskMatch(u"*", nullptr) &&
         !orbisyn::GroupMatch(nullptr, name) && !orbisyn::GroupMatch(u"*", nullptr) &&
         SelectByGroup(nullptr, block, 3, deal, kept) == 0 &&
         SelectByGroup(u"*", nullptr, 3, deal, kept) == 0 &&
         SelectByGroup(u"*", block, 3, deal, nullptr) == 0 &&
         SelectByGroup(u"*", block, 0, deal, kept) == 0 && kept[0] == 9 &&
         // the indices of the kept records, in order
         SelectByGroup(u"GBP*", block, 3, deal, kept) == 2 && kept[0] == 1 && kept[1] == 2;
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
