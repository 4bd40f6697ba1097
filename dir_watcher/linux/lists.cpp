// Watch and exclusion list files on Linux, read the way the Windows runtime
// reads them in "r, ccs=UTF-8" mode with fgetws: UTF-8 unless a UTF-16LE
// byte-order mark says otherwise, a UTF-8 mark skipped, CR LF read as LF, a
// line handed out in pieces of at most capacity - 1 units.  Bytes that are
// not UTF-8 become U+DC80..U+DCFF so the listed path opens the very
// directory it names.

#include "emulation.h"

#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

constexpr size_t list_buffer_size = 65536;   // one read() of the list file at a time
constexpr size_t longest_utf8_sequence = 4;  // bytes that must be at hand to decode one code point

struct ListFile {
  int fd = -1;
  bool utf16 = false;
  bool at_end = false;
  int error = 0;
  bool has_pending = false;
  char16_t pending = 0;  // second half of a surrogate pair cut off by the capacity
  size_t pos = 0, len = 0;
  unsigned char bytes[list_buffer_size];
};

// Makes at least `want` bytes available unless the file ends first.
static size_t ensure(ListFile* f, size_t want) {
  if (f->len - f->pos >= want || f->at_end || f->error) return f->len - f->pos;
  size_t left = f->len - f->pos;
  for (size_t i = 0; i < left; ++i) f->bytes[i] = f->bytes[f->pos + i];
  f->pos = 0;
  f->len = left;
  while (f->len < want && !f->at_end) {
    ssize_t n = read(f->fd, f->bytes + f->len, list_buffer_size - f->len);
    if (n < 0) {
      if (errno == EINTR) continue;
      f->error = errno;
      break;
    }
    if (n == 0) f->at_end = true;
    f->len += static_cast<size_t>(n);
  }
  return f->len - f->pos;
}

ListFile* platform_open_list(const wchar* path, int* error) {
  std::string native;  // once per list file
  int fd = open(native_path(path, native), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = errno;
    return nullptr;
  }
  std::unique_ptr<ListFile> f(new (std::nothrow) ListFile);
  if (!f) {
    close(fd);
    *error = ENOMEM;
    return nullptr;
  }
  f->fd = fd;
  size_t have = ensure(f.get(), 3);
  const unsigned char* b = f->bytes;
  if (have >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) {
    f->pos = 3;
  } else if (have >= 2 && b[0] == 0xFF && b[1] == 0xFE) {
    f->utf16 = true;
    f->pos = 2;
  }
  return f.release();
}

// Next code unit: 1 with *unit, 0 at the end, -1 on a read error.
static int next_raw_unit(ListFile* f, char16_t* unit) {
  if (f->has_pending) {
    f->has_pending = false;
    *unit = f->pending;
    return 1;
  }
  if (f->utf16) {
    size_t have = ensure(f, 2);
    if (have < 2) return f->error ? -1 : 0;  // a stray last byte is no unit
    *unit = static_cast<char16_t>(f->bytes[f->pos] | (f->bytes[f->pos + 1] << 8));
    f->pos += 2;
    return 1;
  }
  size_t have = ensure(f, longest_utf8_sequence);
  if (have == 0) return f->error ? -1 : 0;
  char16_t units[2];
  int count = 0;
  size_t used = utf8_decode_one(f->bytes + f->pos, have, units, &count);
  if (used == 0) {
    *unit = static_cast<char16_t>(escape_base + f->bytes[f->pos]);
    f->pos += 1;
    return 1;
  }
  f->pos += used;
  *unit = units[0];
  if (count == 2) {
    f->has_pending = true;
    f->pending = units[1];
  }
  return 1;
}

// Text mode: CR followed by LF is read as LF; a lone CR stays.
static int next_unit(ListFile* f, char16_t* unit) {
  int r = next_raw_unit(f, unit);
  if (r != 1 || *unit != u'\r' || f->has_pending) return r;
  size_t need = f->utf16 ? 2 : 1;
  if (ensure(f, need) >= need && f->bytes[f->pos] == '\n' && (!f->utf16 || f->bytes[f->pos + 1] == 0)) {
    f->pos += need;
    *unit = u'\n';
  }
  return 1;
}

int platform_read_list_line(ListFile* f, wchar* line, int capacity, int* error) {
  int n = 0;
  while (n < capacity - 1) {
    char16_t unit;
    int r = next_unit(f, &unit);
    if (r < 0) {
      *error = f->error;
      return -1;
    }
    if (r == 0) break;
    line[n++] = unit;
    if (unit == u'\n') break;
  }
  if (capacity > 0) line[n] = 0;
  return n > 0 ? 1 : 0;
}

void platform_close_list(ListFile* f) {
  if (!f) return;
  close(f->fd);
  delete f;
}
