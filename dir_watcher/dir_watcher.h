// The watcher's logic: its records, its process-wide state and its steps.
//
// Written once for every operating system; it reaches the system only
// through platform.h.  Nothing here is freed or closed: the process's end
// releases it all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "exit_codes.h"
#include "platform.h"

// 32768 units: the longest path the system's wide calls accept, terminator
// included.  Every path, name and line buffer has this size.
constexpr size_t wide_buffer_units = 0x8000;
// One changelog line in UTF-8 must fit the same count of bytes.
constexpr size_t utf8_buffer_bytes = 0x8000;
// The runtime library's errno texts fit 4096 units and a terminator.
constexpr size_t errno_text_units = 4097;
// One read's change records; larger reads are refused on network shares.
constexpr uint32_t change_buffer_bytes = 65536;

// One watched directory.  `overlapped` comes first so that the record a
// finished read hands back is the WatchedDir itself.
struct WatchedDir {
  Overlapped overlapped;
  wchar* path;            // exactly as listed, terminated
  uint64_t path_length;   // units in path
  Handle handle;          // opened for change reads
  unsigned char* buffer;  // change_buffer_bytes, filled by the system
  WatchedDir* next;       // file order
};
static_assert(std::is_standard_layout<WatchedDir>::value && offsetof(WatchedDir, overlapped) == 0,
              "a finished read's Overlapped must be the address of its WatchedDir");

// One excluded path prefix, compared as text over `length` units.
struct ExcludedPrefix {
  wchar* text;
  uint64_t length;
  ExcludedPrefix* next;  // file order
};

// ---- process-wide state (zero until start-up sets it) ----------------------

extern const wchar* changelog_dir;                    // fourth argument, in place
extern wchar error_log_path[wide_buffer_units];       // <dir><sep>error.txt
extern wchar temp_changelog_path[wide_buffer_units];  // <dir><sep>temp
extern wchar batch_path[wide_buffer_units];           // <dir><sep>%08d.txt
extern wchar path_buffer[wide_buffer_units];          // list line; composed path
extern wchar name_buffer[wide_buffer_units];          // one change entry's name
extern char utf8_buffer[utf8_buffer_bytes];           // one changelog line
extern wchar errno_text[errno_text_units];            // runtime text of an errno
extern int32_t batch_counter;                         // batches published so far
extern WatchedDir* watched_dirs;
extern ExcludedPrefix* excluded_prefixes;

// ---- error log and exit codes (error_log.cpp) ------------------------------

// Appends "<step> 0x%04X <system text>\n" to error.txt.  Always returns.
void log_error(const wchar* step, uint32_t code);
// log_error, then ends the process with exit_code.
[[noreturn]] void log_error_and_exit(const wchar* step, uint32_t code, uint32_t exit_code);

// The four direct writes: each replaces error.txt with one line and ends
// the process (exit 2, 2, 18, 24).
[[noreturn]] void write_list_open_failure(const wchar* list_path, int error);
[[noreturn]] void write_list_read_failure(const wchar* list_path, int error);
[[noreturn]] void write_buffer_overrun(uint64_t offset, uint32_t bytes);
[[noreturn]] void write_rename_failure(int error);

// ---- watch and exclusion lists (watch_lists.cpp) ---------------------------

void load_watched_dirs(const wchar* list_path, Handle port);
void load_excluded_prefixes(const wchar* list_path);
void queue_dir_watch(WatchedDir* dir);

// ---- change processing (changelog.cpp) -------------------------------------

void process_dir_watcher_results(WatchedDir* dir, uint32_t bytes);
void append_changelog_line(wchar* line, size_t capacity, Handle* file);
