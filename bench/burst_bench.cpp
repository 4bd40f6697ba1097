// A burst of file creations from one process: FILES small files spread
// round-robin over the given directories, as fast as the system allows.
//
//   bench_burst [--changelog CHANGELOG_DIR] FILES DIR...
//
// Each DIR that does not exist yet is made first, as part of the burst, so
// a burst can bring its own directories.  Prints "start_ns end_ns" on
// CLOCK_REALTIME, so the caller can set the burst against the modification
// times of the batches it caused.
//
// With --changelog it also plays the host: a second thread takes each batch
// out of CHANGELOG_DIR as it appears, until no batch has come for a second
// after the burst.  It then prints "batches N" (batch files from the
// burst's start on) and one line per file: the nanoseconds from the file's
// creation to the first batch after it that names its directory (the host,
// listing that directory then, finds the file), or "lost".
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

int64_t now_ns(clockid_t clock) {
  timespec ts;
  clock_gettime(clock, &ts);
  return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

constexpr char payload[] = "a few bytes, so each file is created, written and closed\n";
constexpr int64_t quiet_after_burst_ns = 1'000'000'000;  // the batches have stopped
constexpr int64_t longest_wait_ns = 60'000'000'000;      // the watcher is stuck: give up

// The host's side: when each batch appeared, by the directories it names.
struct Batches {
  std::map<std::string, std::vector<int64_t>> times_by_dir;  // CLOCK_MONOTONIC, ascending
  long count = 0;
};

bool is_batch_name(const char* name) {
  size_t len = std::strlen(name);
  return len >= 12 && std::strcmp(name + len - 4, ".txt") == 0 && name[0] >= '0' && name[0] <= '9';
}

void take_batches(int inotify_fd, const std::string& changelog, const std::atomic<int64_t>& burst_end, Batches& out) {
  alignas(inotify_event) char buf[64 * 1024];
  int64_t last = now_ns(CLOCK_MONOTONIC);
  int64_t give_up = last + longest_wait_ns;
  for (;;) {
    int64_t now = now_ns(CLOCK_MONOTONIC);
    int64_t end = burst_end.load();
    if (now > give_up || (end && now - std::max(end, last) > quiet_after_burst_ns)) return;
    pollfd p{inotify_fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    ssize_t n = read(inotify_fd, buf, sizeof buf);
    int64_t seen = now_ns(CLOCK_MONOTONIC);
    for (ssize_t at = 0; at < n;) {
      auto* ev = reinterpret_cast<inotify_event*>(buf + at);
      at += sizeof(inotify_event) + ev->len;
      if (ev->len == 0 || !is_batch_name(ev->name)) continue;
      std::string path = changelog + "/" + ev->name;
      {
        std::ifstream in(path);
        for (std::string line; std::getline(in, line);) {
          std::vector<int64_t>& times = out.times_by_dir[line];
          if (times.empty() || times.back() != seen) times.push_back(seen);
        }
      }
      unlink(path.c_str());
      ++out.count;
      last = seen;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string changelog;
  int first = 1;
  if (argc > 2 && std::strcmp(argv[1], "--changelog") == 0) {
    changelog = argv[2];
    first = 3;
  }
  if (argc - first < 2) {
    std::fprintf(stderr, "usage: bench_burst [--changelog CHANGELOG_DIR] FILES DIR...\n");
    return 2;
  }
  long files = std::strtol(argv[first], nullptr, 10);
  std::vector<std::string> dirs(argv + first + 1, argv + argc);

  int inotify_fd = -1;
  if (!changelog.empty()) {
    inotify_fd = inotify_init1(IN_CLOEXEC);
    if (inotify_fd < 0 || inotify_add_watch(inotify_fd, changelog.c_str(), IN_MOVED_TO) < 0) {
      std::perror("inotify");
      return 1;
    }
  }
  Batches batches;
  std::atomic<int64_t> burst_end{0};
  std::thread host;
  if (inotify_fd >= 0) host = std::thread([&] { take_batches(inotify_fd, changelog, burst_end, batches); });

  std::vector<int64_t> made(static_cast<size_t>(files));
  int64_t start = now_ns(CLOCK_REALTIME);
  bool failed = false;
  for (const std::string& dir : dirs) {
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
      std::perror(dir.c_str());
      failed = true;
      break;
    }
  }
  for (long i = 0; i < files && !failed; ++i) {
    std::string path = dirs[i % dirs.size()] + "/burst_" + std::to_string(i);
    made[i] = now_ns(CLOCK_MONOTONIC);
    int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
      std::perror(path.c_str());
      failed = true;
      break;
    }
    bool written = write(fd, payload, sizeof payload - 1) == static_cast<ssize_t>(sizeof payload - 1);
    close(fd);
    if (!written) {
      std::perror(path.c_str());
      failed = true;
    }
  }
  int64_t end = now_ns(CLOCK_REALTIME);
  burst_end = now_ns(CLOCK_MONOTONIC);
  if (host.joinable()) host.join();
  if (failed) return 1;
  std::printf("%lld %lld\n", static_cast<long long>(start), static_cast<long long>(end));
  if (inotify_fd < 0) return 0;
  std::printf("batches %ld\n", batches.count);
  for (long i = 0; i < files; ++i) {
    const std::vector<int64_t>& times = batches.times_by_dir[dirs[i % dirs.size()]];
    auto it = std::lower_bound(times.begin(), times.end(), made[i]);
    if (it == times.end())
      std::printf("lost\n");
    else
      std::printf("%lld\n", static_cast<long long>(*it - made[i]));
  }
  return 0;
}
