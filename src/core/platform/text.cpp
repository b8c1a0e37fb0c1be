#include "platform/text.h"

namespace orbisyn {

size_t Utf16ToUtf8(const char16_t* text, size_t units, char* out, size_t capacity) {
  if (capacity == 0) return SIZE_MAX;
  size_t used = 0;
  for (size_t i = 0; i < units; ++i) {
    uint32_t cp = text[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < units && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    char buf[4];
    size_t n;
    if (cp < 0x80) {
      buf[0] = static_cast<char>(cp);
      n = 1;
    } else if (cp < 0x800) {
      buf[0] = static_cast<char>(0xC0 | (cp >> 6));
      buf[1] = static_cast<char>(0x80 | (cp & 0x3F));
      n = 2;
    } else if (cp < 0x10000) {
      buf[0] = static_cast<char>(0xE0 | (cp >> 12));
      buf[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      buf[2] = static_cast<char>(0x80 | (cp & 0x3F));
      n = 3;
    } else {
      buf[0] = static_cast<char>(0xF0 | (cp >> 18));
      buf[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      buf[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      buf[3] = static_cast<char>(0x80 | (cp & 0x3F));
      n = 4;
    }
    if (used + n >= capacity) {
      out[used] = '\0';
      return SIZE_MAX;
    }
    for (size_t k = 0; k < n; ++k) out[used++] = buf[k];
  }
  out[used] = '\0';
  return used;
}

size_t Utf8ToUtf16(const char* text, char16_t* out, size_t capacity) {
  if (capacity == 0) return SIZE_MAX;
  const auto* s = reinterpret_cast<const unsigned char*>(text);
  size_t used = 0;
  while (*s) {
    uint32_t cp;
    size_t extra;
    if (*s < 0x80) {
      cp = *s;
      extra = 0;
    } else if ((*s & 0xE0) == 0xC0) {
      cp = *s & 0x1F;
      extra = 1;
    } else if ((*s & 0xF0) == 0xE0) {
      cp = *s & 0x0F;
      extra = 2;
    } else if ((*s & 0xF8) == 0xF0) {
      cp = *s & 0x07;
      extra = 3;
    } else {
      cp = 0xFFFD;
      extra = 0;
    }
    ++s;
    for (size_t k = 0; k < extra; ++k) {
      if ((*s & 0xC0) != 0x80) {
        cp = 0xFFFD;
        break;
      }
      cp = (cp << 6) | (*s++ & 0x3F);
    }
    size_t need = cp >= 0x10000 ? 2 : 1;
    if (used + need >= capacity) {
      out[used] = 0;
      return SIZE_MAX;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out[used++] = static_cast<char16_t>(0xD800 + (cp >> 10));
      out[used++] = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out[used++] = static_cast<char16_t>(cp);
    }
  }
  out[used] = 0;
  return used;
}

}  // namespace orbisyn
