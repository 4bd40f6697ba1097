// UTF-8 <-> UTF-16 for the Linux backend.
//
// Linux names are bytes; the logic speaks UTF-16.  Bytes that are not UTF-8
// cross into UTF-16 as lone surrogates U+DC80..U+DCFF (Python's
// surrogateescape) and come back out as the same bytes, so a directory with
// such a name can still be named in a batch and opened by the host.

#include "emulation.h"
#include "wide_text.h"

#include <cstring>

constexpr char16_t replacement_character = 0xFFFD;  // what a lone surrogate of any other kind becomes

size_t utf8_decode_one(const unsigned char* b, size_t count, char16_t units[2], int* unit_count) {
  if (count == 0) return 0;
  uint32_t c = b[0];
  size_t need;
  uint32_t min;
  if (c < 0x80) {
    units[0] = static_cast<char16_t>(c);
    *unit_count = 1;
    return 1;
  } else if (c >= 0xC2 && c <= 0xDF) {
    need = 2;
    min = 0x80;
    c &= 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    need = 3;
    min = 0x800;
    c &= 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    need = 4;
    min = 0x10000;
    c &= 0x07;
  } else {
    return 0;
  }
  if (count < need) return 0;
  for (size_t i = 1; i < need; ++i) {
    if ((b[i] & 0xC0) != 0x80) return 0;
    c = (c << 6) | (b[i] & 0x3F);
  }
  // Overlong forms, encoded surrogates and values past U+10FFFF are not UTF-8.
  if (c < min || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) return 0;
  if (c >= 0x10000) {
    c -= 0x10000;
    units[0] = static_cast<char16_t>(0xD800 + (c >> 10));
    units[1] = static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    *unit_count = 2;
  } else {
    units[0] = static_cast<char16_t>(c);
    *unit_count = 1;
  }
  return need;
}

bool utf8_to_wide(const char* bytes, size_t count, std::u16string& out, bool strict) {
  const unsigned char* b = reinterpret_cast<const unsigned char*>(bytes);
  size_t i = 0;
  while (i < count) {
    char16_t units[2];
    int n = 0;
    size_t used = utf8_decode_one(b + i, count - i, units, &n);
    if (used == 0) {
      if (strict) return false;
      out.push_back(static_cast<char16_t>(escape_base + b[i]));
      ++i;
      continue;
    }
    out.append(units, static_cast<size_t>(n));
    i += used;
  }
  return true;
}

static void put_code_point(uint32_t c, std::string& out) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

void wide_to_utf8(const wchar* text, size_t count, std::string& out, bool crlf) {
  for (size_t i = 0; i < count; ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < count && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00u);
      ++i;
    } else if (c >= 0xDC80 && c <= 0xDCFF) {
      out.push_back(static_cast<char>(c - escape_base));
      continue;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = replacement_character;
    } else if (c == '\n' && crlf) {
      out.push_back('\r');
    }
    put_code_point(c, out);
  }
}

size_t utf16_units(const char* bytes, size_t count) {
  const unsigned char* b = reinterpret_cast<const unsigned char*>(bytes);
  size_t units = 0;
  for (size_t i = 0; i < count;) {
    char16_t pair[2];
    int n = 0;
    size_t used = utf8_decode_one(b + i, count - i, pair, &n);
    units += used ? static_cast<size_t>(n) : 1;
    i += used ? used : 1;
  }
  return units;
}

const char* native_path(const wchar* path, std::string& out) {
  out.clear();
  wide_to_utf8(path, wide_length(path), out);
  return out.c_str();
}

int platform_to_utf8(const wchar* text, char* out, int capacity) {
  static std::string bytes;  // reused: called once per changelog line
  bytes.clear();
  wide_to_utf8(text, wide_length(text) + 1, bytes);  // terminator included
  if (capacity < 0 || bytes.size() > static_cast<size_t>(capacity)) {
    set_last_error(error_insufficient_buffer);
    return 0;
  }
  std::memcpy(out, bytes.data(), bytes.size());
  return static_cast<int>(bytes.size());
}

// The runtime library's text for an errno value, decoded as every other
// native text is.
void platform_errno_text(int error, wchar* text, size_t capacity) {
  if (capacity == 0) return;
  std::u16string wide;
  const char* s = strerror(error);
  utf8_to_wide(s, std::strlen(s), wide, false);
  size_t n = wide.size() < capacity - 1 ? wide.size() : capacity - 1;
  std::memcpy(text, wide.data(), n * sizeof(wchar));
  text[n] = 0;
}
