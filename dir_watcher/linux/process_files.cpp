// Linux backend, process side: the command line, the host process, plain
// files (temporary changelog, batches, error.txt) and the long-path step.
// The entry point is in main.cpp; the change reads live in
// port.cpp and the files it lists.

#include "emulation.h"
#include "exit_codes.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

const wchar path_separator = u'/';

Fd& Fd::operator=(Fd&& other) noexcept {
  if (this != &other) {
    if (fd >= 0) close(fd);
    fd = other.fd;
    other.fd = -1;
  }
  return *this;
}

Fd::~Fd() {
  if (fd >= 0) close(fd);
}

int open_below(int dirfd, const char* path, size_t length, int flags) {
  if (length < PATH_MAX) return openat(dirfd, path, flags);
  // Whole components, as many as fit PATH_MAX, each piece opened below the last.
  char piece[PATH_MAX];
  Fd held;
  int at = dirfd;
  size_t pos = 0;
  while (length - pos >= PATH_MAX) {
    size_t slash = pos + PATH_MAX - 1;
    while (slash > pos && path[slash] != '/') --slash;
    if (slash == pos) {
      errno = ENAMETOOLONG;
      return -1;
    }
    std::memcpy(piece, path + pos, slash - pos);
    piece[slash - pos] = 0;
    int next = openat(at, piece, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (next < 0) return -1;
    held = Fd(next);
    at = next;
    pos = slash + 1;
    while (path[pos] == '/') ++pos;  // "a//b": the rest stays relative
  }
  return openat(at, path + pos, flags);
}

int64_t monotonic_ns() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

constexpr mode_t new_file_mode = 0644;  // changelog files: the host reads them, nobody else writes

static int saved_argc;
static char** saved_argv;
static wchar** wide_args;  // kept reachable for the whole run

void platform_keep_arguments(int argc, char** argv) {
  saved_argc = argc;
  saved_argv = argv;
}

uint32_t platform_command_line(int* count, wchar*** args) {
  wide_args = static_cast<wchar**>(std::calloc(static_cast<size_t>(saved_argc) + 1, sizeof(wchar*)));
  if (!wide_args) return exit_no_command_line_memory;
  std::u16string wide;
  for (int i = 0; i < saved_argc; ++i) {
    wide.clear();
    if (!utf8_to_wide(saved_argv[i], std::strlen(saved_argv[i]), wide, true)) return error_no_unicode_translation;
    wide_args[i] = static_cast<wchar*>(std::calloc(wide.size() + 1, sizeof(wchar)));
    if (!wide_args[i]) return exit_no_command_line_memory;
    std::memcpy(wide_args[i], wide.data(), wide.size() * sizeof(wchar));
  }
  *count = saved_argc;
  *args = wide_args;
  return 0;
}

void platform_exit(uint32_t code) { std::exit(static_cast<int>(code)); }

void* platform_alloc_zeroed(size_t bytes) {
  void* p = std::calloc(1, bytes ? bytes : 1);
  if (!p) set_last_error(error_not_enough_memory);
  return p;
}

// ---- host process ------------------------------------------------------------

// A handle on the host: a pidfd, which polls readable once the process has
// ended (zombie or reaped alike).  Kernels without pidfd_open fall back to
// asking whether the pid still exists.
struct HostProcess {
  int pidfd;
  pid_t pid;
};

static HostProcess host_process;  // one host per run; static so it outlives the logic's locals

Handle platform_open_process(uint32_t pid) {
  long fd = syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0);
  if (fd < 0 && errno == ENOSYS) {
    if (static_cast<pid_t>(pid) <= 0 || (kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM)) {
      set_last_error(error_invalid_parameter);
      return nullptr;
    }
  } else if (fd < 0) {
    // ESRCH: no such process; EINVAL: not a usable pid.  Windows says 87 for both.
    set_last_error(errno == ESRCH || errno == EINVAL ? error_invalid_parameter : windows_error_from_errno(errno));
    return nullptr;
  }
  host_process.pidfd = static_cast<int>(fd);
  host_process.pid = static_cast<pid_t>(pid);
  return &host_process;
}

bool platform_exit_code(Handle process, uint32_t* code) {
  HostProcess* host = static_cast<HostProcess*>(process);
  if (!host) {
    set_last_error(error_invalid_handle);
    return false;
  }
  bool running;
  if (host->pidfd >= 0) {
    pollfd p = {host->pidfd, POLLIN, 0};
    int r = poll(&p, 1, 0);
    if (r < 0) {
      set_last_error_from_errno();
      return false;
    }
    running = r == 0;
  } else {
    running = kill(host->pid, 0) == 0 || errno == EPERM;
  }
  // The exit status of a process that is not our child cannot be read; 0 stands for it.
  *code = running ? still_active : 0;
  return true;
}

// ---- long path -----------------------------------------------------------------

// lstat for a path of any length: beyond PATH_MAX, its directory is
// opened piece by piece and the last name looked at from there.
static int lstat_any_length(std::string& path, struct stat* st) {
  if (path.size() < PATH_MAX) return lstat(path.c_str(), st);
  size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) {
    errno = ENAMETOOLONG;
    return -1;
  }
  path[slash] = 0;
  int dir = open_below(AT_FDCWD, path.c_str(), slash, O_PATH | O_DIRECTORY | O_CLOEXEC);
  path[slash] = '/';
  if (dir < 0) return -1;
  int result = fstatat(dir, path.c_str() + slash + 1, st, AT_SYMLINK_NOFOLLOW);
  int error = errno;
  close(dir);
  errno = error;
  return result;
}

// Linux has no short names: a path that exists is already in its long form.
uint32_t platform_long_path(wchar* path, uint32_t capacity) {
  static std::string native;  // reused: called once per changelog line
  native_path(path, native);
  struct stat st;
  if (lstat_any_length(native, &st) != 0) {
    set_last_error_from_errno(native.c_str());
    return 0;
  }
  size_t length = wide_length(path);
  if (length + 1 > capacity) return static_cast<uint32_t>(length + 1);
  return static_cast<uint32_t>(length);
}

// ---- files ---------------------------------------------------------------------

static Handle handle_from_fd(int fd) { return reinterpret_cast<Handle>(static_cast<intptr_t>(fd)); }
static int fd_from_handle(Handle h) { return static_cast<int>(reinterpret_cast<intptr_t>(h)); }

Handle platform_create_file(const wchar* path) {
  static std::string native;  // reused: one per batch
  native_path(path, native);
  int fd = open(native.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, new_file_mode);
  if (fd < 0) {
    set_last_error_from_errno(native.c_str());
    return invalid_handle();
  }
  return handle_from_fd(fd);
}

static bool write_all(int fd, const char* bytes, size_t count) {
  while (count > 0) {
    ssize_t n = write(fd, bytes, count);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes += n;
    count -= static_cast<size_t>(n);
  }
  return true;
}

bool platform_write_file(Handle file, const void* bytes, uint32_t count) {
  if (!write_all(fd_from_handle(file), static_cast<const char*>(bytes), count)) {
    set_last_error_from_errno();
    return false;
  }
  return true;
}

void platform_close_file(Handle file) { close(fd_from_handle(file)); }

int platform_rename(const wchar* from, const wchar* to) {
  static std::string source, target_path;  // reused: one rename per batch
  native_path(from, source);
  const char* target = native_path(to, target_path);
  if (renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  // File systems without RENAME_NOREPLACE: link refuses an existing target too.
  if (link(source.c_str(), target) != 0) return errno;
  if (unlink(source.c_str()) != 0) return errno;
  return 0;
}

// ---- error.txt -----------------------------------------------------------------

static const char utf8_bom[] = "\xEF\xBB\xBF";

// Writes the line as the runtime's text mode does (each LF as CR LF), after
// a byte-order mark when asked for one and the file is empty.
static void write_log_line(const wchar* path, int open_mode, bool mark_if_empty, const wchar* line) {
  std::string native;  // once per error.txt line
  int fd = open(native_path(path, native), O_WRONLY | O_CREAT | O_CLOEXEC | open_mode, new_file_mode);
  if (fd < 0) return;  // the line is lost; the caller goes on regardless
  std::string bytes;
  struct stat st;
  if (mark_if_empty && fstat(fd, &st) == 0 && st.st_size == 0) bytes = utf8_bom;
  wide_to_utf8(line, wide_length(line), bytes, true);
  write_all(fd, bytes.data(), bytes.size());
  close(fd);
}

void platform_append_log_line(const wchar* path, const wchar* line) { write_log_line(path, O_APPEND, true, line); }

void platform_replace_log_line(const wchar* path, const wchar* line) { write_log_line(path, O_TRUNC, false, line); }
