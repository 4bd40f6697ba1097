#include "scan.h"

#include "fail_record.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <zlib.h>

#include <cstdio>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

PyObject* fake_value(uintptr_t n) { return reinterpret_cast<PyObject*>(n * 16); }

// A descriptor of an unnamed file holding content, at its start.
struct TempFile {
  FILE* file = std::tmpfile();
  int fd = -1;
  explicit TempFile(const std::string& content) {
    if (file == nullptr) return;
    if (std::fwrite(content.data(), 1, content.size(), file) != content.size() || std::fflush(file) != 0) return;
    fd = fileno(file);
    lseek(fd, 0, SEEK_SET);
  }
  ~TempFile() {
    if (file != nullptr) std::fclose(file);
  }
};

class ScanTest : public ::testing::Test {
 protected:
  Caller caller;
  MatchState state{&caller};
  MatchSizeEntry** tail = &state.sizes;

  void add_size(uint64_t size) {
    auto* entry = new MatchSizeEntry{size, new RollingSum(), nullptr};
    *tail = entry;
    tail = &entry->next;
  }

  // A known block, found under its own sum and digest.
  void add_block(const std::string& block, uintptr_t value) {
    StrongEntry* s = new_strong_entry(&state.index);
    unsigned int length = 0;
    EVP_Digest(block.data(), block.size(), s->digest, &length, EVP_md5(), nullptr);
    s->value = fake_value(value);
    WeakEntry* e = new_weak_entry(&state.index);
    e->sum = static_cast<uint32_t>(adler32(1, reinterpret_cast<const Bytef*>(block.data()), block.size()));
    e->strong = s;
  }

  int scan(const TempFile& file, uint64_t file_size, int buffer_size) {
    if (index_seal(&state.index, &caller) < 0) return -2;
    return scan_for_matches(&state, file.fd, file_size, buffer_size);
  }
};

std::string noise(size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (char& c : s) {
    seed = seed * 1103515245 + 12345;
    c = static_cast<char>(seed >> 16);
  }
  return s;
}

TEST_F(ScanTest, MatchesComeBackInOffsetOrderWithTheCounters) {
  const std::string data = noise(300, 1);
  // Two known blocks of 8 bytes; one sum also known with a wrong digest.
  add_size(8);
  add_block(data.substr(40, 8), 1);
  add_block(data.substr(200, 8), 2);
  TempFile file(data + data.substr(40, 8));  // the first block once more, at the end
  ASSERT_EQ(scan(file, 308, 64), 0) << caller.failure.message;
  ASSERT_EQ(state.matches.size(), 3u);
  const std::vector<std::pair<uint64_t, PyObject*>> expected = {
      {40, fake_value(1)}, {200, fake_value(2)}, {300, fake_value(1)}};
  for (size_t i = 0; i < expected.size(); i++) {
    EXPECT_EQ(state.matches[i].offset, expected[i].first);
    EXPECT_EQ(state.matches[i].value, expected[i].second);
  }
  EXPECT_EQ(state.strong_count, 3u);
  EXPECT_EQ(state.bytes_matched, 24u);
  EXPECT_GE(state.weak_count, 3u);
  EXPECT_EQ(caller.failure.kind, FailKind::none);
  EXPECT_EQ(state.window.buffer, nullptr);  // closed
}

TEST_F(ScanTest, FailuresReachTheCaller) {
  const std::string data = noise(100, 2);
  add_size(8);
  add_block(data.substr(0, 8), 1);
  struct Case {
    const char* what;
    uint64_t file_size;
    int buffer_size;
    FailKind kind;
    std::string message;
  } cases[] = {
      {"early end after a match", 120, 32, FailKind::runtime, "Unexpected EOF: 0x32768; 18 of 25"},
      {"size longer than the buffer", 100, 4, FailKind::value, "Match size larger than buffer_size"},
      {"zero size file", 0, 32, FailKind::value, "Zero size file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    caller.failure = RecordedFailure{};
    TempFile file(data);
    EXPECT_EQ(scan(file, c.file_size, c.buffer_size), -1);
    EXPECT_EQ(caller.failure.kind, c.kind);
    EXPECT_EQ(caller.failure.message, c.message);
    EXPECT_EQ(state.window.buffer, nullptr);
  }
}

// A long scan asks for signals every few MiB; the call ends at the check
// whose handler raises, long before the end of the file.
TEST_F(ScanTest, LongScanLooksForSignals) {
  const uint64_t size = uint64_t{12} << 20;
  TempFile file(std::string(size, '\0'));
  add_size(64);
  add_size(16);
  add_block(noise(64, 3), 1);  // never met in zeros
  for (int raise_at_check : {0, 2}) {
    SCOPED_TRACE(raise_at_check);
    caller = Caller{};
    caller.raise_at_check = raise_at_check;
    lseek(file.fd, 0, SEEK_SET);
    const int rc = scan(file, size, 1 << 20);
    if (raise_at_check == 0) {
      EXPECT_EQ(rc, 0);
      EXPECT_GE(caller.signal_checks, 2);
    } else {
      EXPECT_EQ(rc, -1);
      EXPECT_EQ(caller.failure.kind, FailKind::signal);
      EXPECT_EQ(caller.signal_checks, 2);
      EXPECT_LT(state.window.bytes_read, size);
    }
    EXPECT_EQ(state.window.buffer, nullptr);
  }
}

}  // namespace
