// Change processing against fabricated change buffers: the lines of a
// batch, exclusions, the zero-byte completion, and every way a buffer or a
// path ends the run.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "change_record.h"
#include "fake_platform.h"
#include "wide_text.h"

namespace {

// Change records laid out as the system lays them out, at any alignment.
struct ChangeRecords {
  std::vector<unsigned char> bytes;
  size_t last = SIZE_MAX;

  // Appends one record after `gap` filler bytes, linking the previous one.
  ChangeRecords& add(const std::u16string& name, size_t gap = 0) {
    bytes.insert(bytes.end(), gap, 0xEE);
    size_t at = bytes.size();
    if (last != SIZE_MAX) set_record_next_entry_offset(&bytes[last], static_cast<uint32_t>(at - last));
    uint32_t name_bytes = static_cast<uint32_t>(name.size() * 2);
    bytes.resize(at + record_header_bytes + name_bytes);
    write_record(&bytes[at], 0, 1, name.data(), name_bytes);  // the last so far; Action: added
    last = at;
    return *this;
  }
  void put32(size_t at, uint32_t value) { put_u32(&bytes[at], value); }
  uint32_t size() const { return static_cast<uint32_t>(bytes.size()); }
};

class Changelog : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_reset();
    dir_text = to_wide(changelog.path);
    changelog_dir = dir_text.c_str();
    wide_join(error_log_path, wide_buffer_units, changelog_dir, u'/', u"error.txt");
    wide_join(temp_changelog_path, wide_buffer_units, changelog_dir, u'/', u"temp");
  }
  void TearDown() override { fake_reset(); }

  WatchedDir* watch(const std::u16string& path) {
    auto* dir = static_cast<WatchedDir*>(platform_alloc_zeroed(sizeof(WatchedDir)));
    dir->path = static_cast<wchar*>(platform_alloc_zeroed((path.size() + 1) * sizeof(wchar)));
    std::memcpy(dir->path, path.data(), path.size() * sizeof(wchar));
    dir->path_length = path.size();
    dir->buffer = static_cast<unsigned char*>(platform_alloc_zeroed(change_buffer_bytes));
    return dir;
  }

  // Delivers the records as a completion of `bytes` (all of them by default).
  uint32_t deliver(WatchedDir* dir, const ChangeRecords& records, uint32_t bytes = UINT32_MAX) {
    if (!records.bytes.empty()) std::memcpy(dir->buffer, records.bytes.data(), records.bytes.size());
    return exit_code_of([&] { process_dir_watcher_results(dir, bytes == UINT32_MAX ? records.size() : bytes); });
  }

  void exclude(const std::string& lines) {
    changelog.write("exclusions", lines);
    excluded_prefixes = nullptr;
    load_excluded_prefixes(to_wide(changelog.path + "/exclusions").c_str());
  }

  // The changelog directory's files besides error.txt and the list.
  std::vector<std::string> outputs() const {
    std::vector<std::string> found;
    for (const std::string& name : changelog.names())
      if (name != "exclusions") found.push_back(name);
    return found;
  }

  TempDir changelog;
  std::u16string dir_text;
};

using Names = std::vector<std::string>;

TEST_F(Changelog, OneLinePerEntryNamingTheHoldingDirectory) {
  WatchedDir* dir = watch(u"/watched/root");
  ChangeRecords records;
  records.add(u"a.txt").add(u"sub/deeper/b.txt").add(u"sub").add(u"sub/x.txt").add(u"sub/x.txt");
  EXPECT_EQ(deliver(dir, records), no_exit);

  EXPECT_EQ(outputs(), Names{"00000001.txt"});
  EXPECT_EQ(changelog.read("00000001.txt"),
            "/watched/root\n/watched/root/sub/deeper\n/watched/root\n"
            "/watched/root/sub\n/watched/root/sub\n");
  EXPECT_EQ(batch_counter, 1);
  EXPECT_TRUE(fake.open_files.empty());
  EXPECT_EQ(fake.error_log, u"");
}

TEST_F(Changelog, EntriesAtOddOffsetsAndNonAsciiNames) {
  WatchedDir* dir = watch(u"/w");
  ChangeRecords records;
  records.add(u"\u00E9t\u00E9/f").add(u"\U0001F600/g", 1).add(u"h", 3);
  EXPECT_EQ(deliver(dir, records), no_exit);
  EXPECT_EQ(changelog.read("00000001.txt"), "/w/\xC3\xA9t\xC3\xA9\n/w/\xF0\x9F\x98\x80\n/w\n");
}

TEST_F(Changelog, TrailingSeparatorOnTheWatchedPath) {
  ChangeRecords records;
  records.add(u"sub/f").add(u"f").add(u"");
  EXPECT_EQ(deliver(watch(u"/watched/"), records), no_exit);
  // Joined without a second separator; a name of nothing leaves the
  // watched path ending in its separator, which is not cut.
  EXPECT_EQ(changelog.read("00000001.txt"), "/watched/sub\n/watched\n/watched/\n");

  ChangeRecords in_root;
  in_root.add(u"f");
  EXPECT_EQ(deliver(watch(u"/"), in_root), no_exit);
  EXPECT_EQ(changelog.read("00000002.txt"), "/\n");  // the root, not a line of nothing
  EXPECT_EQ(fake.error_log, u"");
}

TEST_F(Changelog, NameWithLineFeedReportsTheDirectoryAboveIt) {
  exclude("/w/skip\n");
  ChangeRecords records;
  records.add(u"a\nb/c/f").add(u"x/y\nz").add(u"\n/f").add(u"skip\n/f").add(u"r\rs/f");
  EXPECT_EQ(deliver(watch(u"/w"), records), no_exit);
  // Each line stays one line; an excluded path stays excluded.
  EXPECT_EQ(changelog.read("00000001.txt"), "/w\n/w/x\n/w\n/w\n");
}

TEST_F(Changelog, BatchesNumberedOnwardsPastEightDigits) {
  WatchedDir* dir = watch(u"/w");
  ChangeRecords records;
  records.add(u"f");
  EXPECT_EQ(deliver(dir, records), no_exit);
  EXPECT_EQ(deliver(dir, records), no_exit);
  batch_counter = 99999999;
  EXPECT_EQ(deliver(dir, records), no_exit);
  EXPECT_EQ(outputs(), (Names{"00000001.txt", "00000002.txt", "100000000.txt"}));
  EXPECT_EQ(changelog.read("100000000.txt"), "/w\n");
}

TEST_F(Changelog, ExclusionsArePlainAsciiCaseInsensitivePrefixes) {
  exclude("/w/Skip\n/w/keep/inner\n/w/\xC3\x84\n/w/skip\n");
  ChangeRecords records;
  records
      .add(u"skip/a")             // the prefix itself, other case
      .add(u"SKIPPER/b")          // a sibling with the same letters
      .add(u"keep/c")             // kept
      .add(u"keep/inner/deep/d")  // below an excluded directory
      .add(u"\u00E4/e")           // non-ASCII letters are not folded
      .add(u"\u00C4/f")           // but match exactly
      .add(u"ski/g");             // shorter than the prefix
  EXPECT_EQ(deliver(watch(u"/w"), records), no_exit);
  EXPECT_EQ(changelog.read("00000001.txt"), "/w/keep\n/w/\xC3\xA4\n/w/ski\n");
}

TEST_F(Changelog, AllExcludedGivesNoFileAndUsesNoNumber) {
  exclude("/w\n");
  WatchedDir* dir = watch(u"/w");
  ChangeRecords records;
  records.add(u"a/b").add(u"c");
  EXPECT_EQ(deliver(dir, records), no_exit);
  EXPECT_EQ(outputs(), Names{});
  EXPECT_EQ(batch_counter, 0);

  WatchedDir* other = watch(u"/other");
  EXPECT_EQ(deliver(other, records), no_exit);
  EXPECT_EQ(outputs(), Names{"00000001.txt"});
  EXPECT_EQ(changelog.read("00000001.txt"), "/other/a\n/other\n");
}

TEST_F(Changelog, ZeroByteCompletionReportsTheWatchedPathAsListed) {
  exclude("/w\n");
  WatchedDir* dir = watch(u"/w/Sub/");
  ChangeRecords stale;  // what an earlier read left behind
  stale.add(u"x/y");
  EXPECT_EQ(deliver(dir, stale, 0), no_exit);
  EXPECT_EQ(changelog.read("00000001.txt"), "/w/Sub/\n");
  EXPECT_EQ(fake.long_path_calls, 0);
}

TEST_F(Changelog, LongFormIsReportedAndTested) {
  fake.long_forms[u"/w/PROGRA~1"] = u"/w/Program Files";
  fake.long_forms[u"/w/DOCUME~1"] = u"/w/Documents";
  fake.vanished.insert(u"/w/gone");
  exclude("/w/program files\n");
  ChangeRecords records;
  records.add(u"PROGRA~1/a").add(u"DOCUME~1/b").add(u"gone/c");
  EXPECT_EQ(deliver(watch(u"/w"), records), no_exit);
  EXPECT_EQ(changelog.read("00000001.txt"), "/w/Documents\n/w/gone\n");
  EXPECT_EQ(fake.error_log, u"GetLongPathNameW 0x0003 The system cannot find the path specified.\r\n\n");
}

TEST_F(Changelog, LongFormTooLongEndsWith27) {
  fake.long_path_demand = 0x8001;
  ChangeRecords records;
  records.add(u"a/b");
  EXPECT_EQ(deliver(watch(u"/w"), records), 27u);
  EXPECT_EQ(fake.error_log, u"GetLongPathNameW result would overflow buffer 0x8001 \n");
}

TEST_F(Changelog, OverrunEndsWith18WithoutReadingPastTheBytes) {
  ChangeRecords records;
  records.add(u"a").add(u"bb");
  WatchedDir* dir = watch(u"/w");

  // The second entry's name reaches one byte past what was delivered.
  EXPECT_EQ(deliver(dir, records, records.size() - 1), 18u);
  EXPECT_EQ(fake.error_log, u"process_dir_watcher_results buffer overrun 14 29\n");
  // The first line was written; the run ends with "temp" left behind.
  EXPECT_EQ(outputs(), Names{"temp"});
  EXPECT_EQ(changelog.read("temp"), "/w\n");
}

TEST_F(Changelog, TruncatedHeaderIsAnOverrunToo) {
  WatchedDir* dir = watch(u"/w");
  ChangeRecords records;
  records.add(u"a").add(u"b");
  // Only 8 of the second entry's 12 header bytes were delivered.
  EXPECT_EQ(deliver(dir, records, 14 + 8), 18u);
  EXPECT_EQ(fake.error_log, u"process_dir_watcher_results buffer overrun 14 22\n");

  ChangeRecords tiny;
  tiny.add(u"");
  EXPECT_EQ(deliver(dir, tiny, 11), 18u);
  EXPECT_EQ(fake.error_log, u"process_dir_watcher_results buffer overrun 0 11\n");
}

TEST_F(Changelog, HugeOffsetsAndLengthsDoNotWrap) {
  WatchedDir* dir = watch(u"/w");
  ChangeRecords records;
  records.add(u"a");
  records.put32(8, 0xFFFFFFF8);  // 12 + length wraps a 32-bit sum
  EXPECT_EQ(deliver(dir, records), 18u);
  EXPECT_EQ(fake.error_log, u"process_dir_watcher_results buffer overrun 0 14\n");

  ChangeRecords jump;
  jump.add(u"a");
  jump.put32(0, 0xFFFFFFF8);  // the next offset wraps a 32-bit sum
  EXPECT_EQ(deliver(dir, jump), 18u);
  EXPECT_EQ(fake.error_log, u"process_dir_watcher_results buffer overrun 4294967288 14\n");
}

TEST_F(Changelog, HeaderAtTheEndOfTheBufferIsNotRead) {
  // Under the sanitizers, reading a header that starts 6 bytes before the
  // buffer's end would be caught; it must be refused unread.
  WatchedDir* dir = watch(u"/w");
  ChangeRecords records;
  records.add(u"a");
  records.put32(0, change_buffer_bytes - 6);
  EXPECT_EQ(deliver(dir, records, change_buffer_bytes), 18u);
  EXPECT_EQ(fake.error_log, u"process_dir_watcher_results buffer overrun 65530 65536\n");
  // A count larger than the buffer does not widen what may be read.
  EXPECT_EQ(deliver(dir, records, 100000), 18u);
  EXPECT_EQ(fake.error_log, u"process_dir_watcher_results buffer overrun 65530 100000\n");
}

TEST_F(Changelog, ComposedPathTooLongEndsWith26) {
  // Root, separator and name filling 32767 units exactly still fit.
  std::u16string root = u"/" + std::u16string(32764, u'r');
  ChangeRecords fits;
  fits.add(u"x");
  EXPECT_EQ(deliver(watch(root), fits), no_exit);
  EXPECT_EQ(changelog.read("00000001.txt"), to_narrow(root) + "\n");

  std::u16string longer = root + u"r";
  EXPECT_EQ(deliver(watch(longer), fits), 26u);
  EXPECT_EQ(fake.error_log, u"_snwprintf_s failed, path too long 0x7FFF \n");

  // A name near the largest a 65536-byte buffer holds.
  ChangeRecords big;
  big.add(std::u16string(32000, u'n'));
  EXPECT_EQ(deliver(watch(u"/" + std::u16string(799, u'r')), big), 26u);
  EXPECT_EQ(fake.error_log.substr(fake.error_log.rfind(u"_snw")), u"_snwprintf_s failed, path too long 0x8020 \n");
}

TEST_F(Changelog, LineWithoutRoomForItsLineFeedEndsWith27) {
  std::u16string root = u"/" + std::u16string(32766, u'r');  // 32767 units
  EXPECT_EQ(deliver(watch(root), ChangeRecords{}, 0), 27u);
  EXPECT_EQ(fake.error_log, u"wcscat_s 0x0022 \n");
  EXPECT_EQ(outputs(), Names{});

  EXPECT_EQ(deliver(watch(root + u"r"), ChangeRecords{}, 0), 28u);
  EXPECT_EQ(fake.error_log, u"wcscat_s 0x0022 \nwcsncpy_s failed 0x0022 \n");
}

TEST_F(Changelog, LineTooLongForUtf8EndsWith20) {
  // 10922 three-byte characters, a line feed and the terminator: 32768 bytes.
  std::u16string fits = u"/" + std::u16string(10921, u'\u20AC');
  fits += u"ab";
  ASSERT_EQ(to_narrow(fits).size() + 2, 32768u);
  EXPECT_EQ(deliver(watch(fits), ChangeRecords{}, 0), no_exit);
  EXPECT_EQ(changelog.read("00000001.txt"), to_narrow(fits) + "\n");

  EXPECT_EQ(deliver(watch(fits + u"c"), ChangeRecords{}, 0), 20u);
  EXPECT_EQ(fake.error_log, u"WideCharToMultiByte 0x007A \n");
  EXPECT_EQ(outputs(), Names{"00000001.txt"});
}

TEST_F(Changelog, LeftoverBatchEndsWith24) {
  changelog.write("00000001.txt", "old\n");
  ChangeRecords records;
  records.add(u"a/b");
  EXPECT_EQ(deliver(watch(u"/w"), records), 24u);
  EXPECT_EQ(fake.error_log,
            u"_wrename(" + dir_text + u"/temp, " + dir_text + u"/00000001.txt) failed: (17) File exists\n");
  EXPECT_EQ(changelog.read("00000001.txt"), "old\n");
  EXPECT_EQ(changelog.read("temp"), "/w/a\n");
}

TEST_F(Changelog, TempFileFailures) {
  ChangeRecords records;
  records.add(u"a");
  fake.create_fails = true;
  EXPECT_EQ(deliver(watch(u"/w"), records), 21u);
  EXPECT_EQ(fake.error_log, u"CreateFile temp changelog 0x0005 Access is denied.\r\n\n");

  fake.create_fails = false;
  fake.write_fails = true;
  EXPECT_EQ(deliver(watch(u"/w"), records), 22u);
  EXPECT_EQ(fake.error_log.substr(fake.error_log.find(u"WriteFile")), u"WriteFile temp changelog 0x0070 \n");
}

TEST_F(Changelog, NoAllocationPerChangeOrLine) {
  WatchedDir* dir = watch(u"/w");
  ChangeRecords records;
  for (int i = 0; i < 200; ++i) records.add(u"d" + std::u16string(1, static_cast<char16_t>(u'a' + i % 26)) + u"/f");
  size_t before = fake.allocations.size();
  for (int round = 0; round < 5; ++round) ASSERT_EQ(deliver(dir, records), no_exit);
  EXPECT_EQ(fake.allocations.size(), before);
  EXPECT_EQ(outputs().size(), 5u);
  EXPECT_TRUE(fake.open_files.empty());
}

}  // namespace
