#include "scan.h"

#include "fail_record.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <zlib.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

PyObject* fake_value(uintptr_t n) { return reinterpret_cast<PyObject*>(n * 16); }

using Digest = std::array<uint8_t, 16>;

Digest digest_of(const std::string& block) {
  Digest d;
  unsigned int length = 0;
  EVP_Digest(block.data(), block.size(), d.data(), &length, EVP_md5(), nullptr);
  return d;
}

uint32_t sum_of(const std::string& block) {
  return static_cast<uint32_t>(adler32(1, reinterpret_cast<const Bytef*>(block.data()), block.size()));
}

// An entry of lookup_table[size]: one sum with one digest.
void add_entry(LookupIndex* index, uint64_t size, uint32_t sum, const Digest& digest, uintptr_t value) {
  StrongEntry* s = new_strong_entry(index);
  std::memcpy(s->digest, digest.data(), 16);
  s->value = fake_value(value);
  WeakEntry* e = new_weak_entry(index, static_cast<uint32_t>(size));
  e->sum = sum;
  e->strong = s;
}

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
    add_entry(&state.index, block.size(), sum_of(block), digest_of(block), value);
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

// Windows of many MiB are digested in pieces, with looks for a signal
// between them.  Ten blocks in a row match at their offsets (the pieces give
// the window's MD5, at the first blocks and in the stretch after them); and
// where the sum is listed with a digest of no window, the call ends inside
// the first window's digest, not after it.
TEST_F(ScanTest, LongWindowsDigestedInPieces) {
  const uint64_t size = (uint64_t{4} << 20) + 100;
  const std::string block = noise(size, 5);
  std::string data;
  for (int k = 0; k < 10; k++) data += block;
  TempFile file(data + std::string(64, '\0'));
  const int buffer_size = static_cast<int>(data.size()) + 1000;  // a slide would end the stretch
  add_size(size);
  add_block(block, 1);
  ASSERT_EQ(scan(file, data.size() + 64, buffer_size), 0) << caller.failure.message;
  ASSERT_EQ(state.matches.size(), 10u);
  for (uint64_t k = 0; k < 10; k++) EXPECT_EQ(state.matches[k].offset, k * size);
  EXPECT_EQ(state.strong_count, 10u);

  // Zeros: a weak hit at every position, each window 12 MiB to digest.
  const uint64_t zeros_size = uint64_t{12} << 20;
  const std::string zeros(zeros_size, '\0');
  TempFile zeros_file(zeros + std::string(64, '\0'));
  MatchState missing{&caller};
  missing.sizes = new MatchSizeEntry{zeros_size, new RollingSum(), nullptr};
  add_entry(&missing.index, zeros_size, sum_of(zeros), digest_of("no window"), 2);
  caller = Caller{};
  // The buffer's fill looks three times, between its 4 MiB pieces; the next
  // looks after those come inside the first window's digest.
  caller.raise_at_check = 3 + 2;
  ASSERT_EQ(index_seal(&missing.index, &caller), 0);
  EXPECT_EQ(scan_for_matches(&missing, zeros_file.fd, zeros_size + 64, static_cast<int>(zeros_size) + (1 << 16)), -1);
  EXPECT_EQ(caller.failure.kind, FailKind::signal);
  EXPECT_EQ(missing.weak_count, 1u);
  EXPECT_EQ(missing.window.buffer, nullptr);
}

// A window that finds another length's entry is a weak match, but the
// entry's digests are not consulted: even one that is this window's MD5 (a
// table can hold anything) does not make a block of the wrong length match.
TEST_F(ScanTest, WeakHitOnAnotherSizesEntryIsCountedButNotConfirmed) {
  const std::string data = noise(64, 4);
  const std::string window = data.substr(0, 8);
  add_size(8);
  add_size(4);
  add_entry(&state.index, 4, sum_of(window), digest_of(window), 1);
  TempFile file(data);
  ASSERT_EQ(scan(file, 64, 64), 0) << caller.failure.message;
  EXPECT_EQ(state.weak_count, 1u);
  EXPECT_EQ(state.strong_count, 0u);
  EXPECT_TRUE(state.matches.empty());
}

// Weak matches counted one by one: sums listed under their own size and
// under other sizes, none with a digest that matches, in one buffer load.
// Every window of every size that fits is tried, so the weak count is the
// number of (position, size) whose fresh sum is in the table, whether the
// scan counts them in the exact step or inside a run of positions.
TEST_F(ScanTest, WeakMatchesOnEverySizesEntriesAreAllCounted) {
  const std::string data = noise(20000, 6);
  const std::vector<uint64_t> sizes = {8, 4, 16};
  for (uint64_t size : sizes) add_size(size);
  std::mt19937 rng(8);
  std::set<uint32_t> listed;
  for (uint64_t listed_under : sizes) {
    for (uint64_t window : sizes) {
      for (int i = 0; i < 15; i++) {
        const uint32_t sum = sum_of(data.substr(rng() % (data.size() - window), window));
        add_entry(&state.index, listed_under, sum, digest_of("no such block"), 1);
        listed.insert(sum);
      }
    }
  }
  uint32_t expected = 0;
  for (size_t p = 0; p + sizes.back() <= data.size(); p++) {
    for (uint64_t size : sizes) {
      if (p + size <= data.size()) expected += listed.count(sum_of(data.substr(p, size)));
    }
  }
  TempFile file(data);
  ASSERT_EQ(scan(file, data.size(), 1 << 16), 0) << caller.failure.message;
  EXPECT_EQ(state.strong_count, 0u);
  EXPECT_GE(expected, 135u);
  EXPECT_EQ(state.weak_count, expected);
}

// What a scan reports, and the sums it leaves, to compare two scans by.
struct Outcome {
  int rc = 0;
  uint32_t weak = 0, strong = 0;
  uint64_t bytes = 0;
  std::vector<std::pair<uint64_t, PyObject*>> matches;
  std::vector<uint32_t> sums;  // of each size's last window
  bool operator==(const Outcome& o) const {
    return rc == o.rc && weak == o.weak && strong == o.strong && bytes == o.bytes && matches == o.matches &&
           sums == o.sums;
  }
};

struct Known {
  uint64_t size;
  uint32_t sum;
  Digest digest;
  uintptr_t value;
};

Outcome scan_once(const std::string& data, const std::vector<uint64_t>& sizes, const std::vector<Known>& known,
                  int buffer_size, ScanOptions options, bool* digests_built = nullptr) {
  Caller caller;
  MatchState state(&caller);
  state.options = options;
  MatchSizeEntry** tail = &state.sizes;
  for (uint64_t size : sizes) {
    *tail = new MatchSizeEntry{size, new RollingSum(), nullptr};
    tail = &(*tail)->next;
  }
  for (const Known& k : known) add_entry(&state.index, k.size, k.sum, k.digest, k.value);
  TempFile file(data);
  Outcome out;
  out.rc = index_seal(&state.index, &caller) < 0 ? -2 : scan_for_matches(&state, file.fd, data.size(), buffer_size);
  out.weak = state.weak_count;
  out.strong = state.strong_count;
  out.bytes = state.bytes_matched;
  for (const Match& m : state.matches) out.matches.emplace_back(m.offset, m.value);
  for (MatchSizeEntry* e = state.sizes; e != nullptr; e = e->next) out.sums.push_back(e->rolling->sum);
  if (digests_built != nullptr) *digests_built = state.first_size_digests.slots != nullptr;
  return out;
}

// The scan rolls each sum on where RollingSum's rule would recompute it, with
// whichever batch kernels the CPU runs.  Over
// random bytes with runs of 0x00 and 0xFF, repeated stretches, and windows of
// every length class (one byte, a few, around the modulus, beyond 2^16), it
// reports the same counters and matches, and leaves the same sums, as a scan
// that recomputes.  The tables hold sums of windows scattered over the file,
// many with the right digest and more with a wrong one, so a sum that went
// wrong anywhere near them would change the counts.
TEST(ScanRollsOn, SameOutcomeAsRecomputingEveryHalfWindow) {
  std::mt19937 rng(2024);
  std::string data = noise(400000, 9);
  for (size_t i = 100000; i < 160000; i++) data[i] = '\xFF';
  for (size_t i = 160000; i < 220000; i++) data[i] = '\0';
  const std::string stretch = data.substr(230000, 70000);
  data.replace(320000, stretch.size(), stretch);  // a stretch seen twice
  const std::vector<std::vector<uint64_t>> size_lists = {
      {1}, {2}, {3}, {16}, {2048}, {5553}, {65521}, {140000}, {3, 2048}, {2048, 16, 1}, {65522, 255, 2},
  };
  for (const auto& sizes : size_lists) {
    uint64_t longest = 0;
    std::vector<Known> known;
    for (uint64_t size : sizes) {
      longest = std::max(longest, size);
      std::uniform_int_distribution<size_t> at(0, data.size() - size);
      for (int i = 0; i < 300; i++) {
        // Not from inside the runs, where every window is the same one and a
        // wrong digest would cost an MD5 at every position.
        size_t from = at(rng);
        while (from + size > 100000 && from < 220000) from = at(rng);
        const std::string window = data.substr(from, size);
        const bool right = i % 3 == 0;
        known.push_back({size, sum_of(window), digest_of(right ? window : window + "x"), known.size() + 1});
      }
    }
    for (int buffer_size : {static_cast<int>(longest + 1000), 1 << 20}) {
      SCOPED_TRACE(::testing::Message() << "sizes " << ::testing::PrintToString(sizes) << " buffer " << buffer_size);
      const Outcome reseeded = scan_once(data, sizes, known, buffer_size, ScanOptions{true, &portable_kernels});
      EXPECT_EQ(reseeded.rc, 0);
      EXPECT_GT(reseeded.weak, reseeded.strong);
      EXPECT_GT(reseeded.strong, 0u);
      std::vector<const BatchKernels*> kernels = {&portable_kernels};
      if (avx2_kernels() != nullptr) kernels.push_back(avx2_kernels());
      for (const BatchKernels* k : kernels) {
        const Outcome rolled = scan_once(data, sizes, known, buffer_size, ScanOptions{false, k});
        EXPECT_TRUE(rolled == reseeded) << k->name << ": weak " << rolled.weak << "/" << reseeded.weak << " strong "
                                        << rolled.strong << "/" << reseeded.strong;
      }
    }
  }
}

// In stretches that match block after block, the windows of the stretch's
// size are digested several at a time, and a window of the first size is
// confirmed by its MD5 before its sum is computed.  The outcome is the exact
// step's, with refills at any point of a stretch, a second size, a digest two
// sums of the first size list (the window's own sum decides), a sum listed
// again under a repeat of the first size (only the first listing counts),
// sums whose first listing has a digest of no window, and stretches of a size
// listed after one that matches now and then.
TEST(ScanDigestFirst, SameOutcomeAsTheExactStep) {
  std::mt19937 rng(41);
  const std::string old_data = noise(200000, 12);
  // The new version: stretches of the old one, moved, with bytes in between.
  std::string new_data;
  while (new_data.size() < 260000) {
    const size_t from = rng() % (old_data.size() - 30000);
    new_data += old_data.substr(from, 3000 + rng() % 27000);
    new_data += noise(rng() % 200, static_cast<unsigned>(rng()));
  }
  const uint64_t first = 64, second = 16;
  std::vector<Known> known;
  uintptr_t value = 1;
  for (size_t at = 0; at + first <= old_data.size(); at += first) {
    const std::string block = old_data.substr(at, first);
    const bool wrong = at % (first * 50) == 0;  // a digest of no window: the repeat's counts instead
    known.push_back({first, sum_of(block), digest_of(wrong ? block + "x" : block), value++});
    if (!wrong && at % (first * 70) == 0) known.push_back({first, sum_of(block) ^ 0x10001, digest_of(block), value++});
  }
  for (size_t at = 0; at + first <= old_data.size(); at += first * 50) {
    const std::string block = old_data.substr(at, first);
    known.push_back({first, sum_of(block), digest_of(block), value++});  // under the repeated size
  }
  for (size_t at = 0; at + second <= old_data.size(); at += second * 7) {
    const std::string block = old_data.substr(at, second);
    known.push_back({second, sum_of(block), digest_of(block), value++});
  }
  const uint64_t before = 48;
  for (size_t at = 0; at + before <= old_data.size(); at += before * 5) {
    const std::string block = old_data.substr(at, before);
    known.push_back({before, sum_of(block), digest_of(block), value++});
  }
  for (const auto& sizes : {std::vector<uint64_t>{first, first, second}, std::vector<uint64_t>{before, first}})
    for (int buffer_size : {1 << 20, 2000, 700}) {
      SCOPED_TRACE(::testing::Message() << "sizes " << ::testing::PrintToString(sizes) << " buffer " << buffer_size);
      bool digests_built = false;
      Outcome with = scan_once(new_data, sizes, known, buffer_size, ScanOptions{}, &digests_built);
      ScanOptions exact;
      exact.digest_first = false;
      Outcome without = scan_once(new_data, sizes, known, buffer_size, exact);
      EXPECT_TRUE(digests_built || sizes.front() != first);
      EXPECT_EQ(with.rc, 0);
      EXPECT_GT(with.bytes, new_data.size() / 2);
      with.sums = without.sums = {};  // the rolling sums are the scan's own business
      EXPECT_TRUE(with == without) << "weak " << with.weak << "/" << without.weak << " strong " << with.strong << "/"
                                   << without.strong;
    }
}

}  // namespace
