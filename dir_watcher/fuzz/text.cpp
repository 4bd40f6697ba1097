// Fuzz target: the Linux backend's UTF-8 <-> UTF-16 conversions.
//
// - A Linux name (any bytes) crosses into UTF-16 and comes back out as the
//   same bytes, through the conversion and through native_path.
// - The strict decoding accepts exactly the well-formed UTF-8 and then
//   agrees with the lenient one.
// - Any UTF-16 units are encoded as a plain encoder says: pairs as one code
//   point, U+DC80..U+DCFF as the byte they stand for, other lone surrogates
//   as U+FFFD; with crlf every LF as CR LF.
// - platform_to_utf8 fills an exact-size buffer, terminator included, or
//   fails without writing past it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "linux/emulation.h"

namespace {

void check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "text: %s\n", what);
    std::abort();
  }
}

// True when the bytes are well-formed UTF-8 (the Unicode standard's table
// of well-formed byte sequences).
bool well_formed(const std::string& text) {
  const unsigned char* b = reinterpret_cast<const unsigned char*>(text.data());
  size_t n = text.size();
  auto tail = [&](size_t at) { return at < n && (b[at] & 0xC0) == 0x80; };
  for (size_t i = 0; i < n;) {
    unsigned char c = b[i];
    unsigned char second = i + 1 < n ? b[i + 1] : 0;
    if (c < 0x80) {
      i += 1;
    } else if (c >= 0xC2 && c <= 0xDF && tail(i + 1)) {
      i += 2;
    } else if (c >= 0xE0 && c <= 0xEF && tail(i + 1) && tail(i + 2) && !(c == 0xE0 && second < 0xA0) &&
               !(c == 0xED && second > 0x9F)) {
      i += 3;
    } else if (c >= 0xF0 && c <= 0xF4 && tail(i + 1) && tail(i + 2) && tail(i + 3) && !(c == 0xF0 && second < 0x90) &&
               !(c == 0xF4 && second > 0x8F)) {
      i += 4;
    } else {
      return false;
    }
  }
  return true;
}

void encode(uint32_t c, std::string& out) {
  if (c < 0x80) {
    out += static_cast<char>(c);
    return;
  }
  int extra = c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
  out += static_cast<char>(((0xFF00 >> (extra + 1)) & 0xFF) | (c >> (6 * extra)));
  for (int i = extra - 1; i >= 0; --i) out += static_cast<char>(0x80 | ((c >> (6 * i)) & 0x3F));
}

std::string expected_utf8(const std::u16string& units, bool crlf) {
  std::string out;
  for (size_t i = 0; i < units.size(); ++i) {
    uint32_t c = units[i];
    bool high = c >= 0xD800 && c < 0xDC00;
    if (high && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] < 0xE000)
      encode(0x10000 + ((c - 0xD800) << 10) + (units[++i] - 0xDC00), out);
    else if (c >= 0xDC80 && c < 0xDD00)
      out += static_cast<char>(c - 0xDC00);
    else if (c >= 0xD800 && c < 0xE000)
      encode(0xFFFD, out);
    else if (c == u'\n' && crlf)
      out += "\r\n";
    else
      encode(c, out);
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);

  // Bytes -> UTF-16 -> bytes.
  std::u16string wide;
  check(utf8_to_wide(bytes.data(), bytes.size(), wide, false), "the lenient decoding failed");
  for (size_t i = 0; i < wide.size(); ++i) {
    char16_t unit = wide[i];
    if (unit >= 0xD800 && unit < 0xDC00) {
      check(i + 1 < wide.size() && wide[i + 1] >= 0xDC00 && wide[i + 1] < 0xE000,
            "a decoded high surrogate without its pair");
      ++i;
    } else {
      check(unit < 0xDC00 || unit >= 0xE000 || (unit >= 0xDC80 && unit < 0xDD00),
            "a decoded lone surrogate that stands for no byte");
    }
  }
  std::string back;
  wide_to_utf8(wide.data(), wide.size(), back);
  check(back == bytes, "a name did not come back as its bytes");

  std::u16string strict;
  bool valid = utf8_to_wide(bytes.data(), bytes.size(), strict, true);
  check(valid == well_formed(bytes), "the strict decoding misjudged the bytes");
  check(!valid || strict == wide, "the strict and lenient decodings differ");

  // native_path stops at the first terminator, as every wide text does.
  const std::u16string name = wide.substr(0, wide.find(u'\0'));
  std::string native;
  check(native_path(name.c_str(), native) == bytes.substr(0, bytes.find('\0')),
        "native_path did not give the name's bytes");

  // The same bytes read as UTF-16 units, encoded.
  std::u16string units(size / 2, u'\0');
  std::memcpy(&units[0], data, units.size() * 2);
  std::string encoded;
  wide_to_utf8(units.data(), units.size(), encoded);
  check(encoded == expected_utf8(units, false), "UTF-16 encoded wrongly");
  encoded.clear();
  wide_to_utf8(units.data(), units.size(), encoded, true);
  check(encoded == expected_utf8(units, true), "UTF-16 encoded wrongly with CR LF");

  // platform_to_utf8 into exactly the room it needs, and one byte less.
  const std::u16string line = units.substr(0, units.find(u'\0'));
  const std::string due = expected_utf8(line, false);
  const int room = static_cast<int>(due.size() + 1);
  std::unique_ptr<char[]> out(new char[room]);
  check(platform_to_utf8(line.c_str(), out.get(), room) == room && std::memcmp(out.get(), due.c_str(), room) == 0,
        "platform_to_utf8 gave other bytes");
  check(platform_to_utf8(line.c_str(), out.get(), room - 1) == 0 && platform_last_error() == error_insufficient_buffer,
        "platform_to_utf8 overfilled its buffer");
  return 0;
}
