// Change-to-batch latency of a running dir_watcher: creates one file at a
// time in a watched directory and waits, through inotify on the changelog
// directory, for the first batch that names that directory.
//
//   bench_latency CHANGELOG_DIR COUNT GAP_MS DIR...
//
// Prints one line per change: the latency in nanoseconds, or "lost" when no
// batch named the directory within 5 s.  Batches are removed once read, as
// the host would; between changes it waits GAP_MS so each change is alone.
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr int64_t lost_after_ns = 5'000'000'000;  // far beyond any target: the change is lost

struct Fd {
  int fd;
  ~Fd() {
    if (fd >= 0) close(fd);
  }
};

int64_t now_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

bool is_batch_name(const char* name) {
  size_t len = std::strlen(name);
  return len >= 12 && std::strcmp(name + len - 4, ".txt") == 0 && name[0] >= '0' && name[0] <= '9';
}

// Reads and removes one batch; true when one of its lines is `dir`.
bool batch_names(const std::string& path, const std::string& dir) {
  bool found = false;
  {
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
      if (line == dir) found = true;
  }
  unlink(path.c_str());
  return found;
}

// Waits for batches until `deadline`; with a non-empty `dir`, returns the
// time of the first batch that names it, else -1 at the deadline.
int64_t wait_for(int inotify_fd, const std::string& changelog, const std::string& dir, int64_t deadline) {
  alignas(inotify_event) char buf[64 * 1024];
  for (;;) {
    int64_t left = deadline - now_ns();
    if (left <= 0) return -1;
    pollfd p{inotify_fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left / 1000000) + 1) <= 0) continue;
    ssize_t n = read(inotify_fd, buf, sizeof buf);
    int64_t seen = now_ns();
    int64_t hit = -1;
    for (ssize_t at = 0; at < n;) {
      auto* ev = reinterpret_cast<inotify_event*>(buf + at);
      at += sizeof(inotify_event) + ev->len;
      if (ev->len == 0 || !is_batch_name(ev->name)) continue;
      if (batch_names(changelog + "/" + ev->name, dir) && !dir.empty() && hit < 0) hit = seen;
    }
    if (hit >= 0) return hit;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: bench_latency CHANGELOG_DIR COUNT GAP_MS DIR...\n");
    return 2;
  }
  std::string changelog = argv[1];
  long count = std::strtol(argv[2], nullptr, 10);
  int64_t gap_ns = std::strtoll(argv[3], nullptr, 10) * 1000000;
  std::vector<std::string> dirs(argv + 4, argv + argc);

  Fd watch{inotify_init1(IN_CLOEXEC)};
  if (watch.fd < 0 || inotify_add_watch(watch.fd, changelog.c_str(), IN_MOVED_TO) < 0) {
    std::perror("inotify");
    return 1;
  }
  for (long i = 0; i < count; ++i) {
    const std::string& dir = dirs[i % dirs.size()];
    std::string file = dir + "/latency_" + std::to_string(i);
    int64_t start = now_ns();
    Fd f{open(file.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0644)};
    if (f.fd < 0) {
      std::perror(file.c_str());
      return 1;
    }
    int64_t seen = wait_for(watch.fd, changelog, dir, start + lost_after_ns);
    if (seen < 0)
      std::printf("lost\n");
    else
      std::printf("%lld\n", static_cast<long long>(seen - start));
    // The close and any late entries of this change land in the gap.
    wait_for(watch.fd, changelog, std::string(), now_ns() + gap_ns);
  }
  return 0;
}
