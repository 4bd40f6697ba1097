// Writes the benchmark's input files, the same bytes for the same seed on
// every machine (std::mt19937_64 is fully specified by the standard).
//
//   bench_datagen random OUT SIZE SEED      incompressible bytes
//   bench_datagen text   OUT SIZE SEED      words, lines and long runs of one byte
//   bench_datagen edit   IN OUT COUNT SEED [MAXLEN]
//                                           IN with COUNT scattered insertions,
//                                           deletions and overwrites of 1 to
//                                           MAXLEN bytes each (default 4096)
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr size_t chunk_bytes = 1 << 20;  // write granularity; any size gives the same file

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

File open_file(const char* path, const char* mode) {
  File f(std::fopen(path, mode));
  if (!f) {
    std::perror(path);
    std::exit(1);
  }
  return f;
}

void write_all(std::FILE* f, const void* data, size_t n) {
  if (std::fwrite(data, 1, n, f) != n) {
    std::perror("write");
    std::exit(1);
  }
}

void fill_random(std::mt19937_64& rng, uint8_t* out, size_t n) {
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t v = rng();
    std::memcpy(out + i, &v, 8);
  }
  for (; i < n; ++i) out[i] = static_cast<uint8_t>(rng());
}

int make_random(const char* out, uint64_t size, uint64_t seed) {
  File f = open_file(out, "wb");
  std::mt19937_64 rng(seed);
  std::vector<uint8_t> buf(chunk_bytes);
  for (uint64_t done = 0; done < size;) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(chunk_bytes, size - done));
    fill_random(rng, buf.data(), n);
    write_all(f.get(), buf.data(), n);
    done += n;
  }
  return 0;
}

// Text whose adler32 sums crowd together: a small vocabulary of lower-case
// words (the same for every seed, so two files look alike), short lines,
// and every few KiB a run of one byte such as padding or a blank region.
int make_text(const char* out, uint64_t size, uint64_t seed) {
  std::mt19937_64 vocab_rng(1);
  std::vector<std::string> vocab(700);
  for (auto& w : vocab) {
    size_t len = 2 + vocab_rng() % 9;
    for (size_t i = 0; i < len; ++i) w += static_cast<char>('a' + vocab_rng() % 26);
  }
  static const char run_bytes[] = {' ', '\0', '-', '=', '\n'};

  File f = open_file(out, "wb");
  std::mt19937_64 rng(seed);
  std::string text;
  uint64_t done = 0;
  while (done < size) {
    text.clear();
    while (text.size() < chunk_bytes) {
      if (rng() % 64 == 0) {
        text.append(256 + rng() % 16384, run_bytes[rng() % sizeof run_bytes]);
        continue;
      }
      size_t words = 3 + rng() % 12;
      for (size_t i = 0; i < words; ++i) {
        if (i) text += ' ';
        text += vocab[rng() % vocab.size()];
      }
      text += rng() % 4 ? ".\n" : ",\n";
    }
    size_t n = static_cast<size_t>(std::min<uint64_t>(text.size(), size - done));
    write_all(f.get(), text.data(), n);
    done += n;
  }
  return 0;
}

// Edits spread over the file with some jitter, so that most blocks of the
// original survive but many sit at shifted offsets in the copy.
int make_edit(const char* in, const char* out, unsigned count, uint64_t seed, size_t max_len) {
  File src = open_file(in, "rb");
  std::vector<uint8_t> data;
  std::vector<uint8_t> buf(chunk_bytes);
  for (size_t n; (n = std::fread(buf.data(), 1, buf.size(), src.get())) > 0;)
    data.insert(data.end(), buf.begin(), buf.begin() + n);

  std::mt19937_64 rng(seed);
  File dst = open_file(out, "wb");
  uint64_t stride = count ? data.size() / count : data.size();
  uint64_t pos = 0;
  static const char* kinds[] = {"insert", "delete", "overwrite"};
  for (unsigned e = 0; e < count; ++e) {
    uint64_t at = e * stride + (stride > 1 ? rng() % (stride / 2) : 0);
    if (at < pos || at >= data.size()) continue;
    write_all(dst.get(), data.data() + pos, at - pos);
    pos = at;
    size_t len = 1 + rng() % max_len;
    int kind = static_cast<int>(rng() % 3);
    std::vector<uint8_t> fresh(len);
    fill_random(rng, fresh.data(), len);
    if (kind == 0) {
      write_all(dst.get(), fresh.data(), len);
    } else {
      len = static_cast<size_t>(std::min<uint64_t>(len, data.size() - pos));
      if (kind == 2) write_all(dst.get(), fresh.data(), len);
      pos += len;
    }
    std::printf("%s %llu %zu\n", kinds[kind], static_cast<unsigned long long>(at), len);
  }
  write_all(dst.get(), data.data() + pos, data.size() - pos);
  return 0;
}

int usage() {
  std::fprintf(stderr,
               "usage: bench_datagen random|text OUT SIZE SEED\n"
               "       bench_datagen edit IN OUT COUNT SEED [MAXLEN]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && !std::strcmp(argv[1], "random"))
    return make_random(argv[2], std::strtoull(argv[3], nullptr, 10), std::strtoull(argv[4], nullptr, 10));
  if (argc == 5 && !std::strcmp(argv[1], "text"))
    return make_text(argv[2], std::strtoull(argv[3], nullptr, 10), std::strtoull(argv[4], nullptr, 10));
  if ((argc == 6 || argc == 7) && !std::strcmp(argv[1], "edit")) {
    size_t max_len = argc == 7 ? std::strtoull(argv[6], nullptr, 10) : 4096;
    if (max_len == 0) return usage();
    return make_edit(argv[2], argv[3], static_cast<unsigned>(std::strtoul(argv[4], nullptr, 10)),
                     std::strtoull(argv[5], nullptr, 10), max_len);
  }
  return usage();
}
