// The watcher's platform layer on Windows: thin glue from platform.h to
// kernel32, user32, shell32 and the C runtime, with the exact flags the
// watcher's contract names.  Every function is one call (or one short
// sequence of calls) with its result passed up unchanged; the logic decides
// what a failure means.
#include "platform.h"
#include "exit_codes.h"

#include <windows.h>
#include <shellapi.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <new>

// The watcher's text type is char16_t everywhere; here it is the same
// storage as the system's wchar_t, so a pointer cast is all the boundary needs.
static_assert(sizeof(wchar_t) == sizeof(wchar), "wchar_t must be UTF-16 on Windows");

static wchar_t* sys(wchar* text) { return reinterpret_cast<wchar_t*>(text); }
static const wchar_t* sys(const wchar* text) { return reinterpret_cast<const wchar_t*>(text); }

// Overlapped is handed to the system as an OVERLAPPED: same size, same fields.
static_assert(sizeof(Overlapped) == sizeof(OVERLAPPED), "Overlapped must match OVERLAPPED");
static_assert(offsetof(Overlapped, internal) == offsetof(OVERLAPPED, Internal), "Internal");
static_assert(offsetof(Overlapped, internal_high) == offsetof(OVERLAPPED, InternalHigh), "InternalHigh");
static_assert(offsetof(Overlapped, offset) == offsetof(OVERLAPPED, Offset), "Offset");
static_assert(offsetof(Overlapped, offset_high) == offsetof(OVERLAPPED, OffsetHigh), "OffsetHigh");
static_assert(offsetof(Overlapped, event) == offsetof(OVERLAPPED, hEvent), "hEvent");

static_assert(error_invalid_parameter == ERROR_INVALID_PARAMETER, "ERROR_INVALID_PARAMETER");
static_assert(still_active == STILL_ACTIVE, "STILL_ACTIVE");

const wchar path_separator = u'\\';

// Change kinds a watched tree reports: names of files and directories,
// attributes, size, last write and creation (95); never last access or
// security, which reading a file or taking a backup would trigger.
constexpr DWORD change_filter = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME |
                                FILE_NOTIFY_CHANGE_ATTRIBUTES | FILE_NOTIFY_CHANGE_SIZE |
                                FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_CREATION;
static_assert(change_filter == 95, "the watched change kinds");

// FormatMessageW: the system allocates the text, looked up in the system
// table (0x1100); inserts are left as they are since no arguments are given.
constexpr DWORD message_flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM;
static_assert(message_flags == 0x1100, "FormatMessageW flags");

// The user's default language (LANG_NEUTRAL, SUBLANG_DEFAULT).
constexpr DWORD message_language = MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT);
static_assert(message_language == 1024, "FormatMessageW language");

// ---- process ---------------------------------------------------------------

uint32_t platform_command_line(int* count, wchar*** args) {
  // The narrow form, read as UTF-8: the host passes its paths that way,
  // whatever the system's ANSI code page is.
  const char* narrow = GetCommandLineA();
  int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, narrow, -1, nullptr, 0);
  if (length == 0) return GetLastError();
  // Never freed: the arguments point into the vector built from it.
  auto* wide = static_cast<wchar_t*>(malloc(sizeof(wchar_t) * static_cast<size_t>(length)));
  if (!wide) return exit_no_command_line_memory;
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, narrow, -1, wide, length) == 0) return GetLastError();
  wchar_t** vector = CommandLineToArgvW(wide, count);
  if (!vector) return GetLastError();
  *args = reinterpret_cast<wchar**>(vector);
  return 0;
}

uint32_t platform_last_error() { return GetLastError(); }

void platform_exit(uint32_t code) { ExitProcess(code); }

void* platform_alloc_zeroed(size_t bytes) { return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes); }

// ---- completion port and host process --------------------------------------

Handle platform_create_port() { return CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0); }

Handle platform_open_process(uint32_t pid) {
  // Query access is all GetExitCodeProcess needs.
  return OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, pid);
}

bool platform_exit_code(Handle process, uint32_t* code) {
  DWORD exit_code = 0;
  if (!GetExitCodeProcess(process, &exit_code)) return false;
  *code = exit_code;
  return true;
}

// The system logs nothing on the watcher's behalf.
bool platform_next_note(Handle, PlatformNote*) { return false; }

int platform_wait(Handle port, uint32_t timeout_ms, Overlapped** overlapped, uint32_t* bytes) {
  DWORD transferred = 0;
  ULONG_PTR key = 0;
  OVERLAPPED* packet = nullptr;
  BOOL done = GetQueuedCompletionStatus(port, &transferred, &key, &packet, timeout_ms);
  *overlapped = reinterpret_cast<Overlapped*>(packet);
  *bytes = transferred;
  if (done) return 1;
  // A packet with a failure is a change read that ended in error; no
  // packet is a timeout or a failure of the wait itself.
  return packet ? -1 : 0;
}

// ---- watched directories ---------------------------------------------------

Handle platform_open_directory(const wchar* path) {
  // Shared every way, so the watch never stands in the way of the files'
  // owners; backup semantics open a directory, overlapped for the port.
  return CreateFileW(sys(path), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
}

Handle platform_bind_to_port(Handle directory, Handle port) { return CreateIoCompletionPort(directory, port, 0, 0); }

bool platform_read_changes(Handle directory, void* buffer, uint32_t size, Overlapped* overlapped) {
  // The byte count comes with the completion, so none is asked for here.
  return ReadDirectoryChangesW(directory, buffer, size, TRUE, change_filter, nullptr,
                               reinterpret_cast<OVERLAPPED*>(overlapped), nullptr) != FALSE;
}

uint32_t platform_long_path(wchar* path, uint32_t capacity) { return GetLongPathNameW(sys(path), sys(path), capacity); }

// ---- files -----------------------------------------------------------------

Handle platform_create_file(const wchar* path) {
  // Unshared: nobody reads a batch before it has its final name.
  return CreateFileW(sys(path), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool platform_write_file(Handle file, const void* bytes, uint32_t count) {
  DWORD written = 0;  // a synchronous write must be given somewhere to put this
  return WriteFile(file, bytes, count, &written, nullptr) != FALSE;
}

void platform_close_file(Handle file) { CloseHandle(file); }

int platform_rename(const wchar* from, const wchar* to) {
  // _wrename never replaces an existing file: a leftover batch stops the run.
  if (_wrename(sys(from), sys(to)) == 0) return 0;
  return errno;
}

int platform_to_utf8(const wchar* text, char* out, int capacity) {
  return WideCharToMultiByte(CP_UTF8, 0, sys(text), -1, out, capacity, nullptr, nullptr);
}

// ---- list files ------------------------------------------------------------

struct ListFile {
  FILE* stream;
};

ListFile* platform_open_list(const wchar* path, int* error) {
  // UTF-8 text mode: the runtime honours a byte-order mark (UTF-8 or
  // UTF-16LE) and reads CR LF as LF.
  FILE* stream = nullptr;
  errno_t opened = _wfopen_s(&stream, sys(path), L"r, ccs=UTF-8");
  if (opened != 0 || !stream) {
    *error = opened ? opened : errno;
    return nullptr;
  }
  auto* file = new (std::nothrow) ListFile{stream};
  if (!file) {
    fclose(stream);
    *error = ENOMEM;
  }
  return file;
}

int platform_read_list_line(ListFile* file, wchar* line, int capacity, int* error) {
  if (fgetws(sys(line), capacity, file->stream)) return 1;
  if (ferror(file->stream)) {
    *error = errno;
    return -1;
  }
  return 0;
}

void platform_close_list(ListFile* file) {
  fclose(file->stream);
  delete file;
}

// ---- error.txt -------------------------------------------------------------

// The line as the runtime's text mode writes it: "a+, ccs=UTF-8" puts the
// UTF-8 byte-order mark into a new or empty file; both modes turn each LF
// into CR LF.  A file that cannot be opened loses the line.
static void write_log_line(const wchar* path, const wchar_t* mode, const wchar* line) {
  FILE* stream = nullptr;
  if (_wfopen_s(&stream, sys(path), mode) != 0 || !stream) return;
  fwprintf(stream, L"%ls", sys(line));
  fclose(stream);
}

void platform_append_log_line(const wchar* path, const wchar* line) { write_log_line(path, L"a+, ccs=UTF-8", line); }

void platform_replace_log_line(const wchar* path, const wchar* line) { write_log_line(path, L"w", line); }

void platform_message_text(uint32_t code, wchar* text, size_t capacity) {
  if (capacity == 0) return;
  text[0] = 0;
  wchar_t* message = nullptr;
  // With FORMAT_MESSAGE_ALLOCATE_BUFFER the buffer argument receives the
  // address of the text the system allocated.
  DWORD length =
      FormatMessageW(message_flags, nullptr, code, message_language, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
  if (!message) return;  // no text for this code: the line carries an empty message
  size_t copied = length < capacity ? length : capacity - 1;
  memcpy(text, message, copied * sizeof(wchar_t));
  text[copied] = 0;
  LocalFree(message);
}

void platform_errno_text(int error, wchar* text, size_t capacity) {
  if (capacity == 0) return;
  if (_wcserror_s(sys(text), capacity, error) != 0) text[0] = 0;
}

// ---- entry -----------------------------------------------------------------

// The Unicode GUI entry point: no window and no console; the arguments are
// read from the command line itself, so the four parameters go unused.
extern "C" int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) { return run_dir_watcher(); }
