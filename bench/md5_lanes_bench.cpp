// Multi-lane MD5 against OpenSSL's one-shot MD5 on many short messages: the
// digests of every MESSAGE-byte piece of a buffer of random bytes, by
// OpenSSL one message at a time and by each lane kernel this CPU has, 16
// messages to a call.  The buffer (BUFFER_KIB) is digested over and over
// until MIB have been: a buffer the size of a file reader's stays in the
// caches, as the bytes just read from a file do.
//
//   bench_md5_lanes MIB BUFFER_KIB MESSAGE RUNS
//
// Prints one "name ns_per_byte" line per way, the best of RUNS runs (CPU
// time of the process), and "lanes WIDTH" for the kernel md5_lanes picks.
#include "md5_lanes.h"

#include <openssl/md5.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <vector>

namespace {

int64_t cpu_ns() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

// Keeps the digests alive so that no way's work can be optimised out.
uint64_t fold(const uint8_t digest[16]) {
  uint64_t x = 0;
  for (int i = 0; i < 16; i++) x = x * 31 + digest[i];
  return x;
}

uint64_t with_openssl(const std::vector<uint8_t>& bytes, size_t message) {
  uint64_t check = 0;
  uint8_t digest[16];
  for (size_t at = 0; at + message <= bytes.size(); at += message) {
    MD5(bytes.data() + at, message, digest);
    check += fold(digest);
  }
  return check;
}

uint64_t with_kernel(const Md5LaneKernel* kernel, const std::vector<uint8_t>& bytes, size_t message) {
  uint64_t check = 0;
  const uint8_t* data[MD5_LANES_MAX];
  size_t lengths[MD5_LANES_MAX];
  uint8_t digests[MD5_LANES_MAX][16];
  const size_t messages = bytes.size() / message;
  for (size_t first = 0; first < messages; first += MD5_LANES_MAX) {
    const int count = static_cast<int>(std::min<size_t>(MD5_LANES_MAX, messages - first));
    for (int i = 0; i < count; i++) {
      data[i] = bytes.data() + (first + i) * message;
      lengths[i] = message;
    }
    md5_lanes_with(kernel, data, lengths, count, digests);
    for (int i = 0; i < count; i++) check += fold(digests[i]);
  }
  return check;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: bench_md5_lanes MIB BUFFER_KIB MESSAGE RUNS\n");
    return 2;
  }
  const size_t total = std::strtoull(argv[1], nullptr, 10) << 20;
  const size_t buffer = std::strtoull(argv[2], nullptr, 10) << 10;
  const size_t message = std::strtoull(argv[3], nullptr, 10);
  const int runs = std::atoi(argv[4]);
  if (message == 0 || buffer < message || runs < 1) return 2;
  std::vector<uint8_t> bytes(buffer);
  std::mt19937 rng(18);
  for (auto& byte : bytes) byte = static_cast<uint8_t>(rng());
  const size_t passes = std::max<size_t>(1, total / buffer);
  const double digested = static_cast<double>(passes * (buffer / message * message));
  uint64_t reference = 0;
  auto best_of = [&](const char* name, auto&& digest_buffer) {
    int64_t best = -1;
    for (int r = 0; r < runs; r++) {
      const int64_t start = cpu_ns();
      uint64_t check = 0;
      for (size_t pass = 0; pass < passes; pass++) check += digest_buffer();
      const int64_t took = cpu_ns() - start;
      if (best < 0 || took < best) best = took;
      if (reference == 0) reference = check;
      if (check != reference) {
        std::fprintf(stderr, "%s: digests differ from OpenSSL's\n", name);
        std::exit(1);
      }
    }
    std::printf("%s %.4f\n", name, static_cast<double>(best) / digested);
  };
  best_of("openssl", [&] { return with_openssl(bytes, message); });
  for (const Md5LaneKernel* k : {md5_avx2_kernel(), md5_avx512_kernel()}) {
    if (k != nullptr) best_of(k->name, [&] { return with_kernel(k, bytes, message); });
  }
  std::printf("lanes %d\n", md5_lanes_width());
  return 0;
}
