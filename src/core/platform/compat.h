// Compiler differences between GCC/Clang and MSVC, in one place. Everything else in the
// core is plain C++17 and includes this header where it needs one of these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <type_traits>

// printf-style checking of a member function's format (the implicit this counts as 1).
#if defined(__GNUC__) || defined(__clang__)
#define ORBISYN_PRINTF_FORMAT(format_index, first_arg) \
  __attribute__((format(printf, format_index, first_arg)))
#else
#define ORBISYN_PRINTF_FORMAT(format_index, first_arg)
#endif

// Packing of wire records: `#pragma pack(push, 1)` / `#pragma pack(pop)` is understood by
// GCC, Clang and MSVC alike; records check their sizes with static_assert.

// ssize_t is POSIX; MSVC has only SSIZE_T in its own headers.
#if defined(_MSC_VER) && !defined(__clang__)
using ssize_t = std::make_signed_t<size_t>;
#else
#include <sys/types.h>
#endif

// The overflow helpers use the compiler's builtins where there are some; tests define
// ORBISYN_PORTABLE_OVERFLOW to run the portable branch (MSVC's) under GCC too.
#if (defined(__GNUC__) || defined(__clang__)) && !defined(ORBISYN_PORTABLE_OVERFLOW)
#define ORBISYN_OVERFLOW_BUILTINS 1
#endif

namespace orbisyn {

// *out = a * b; true when the exact product does not fit (then *out holds the wrapped value).
template <class T>
inline bool MulOverflow(T a, T b, T* out) {
#ifdef ORBISYN_OVERFLOW_BUILTINS
  return __builtin_mul_overflow(a, b, out);
#else
  // Narrower types would be promoted to int, where the wrapped product is undefined.
  static_assert(std::is_integral_v<T> && sizeof(T) >= sizeof(int), "int to 64-bit integers");
  using U = std::make_unsigned_t<T>;
  *out = static_cast<T>(static_cast<U>(a) * static_cast<U>(b));
  if (a == 0 || b == 0) return false;
  if constexpr (std::is_signed_v<T>) {
    // Overflow exactly when dividing back does not give the other factor, or for the one
    // quotient that division itself cannot represent.
    if (a == -1) return b == std::numeric_limits<T>::min();
    if (b == -1) return a == std::numeric_limits<T>::min();
  }
  return *out / b != a;
#endif
}

// *out = a + b; true when the exact sum does not fit.
template <class T>
inline bool AddOverflow(T a, T b, T* out) {
#ifdef ORBISYN_OVERFLOW_BUILTINS
  return __builtin_add_overflow(a, b, out);
#else
  static_assert(std::is_integral_v<T> && sizeof(T) >= sizeof(int), "int to 64-bit integers");
  using U = std::make_unsigned_t<T>;
  *out = static_cast<T>(static_cast<U>(a) + static_cast<U>(b));
  if constexpr (std::is_signed_v<T>) {
    return (a >= 0) == (b >= 0) && (*out >= 0) != (a >= 0);
  } else {
    return *out < a;
  }
#endif
}

}  // namespace orbisyn
