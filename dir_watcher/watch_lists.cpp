// The watch list and the exclusion list: read once at start-up into linked
// lists; every listed directory is opened, bound to the port and given its
// first change read.  queue_dir_watch issues a read again after each
// completion.
#include <cstring>

#include "dir_watcher.h"
#include "wide_text.h"

static const wchar no_memory[] = u"HeapAlloc failed to allocate memory";

// Listed directories that could not be opened keep their small record here,
// so nothing allocated is ever unreachable; their change buffer is never
// allocated.
static WatchedDir* unopened_dirs;

static void* alloc_or_exit(size_t bytes, uint32_t exit_code) {
  void* memory = platform_alloc_zeroed(bytes);
  if (!memory) log_error_and_exit(no_memory, platform_last_error(), exit_code);
  return memory;
}

// Copies `length` units of `entry` into new zero-filled memory, terminated.
static wchar* copy_entry(const wchar* entry, size_t length, uint32_t exit_code) {
  wchar* text = static_cast<wchar*>(alloc_or_exit((length + 1) * sizeof(wchar), exit_code));
  std::memcpy(text, entry, length * sizeof(wchar));
  return text;
}

// Reads the list's next entry into `line` (capacity units): its length
// without the line feed, 0 for an empty line, -1 at the end of the file.
static long read_entry(ListFile* file, const wchar* list_path, wchar* line, size_t capacity) {
  int error = 0;
  int result = platform_read_list_line(file, line, static_cast<int>(capacity), &error);
  if (result < 0) write_list_read_failure(list_path, error);
  if (result == 0) return -1;
  size_t length = wide_length(line);
  if (length && line[length - 1] == u'\n') line[--length] = 0;
  return static_cast<long>(length);
}

static ListFile* open_list(const wchar* list_path) {
  int error = 0;
  ListFile* file = platform_open_list(list_path, &error);
  if (!file) write_list_open_failure(list_path, error);
  return file;
}

void load_watched_dirs(const wchar* list_path, Handle port) {
  ListFile* file = open_list(list_path);
  WatchedDir** tail = &watched_dirs;
  while (*tail) tail = &(*tail)->next;

  for (long length; (length = read_entry(file, list_path, path_buffer, wide_buffer_units)) >= 0;) {
    if (length == 0) continue;
    WatchedDir* dir = static_cast<WatchedDir*>(alloc_or_exit(sizeof(WatchedDir), exit_no_watched_dir));
    dir->path_length = static_cast<uint64_t>(length);
    dir->path = copy_entry(path_buffer, static_cast<size_t>(length), exit_no_watched_path);

    dir->handle = platform_open_directory(dir->path);
    if (dir->handle == invalid_handle()) {
      log_error(u"CreateFile", platform_last_error());
      dir->next = unopened_dirs;
      unopened_dirs = dir;
      continue;
    }
    dir->buffer = static_cast<unsigned char*>(alloc_or_exit(change_buffer_bytes, exit_no_change_buffer));

    Handle bound = platform_bind_to_port(dir->handle, port);
    if (!bound) log_error_and_exit(u"CreateIOCompletionPort (add)", platform_last_error(), exit_bind_failed);
    if (bound != port) platform_exit(exit_bound_elsewhere);

    // The first read is pending before the record is linked and before
    // the exclusion list is read, so no change is missed meanwhile.
    queue_dir_watch(dir);
    *tail = dir;
    tail = &dir->next;
  }
  platform_close_list(file);
}

void load_excluded_prefixes(const wchar* list_path) {
  ListFile* file = open_list(list_path);
  ExcludedPrefix** tail = &excluded_prefixes;
  while (*tail) tail = &(*tail)->next;

  for (long length; (length = read_entry(file, list_path, path_buffer, wide_buffer_units)) >= 0;) {
    if (length == 0) continue;
    ExcludedPrefix* prefix = static_cast<ExcludedPrefix*>(alloc_or_exit(sizeof(ExcludedPrefix), exit_no_prefix));
    prefix->length = static_cast<uint64_t>(length);
    prefix->text = copy_entry(path_buffer, static_cast<size_t>(length), exit_no_prefix_text);
    *tail = prefix;
    tail = &prefix->next;
  }
  platform_close_list(file);
}

void queue_dir_watch(WatchedDir* dir) {
  std::memset(&dir->overlapped, 0, sizeof dir->overlapped);
  if (platform_read_changes(dir->handle, dir->buffer, change_buffer_bytes, &dir->overlapped)) return;
  uint32_t code = platform_last_error();
  log_error(u"ReadDirectoryChangesW", code);
  // A directory the system cannot watch stays listed but silent.
  if (code != error_invalid_parameter) platform_exit(exit_read_changes);
}
