// The Linux backend's change records, byte for byte, and the names they
// carry: what a line can hold, and what is named instead when it cannot.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "linux/watch.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes queued(const RecordQueue& queue) {
  return Bytes(queue.bytes.begin() + static_cast<ptrdiff_t>(queue.head), queue.bytes.end());
}

TEST(LinuxRecords, OneRecordIsLaidOutAsWindowsLaysItOut) {
  struct Case {
    const char* name;
    uint32_t action;
    Bytes bytes;
  };
  const Case cases[] = {
      // Header: NextEntryOffset (its own padded length), Action, FileNameLength; UTF-16LE name.
      {"ab", 1, {16, 0, 0, 0, 1, 0, 0, 0, 4, 0, 0, 0, 'a', 0, 'b', 0}},
      // Padded to four bytes with zeros.
      {"abc", 3, {20, 0, 0, 0, 3, 0, 0, 0, 6, 0, 0, 0, 'a', 0, 'b', 0, 'c', 0, 0, 0}},
      // UTF-8 to UTF-16: e-acute, then a code point beyond the BMP as a surrogate pair.
      {"\xc3\xa9\xf0\x9f\x98\x80", 5, {20, 0, 0, 0, 5, 0, 0, 0, 6, 0, 0, 0, 0xE9, 0, 0x3D, 0xD8, 0x00, 0xDE, 0, 0}},
      // A byte that is not UTF-8 travels as U+DC00 + byte.
      {"\xff/x", 4, {20, 0, 0, 0, 4, 0, 0, 0, 6, 0, 0, 0, 0xFF, 0xDC, '/', 0, 'x', 0, 0, 0}},
      // The directory itself.
      {".", 3, {16, 0, 0, 0, 3, 0, 0, 0, 2, 0, 0, 0, '.', 0, 0, 0}},
  };
  for (const Case& c : cases) {
    RecordQueue queue;
    std::u16string wide;
    put_change_record(queue, c.name, c.action, wide);
    EXPECT_EQ(queued(queue), c.bytes) << c.name;
  }
}

TEST(LinuxRecords, ReadsTakeWholeRecordsAndTheRestWaits) {
  RecordQueue queue;
  std::u16string wide;
  put_change_record(queue, "ab", 1, wide);   // 16 bytes
  put_change_record(queue, "abc", 2, wide);  // 20 bytes, name ends at 18
  put_change_record(queue, "d", 3, wide);    // 16 bytes, name ends at 14

  // Room for the first two only (the second's name ends at 16 + 18 = 34).
  unsigned char buffer[36];
  EXPECT_EQ(take_change_records(queue, buffer, 34), 34u);
  const Bytes first(buffer, buffer + 34);
  const Bytes expected = {16, 0, 0, 0, 1, 0, 0, 0, 4, 0, 0, 0,   'a', 0,   'b', 0,   0,
                          0,  0, 0, 2, 0, 0, 0, 6, 0, 0, 0, 'a', 0,   'b', 0,   'c', 0};
  EXPECT_EQ(first, expected);  // the last record delivered links to nothing
  EXPECT_EQ(queued_bytes(queue), 16u);

  EXPECT_EQ(take_change_records(queue, buffer, sizeof buffer), 14u);
  EXPECT_EQ(Bytes(buffer, buffer + 14), (Bytes{0, 0, 0, 0, 3, 0, 0, 0, 2, 0, 0, 0, 'd', 0}));
  EXPECT_EQ(queued_bytes(queue), 0u);
}

TEST(LinuxRecords, ARecordLargerThanTheBufferDropsTheQueue) {
  RecordQueue queue;
  std::u16string wide;
  put_change_record(queue, std::string(40, 'x'), 1, wide);
  put_change_record(queue, "y", 1, wide);
  unsigned char buffer[64];
  EXPECT_EQ(take_change_records(queue, buffer, 64), 0u);
  EXPECT_EQ(queued_bytes(queue), 0u);
}

TEST(LinuxRecords, Utf16UnitsCountWhatTheRecordsCarry) {
  const std::pair<std::string, size_t> cases[] = {
      {"", 0}, {"abc", 3}, {"\xc3\xa9", 1}, {"\xf0\x9f\x98\x80", 2}, {"\xff", 1}, {"\xe9t", 2},
  };
  for (const auto& c : cases) EXPECT_EQ(utf16_units(c.first.data(), c.first.size()), c.second) << c.first;
}

TEST(LinuxRecordNames, WhatALineCanHold) {
  struct Case {
    std::vector<std::string_view> dirs;
    const char* item;
    NameLimits limits;
    bool fits;
    std::string name;
  };
  const NameLimits short_root{10, 10};
  const Case cases[] = {
      {{"a", "b"}, "f", short_root, true, "a/b/f"},
      {{}, "f", short_root, true, "f"},
      // The directory itself: the logic cuts the "." and keeps the directory.
      {{}, nullptr, short_root, true, "."},
      {{"a"}, nullptr, short_root, true, "a/."},
      // A directory whose name holds LF or CR: the nearest ancestor whose path holds neither.
      {{"a", "nl\nx", "c"}, "f", short_root, true, "a/."},
      {{"cr\rx"}, "f", short_root, true, "."},
      // An item's own odd name is cut by the logic: the line is its directory.
      {{"a"}, "odd\nname", short_root, true, "a/odd\nname"},
      // Near the limits: the line (root, "/", directory) must fit 32766
      // bytes, the composed "root/dir/." 32767 units.
      {{"a"}, "fg", {32762, 32762}, true, "a/fg"},
      {{"a"}, "fgh", {32762, 32762}, true, "a/."},
      {{"a", "b"}, "f", {32762, 32762}, true, "a/."},
      // Bytes count for the line: two-byte letters take the room of two.
      {{"\xc3\xa9"}, "f", {100, 32762}, true, "\xc3\xa9/f"},
      {{"\xc3\xa9\xc3\xa9"}, "f", {100, 32762}, true, "."},
      // Not even the root fits: the caller falls back to the zero-byte completion.
      {{}, "f", {32765, 32765}, false, ""},
  };
  for (const Case& c : cases) {
    std::string out = "stale";
    EXPECT_EQ(compose_record_name(c.dirs, c.item, c.limits, out), c.fits) << c.name;
    if (c.fits) {
      EXPECT_EQ(out, c.name);
    }
  }
}

}  // namespace
