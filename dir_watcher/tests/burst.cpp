// burst ROOT DIRS FILES [BYTES]
//
// Makes DIRS directories ROOT/d00000.. with FILES files each, writing BYTES
// bytes (default 16) into every file, as fast as one process can: a shell or
// Python loop is too slow to race a watcher that is adding watches to new
// directories.  An existing directory or file is reused (the file is
// truncated and written again), so a second run over the same root makes a
// burst of changes inside directories that are already watched.
//
// Prints every directory it made changes in, one per line, then on stderr
// the count of directories and files and the rate.

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

constexpr long default_file_bytes = 16;  // small: the burst is about names, not data

static bool write_file(const std::string& path, const std::vector<char>& data) {
  int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size());
  return close(fd) == 0 && ok;
}

int main(int argc, char** argv) {
  if (argc < 4 || argc > 5) {
    std::fprintf(stderr, "usage: %s ROOT DIRS FILES [BYTES]\n", argv[0]);
    return 2;
  }
  std::string root = argv[1];
  long dirs = std::strtol(argv[2], nullptr, 10);
  long files = std::strtol(argv[3], nullptr, 10);
  long bytes = argc == 5 ? std::strtol(argv[4], nullptr, 10) : default_file_bytes;
  if (dirs < 0 || files < 0 || bytes < 0) {
    std::fprintf(stderr, "burst: counts must not be negative\n");
    return 2;
  }
  std::vector<char> data(static_cast<size_t>(bytes), 'x');
  std::vector<std::string> made;
  made.reserve(static_cast<size_t>(dirs));

  auto start = std::chrono::steady_clock::now();
  char name[32];
  for (long d = 0; d < dirs; ++d) {
    std::snprintf(name, sizeof name, "/d%05ld", d);
    std::string dir = root + name;
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
      std::fprintf(stderr, "burst: mkdir %s: %s\n", dir.c_str(), std::strerror(errno));
      return 1;
    }
    for (long f = 0; f < files; ++f) {
      std::snprintf(name, sizeof name, "/f%03ld", f);
      if (!write_file(dir + name, data)) {
        std::fprintf(stderr, "burst: write %s%s: %s\n", dir.c_str(), name, std::strerror(errno));
        return 1;
      }
    }
    made.push_back(dir);
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  for (const std::string& dir : made) std::printf("%s\n", dir.c_str());
  std::fprintf(stderr, "burst: %ld directories, %ld files in %.3f s (%.0f files/s)\n", dirs, dirs * files, seconds,
               seconds > 0 ? static_cast<double>(dirs * files) / seconds : 0.0);
  return 0;
}
