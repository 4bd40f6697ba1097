// The watcher's one door to the operating system.
//
// The watcher's logic (start-up, error log, lists, change processing) is
// written once against these functions; each operating system has one
// backend file that implements them, and the build picks the file:
// windows/platform_windows.cpp (completion port, ReadDirectoryChangesW) and
// linux/ (inotify dressed as the same completion model).
//
// Conventions every backend keeps:
// - Text is UTF-16 code units (`wchar`) on every platform, because the
//   change records carry their names that way.  On Linux, bytes that are
//   not UTF-8 travel as lone surrogates U+DC80..U+DCFF and come back out
//   byte for byte.
// - Error codes are Windows codes: platform_last_error() gives the code of
//   the last failing call, mapped from errno where the OS speaks errno.
// - errno-style numbers (the direct error.txt lines) are the runtime
//   library's own, returned through an `int* error` out-parameter.
#pragma once

#include <cstddef>
#include <cstdint>

#include "windows_errors.h"  // error_<name>: the codes the logic and the backends name

using wchar = char16_t;

// An opaque handle: a Windows HANDLE, or a backend's own record on Linux.
using Handle = void*;
inline Handle invalid_handle() { return reinterpret_cast<Handle>(~uintptr_t{0}); }

// Same size and layout as the Windows OVERLAPPED record, so the Windows
// backend can hand it to the system as it stands; it is the first field of
// every WatchedDir, so a finished read leads straight back to its record.
struct Overlapped {
  uintptr_t internal;
  uintptr_t internal_high;
  uint32_t offset;
  uint32_t offset_high;
  Handle event;
};

constexpr uint32_t still_active = 259;  // GetExitCodeProcess while running

// '\\' on Windows, '/' on Linux: joins a watched root and a change's name,
// and is where a changed item's path is cut to its directory.
extern const wchar path_separator;

// ---- process ---------------------------------------------------------------

// The arguments, element 0 the program, decoded from the native command
// line.  Returns 0, or the exit code the run ends with: the decoding error
// (ERROR_NO_UNICODE_TRANSLATION, 1113, for bytes that are not UTF-8) or 14
// when the wide copy cannot be allocated.
uint32_t platform_command_line(int* count, wchar*** args);

uint32_t platform_last_error();
[[noreturn]] void platform_exit(uint32_t code);

// Zero-filled memory from the process heap; never freed.  Null on failure.
void* platform_alloc_zeroed(size_t bytes);

// ---- completion port and host process --------------------------------------

Handle platform_create_port();                            // null on failure
Handle platform_open_process(uint32_t pid);               // null on failure
bool platform_exit_code(Handle process, uint32_t* code);  // false when unreadable

// Waits at most timeout_ms for one finished change read.
//  1: a read finished; *overlapped names it, *bytes is what it delivered
//     (0 when the changes did not fit and were not recorded).
//  0: nothing came (or a failure without a read); *overlapped is null.
// -1: a read finished with an error (platform_last_error); *overlapped names it.
int platform_wait(Handle port, uint32_t timeout_ms, Overlapped** overlapped, uint32_t* bytes);

// ---- watched directories ---------------------------------------------------

Handle platform_open_directory(const wchar* path);            // invalid_handle() on failure
Handle platform_bind_to_port(Handle directory, Handle port);  // the port bound to; null on failure

// Starts one asynchronous read of the changes under `directory` (its whole
// subtree: names, attributes, size, last write, creation) into `buffer` as
// change records.  False on failure, with platform_last_error().
bool platform_read_changes(Handle directory, void* buffer, uint32_t size, Overlapped* overlapped);

// GetLongPathNameW in place: the length of the long form, 0 on failure
// (platform_last_error), or the capacity it would need when larger.
uint32_t platform_long_path(wchar* path, uint32_t capacity);

// ---- files -----------------------------------------------------------------

// Creates or truncates for writing, unshared.  invalid_handle() on failure.
Handle platform_create_file(const wchar* path);
bool platform_write_file(Handle file, const void* bytes, uint32_t count);
void platform_close_file(Handle file);

// Renames without ever replacing an existing file.  0, or the errno value.
int platform_rename(const wchar* from, const wchar* to);

// UTF-8 form of a terminated text, terminator included, into `out`.
// Returns the bytes written with the terminator, or 0 on failure
// (platform_last_error; for example when it does not fit).
int platform_to_utf8(const wchar* text, char* out, int capacity);

// ---- list files (UTF-8 text, an optional byte-order mark) --------------------

struct ListFile;
ListFile* platform_open_list(const wchar* path, int* error);  // null, errno in *error

// Reads one line, as fgetws does: at most capacity - 1 units, the line feed
// kept when it fits, CR LF read as LF, terminated.  1: a line; 0: the end of
// the file; -1: a read error, errno in *error.
int platform_read_list_line(ListFile* file, wchar* line, int capacity, int* error);
void platform_close_list(ListFile* file);

// ---- error.txt -------------------------------------------------------------

// Appends in UTF-8 text mode: a byte-order mark on a new or empty file, each
// LF written as CR LF.  A file that cannot be opened loses the line.
void platform_append_log_line(const wchar* path, const wchar* line);

// Replaces the file with the line in narrow text mode (LF as CR LF, no mark).
void platform_replace_log_line(const wchar* path, const wchar* line);

// The system's text for an error code, with its own line break, as
// FormatMessageW gives it; empty when the system has none.
void platform_message_text(uint32_t code, wchar* text, size_t capacity);

// The runtime library's text for an errno value.
void platform_errno_text(int error, wchar* text, size_t capacity);

// ---- failures the backend meets on its own ------------------------------------

// One the run goes on after (a directory the watcher may not read): the
// call that failed and its Windows code, for error.txt.  `step` is static.
struct PlatformNote {
  const wchar* step;
  uint32_t code;
};

// Takes the oldest note not yet taken; false when there is none.  The
// logic logs them after every wait, so the backend never writes error.txt
// for them itself.
bool platform_next_note(Handle port, PlatformNote* note);

// ---- entry -----------------------------------------------------------------
// Each backend owns the program's entry point (wWinMain on Windows, main on
// Linux), keeps what platform_command_line needs, and returns
// run_dir_watcher() as the exit code.

// The watcher's whole run, written once over these functions; its result
// is the process exit code.
int run_dir_watcher();
