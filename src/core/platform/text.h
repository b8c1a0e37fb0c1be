// UTF-16 <-> UTF-8 conversions for paths and messages (no locale involved).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/compat.h"

namespace orbisyn {

// Units before the first zero unit among the at most max UTF-16 units at `at` (a packed
// record field: any alignment, maybe without terminator). Four units at a time.
inline uint32_t FieldUnits(const uint8_t* at, uint32_t max) {
  uint32_t n = 0;
  for (; n + 4 <= max; n += 4) {
    uint64_t w;
    std::memcpy(&w, at + 2 * n, sizeof w);
    // The lowest set bit marks the first zero unit (borrows only reach later units).
    const uint64_t zero = (w - 0x0001000100010001ull) & ~w & 0x8000800080008000ull;
    if (zero) return n + (LowestBit(zero) >> 4);
  }
  while (n < max && (at[2 * n] | at[2 * n + 1]) != 0) ++n;
  return n;
}

// A short text field (at most 32 units) as the key of a lookup table: its units before
// the terminator, as little-endian words with the rest zeroed, and their hash.
struct FieldKey {
  static constexpr uint32_t kMaxUnits = 32;
  uint32_t units;
  uint32_t words;
  uint64_t hash;
  uint64_t w[kMaxUnits / 4];

  // Reads the field of max (<= kMaxUnits) units at `at`; one pass, four units at a time.
  void Load(const uint8_t* at, uint32_t max) {
    uint64_t h = 0;
    uint32_t n = 0;
    words = 0;
    for (; n + 4 <= max; n += 4) {
      uint64_t v;
      std::memcpy(&v, at + 2 * n, sizeof v);
      const uint64_t zero = (v - 0x0001000100010001ull) & ~v & 0x8000800080008000ull;
      if (zero) {
        const unsigned lane = LowestBit(zero) >> 4;
        if (lane) {
          v &= (uint64_t{1} << (16 * lane)) - 1;
          w[words++] = v;
          h = (h ^ v) * 0x9E3779B97F4A7C15ull;
        }
        Finish(h, n + lane);
        return;
      }
      w[words++] = v;
      h = (h ^ v) * 0x9E3779B97F4A7C15ull;
    }
    if (n < max) {
      uint64_t v = 0;
      uint32_t lane = 0;
      for (; n + lane < max; ++lane) {
        const uint64_t unit = uint64_t{at[2 * (n + lane)]} | uint64_t{at[2 * (n + lane) + 1]} << 8;
        if (unit == 0) break;
        v |= unit << (16 * lane);
      }
      if (lane) {
        w[words++] = v;
        h = (h ^ v) * 0x9E3779B97F4A7C15ull;
      }
      n += lane;
    }
    Finish(h, n);
  }

  bool operator==(const FieldKey& other) const {
    if (units != other.units) return false;
    for (uint32_t i = 0; i < words; ++i) {
      if (w[i] != other.w[i]) return false;
    }
    return true;
  }

  // The units, terminated, into out (kMaxUnits + 1 units).
  void CopyTo(char16_t* out) const {
    std::memcpy(out, w, 2 * units);
    out[units] = 0;
  }

 private:
  void Finish(uint64_t h, uint32_t n) {
    units = n;
    h ^= n;
    hash = h ^ (h >> 32);
  }
};

// Converts units UTF-16 units to UTF-8 into out (capacity bytes, always terminated when
// capacity > 0). Lone surrogates become U+FFFD. Returns the bytes written without the
// terminator, or SIZE_MAX when the result did not fit (out then holds a cut prefix that
// ends on a character boundary).
size_t Utf16ToUtf8(const char16_t* text, size_t units, char* out, size_t capacity);

// Converts NUL-terminated UTF-8 to UTF-16 into out (capacity units, always terminated when
// capacity > 0). Invalid bytes become U+FFFD. Returns the units written, or SIZE_MAX when
// the result did not fit.
size_t Utf8ToUtf16(const char* text, char16_t* out, size_t capacity);

}  // namespace orbisyn
