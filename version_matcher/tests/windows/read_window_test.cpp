// The read window over the C runtime's descriptors on Windows: a file opened
// with _open in binary mode, a pipe whose reads come back short, positions
// past 4 GiB, and the runtime's errno on failure.  The window's own walk
// (fill, advance, slide) is the same code as on Linux and is tested there.
#include "md5_digest.h"
#include "read_window.h"
#include "scan.h"

#include "fail_record.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr uint64_t FOUR_GIB = uint64_t{1} << 32;

// A file in the temporary directory, removed at the end of the test.
struct TempPath {
  std::string path;
  TempPath() {
    char dir[MAX_PATH], name[MAX_PATH];
    if (GetTempPathA(MAX_PATH, dir) != 0 && GetTempFileNameA(dir, "rwt", 0, name) != 0) path = name;
  }
  ~TempPath() {
    if (!path.empty()) _unlink(path.c_str());
  }
};

// Writes bytes at offset (the file grows, sparse where the file system
// allows), through the runtime's own descriptors.
bool write_at(const std::string& path, uint64_t offset, const std::string& bytes) {
  const int fd = _open(path.c_str(), _O_WRONLY | _O_BINARY | _O_CREAT, _S_IREAD | _S_IWRITE);
  if (fd < 0) return false;
  const bool ok = _lseeki64(fd, static_cast<int64_t>(offset), SEEK_SET) == static_cast<int64_t>(offset) &&
                  _write(fd, bytes.data(), static_cast<unsigned>(bytes.size())) == static_cast<int>(bytes.size());
  return _close(fd) == 0 && ok;
}

// Bytes that text mode would change: CR LF pairs, a lone CR and Ctrl-Z, which
// ends a text-mode read.
std::string sample(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; i++) s[i] = static_cast<char>("ab\r\nc\x1a\rd\n"[i % 9] + (i / 9) % 3);
  return s;
}

// The write end of a pipe fed from a thread a few bytes at a time, so the
// reader's reads come back short.
struct SlowPipe {
  int ends[2] = {-1, -1};
  std::string content;
  HANDLE writer = nullptr;
  static constexpr size_t CHUNK = 7;

  static unsigned __stdcall feed(void* self) {
    auto* p = static_cast<SlowPipe*>(self);
    for (size_t at = 0; at < p->content.size(); at += CHUNK) {
      const size_t n = std::min(CHUNK, p->content.size() - at);
      if (_write(p->ends[1], p->content.data() + at, static_cast<unsigned>(n)) != static_cast<int>(n)) break;
      Sleep(0);
    }
    _close(p->ends[1]);
    return 0;
  }
  explicit SlowPipe(std::string bytes) : content(std::move(bytes)) {
    // A pipe buffer far smaller than the window's reads.
    if (_pipe(ends, 64, _O_BINARY) != 0) return;
    writer = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, feed, this, 0, nullptr));
  }
  ~SlowPipe() {
    if (writer != nullptr) {
      WaitForSingleObject(writer, INFINITE);
      CloseHandle(writer);
    }
    if (ends[0] >= 0) _close(ends[0]);
  }
};

// Walks the whole window in steps of step bytes, checking every window start
// against the content at the offset counted so far.
void walk_and_check(int fd, const std::string& content, int buffer_size, uint64_t step) {
  Caller caller;
  ReadWindow rw;
  ASSERT_EQ(window_open(&rw, &caller, fd, content.size(), buffer_size), 0);
  const uint8_t* w = window_fill(&rw);
  uint64_t offset = 0;
  while (w != nullptr) {
    if (window_available(&rw) > 0) {
      ASSERT_EQ(static_cast<char>(*w), content[offset]) << "offset " << offset;
    }
    const uint64_t n = std::min(step, window_available(&rw));
    if (n > 0) {
      w = window_advance(&rw, n);
      offset += n;
    } else {
      w = window_slide(&rw);
    }
  }
  EXPECT_EQ(caller.failure.kind, FailKind::none) << caller.failure.message;
  EXPECT_EQ(offset, content.size());
  EXPECT_TRUE(window_exhausted(&rw));
  window_close(&rw);
}

TEST(WindowsReadWindow, BinaryFileAndShortReadingPipeGiveEveryByte) {
  const std::string content = sample(20000);
  TempPath temp;
  ASSERT_TRUE(write_at(temp.path, 0, content));
  const struct {
    int buffer_size;
    uint64_t step;
  } walks[] = {{4096, 1000}, {1000, 999}, {64, 1}};
  for (const auto& walk : walks) {
    SCOPED_TRACE(testing::Message() << "buffer " << walk.buffer_size << ", step " << walk.step);
    const int fd = _open(temp.path.c_str(), _O_RDONLY | _O_BINARY);
    ASSERT_GE(fd, 0);
    walk_and_check(fd, content, walk.buffer_size, walk.step);
    _close(fd);
    SlowPipe pipe(content);
    ASSERT_GE(pipe.ends[0], 0);
    walk_and_check(pipe.ends[0], content, walk.buffer_size, walk.step);
  }
}

TEST(WindowsReadWindow, FailuresCarryTheRuntimesErrno) {
  TempPath temp;
  ASSERT_TRUE(write_at(temp.path, 0, "abcdef"));
  Caller caller;
  ReadWindow rw;

  const int short_fd = _open(temp.path.c_str(), _O_RDONLY | _O_BINARY);
  ASSERT_EQ(window_open(&rw, &caller, short_fd, 20, 4), 0);
  ASSERT_NE(window_fill(&rw), nullptr);
  ASSERT_NE(window_advance(&rw, 4), nullptr);
  EXPECT_EQ(window_slide(&rw), nullptr);
  EXPECT_EQ(caller.failure.message, "Unexpected EOF: 0x32768; 2 of 4");
  window_close(&rw);
  _close(short_fd);

  const int write_only = _open(temp.path.c_str(), _O_WRONLY | _O_BINARY);
  ASSERT_EQ(window_open(&rw, &caller, write_only, 6, 4), 0);
  EXPECT_EQ(window_fill(&rw), nullptr);
  EXPECT_EQ(caller.failure.kind, FailKind::io);
  EXPECT_EQ(caller.failure.error_number, EBADF);
  window_close(&rw);
  _close(write_only);
}

// A block just before 4 GiB and one past it: read from a position past
// 4 GiB, and a whole scan whose offsets pass 4 GiB.  The file is sparse
// under Wine; the scan reads its 4 GiB of zeros.
TEST(WindowsReadWindow, PositionsAndOffsetsPastFourGiB) {
  std::string block(4096, '\0');
  for (size_t i = 0; i < block.size(); i++) block[i] = static_cast<char>(i * 2654435761u >> 13);
  const uint64_t before = FOUR_GIB - 1000, past = FOUR_GIB + 5000;
  const uint64_t file_size = past + 2 * block.size();
  TempPath temp;
  ASSERT_TRUE(write_at(temp.path, before, block));
  ASSERT_TRUE(write_at(temp.path, past, block));
  ASSERT_TRUE(write_at(temp.path, file_size - 1, std::string(1, '\0')));

  // The window from a position 100 bytes before the first block: the second
  // block is 6,100 + 3,096 bytes further, past 4 GiB.
  const int fd = _open(temp.path.c_str(), _O_RDONLY | _O_BINARY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(_lseeki64(fd, static_cast<int64_t>(before - 100), SEEK_SET), static_cast<int64_t>(before - 100));
  std::string expected(past + block.size() - (before - 100), '\0');
  std::memcpy(&expected[100], block.data(), block.size());
  std::memcpy(&expected[past - (before - 100)], block.data(), block.size());
  walk_and_check(fd, expected, 3000, 1500);
  _close(fd);

  Caller caller;
  MatchState state(&caller);
  state.sizes = new MatchSizeEntry{block.size(), new RollingSum(), nullptr};
  StrongEntry* s = new_strong_entry(&state.index);
  ASSERT_NE(s, nullptr);
  uint8_t digest[16];
  md5_digest(reinterpret_cast<const uint8_t*>(block.data()), block.size(), digest);
  std::memcpy(s->digest, digest, 16);
  s->value = reinterpret_cast<PyObject*>(uintptr_t{16});
  WeakEntry* e = new_weak_entry(&state.index, static_cast<uint32_t>(block.size()));
  ASSERT_NE(e, nullptr);
  RollingSum sum;
  rolling_reset(&sum, reinterpret_cast<const uint8_t*>(block.data()), block.size());
  e->sum = sum.sum;
  e->strong = s;
  ASSERT_EQ(index_seal(&state.index, &caller), 0);
  const int scan_fd = _open(temp.path.c_str(), _O_RDONLY | _O_BINARY);
  ASSERT_GE(scan_fd, 0);
  EXPECT_EQ(scan_for_matches(&state, scan_fd, file_size, 16 << 20), 0) << caller.failure.message;
  _close(scan_fd);
  ASSERT_EQ(state.matches.size(), 2u);
  EXPECT_EQ(state.matches[0].offset, before);
  EXPECT_EQ(state.matches[1].offset, past);
  EXPECT_EQ(state.strong_count, 2u);
  EXPECT_EQ(state.bytes_matched, 2 * block.size());
}

}  // namespace
