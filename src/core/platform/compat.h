// Compiler differences, in one place: everything else is standard C++17.
#pragma once

#if defined(__GNUC__) || defined(__clang__)
#define ORBISYN_PRINTF(format_index, first_arg) \
  __attribute__((format(printf, format_index, first_arg)))
#else
#define ORBISYN_PRINTF(format_index, first_arg)
#endif

#include <cstdint>
#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#endif

namespace orbisyn {

// Index of the lowest set bit of v (v != 0).
inline unsigned LowestBit(uint64_t v) {
#if defined(_MSC_VER) && !defined(__clang__)
  unsigned long index;
  _BitScanForward64(&index, v);
  return static_cast<unsigned>(index);
#else
  return static_cast<unsigned>(__builtin_ctzll(v));
#endif
}

}  // namespace orbisyn
