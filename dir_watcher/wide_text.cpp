// Bounded UTF-16 text operations with the Windows runtime's results.
#include "wide_text.h"

#include <climits>
#include <cstring>

size_t wide_length(const wchar* text) {
  size_t length = 0;
  while (text[length]) ++length;
  return length;
}

int wide_copy(wchar* out, size_t capacity, const void* source, size_t count) {
  if (!out || capacity == 0) return wide_einval;
  if (!source) {
    out[0] = 0;
    return wide_einval;
  }
  const unsigned char* bytes = static_cast<const unsigned char*>(source);
  size_t copied = 0;
  while (copied < count) {
    wchar unit;
    std::memcpy(&unit, bytes + copied * sizeof unit, sizeof unit);
    if (unit == 0) break;
    if (copied + 1 >= capacity) {  // no room left for the terminator
      out[0] = 0;
      return wide_erange;
    }
    out[copied++] = unit;
  }
  out[copied] = 0;
  return 0;
}

int wide_append(wchar* out, size_t capacity, const wchar* text) {
  if (!out || capacity == 0) return wide_einval;
  if (!text) {
    out[0] = 0;
    return wide_einval;
  }
  size_t length = 0;
  while (length < capacity && out[length]) ++length;
  if (length == capacity) {  // `out` was not terminated
    out[0] = 0;
    return wide_einval;
  }
  size_t added = wide_length(text);
  if (added >= capacity - length) {
    out[0] = 0;
    return wide_erange;
  }
  std::memcpy(out + length, text, (added + 1) * sizeof *text);
  return 0;
}

int wide_join(wchar* out, size_t capacity, const wchar* first, wchar separator, const wchar* second) {
  WideWriter writer = wide_writer(out, capacity);
  put_text(writer, first);
  if (separator) put_char(writer, separator);
  put_text(writer, second);
  if (writer.truncated || writer.length > INT_MAX) return -1;
  return static_cast<int>(writer.length);
}

bool wide_cut_at_last(wchar* text, wchar separator) {
  wchar* last = nullptr;
  for (wchar* unit = text; *unit; ++unit)
    if (*unit == separator) last = unit;
  if (!last) return false;
  *last = 0;
  return true;
}

static int fold_ascii(wchar unit) { return (unit >= u'A' && unit <= u'Z') ? unit - u'A' + u'a' : unit; }

int wide_prefix_compare(const wchar* a, const wchar* b, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    int left = fold_ascii(a[i]);
    int right = fold_ascii(b[i]);
    if (left != right) return left - right;
    if (left == 0) return 0;
  }
  return 0;
}

static bool is_blank(wchar unit) { return unit == u' ' || (unit >= u'\t' && unit <= u'\r'); }

int wide_to_int(const wchar* text) {
  while (is_blank(*text)) ++text;
  bool negative = *text == u'-';
  if (*text == u'-' || *text == u'+') ++text;
  // Accumulated as a magnitude that stops growing once out of range.
  const int64_t limit = negative ? -int64_t{INT_MIN} : INT_MAX;
  int64_t magnitude = 0;
  for (; *text >= u'0' && *text <= u'9'; ++text) {
    magnitude = magnitude * 10 + (*text - u'0');
    if (magnitude > limit) return negative ? INT_MIN : INT_MAX;
  }
  return static_cast<int>(negative ? -magnitude : magnitude);
}

WideWriter wide_writer(wchar* out, size_t capacity) {
  if (capacity) out[0] = 0;
  return WideWriter{out, capacity, 0, capacity == 0};
}

void put_char(WideWriter& writer, wchar unit) {
  if (writer.length + 1 >= writer.capacity) {
    writer.truncated = true;
    return;
  }
  writer.out[writer.length++] = unit;
  writer.out[writer.length] = 0;
}

void put_text(WideWriter& writer, const wchar* text) {
  for (; *text && !writer.truncated; ++text) put_char(writer, *text);
}

// Writes the digits of `magnitude` in `base`, at least min_digits of them.
static void put_digits(WideWriter& writer, uint64_t magnitude, unsigned base, int min_digits) {
  static const char digits[] = "0123456789ABCDEF";
  wchar reversed[64];  // 64 binary digits at most
  int count = 0;
  do {
    reversed[count++] = static_cast<wchar>(digits[magnitude % base]);
    magnitude /= base;
  } while (magnitude && count < 64);
  for (int pad = count; pad < min_digits; ++pad) put_char(writer, u'0');
  while (count) put_char(writer, reversed[--count]);
}

void put_decimal(WideWriter& writer, int64_t value, int min_digits) {
  uint64_t magnitude = static_cast<uint64_t>(value);
  if (value < 0) {
    put_char(writer, u'-');
    magnitude = 0 - magnitude;
    --min_digits;  // "%08d" counts the sign in its width
  }
  put_digits(writer, magnitude, 10, min_digits);
}

void put_hex(WideWriter& writer, uint32_t value, int min_digits) { put_digits(writer, value, 16, min_digits); }
