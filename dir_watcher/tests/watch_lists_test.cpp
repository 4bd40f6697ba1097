// Loading the watch and exclusion lists, and issuing change reads.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fake_platform.h"
#include "wide_text.h"

namespace {

Handle port() {
  static Handle created = platform_create_port();
  return created;
}

class WatchLists : public ::testing::Test {
 protected:
  void SetUp() override { restart(); }
  void restart() {
    fake_reset();
    dir_text = to_wide(files.path);
    changelog_dir = dir_text.c_str();
    wide_join(error_log_path, wide_buffer_units, changelog_dir, u'/', u"error.txt");
  }
  void TearDown() override { fake_reset(); }

  std::u16string list(const std::string& name, const std::string& content) {
    files.write(name, content);
    return to_wide(files.path + "/" + name);
  }
  uint32_t load_watch(const std::string& content) {
    std::u16string path = list("watch", content);
    return exit_code_of([&] { load_watched_dirs(path.c_str(), port()); });
  }
  uint32_t load_exclusions(const std::string& content) {
    std::u16string path = list("exclude", content);
    return exit_code_of([&] { load_excluded_prefixes(path.c_str()); });
  }

  std::vector<std::u16string> watched() const {
    std::vector<std::u16string> paths;
    for (WatchedDir* dir = watched_dirs; dir; dir = dir->next) {
      EXPECT_EQ(dir->path_length, wide_length(dir->path));
      EXPECT_NE(dir->buffer, nullptr);
      paths.push_back(dir->path);
    }
    return paths;
  }
  std::vector<std::u16string> excluded() const {
    std::vector<std::u16string> texts;
    for (ExcludedPrefix* prefix = excluded_prefixes; prefix; prefix = prefix->next) {
      EXPECT_EQ(prefix->length, wide_length(prefix->text));
      texts.push_back(prefix->text);
    }
    return texts;
  }

  TempDir files;
  std::u16string dir_text;
};

using Texts = std::vector<std::u16string>;
const std::u16string cannot_open = u"CreateFile 0x0003 The system cannot find the path specified.\r\n\n";

TEST_F(WatchLists, EntriesAsListedSkippingEmptyLinesAndUnopenableOnes) {
  std::string a = files.path + "/a";
  ASSERT_EQ(system(("mkdir -p '" + a + "'").c_str()), 0);
  std::string content = a + "\r\n\n \n" + files.path + "/missing\n" + a + "\n" + a;
  EXPECT_EQ(load_watch(content), no_exit);

  std::u16string wide_a = to_wide(a);
  EXPECT_EQ(watched(), (Texts{wide_a, wide_a, wide_a}));  // no CR, last line without LF
  EXPECT_EQ(fake.reads_issued, 3);                        // each has its read pending
  EXPECT_EQ(fake.error_log, cannot_open + cannot_open);   // the blank and the missing one
}

TEST_F(WatchLists, AFileIsListedButSilent) {
  std::string file = files.path + "/plain";
  files.write("plain", "x");
  EXPECT_EQ(load_watch(file + "\n"), no_exit);
  EXPECT_EQ(watched(), Texts{to_wide(file)});
  EXPECT_EQ(fake.reads_issued, 0);
  EXPECT_EQ(fake.error_log, u"ReadDirectoryChangesW 0x0057 The parameter is incorrect.\r\n\n");
}

TEST_F(WatchLists, ReadFailureOtherThanInvalidParameterEndsWith10) {
  fake.read_changes_error = 5;
  EXPECT_EQ(load_watch(files.path + "\n"), 10u);
  EXPECT_EQ(fake.error_log, u"ReadDirectoryChangesW 0x0005 Access is denied.\r\n\n");
}

TEST_F(WatchLists, BindingFailures) {
  fake.bind_mode = 1;
  EXPECT_EQ(load_watch(files.path + "\n"), 102u);
  EXPECT_EQ(fake.error_log, u"CreateIOCompletionPort (add) 0x0005 Access is denied.\r\n\n");

  restart();
  fake.bind_mode = 2;
  EXPECT_EQ(load_watch(files.path + "\n"), 103u);
  EXPECT_EQ(fake.error_log, u"");
}

TEST_F(WatchLists, AllocationFailures) {
  const std::u16string no_memory =
      u"HeapAlloc failed to allocate memory 0x0008 "
      u"Not enough memory resources are available to process this command.\r\n\n";
  const struct {
    size_t limit;
    uint32_t code;
  } watch_cases[] = {{0, 200}, {1, 201}, {2, 202}}, prefix_cases[] = {{0, 203}, {1, 204}};
  for (auto c : watch_cases) {
    restart();
    fake.allocation_limit = c.limit;
    EXPECT_EQ(load_watch(files.path + "\n"), c.code);
    EXPECT_EQ(fake.error_log, no_memory);
  }
  for (auto c : prefix_cases) {
    restart();
    fake.allocation_limit = c.limit;
    EXPECT_EQ(load_exclusions("/x\n"), c.code);
    EXPECT_EQ(fake.error_log, no_memory);
  }
}

TEST_F(WatchLists, UnopenableEntriesKeepNoChangeBuffer) {
  std::string lines;
  for (int i = 0; i < 100; ++i) lines += files.path + "/missing\n";
  EXPECT_EQ(load_watch(lines), no_exit);
  EXPECT_EQ(watched_dirs, nullptr);
  // A record and its path each, never the 64 KiB buffer.
  EXPECT_EQ(fake.allocations.size(), 200u);
}

TEST_F(WatchLists, ListFilesThatCannotBeOpenedOrRead) {
  std::u16string missing = dir_text + u"/no-such-list";
  EXPECT_EQ(exit_code_of([&] { load_watched_dirs(missing.c_str(), port()); }), 2u);
  EXPECT_EQ(fake.error_log, u"_wfopen(" + missing + u") failed: (2) No such file or directory\n");
  EXPECT_EQ(exit_code_of([&] { load_excluded_prefixes(missing.c_str()); }), 2u);
  EXPECT_EQ(fake.error_log, u"_wfopen(" + missing + u") failed: (2) No such file or directory\n");

  fake.list_read_error = 5;
  EXPECT_EQ(load_exclusions("/x\n"), 2u);
  EXPECT_EQ(fake.error_log, u"fgetws(" + dir_text + u"/exclude) failed: (5) Input/output error\n");
}

TEST_F(WatchLists, ExclusionsInFileOrderWithLongLinesCut) {
  EXPECT_EQ(load_exclusions(""), no_exit);
  EXPECT_EQ(excluded(), Texts{});

  std::string very_long(40000, 'p');
  EXPECT_EQ(load_exclusions("\xEF\xBB\xBF/b\r\n\n/a \n" + very_long + "\n/c"), no_exit);
  EXPECT_EQ(excluded(), (Texts{u"/b", u"/a ", std::u16string(32767, u'p'), std::u16string(7233, u'p'), u"/c"}));
  EXPECT_EQ(fake.error_log, u"");
}

}  // namespace
