// Change processing: one completed read becomes at most one changelog
// batch.  Each change entry names the directory holding the changed item;
// the lines go to the temporary file, which is renamed to the next batch
// name only once complete, so the host never sees half a batch.
#include "change_record.h"
#include "dir_watcher.h"
#include "wide_text.h"

static bool is_excluded(const wchar* path) {
  for (const ExcludedPrefix* prefix = excluded_prefixes; prefix; prefix = prefix->next)
    if (wide_prefix_compare(path, prefix->text, prefix->length) == 0) return true;
  return false;
}

// Writes into `path` (capacity units) the long form of the directory that
// holds the changed item `name` of `dir`.
static void compose_changed_directory(const WatchedDir* dir, const wchar* name, wchar* path, size_t capacity) {
  const wchar* root = dir->path;
  bool root_ends_in_separator = dir->path_length && root[dir->path_length - 1] == path_separator;
  if (wide_join(path, capacity, root, root_ends_in_separator ? 0 : path_separator, name) < 0)
    log_error_and_exit(u"_snwprintf_s failed, path too long",
                       static_cast<uint32_t>(wide_length(name) + dir->path_length), exit_path_too_long);

  size_t length = wide_length(path);
  if (length == 0 || path[length - 1] != path_separator) {
    wide_cut_at_last(path, path_separator);
    // An item directly in "/" is in "/", not in a directory of no name.
    if (path[0] == 0 && length > 0) {
      path[0] = path_separator;
      path[1] = 0;
    }
  }

  uint32_t long_length = platform_long_path(path, static_cast<uint32_t>(capacity));
  if (long_length == 0)
    log_error(u"GetLongPathNameW", platform_last_error());  // reported as composed
  else if (long_length > capacity)
    log_error_and_exit(u"GetLongPathNameW result would overflow buffer", long_length, exit_line_feed_or_long_path);
}

// A name on Linux may hold a line feed or a CR (no Windows name can), and a
// batch line cannot: the path is cut back to the directory above the
// component that holds it, whose rescan still covers the change.
static void cut_before_line_break(wchar* path) {
  for (wchar* unit = path; *unit; ++unit)
    if (*unit == u'\n' || *unit == u'\r') {
      *unit = 0;
      wide_cut_at_last(path, path_separator);
      return;
    }
}

void process_dir_watcher_results(WatchedDir* dir, uint32_t bytes) {
  Handle temp_file = invalid_handle();

  if (bytes == 0) {
    // The changes did not fit the buffer: the whole watched directory is
    // reported, exactly as listed, so the host rescans it.
    int error = wide_copy(path_buffer, wide_buffer_units, dir->path, dir->path_length);
    if (error) log_error_and_exit(u"wcsncpy_s failed", static_cast<uint32_t>(error), exit_copy_watched_path);
    append_changelog_line(path_buffer, wide_buffer_units, &temp_file);
  } else {
    // An entry must lie inside what was delivered, and inside the
    // buffer, before any of it is read; 64-bit sums cannot wrap.
    const uint64_t limit = bytes < change_buffer_bytes ? bytes : change_buffer_bytes;
    for (uint64_t offset = 0;;) {
      if (offset + record_header_bytes > limit) write_buffer_overrun(offset, bytes);
      const unsigned char* entry = dir->buffer + offset;
      uint32_t next = record_next_entry_offset(entry);
      uint32_t name_bytes = record_file_name_length(entry);
      if (offset + record_header_bytes + name_bytes > limit) write_buffer_overrun(offset, bytes);

      int error = wide_copy(name_buffer, wide_buffer_units, record_file_name(entry), name_bytes / 2);
      if (error) log_error_and_exit(u"wcsncpy_s failed", static_cast<uint32_t>(error), exit_copy_name);
      compose_changed_directory(dir, name_buffer, path_buffer, wide_buffer_units);
      if (!is_excluded(path_buffer)) {
        cut_before_line_break(path_buffer);
        append_changelog_line(path_buffer, wide_buffer_units, &temp_file);
      }

      if (next == 0) break;
      offset += next;
    }
  }

  if (temp_file == invalid_handle()) return;  // no line: no batch, no number used
  platform_close_file(temp_file);

  ++batch_counter;
  WideWriter name = wide_writer(batch_path, wide_buffer_units);
  put_text(name, changelog_dir);
  put_char(name, path_separator);
  put_decimal(name, batch_counter, 8);
  put_text(name, u".txt");
  // Start-up made sure the longest batch name fits, so no cut happens here.

  int error = platform_rename(temp_changelog_path, batch_path);
  if (error) write_rename_failure(error);
}

void append_changelog_line(wchar* line, size_t capacity, Handle* file) {
  int error = wide_append(line, capacity, u"\n");
  if (error) log_error_and_exit(u"wcscat_s", static_cast<uint32_t>(error), exit_line_feed_or_long_path);

  int converted = platform_to_utf8(line, utf8_buffer, static_cast<int>(utf8_buffer_bytes));
  if (converted == 0) log_error_and_exit(u"WideCharToMultiByte", platform_last_error(), exit_utf8);

  if (*file == invalid_handle()) {
    *file = platform_create_file(temp_changelog_path);
    if (*file == invalid_handle())
      log_error_and_exit(u"CreateFile temp changelog", platform_last_error(), exit_create_temp);
  }
  // One write per line, without the terminator; nothing is buffered here.
  if (!platform_write_file(*file, utf8_buffer, static_cast<uint32_t>(converted - 1)))
    log_error_and_exit(u"WriteFile temp changelog", platform_last_error(), exit_write_temp);
}
