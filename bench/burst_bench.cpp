// A burst of file creations from one process: FILES small files spread
// round-robin over the given directories, as fast as the system allows.
//
//   bench_burst FILES DIR...
//
// Prints "start_ns end_ns" on CLOCK_REALTIME, so the caller can set the
// burst against the modification times of the batches it caused.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

namespace {

int64_t now_ns() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

constexpr char payload[] = "a few bytes, so each file is created, written and closed\n";

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench_burst FILES DIR...\n");
        return 2;
    }
    long files = std::strtol(argv[1], nullptr, 10);
    std::vector<std::string> dirs(argv + 2, argv + argc);

    int64_t start = now_ns();
    for (long i = 0; i < files; ++i) {
        std::string path = dirs[i % dirs.size()] + "/burst_" + std::to_string(i);
        int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) {
            std::perror(path.c_str());
            return 1;
        }
        bool written = write(fd, payload, sizeof payload - 1) == static_cast<ssize_t>(sizeof payload - 1);
        close(fd);
        if (!written) {
            std::perror(path.c_str());
            return 1;
        }
    }
    std::printf("%lld %lld\n", static_cast<long long>(start), static_cast<long long>(now_ns()));
    return 0;
}
