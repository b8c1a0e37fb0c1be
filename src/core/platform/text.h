// UTF-16 <-> UTF-8 conversions for paths and messages (no locale involved).
#pragma once

#include <cstddef>
#include <cstdint>

namespace orbisyn {

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
