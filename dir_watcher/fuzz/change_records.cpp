// Fuzz target: one completed change read through process_dir_watcher_results,
// over the fake platform, with arbitrary record bytes, byte counts, watched
// path and exclusion prefixes.
//
// The records sit at the very end of an allocation of exactly the bytes the
// read delivered (no more than the change buffer), so AddressSanitizer
// stops any read past them.  The batch written is compared with a plain
// walk of the same records: the same lines, each one line, or the same
// exit code when the run must end.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "change_record.h"
#include "fake_platform.h"
#include "wide_text.h"

namespace {

// What a run of the records must give: an exit code, or the batch content.
struct Expected {
  uint32_t exit_code = no_exit;
  std::string batch;  // UTF-8, empty when no batch is due
  size_t lines = 0;
};

wchar fold(wchar unit) { return unit >= u'A' && unit <= u'Z' ? unit - u'A' + u'a' : unit; }

bool excluded(const std::u16string& path, const std::vector<std::u16string>& prefixes) {
  for (const std::u16string& prefix : prefixes) {
    if (path.size() < prefix.size()) continue;
    bool same = true;
    for (size_t i = 0; i < prefix.size() && same; ++i) same = fold(path[i]) == fold(prefix[i]);
    if (same) return true;
  }
  return false;
}

// Adds one line (or the exit it causes) to `expected`; false once it exits.
bool expect_line(const std::u16string& path, Expected& expected) {
  if (path.size() + 1 >= wide_buffer_units) {  // no room for the line feed
    expected.exit_code = exit_line_feed_or_long_path;
    return false;
  }
  std::string line = to_narrow(path + u"\n");
  if (line.size() + 1 > utf8_buffer_bytes) {
    expected.exit_code = exit_utf8;
    return false;
  }
  expected.batch += line;
  ++expected.lines;
  return true;
}

// The records walked as the watcher documents it, written plainly.
Expected expect(const std::u16string& root, const std::vector<std::u16string>& prefixes, const unsigned char* buffer,
                uint32_t bytes) {
  Expected expected;
  if (bytes == 0) {
    expect_line(root, expected);  // the root as listed: no exclusion, no long form
    return expected;
  }
  const uint64_t limit = std::min<uint64_t>(bytes, change_buffer_bytes);
  for (uint64_t offset = 0;;) {
    if (offset + record_header_bytes > limit ||
        offset + record_header_bytes + record_file_name_length(buffer + offset) > limit) {
      expected.exit_code = exit_buffer_overrun;
      return expected;
    }
    const unsigned char* record = buffer + offset;
    uint32_t next = record_next_entry_offset(record);
    uint32_t name_units = record_file_name_length(record) / 2;
    std::u16string name;
    for (uint32_t i = 0; i < name_units; ++i) {
      wchar unit;
      std::memcpy(&unit, record_file_name(record) + 2 * i, 2);
      if (unit == 0) break;
      name += unit;
    }
    std::u16string path = root;
    if (path.back() != path_separator) path += path_separator;
    path += name;
    if (path.size() + 1 > wide_buffer_units) {
      expected.exit_code = exit_path_too_long;
      return expected;
    }
    if (path.back() != path_separator) {
      size_t cut = path.rfind(path_separator);
      if (cut != std::u16string::npos) path.resize(cut == 0 ? 1 : cut);
    }
    // The fake's long form of a path is the path itself.  A path kept
    // whose names hold a line feed or CR stands for the directory above it.
    if (!excluded(path, prefixes)) {
      size_t line_feed = path.find_first_of(u"\n\r");
      if (line_feed != std::u16string::npos) {
        path.resize(line_feed);
        size_t cut = path.rfind(path_separator);
        if (cut != std::u16string::npos) path.resize(cut);
      }
      if (!expect_line(path, expected)) return expected;
    }
    if (next == 0) return expected;
    offset += next;
  }
}

// Wide text as a list line leaves it: cut at a terminator or line feed.
std::u16string list_entry(const std::string& bytes) {
  std::u16string text = to_wide(bytes);
  return text.substr(0, text.find_first_of(std::u16string(u"\n\0", 2)));
}

std::string read_file(const std::string& path) {
  std::string bytes;
  if (FILE* file = std::fopen(path.c_str(), "rb")) {
    char chunk[65536];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;) bytes.append(chunk, n);
    std::fclose(file);
  }
  return bytes;
}

void check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "change_records: %s\n", what);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static TempDir changelog;  // removed when the fuzzer exits
  static const std::u16string dir_text = to_wide(changelog.path);
  static const std::string batch_file = changelog.path + "/00000001.txt";
  static const std::string temp_file = changelog.path + "/temp";

  fake_reset();
  changelog_dir = dir_text.c_str();
  wide_join(error_log_path, wide_buffer_units, changelog_dir, path_separator, u"error.txt");
  wide_join(temp_changelog_path, wide_buffer_units, changelog_dir, path_separator, u"temp");

  FuzzedDataProvider input(data, size);

  // The watched path as a list line gives it: not empty, at most 32767
  // units; optionally padded near that length so joined paths overflow.
  std::u16string root = list_entry(input.ConsumeRandomLengthString(64));
  if (root.empty()) root = u"/w";
  uint8_t root_padding = input.ConsumeIntegral<uint8_t>();
  if (root_padding & 0x80)
    root.resize(std::max<size_t>(root.size(), wide_buffer_units - 1 - (root_padding & 0x7F)), u'r');
  root.resize(std::min<size_t>(root.size(), wide_buffer_units - 1));

  std::vector<std::u16string> prefixes;
  for (int count = input.ConsumeIntegralInRange(0, 3); count > 0; --count) {
    std::u16string prefix = list_entry(input.ConsumeRandomLengthString(32));
    if (!prefix.empty()) prefixes.push_back(prefix);
  }

  // The count the completion reports: the records' size, nothing, a little
  // more or less, or anything at all.
  const uint8_t count_mode = input.ConsumeIntegral<uint8_t>();
  const int count_delta = input.ConsumeIntegralInRange(-16, 16);
  const uint32_t any_count = input.ConsumeIntegral<uint32_t>();
  const uint8_t filler = input.ConsumeIntegral<uint8_t>();
  std::vector<unsigned char> records = input.ConsumeRemainingBytes<unsigned char>();
  records.resize(std::min<size_t>(records.size(), change_buffer_bytes));

  uint32_t bytes = static_cast<uint32_t>(records.size());
  switch (count_mode % 4) {
    case 1:
      bytes = 0;
      break;
    case 2:
      bytes = static_cast<uint32_t>(std::max<int64_t>(0, int64_t{bytes} + count_delta));
      break;
    case 3:
      bytes = any_count;
      break;
  }

  // What the system would have put in the buffer: the records, then
  // whatever was there before (the filler) up to the count delivered.
  const size_t delivered = std::min<size_t>(bytes, change_buffer_bytes);
  std::unique_ptr<unsigned char[]> buffer(new unsigned char[delivered]);
  std::memset(buffer.get(), filler, delivered);
  if (!records.empty()) std::memcpy(buffer.get(), records.data(), std::min(delivered, records.size()));

  std::vector<std::u16string> dir_path(1, root);
  WatchedDir dir{};
  dir.path = &dir_path[0][0];
  dir.path_length = root.size();
  dir.buffer = buffer.get();

  std::vector<ExcludedPrefix> prefix_records(prefixes.size());
  std::vector<std::u16string> prefix_texts = prefixes;
  for (size_t i = 0; i < prefixes.size(); ++i) {
    prefix_records[i].text = &prefix_texts[i][0];
    prefix_records[i].length = prefixes[i].size();
    prefix_records[i].next = i + 1 < prefixes.size() ? &prefix_records[i + 1] : nullptr;
  }
  excluded_prefixes = prefix_records.empty() ? nullptr : &prefix_records[0];

  const Expected expected = expect(root, prefixes, buffer.get(), bytes);
  const uint32_t exit_code = exit_code_of([&] { process_dir_watcher_results(&dir, bytes); });

  check(exit_code == expected.exit_code, "the run ended otherwise than the records demand");
  if (exit_code == no_exit) {
    std::string batch = read_file(batch_file);
    check(batch == expected.batch, "the batch differs from the records' lines");
    check(static_cast<size_t>(std::count(batch.begin(), batch.end(), '\n')) == expected.lines,
          "a line written is not one line");
    check(batch_counter == (expected.lines ? 1 : 0), "a batch number used without a batch");
  }
  fake_reset();  // closes what an ended run left open
  std::remove(batch_file.c_str());
  std::remove(temp_file.c_str());
  return 0;
}
