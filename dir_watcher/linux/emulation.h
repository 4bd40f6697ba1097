// The Linux backend: platform.h's functions over Linux, in two layers.
// Each file calls only into its own layer or the one below; none calls the
// logic (what it must log, the port hands over as notes).
//
//   port.cpp          platform.h's change reads: the completion port, the
//                     listed directories, the wait; gathers bursts
//   ---- the watch tree (watch.h) --------------------------------------------
//   events.cpp        inotify events -> records and tree changes, move pairing
//   tree.cpp          the watched directories: watches, the subtree walk, recovery
//   records.cpp       change records in the Windows layout, queued per root
//   paths.cpp         a node's record name; a node reached by descriptors
//   ---- the Windows emulation (this header) ----------------------------------
//   process_files.cpp command line, host process, files, error.txt, long paths,
//                     descriptors of any length, the clock
//   lists.cpp         list files read as the Windows runtime reads them
//   text.cpp          UTF-8 <-> UTF-16, bytes that are not UTF-8 escaped
//   errors.cpp        errno -> Windows codes and their system texts
//   main.cpp          the entry point: run_dir_watcher()
//
// This header: what the emulation's files share among themselves and offer
// the watch tree above them (not seen by the logic).
#pragma once

#include "platform.h"
#include "wide_text.h"  // wide_length

#include <cstddef>
#include <cstdint>
#include <string>

// ---- error codes (errors.cpp) ---------------------------------------------

// The codes, their errnos and texts: windows_errors.def (constants error_<name>).

void set_last_error(uint32_t code);

// The Windows code for an errno value.  `path`, when given, lets ENOENT tell
// a missing last component (2) from a missing parent (3), as Windows does.
uint32_t windows_error_from_errno(int error, const char* path = nullptr);

// set_last_error(windows_error_from_errno(errno, path)), errno kept.
void set_last_error_from_errno(const char* path = nullptr);

// ---- text (text.cpp) ------------------------------------------------------

// A byte b that is not UTF-8 travels as U+DC00 + b (only 0x80..0xFF occur:
// ASCII is always valid), a lone low surrogate no valid text holds.
constexpr char16_t escape_base = 0xDC00;

// Decodes UTF-8 into UTF-16 units, appending to `out`.  strict: any invalid
// byte fails the call; otherwise invalid bytes become U+DC80..U+DCFF.
bool utf8_to_wide(const char* bytes, size_t count, std::u16string& out, bool strict);

// Decodes one code point at `bytes` (at most `count` bytes available) into
// `units` (1 or 2 units); returns the bytes used, or 0 when the sequence is
// not valid UTF-8 (then the caller escapes the first byte).
size_t utf8_decode_one(const unsigned char* bytes, size_t count, char16_t units[2], int* unit_count);

// Encodes UTF-16 units as UTF-8: escaped bytes back to themselves, other
// lone surrogates as U+FFFD.  Appends to `out`; with crlf each LF becomes CR LF.
void wide_to_utf8(const wchar* text, size_t count, std::string& out, bool crlf = false);

// UTF-16 units of the UTF-8 text (escaped bytes count one unit each), as
// utf8_to_wide would make them.
size_t utf16_units(const char* bytes, size_t count);

// The native (byte) form of a wide path into `out` (the caller's buffer,
// reused from call to call); returns out.c_str().
const char* native_path(const wchar* path, std::string& out);

// ---- descriptors (process_files.cpp) ---------------------------------------

// A descriptor closed when it goes out of scope.
struct Fd {
  int fd = -1;
  Fd() = default;
  explicit Fd(int f) : fd(f) {}
  Fd(Fd&& other) noexcept : fd(other.fd) { other.fd = -1; }
  Fd& operator=(Fd&& other) noexcept;
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd();
  explicit operator bool() const { return fd >= 0; }
  int release() {
    int f = fd;
    fd = -1;
    return f;
  }
};

// openat for a relative (or, with AT_FDCWD, absolute) path of any length:
// a path beyond PATH_MAX is opened piece by piece, each piece below the last.
// `path` is terminated at `length`.
int open_below(int dirfd, const char* path, size_t length, int flags);

// CLOCK_MONOTONIC in nanoseconds.
int64_t monotonic_ns();

// ---- entry (process_files.cpp) ---------------------------------------------

// Keeps the program's arguments for platform_command_line.
void platform_keep_arguments(int argc, char** argv);
