// Linux backend, change reads: inotify dressed as a completion port.
//
// One inotify instance serves every watched root (so the per-user limit on
// instances never matters).  Each listed directory is held by an O_PATH
// descriptor, so it is watched, and reached, wherever it or its parents
// are moved; its batch lines keep the listed path, as a Windows handle's
// reads do.  A root's pending read "completes" in platform_wait with as
// many whole change records as its buffer holds, and what does not fit
// waits for the next read.  A kernel queue overflow completes every root's
// read with zero bytes, as Windows reports a change buffer that overflowed,
// and then names every directory of its tree.
//
// Windows gathers the changes that come while a completion is handled into
// the next read; here, while events come fast, a read gathers what keeps
// coming for a few milliseconds, bounded by its buffer, so a burst of
// changes makes few batch files.  A change that comes alone is told at once.

#include "watch.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

// While directories wait to be listed again, or a root's removal waits to
// be told, the wait wakes this often to settle them once events stop.
constexpr int64_t pending_retry_ns = 10'000'000;
// A read gathers changes at most this long after its first one, and stops
// gathering once none has come for quiet_ns: the latency a burst adds.
constexpr int64_t gather_ns = 20'000'000;
constexpr int64_t quiet_ns = 10'000'000;
constexpr int64_t never = INT64_MAX;

// One port and its roots per process, static so they outlive the logic's locals.
static Port the_port;
static std::vector<std::unique_ptr<Root>> all_roots;

Handle platform_create_port() {
  if (the_port.fd >= 0) return &the_port;
  int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) {
    set_last_error_from_errno();
    return nullptr;
  }
  the_port.fd = fd;
  return &the_port;
}

Handle platform_open_directory(const wchar* path) {
  std::string native;  // once per listed directory
  native_path(path, native);
  Fd fd(open_below(AT_FDCWD, native.c_str(), native.size(), O_PATH | O_CLOEXEC));
  struct stat st;
  if (!fd || fstat(fd.fd, &st) != 0) {
    set_last_error_from_errno(native.c_str());
    return invalid_handle();
  }
  if (S_ISDIR(st.st_mode)) {
    // Listing access, as Windows asks for FILE_LIST_DIRECTORY.
    Fd listing(openat(fd.fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!listing) {
      set_last_error_from_errno(native.c_str());
      return invalid_handle();
    }
  }
  std::unique_ptr<Root> root(new (std::nothrow) Root);
  if (!root) {
    set_last_error(error_not_enough_memory);
    return invalid_handle();
  }
  root->limits.root_bytes = native.size();
  root->limits.root_units = utf16_units(native.data(), native.size());
  root->is_directory = S_ISDIR(st.st_mode);
  root->fd = fd.release();
  all_roots.push_back(std::move(root));
  return all_roots.back().get();
}

Handle platform_bind_to_port(Handle directory, Handle port) {
  Root* root = static_cast<Root*>(directory);
  if (port != &the_port || !root || directory == invalid_handle()) {
    set_last_error(error_invalid_handle);
    return nullptr;
  }
  if (!root->port) {
    root->port = &the_port;
    the_port.roots.push_back(root);
  }
  return port;
}

bool platform_read_changes(Handle directory, void* buffer, uint32_t size, Overlapped* overlapped) {
  Root* root = static_cast<Root*>(directory);
  if (!root->is_directory) {
    // Windows refuses a change read on a file the same way.
    set_last_error(error_invalid_parameter);
    return false;
  }
  if (!root->port) {
    set_last_error(error_invalid_handle);
    return false;
  }
  if (!root->armed) {
    root->armed = true;
    if (uint32_t error = arm_root(the_port, root)) {
      set_last_error(error);
      return false;
    }
  }
  if (root->watch_error) {
    set_last_error(root->watch_error);
    return false;
  }
  root->overlapped = overlapped;
  root->buffer = static_cast<unsigned char*>(buffer);
  root->size = size;
  return true;
}

// When the root's pending read is to complete: 0 at once, `never` while it
// has nothing to tell.
static int64_t due_ns(const Root* root, int64_t now) {
  if (!root->overlapped) return never;
  if (root->overflowed || root->gone) return 0;
  size_t queued = queued_bytes(root->queue);
  if (queued == 0) return never;
  if (queued >= root->size) return 0;  // no more would fit the buffer
  if (!events_in_burst(the_port, now)) return 0;
  return std::min(root->queued_since_ns + gather_ns, the_port.last_event_ns + quiet_ns);
}

static Root* ready_root(int64_t now) {
  size_t count = the_port.roots.size();
  for (size_t i = 0; i < count; ++i) {
    Root* root = the_port.roots[(the_port.next_root + i) % count];
    if (due_ns(root, now) <= now) {
      the_port.next_root = (the_port.next_root + i + 1) % count;
      return root;
    }
  }
  return nullptr;
}

static int64_t earliest_due(int64_t now) {
  int64_t due = never;
  for (const Root* root : the_port.roots) due = std::min(due, due_ns(root, now));
  return due;
}

static int complete(Root* root, Overlapped** overlapped, uint32_t* bytes) {
  *overlapped = root->overlapped;
  root->overlapped = nullptr;
  if (root->overflowed) {
    root->overflowed = false;
    *bytes = 0;
    return 1;
  }
  if (queued_bytes(root->queue) > 0) {
    *bytes = take_change_records(root->queue, root->buffer, root->size);
    return 1;
  }
  // Its changes told, a root that was removed ends its reads.
  *bytes = 0;
  set_last_error(error_access_denied);
  return -1;
}

static bool events_waiting() {
  pollfd p = {the_port.fd, POLLIN, 0};
  return poll(&p, 1, 0) > 0;
}

bool platform_next_note(Handle port, PlatformNote* note) {
  if (port != &the_port || the_port.notes.empty()) return false;
  *note = the_port.notes.front();
  the_port.notes.pop_front();
  return true;
}

int platform_wait(Handle port, uint32_t timeout_ms, Overlapped** overlapped, uint32_t* bytes) {
  *overlapped = nullptr;
  *bytes = 0;
  if (port != &the_port) {
    set_last_error(error_invalid_handle);
    return 0;
  }
  int64_t deadline = monotonic_ns() + int64_t{timeout_ms} * 1000000;
  for (;;) {
    // What waits is read before any read completes, so the kernel's
    // queue does not fill while batches are written.
    if (events_waiting())
      drain_events(the_port);
    else
      note_removed_roots(the_port);
    int64_t now = monotonic_ns();
    if (Root* root = ready_root(now)) return complete(root, overlapped, bytes);
    if (now >= deadline) return 0;
    int64_t wake = std::min(deadline, earliest_due(now));
    bool pending = any_pending(the_port) || any_removal_seen(the_port);
    if (pending) wake = std::min(wake, now + pending_retry_ns);
    int64_t left = std::max<int64_t>(wake - now, 0);
    timespec timeout = {static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
    pollfd p = {the_port.fd, POLLIN, 0};
    int r = ppoll(&p, 1, &timeout, nullptr);
    if (r < 0 && errno != EINTR) {
      set_last_error_from_errno();
      return 0;
    }
    if (r == 0 && any_pending(the_port)) settle_pending(the_port, true);
  }
}
