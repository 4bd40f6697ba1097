// error.txt lines: the log_error form, the four direct writes that replace
// the file, and their exit codes.
#include <string>

#include <gtest/gtest.h>

#include "fake_platform.h"
#include "wide_text.h"

namespace {

class ErrorLog : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_reset();
    changelog_dir = u"/changes";
    wide_join(error_log_path, wide_buffer_units, changelog_dir, u'/', u"error.txt");
    wide_join(temp_changelog_path, wide_buffer_units, changelog_dir, u'/', u"temp");
  }
  void TearDown() override { fake_reset(); }
};

TEST_F(ErrorLog, LinesAppendWithFourHexDigitsAtLeast) {
  log_error(u"ReadDirectoryChangesW", 87);
  log_error(u"CreateFile", 0x1234);  // no text for it: empty message
  log_error(u"Step", 0xABCDEF);
  EXPECT_EQ(fake.error_log,
            u"ReadDirectoryChangesW 0x0057 The parameter is incorrect.\r\n\n"
            u"CreateFile 0x1234 \n"
            u"Step 0xABCDEF \n");
}

TEST_F(ErrorLog, LogErrorAndExitLogsFirst) {
  EXPECT_EQ(exit_code_of([] { log_error_and_exit(u"OpenProcess", 87, 105); }), 105u);
  EXPECT_EQ(fake.error_log, u"OpenProcess 0x0057 The parameter is incorrect.\r\n\n");
}

TEST_F(ErrorLog, DirectWritesReplaceTheFile) {
  log_error(u"CreateFile", 3);
  EXPECT_EQ(exit_code_of([] { write_list_open_failure(u"/lists/exclude.txt", 2); }), 2u);
  EXPECT_EQ(fake.error_log, u"_wfopen(/lists/exclude.txt) failed: (2) No such file or directory\n");

  EXPECT_EQ(exit_code_of([] { write_list_read_failure(u"/lists/watch.txt", 5); }), 2u);
  EXPECT_EQ(fake.error_log, u"fgetws(/lists/watch.txt) failed: (5) Input/output error\n");

  EXPECT_EQ(exit_code_of([] { write_buffer_overrun(40, 52); }), 18u);
  EXPECT_EQ(fake.error_log, u"process_dir_watcher_results buffer overrun 40 52\n");

  wide_join(batch_path, wide_buffer_units, changelog_dir, u'/', u"00000003.txt");
  EXPECT_EQ(exit_code_of([] { write_rename_failure(17); }), 24u);
  EXPECT_EQ(fake.error_log, u"_wrename(/changes/temp, /changes/00000003.txt) failed: (17) File exists\n");
}

TEST_F(ErrorLog, LongestPathsFitTheLine) {
  // Both paths at full length and the errno text all reach error.txt.
  std::u16string temp(32767, u't'), batch(32767, u'b');
  wide_copy(temp_changelog_path, wide_buffer_units, temp.c_str(), temp.size());
  wide_copy(batch_path, wide_buffer_units, batch.c_str(), batch.size());
  EXPECT_EQ(exit_code_of([] { write_rename_failure(2); }), 24u);
  EXPECT_EQ(fake.error_log, u"_wrename(" + temp + u", " + batch + u") failed: (2) No such file or directory\n");
}

}  // namespace
