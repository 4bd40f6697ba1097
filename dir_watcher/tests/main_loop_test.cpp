// The run from the command line to the host's end: start-up failures, the
// lists, the completion loop and when it asks about the host.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "change_record.h"
#include "fake_platform.h"

namespace {

// How a run ended: returned from run_dir_watcher, or through platform_exit.
struct Outcome {
  bool exited;
  uint32_t code;
  bool operator==(const Outcome& other) const { return exited == other.exited && code == other.code; }
};
Outcome returned(uint32_t code) { return {false, code}; }
Outcome exited(uint32_t code) { return {true, code}; }
std::ostream& operator<<(std::ostream& out, const Outcome& outcome) {
  return out << (outcome.exited ? "exit " : "return ") << outcome.code;
}

// One change record naming `name`, as a completion delivers it.
std::vector<unsigned char> record(const std::u16string& name) {
  uint32_t name_bytes = static_cast<uint32_t>(name.size() * 2);
  std::vector<unsigned char> bytes(record_header_bytes + name_bytes);
  write_record(bytes.data(), 0, 0, name.data(), name_bytes);
  return bytes;
}

FakeCompletion change(const std::u16string& name, size_t dir_index = 0) {
  std::vector<unsigned char> bytes = record(name);
  uint32_t size = static_cast<uint32_t>(bytes.size());
  return FakeCompletion{dir_index, std::move(bytes), size};
}

class MainLoop : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_reset();
    ASSERT_EQ(system(("mkdir -p '" + files.path + "/changes' '" + files.path + "/tree'").c_str()), 0);
    files.write("watch", files.path + "/tree\n");
    files.write("exclude", "");
    fake.args = {u"dir_watcher", u"4242", wide("watch"), wide("exclude"), wide("changes")};
    fake.host_alive_queries = 0;  // the host has ended unless a test says otherwise
  }
  void TearDown() override { fake_reset(); }

  std::u16string wide(const std::string& name) const { return to_wide(files.path + "/" + name); }

  Outcome run() {
    int result = -1;
    uint32_t code = exit_code_of([&] { result = run_dir_watcher(); });
    return code == no_exit ? returned(static_cast<uint32_t>(result)) : exited(code);
  }

  std::string batch(int number) const {
    char name[32];
    std::snprintf(name, sizeof name, "changes/%08d.txt", number);
    return files.read(name);
  }

  TempDir files;
};

TEST_F(MainLoop, CommandLineFailuresWriteNothing) {
  fake.command_line_failure = 1113;
  EXPECT_EQ(run(), returned(1113));

  fake.command_line_failure = 0;
  fake.args.pop_back();
  EXPECT_EQ(run(), returned(1));
  fake.args.push_back(wide("changes"));
  fake.args.push_back(u"extra");
  EXPECT_EQ(run(), returned(1));
  EXPECT_EQ(fake.log_writes, 0);
  EXPECT_TRUE(fake.opened_pids.empty());
}

TEST_F(MainLoop, ChangelogDirectoryLeavingNoRoomForItsNames) {
  // The longest batch name, "<dir>/2147483647.txt", must fit 32767 units.
  fake.args[4] = u"/" + std::u16string(32767 - 16, u'd');
  fake.args[2] = u"/no-such-list";
  EXPECT_EQ(run(), exited(2));  // fits: the run goes on to the lists
  fake.args[4] += u"d";
  EXPECT_EQ(run(), returned(206));
}

TEST_F(MainLoop, PortAndHostFailures) {
  fake.port_fails = true;
  EXPECT_EQ(run(), exited(100));
  EXPECT_EQ(fake.error_log,
            u"CreateIoCompletionPort 0x0008 Not enough memory resources are available to process this command.\r\n\n");

  fake_reset();
  SetUp();
  fake.unopenable_pids.insert(4242);
  EXPECT_EQ(run(), exited(105));
  EXPECT_EQ(fake.error_log, u"OpenProcess 0x0057 The parameter is incorrect.\r\n\n");
}

TEST_F(MainLoop, HostPidReadLikeWtoi) {
  files.write("watch", "");  // ends right after the lists
  for (const char16_t* pid : {u"0", u"abc", u"", u"  -0"}) {
    fake.args[1] = pid;
    EXPECT_EQ(run(), returned(0));
  }
  EXPECT_TRUE(fake.opened_pids.empty());
  fake.args[1] = u" +17x";
  EXPECT_EQ(run(), returned(0));
  fake.args[1] = u"-1";
  EXPECT_EQ(run(), returned(0));
  EXPECT_EQ(fake.opened_pids, (std::vector<uint32_t>{17, 0xFFFFFFFF}));
}

TEST_F(MainLoop, NothingWatchedEndsBeforeTheExclusionList) {
  files.write("watch", "\n" + files.path + "/missing\n");
  fake.args[3] = wide("no-such-exclusions");
  EXPECT_EQ(run(), returned(0));
  EXPECT_EQ(fake.timeouts, 0);
  EXPECT_EQ(fake.error_log, u"CreateFile 0x0003 The system cannot find the path specified.\r\n\n");
}

TEST_F(MainLoop, MissingExclusionListLeavesOnlyItsLine) {
  files.write("watch", files.path + "/missing\n" + files.path + "/tree\n");
  fake.args[3] = wide("no-such-exclusions");
  EXPECT_EQ(run(), exited(2));
  EXPECT_EQ(fake.error_log, u"_wfopen(" + fake.args[3] + u") failed: (2) No such file or directory\n");
}

TEST_F(MainLoop, CompletionsBecomeBatchesUntilTheHostEnds) {
  files.write("watch", files.path + "/tree\n" + files.path + "/tree/\n");
  files.write("exclude", files.path + "/tree/skip\n");
  fake.host_alive_queries = 2;
  fake.completions.push_back(change(u"a/b.txt"));
  fake.completions.push_back(change(u"skip/c"));                   // all excluded
  fake.completions.push_back(FakeCompletion{1, record(u"x"), 0});  // did not fit
  fake.completions.push_back(change(u"d", 1));

  EXPECT_EQ(run(), returned(0));
  std::string tree = files.path + "/tree";
  EXPECT_EQ(files.names(), (std::vector<std::string>{"changes", "exclude", "tree", "watch"}));
  EXPECT_EQ(batch(1), tree + "/a\n");
  EXPECT_EQ(batch(2), tree + "/\n");
  EXPECT_EQ(batch(3), tree + "\n");
  EXPECT_FALSE(files.exists("changes/00000004.txt"));
  EXPECT_FALSE(files.exists("changes/temp"));
  // Two reads at start, one again after each of the four completions.
  EXPECT_EQ(fake.reads_issued, 6);
  // Busy passes do not ask; the idle ones do, until the third answer.
  EXPECT_EQ(fake.timeouts, 3);
  EXPECT_EQ(fake.exit_code_queries, 3);
  EXPECT_EQ(fake.error_log, u"");
}

TEST_F(MainLoop, BusyWatcherAsksOnEveryFiftiethPass) {
  for (int i = 0; i < 120; ++i) fake.completions.push_back(change(u"f"));
  fake.host_alive_queries = 1;
  EXPECT_EQ(run(), returned(0));
  EXPECT_EQ(fake.exit_code_queries, 2);  // passes 50 and 100
  EXPECT_EQ(fake.completions.size(), 20u);
  EXPECT_EQ(fake.timeouts, 0);
  EXPECT_EQ(batch(100), files.path + "/tree\n");
  EXPECT_FALSE(files.exists("changes/00000101.txt"));
}

TEST_F(MainLoop, HostWhoseExitCodeCannotBeReadHasEnded) {
  fake.exit_code_unreadable = true;
  EXPECT_EQ(run(), returned(0));
  EXPECT_EQ(fake.exit_code_queries, 1);
  EXPECT_EQ(fake.timeouts, 1);
}

TEST_F(MainLoop, FailedReadEndsWith115) {
  FakeCompletion failed = change(u"a");
  failed.error = 5;
  fake.completions.push_back(failed);
  EXPECT_EQ(run(), exited(115));
  EXPECT_EQ(fake.error_log, u"GetQueuedCompletionStatus 0x0005 Access is denied.\r\n\n");
  EXPECT_FALSE(files.exists("changes/00000001.txt"));
}

}  // namespace
