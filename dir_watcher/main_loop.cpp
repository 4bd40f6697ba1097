// Start-up and the completion loop: the watcher's run from its command line
// to the host's end.  The process-wide state lives here.
#include <cstring>

#include "dir_watcher.h"
#include "wide_text.h"

const wchar* changelog_dir;
wchar error_log_path[wide_buffer_units];
wchar temp_changelog_path[wide_buffer_units];
wchar batch_path[wide_buffer_units];
wchar path_buffer[wide_buffer_units];
wchar name_buffer[wide_buffer_units];
char utf8_buffer[utf8_buffer_bytes];
wchar errno_text[errno_text_units];
int32_t batch_counter;
WatchedDir* watched_dirs;
ExcludedPrefix* excluded_prefixes;

// The program and its four arguments: host pid, watch list, exclusion
// list, changelog directory.
constexpr int argument_count = 5;

// An idle watcher wakes once a second to ask whether the host has ended.
constexpr uint32_t wait_ms = 1000;
// A busy watcher asks only on every fiftieth pass.
constexpr uint32_t host_test_interval = 50;

// <directory><separator><name> into `out` (wide_buffer_units); false when
// it would be cut.
static bool derive_name(wchar* out, const wchar* directory, const wchar* name) {
  return wide_join(out, wide_buffer_units, directory, path_separator, name) >= 0;
}

// Non-zero when the host process is to be taken as ended.
static int parent_process_exited(Handle process) {
  if (!process) return 0;
  uint32_t code = 0;
  if (!platform_exit_code(process, &code)) return 1;
  return code == still_active ? 0 : 1;
}

int run_dir_watcher() {
  int count = 0;
  wchar** args = nullptr;
  if (uint32_t failure = platform_command_line(&count, &args)) return static_cast<int>(failure);
  if (count != argument_count) return exit_wrong_arguments;

  // The names made from the changelog directory are composed in full
  // buffers; the largest batch name is tried too, so publishing a batch
  // never needs a name that does not fit.
  changelog_dir = args[4];
  if (!derive_name(error_log_path, changelog_dir, u"error.txt") ||
      !derive_name(temp_changelog_path, changelog_dir, u"temp") ||
      !derive_name(batch_path, changelog_dir, u"2147483647.txt"))
    return static_cast<int>(exit_changelog_dir_too_long);
  batch_path[0] = 0;
  std::memset(errno_text, 0, sizeof errno_text);

  Handle port = platform_create_port();
  if (!port) log_error_and_exit(u"CreateIoCompletionPort", platform_last_error(), exit_create_port);

  Handle host = nullptr;  // none: the run ends only when killed
  if (uint32_t pid = static_cast<uint32_t>(wide_to_int(args[1]))) {
    host = platform_open_process(pid);
    if (!host) log_error_and_exit(u"OpenProcess", platform_last_error(), exit_open_process);
  }

  load_watched_dirs(args[2], port);
  if (!watched_dirs) return 0;
  load_excluded_prefixes(args[3]);

  // Unsigned, so a run long enough to wrap the count stays defined.
  for (uint32_t pass = 1;; ++pass) {
    Overlapped* overlapped = nullptr;
    uint32_t bytes = 0;
    int result = platform_wait(port, wait_ms, &overlapped, &bytes);
    for (PlatformNote note; platform_next_note(port, &note);) log_error(note.step, note.code);
    if (result > 0) {
      // The overlapped record is the first field of its WatchedDir.
      WatchedDir* dir = reinterpret_cast<WatchedDir*>(overlapped);
      process_dir_watcher_results(dir, bytes);
      queue_dir_watch(dir);
      if (pass % host_test_interval == 0 && parent_process_exited(host)) return 0;
    } else if (overlapped) {
      log_error_and_exit(u"GetQueuedCompletionStatus", platform_last_error(), exit_failed_read);
    } else if (parent_process_exited(host)) {
      return 0;
    }
  }
}
