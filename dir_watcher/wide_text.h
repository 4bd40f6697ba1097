// Bounded operations on UTF-16 text, with the results of the Windows
// runtime's secure string functions, so both builds fail alike.
//
// Every operation takes the capacity of its output in units (terminator
// included) and never writes past it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform.h"

// The runtime library's error numbers, the same on every platform the
// watcher runs on, as the secure functions return them.
constexpr int wide_einval = 22;  // EINVAL: a null or unterminated argument
constexpr int wide_erange = 34;  // ERANGE: the result does not fit

size_t wide_length(const wchar* text);

// wcsncpy_s: copies at most `count` units of `source`, stopping at a
// terminator, and terminates.  `source` may lie at any alignment (change
// records put names at any byte offset).  0, wide_einval or wide_erange;
// on failure `out` is left empty.
int wide_copy(wchar* out, size_t capacity, const void* source, size_t count);

// wcscat_s: appends `text` to the terminated text in `out`.  0, wide_einval
// or wide_erange; on failure `out` is left empty.
int wide_append(wchar* out, size_t capacity, const wchar* text);

// _snwprintf_s(out, capacity, _TRUNCATE, ...) with "%s%s" (separator 0) or
// "%s<separator>%s": the length written, or -1 when the whole did not fit
// (the part that fits is kept, terminated).
int wide_join(wchar* out, size_t capacity, const wchar* first, wchar separator, const wchar* second);

// Ends the text at its last `separator` (wcsrchr); false when there is none.
bool wide_cut_at_last(wchar* text, wchar separator);

// _wcsnicmp in the default locale: compares at most `count` units, stops at
// a terminator, folds only the ASCII letters.  <0, 0 or >0.
int wide_prefix_compare(const wchar* a, const wchar* b, size_t count);

// _wtoi: leading white space, a sign, decimal digits; no number reads as 0;
// a value out of range gives INT_MAX or INT_MIN.
int wide_to_int(const wchar* text);

// A bounded formatter: appends keep `out` terminated and cut what does not
// fit, remembering that they did.
struct WideWriter {
  wchar* out;
  size_t capacity;
  size_t length;
  bool truncated;
};

WideWriter wide_writer(wchar* out, size_t capacity);
void put_text(WideWriter& writer, const wchar* text);
void put_char(WideWriter& writer, wchar unit);
// Decimal, zero-padded to at least min_digits ("%d", "%08d").
void put_decimal(WideWriter& writer, int64_t value, int min_digits);
// Upper-case hexadecimal, zero-padded to at least min_digits ("%04X").
void put_hex(WideWriter& writer, uint32_t value, int min_digits);
