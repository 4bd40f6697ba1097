// Linux backend, the entry point: the arguments are kept for
// platform_command_line, and the run's result is the exit status.

#include "emulation.h"

#include <cstdio>

// The program and its four arguments.
constexpr int argument_count = 5;

int main(int argc, char** argv) {
  // Someone running it by hand gets a hint; the exit code stays the one
  // the run gives, which a host reads.
  if (argc != argument_count)
    std::fputs("usage: dir_watcher HOST_PID WATCH_LIST EXCLUSION_LIST CHANGELOG_DIR\n", stderr);
  platform_keep_arguments(argc, argv);
  return run_dir_watcher();
}
