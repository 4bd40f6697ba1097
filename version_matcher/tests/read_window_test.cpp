#include "read_window.h"

#include "fail_record.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <pthread.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

// A pipe with the given bytes written and the write end closed, so reads see
// exactly these bytes and then end of file.
struct PipeFile {
  int fd = -1;
  explicit PipeFile(const std::string& content) {
    int ends[2];
    if (pipe(ends) != 0) return;
    if (write(ends[1], content.data(), content.size()) != static_cast<ssize_t>(content.size())) return;
    close(ends[1]);
    fd = ends[0];
  }
  ~PipeFile() {
    if (fd >= 0) close(fd);
  }
};

class ReadWindowTest : public ::testing::Test {
 protected:
  void TearDown() override { window_close(&rw); }
  Caller caller;
  ReadWindow rw;
};

std::string at(const uint8_t* p, size_t n) { return std::string(reinterpret_cast<const char*>(p), n); }

TEST_F(ReadWindowTest, TenBytesThroughFourByteBuffer) {
  PipeFile file("0123456789");
  ASSERT_GE(file.fd, 0);
  ASSERT_EQ(window_open(&rw, &caller, file.fd, 10, 4), 0);
  const uint8_t* w = window_fill(&rw);
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(at(w, 4), "0123");
  EXPECT_EQ(rw.bytes_read, 4u);

  w = window_advance(&rw, 3);
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(window_available(&rw), 1u);
  w = window_slide(&rw);  // moves "3" to the front and reads 3 more
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(rw.pos, 0u);
  EXPECT_EQ(rw.bytes_read, 7u);
  EXPECT_EQ(at(w, 4), "3456");
  EXPECT_FALSE(window_exhausted(&rw));

  w = window_advance(&rw, 4);  // to the end of the valid data
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(window_available(&rw), 0u);
  w = window_slide(&rw);  // nothing to move; only the last 3 bytes remain
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(rw.length, 3u);
  EXPECT_EQ(at(w, 3), "789");
  EXPECT_TRUE(window_exhausted(&rw));

  EXPECT_EQ(window_slide(&rw), nullptr);
  EXPECT_EQ(caller.failure.kind, FailKind::none);
}

TEST_F(ReadWindowTest, BufferAtLeastFileReadsOnceAndStops) {
  PipeFile file(
      "abcdefgh"
      "tail never read");
  ASSERT_EQ(window_open(&rw, &caller, file.fd, 8, 100), 0);
  EXPECT_EQ(rw.length, 8u);
  const uint8_t* w = window_fill(&rw);
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(at(w, 8), "abcdefgh");
  EXPECT_TRUE(window_exhausted(&rw));
  EXPECT_EQ(window_slide(&rw), nullptr);
  EXPECT_EQ(caller.failure.kind, FailKind::none);
  // Bytes past file_size stay in the descriptor.
  char rest[4];
  EXPECT_EQ(read(file.fd, rest, 4), 4);
  EXPECT_EQ(std::string(rest, 4), "tail");
}

TEST_F(ReadWindowTest, SlideAtBufferStartReadsNothing) {
  PipeFile file("abcdefghij");
  ASSERT_EQ(window_open(&rw, &caller, file.fd, 10, 4), 0);
  const uint8_t* w = window_fill(&rw);
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(window_slide(&rw), w);
  EXPECT_EQ(rw.bytes_read, 4u);
  EXPECT_EQ(at(w, 4), "abcd");
  EXPECT_EQ(window_available(&rw), 4u);
}

TEST_F(ReadWindowTest, EarlyEndOfFileNamesBytesGotAndAsked) {
  PipeFile file("abcdef");
  ASSERT_EQ(window_open(&rw, &caller, file.fd, 20, 4), 0);
  ASSERT_NE(window_fill(&rw), nullptr);
  ASSERT_NE(window_advance(&rw, 4), nullptr);
  EXPECT_EQ(window_slide(&rw), nullptr);  // asks for 4, gets 2
  EXPECT_EQ(caller.failure.kind, FailKind::runtime);
  EXPECT_EQ(caller.failure.message, "Unexpected EOF: 0x32768; 2 of 4");
  EXPECT_EQ(rw.bytes_read, 4u);  // a failed read adds nothing
  EXPECT_FALSE(window_exhausted(&rw));
}

TEST_F(ReadWindowTest, EarlyEndOfFileOnFirstFill) {
  PipeFile file("");
  ASSERT_EQ(window_open(&rw, &caller, file.fd, 5, 64), 0);
  EXPECT_EQ(window_fill(&rw), nullptr);
  EXPECT_EQ(caller.failure.message, "Unexpected EOF: 0x32768; 0 of 5");
}

TEST_F(ReadWindowTest, ZeroSizeFileRefusedBeforeAnyAllocation) {
  EXPECT_EQ(window_open(&rw, &caller, 0, 0, 4096), -1);
  EXPECT_EQ(caller.failure.kind, FailKind::value);
  EXPECT_EQ(caller.failure.message, "Zero size file");
  EXPECT_EQ(rw.buffer, nullptr);
}

TEST_F(ReadWindowTest, NegativeBufferSizeReadsAsUnsigned) {
  PipeFile file("0123456789");
  ASSERT_EQ(window_open(&rw, &caller, file.fd, 10, -1), 0);
  EXPECT_EQ(rw.length, 10u);
}

TEST_F(ReadWindowTest, ReadErrorReportsErrno) {
  int fd = open("/dev/null", O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(window_open(&rw, &caller, fd, 10, 4), 0);
  EXPECT_EQ(window_fill(&rw), nullptr);
  EXPECT_EQ(caller.failure.kind, FailKind::io);
  EXPECT_EQ(caller.failure.error_number, EBADF);
  close(fd);
}

TEST_F(ReadWindowTest, AdvanceUpToTheEndButNotPast) {
  PipeFile file("0123456789");
  ASSERT_EQ(window_open(&rw, &caller, file.fd, 10, 6), 0);
  ASSERT_NE(window_fill(&rw), nullptr);
  ASSERT_NE(window_advance(&rw, 2), nullptr);
  EXPECT_EQ(window_advance(&rw, 5), nullptr);
  EXPECT_EQ(caller.failure.message, "Increment goes off the end of the buffer: 2+5 > 6");
  EXPECT_EQ(rw.pos, 2u);  // unchanged by the refused advance
  const uint8_t* w = window_advance(&rw, 4);
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(w, rw.buffer + 6);
  EXPECT_EQ(window_available(&rw), 0u);
}

TEST_F(ReadWindowTest, CloseIsIdempotent) {
  PipeFile file("0123");
  ASSERT_EQ(window_open(&rw, &caller, file.fd, 4, 4), 0);
  window_close(&rw);
  EXPECT_EQ(rw.buffer, nullptr);
  window_close(&rw);
  EXPECT_EQ(rw.buffer, nullptr);
}

// A fill of many MiB looks for a signal between pieces of a few MiB, so a
// handler that raises ends it before the rest is read.
TEST_F(ReadWindowTest, LongFillLooksForSignalsBetweenPieces) {
  const int zero = open("/dev/zero", O_RDONLY);
  ASSERT_GE(zero, 0);
  caller.raise_at_check = 2;
  const uint64_t size = uint64_t{64} << 20;
  ASSERT_EQ(window_open(&rw, &caller, zero, size, static_cast<int>(size)), 0);
  EXPECT_EQ(window_fill(&rw), nullptr);
  EXPECT_EQ(caller.failure.kind, FailKind::signal);
  EXPECT_EQ(caller.signal_checks, 2);
  close(zero);
}

// A read interrupted by a signal before any data arrives asks the caller to
// run its signal handlers: retried when they do not raise, failed when one does.
void on_alarm(int) {}

int writer_fd = -1;

void* write_late(void*) {
  usleep(300000);  // several alarms hit the blocked reader meanwhile
  ssize_t written = write(writer_fd, "wxyz", 4);
  (void)written;
  return nullptr;
}

TEST_F(ReadWindowTest, InterruptedReadRunsTheSignalHandlers) {
  for (int raise_at_check : {0, 2}) {
    SCOPED_TRACE(raise_at_check);
    caller = Caller{};
    caller.raise_at_check = raise_at_check;
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    writer_fd = ends[1];
    struct sigaction action {};
    action.sa_handler = on_alarm;  // no SA_RESTART, so read fails with EINTR
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGALRM, &action, &previous), 0);

    // The writer starts with SIGALRM blocked, so every alarm lands on the reader.
    sigset_t alarm_only, old_mask;
    sigemptyset(&alarm_only);
    sigaddset(&alarm_only, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &alarm_only, &old_mask);
    pthread_t writer;
    ASSERT_EQ(pthread_create(&writer, nullptr, write_late, nullptr), 0);
    pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);

    struct itimerval timer {};
    timer.it_value.tv_usec = 50000;
    timer.it_interval.tv_usec = 50000;
    ASSERT_EQ(setitimer(ITIMER_REAL, &timer, nullptr), 0);

    ASSERT_EQ(window_open(&rw, &caller, ends[0], 4, 4), 0);
    const uint8_t* w = window_fill(&rw);

    struct itimerval off {};
    setitimer(ITIMER_REAL, &off, nullptr);
    pthread_join(writer, nullptr);
    sigaction(SIGALRM, &previous, nullptr);
    close(ends[0]);
    close(ends[1]);

    if (raise_at_check == 0) {
      ASSERT_NE(w, nullptr) << caller.failure.message;
      EXPECT_EQ(at(w, 4), "wxyz");
      EXPECT_GE(caller.signal_checks, 2);
    } else {
      EXPECT_EQ(w, nullptr);
      EXPECT_EQ(caller.failure.kind, FailKind::signal);
      EXPECT_EQ(caller.signal_checks, 2);  // the call ends at the handler that raised
      EXPECT_EQ(rw.bytes_read, 0u);
    }
    window_close(&rw);
  }
}

}  // namespace
