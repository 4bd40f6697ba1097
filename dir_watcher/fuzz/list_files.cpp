// Fuzz target: the Linux backend's list-file reader over arbitrary bytes.
//
// The bytes are read as a list file, line by line, into a buffer of exactly
// the capacity given, and the pieces are compared with a plain decoding of
// the whole file: a byte-order mark chooses UTF-8 or UTF-16LE, bytes that
// are not UTF-8 travel as U+DC80..U+DCFF, CR LF reads as LF, and a line is
// handed out in pieces of at most capacity - 1 units, each ending at the
// latest at its line feed.
//
// Optionally a run of filler precedes the bytes, so that they straddle the
// reader's 64 KiB refill and the filler makes a line past 32767 units.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "platform.h"

namespace {

constexpr int full_capacity = 0x8000;   // what the watcher reads with
constexpr size_t refill_bytes = 65536;  // the reader's buffer

void check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "list_files: %s\n", what);
    std::abort();
  }
}

// Length of a well-formed UTF-8 sequence at `b` (n bytes left), 0 if none:
// the ranges of the Unicode standard's table of well-formed sequences.
size_t well_formed(const unsigned char* b, size_t n) {
  auto in = [](unsigned char c, unsigned lo, unsigned hi) { return c >= lo && c <= hi; };
  if (b[0] < 0x80) return 1;
  if (n >= 2 && in(b[0], 0xC2, 0xDF) && in(b[1], 0x80, 0xBF)) return 2;
  if (n >= 3 && in(b[2], 0x80, 0xBF)) {
    if (b[0] == 0xE0 && in(b[1], 0xA0, 0xBF)) return 3;
    if ((in(b[0], 0xE1, 0xEC) || in(b[0], 0xEE, 0xEF)) && in(b[1], 0x80, 0xBF)) return 3;
    if (b[0] == 0xED && in(b[1], 0x80, 0x9F)) return 3;
  }
  if (n >= 4 && in(b[2], 0x80, 0xBF) && in(b[3], 0x80, 0xBF)) {
    if (b[0] == 0xF0 && in(b[1], 0x90, 0xBF)) return 4;
    if (in(b[0], 0xF1, 0xF3) && in(b[1], 0x80, 0xBF)) return 4;
    if (b[0] == 0xF4 && in(b[1], 0x80, 0x8F)) return 4;
  }
  return 0;
}

// The whole file as the units the reader must give, CR LF already LF.
std::u16string decode(const std::string& file) {
  const unsigned char* b = reinterpret_cast<const unsigned char*>(file.data());
  size_t n = file.size(), at = 0;
  std::u16string units;
  if (n >= 2 && b[0] == 0xFF && b[1] == 0xFE) {
    for (at = 2; at + 1 < n; at += 2) units += static_cast<char16_t>(b[at] | b[at + 1] << 8);
  } else {
    if (n >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) at = 3;
    while (at < n) {
      size_t length = well_formed(b + at, n - at);
      if (length == 0) {
        units += static_cast<char16_t>(0xDC00 + b[at++]);
        continue;
      }
      uint32_t c = length == 1 ? b[at] : b[at] & (0x7F >> length);
      for (size_t i = 1; i < length; ++i) c = c << 6 | (b[at + i] & 0x3F);
      at += length;
      if (c >= 0x10000) {
        units += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
        units += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
      } else {
        units += static_cast<char16_t>(c);
      }
    }
  }
  std::u16string text;
  for (size_t i = 0; i < units.size(); ++i)
    if (!(units[i] == u'\r' && i + 1 < units.size() && units[i + 1] == u'\n')) text += units[i];
  return text;
}

// The file behind a path the reader can open: memory, rewritten per input.
struct MemoryFile {
  MemoryFile() : fd(memfd_create("list_files", 0)) {
    check(fd >= 0, "memfd_create failed");
    std::string name = "/proc/self/fd/" + std::to_string(fd);
    path.assign(name.begin(), name.end());
  }
  void set(const std::string& bytes) {
    check(ftruncate(fd, 0) == 0 && pwrite(fd, bytes.data(), bytes.size(), 0) == static_cast<ssize_t>(bytes.size()),
          "writing the list failed");
  }
  int fd;
  std::u16string path;
};

// Reads the file with `capacity` and compares each piece with `text`.
void read_and_compare(const std::u16string& path, const std::u16string& text, int capacity) {
  int error = 0;
  ListFile* file = platform_open_list(path.c_str(), &error);
  check(file != nullptr, "the list did not open");
  std::unique_ptr<wchar[]> line(new wchar[capacity]);  // exactly capacity: ASan sees any overrun
  size_t at = 0, line_end = 0;
  for (;;) {
    int result = platform_read_list_line(file, line.get(), capacity, &error);
    check(result >= 0, "a read error from a file that reads");
    if (result == 0) break;
    // The piece due: up to the line feed, at most capacity - 1 units.
    if (at == line_end) {
      line_end = text.find(u'\n', at);
      line_end = line_end == std::u16string::npos ? text.size() : line_end + 1;
    }
    size_t end = std::min(line_end, at + static_cast<size_t>(capacity - 1));
    check(end > at, "a line after the end of the file");
    check(text.compare(at, end - at, line.get(), end - at) == 0 && line[end - at] == 0,
          "a line differs from the file's text");
    at = end;
  }
  check(at == text.size(), "the file ended early");
  check(platform_read_list_line(file, line.get(), capacity, &error) == 0, "a line after the end");
  platform_close_list(file);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static MemoryFile list;
  FuzzedDataProvider input(data, size);
  const uint8_t capacity_choice = input.ConsumeIntegral<uint8_t>();
  const uint8_t padding = input.ConsumeIntegral<uint8_t>();
  std::string file = input.ConsumeRemainingBytesAsString();

  // One input in eight is padded; being long, it is read only once.
  const bool padded = (padding & 0xE0) == 0xE0;
  if (padded) {
    // Filler after any mark, so the input's own bytes begin just short
    // of the refill: one line that runs on into them, of four-byte
    // characters (two units each, fewer to decode) or of 'x' in UTF-16.
    size_t mark = file.compare(0, 2, "\xFF\xFE") == 0 ? 2 : file.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    const std::string unit = mark == 2 ? std::string("x\0", 2) : "\xF0\x9F\x98\x80";
    size_t filler = refill_bytes - mark - (padding & 0x1F);
    std::string run;
    run.reserve(filler);
    while (run.size() + unit.size() <= filler) run += unit;
    run.append(filler - run.size(), 'x');
    file.insert(mark, run);
  }
  list.set(file);
  const std::u16string text = decode(file);

  // Small capacities cut lines (and surrogate pairs) everywhere; the
  // watcher's own capacity cuts only lines past 32767 units.
  const int choice = capacity_choice % 33;
  const int capacity = choice == 32 ? full_capacity : choice + 2;
  read_and_compare(list.path, text, capacity);
  if (!padded && capacity != full_capacity) read_and_compare(list.path, text, full_capacity);
  return 0;
}
