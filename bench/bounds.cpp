// This machine's bounds for scanning a file: how fast its bytes come out of
// the page cache, and how fast zlib's adler32 and OpenSSL's MD5 get through
// them.  A scan that sums and confirms every byte cannot beat these.
//
//   bench_bounds FILE BLOCK
//
// Prints one "name cpu_ns wall_ns" line per bound, for all bytes of FILE:
//   read       read(2) of the whole file in 1 MiB pieces (page cache warm)
//   adler32    zlib adler32 over the whole file in one running sum
//   adler32_block  a fresh adler32 of every BLOCK-byte piece, as a matcher
//              must compute for the window after every matched block
//   md5        MD5 over the whole file (EVP, 1 MiB updates)
//   md5_block  one-shot MD5() of every BLOCK-byte piece, as a matcher
//              confirming every block of a matching file must do
#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/md5.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <vector>

namespace {

constexpr size_t piece_bytes = 1 << 20;  // large enough that call overhead vanishes

struct Fd {
  int fd;
  ~Fd() {
    if (fd >= 0) close(fd);
  }
};

int64_t now_ns(clockid_t clock) {
  timespec ts;
  clock_gettime(clock, &ts);
  return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

struct Timer {
  int64_t cpu = now_ns(CLOCK_PROCESS_CPUTIME_ID);
  int64_t wall = now_ns(CLOCK_MONOTONIC);
  void report(const char* name, uint64_t check) const {
    std::printf("%s %lld %lld %llu\n", name, static_cast<long long>(now_ns(CLOCK_PROCESS_CPUTIME_ID) - cpu),
                static_cast<long long>(now_ns(CLOCK_MONOTONIC) - wall), static_cast<unsigned long long>(check));
  }
};

// Reads the whole file through one reused buffer; the byte count, or -1.
int64_t read_all(const char* path, std::vector<uint8_t>* keep) {
  Fd f{open(path, O_RDONLY)};
  if (f.fd < 0) return -1;
  std::vector<uint8_t> piece(piece_bytes);
  int64_t total = 0;
  for (;;) {
    ssize_t n = read(f.fd, piece.data(), piece.size());
    if (n < 0) return -1;
    if (n == 0) return total;
    if (keep) keep->insert(keep->end(), piece.begin(), piece.begin() + n);
    total += n;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: bench_bounds FILE BLOCK\n");
    return 2;
  }
  const char* path = argv[1];
  size_t block = std::strtoul(argv[2], nullptr, 10);
  if (block == 0) block = 2048;

  std::vector<uint8_t> data;
  if (read_all(path, &data) < 0) {  // warms the page cache and keeps the bytes
    std::perror(path);
    return 1;
  }

  Timer t_read;
  int64_t total = read_all(path, nullptr);
  t_read.report("read", static_cast<uint64_t>(total));

  Timer t_adler;
  uLong sum = adler32(0, nullptr, 0);
  for (size_t at = 0; at < data.size(); at += piece_bytes)
    sum = adler32(sum, data.data() + at, static_cast<uInt>(std::min(piece_bytes, data.size() - at)));
  t_adler.report("adler32", sum);

  Timer t_adler_block;
  uint64_t sums = 0;
  for (size_t at = 0; at + block <= data.size(); at += block)
    sums += adler32_z(adler32(0, nullptr, 0), data.data() + at, block);
  t_adler_block.report("adler32_block", sums);

  Timer t_md5;
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digest_len = 0;
  EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr);
  for (size_t at = 0; at < data.size(); at += piece_bytes)
    EVP_DigestUpdate(ctx.get(), data.data() + at, std::min(piece_bytes, data.size() - at));
  EVP_DigestFinal_ex(ctx.get(), digest, &digest_len);
  t_md5.report("md5", digest[0]);

  Timer t_block;
  uint64_t fold = 0;
  for (size_t at = 0; at + block <= data.size(); at += block) {
    MD5(data.data() + at, block, digest);
    fold += digest[0];
  }
  t_block.report("md5_block", fold);
  return 0;
}
