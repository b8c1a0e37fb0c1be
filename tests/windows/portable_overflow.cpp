// The overflow helpers' portable branch (the one MSVC compiles), built here with GCC so
// that the driver can hold it against the compiler's builtins. A namespace of its own
// keeps it apart from the builtin-based copy that the rest of the program uses.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <type_traits>

#include <sys/types.h>

#define ORBISYN_PORTABLE_OVERFLOW 1
namespace portable_copy {
#include "platform/compat.h"
}  // namespace portable_copy

namespace portable {
using portable_copy::orbisyn::AddOverflow;
using portable_copy::orbisyn::MulOverflow;
bool Mul(int32_t a, int32_t b, int32_t* out) { return MulOverflow(a, b, out); }
bool Mul(int64_t a, int64_t b, int64_t* out) { return MulOverflow(a, b, out); }
bool Mul(uint32_t a, uint32_t b, uint32_t* out) { return MulOverflow(a, b, out); }
bool Mul(uint64_t a, uint64_t b, uint64_t* out) { return MulOverflow(a, b, out); }
bool Add(int32_t a, int32_t b, int32_t* out) { return AddOverflow(a, b, out); }
bool Add(int64_t a, int64_t b, int64_t* out) { return AddOverflow(a, b, out); }
bool Add(uint32_t a, uint32_t b, uint32_t* out) { return AddOverflow(a, b, out); }
bool Add(uint64_t a, uint64_t b, uint64_t* out) { return AddOverflow(a, b, out); }
}  // namespace portable
