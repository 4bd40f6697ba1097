// Error codes on Linux: errno mapped to the Windows code the same failure
// gives there, and the Windows English system text for each code, so that
// error.txt reads the same whichever platform wrote it.  Both come from the
// one table, windows_errors.def.

#include "emulation.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <sys/stat.h>

// An errno with no Windows counterpart keeps its value under the customer
// bit, so the log still tells which errno it was.
constexpr uint32_t customer_code_bit = 0x20000000;

// The table read whole: each code with the errnos that map to it (0 ends
// the list: errno 0 is no failure) and its text.
struct WindowsError {
  uint32_t code;
  int errnos[4];
  const char* text;
};

#define ERRNO_LIST(...) \
  { __VA_ARGS__ }
#define WINDOWS_ERROR(code, name, errnos, text) {code, ERRNO_LIST errnos, text},
static constexpr WindowsError windows_errors[] = {
#include "windows_errors.def"
};
#undef WINDOWS_ERROR
#undef ERRNO_LIST

// What a switch would check: no code listed twice, no errno under two codes.
static constexpr bool each_listed_once() {
  for (const WindowsError& a : windows_errors)
    for (const WindowsError& b : windows_errors) {
      if (&a == &b) continue;
      if (a.code == b.code) return false;
      for (int x : a.errnos)
        for (int y : b.errnos)
          if (x != 0 && x == y) return false;
    }
  return true;
}
static_assert(each_listed_once(), "windows_errors.def lists a code twice, or an errno under two codes");

static uint32_t last_error;

void set_last_error(uint32_t code) { last_error = code; }
uint32_t platform_last_error() { return last_error; }

// ERROR_FILE_NOT_FOUND when only the last component is missing (its parent
// is a directory), ERROR_PATH_NOT_FOUND when the way to it is broken.
static uint32_t missing_path_code(const char* path) {
  if (!path) return error_file_not_found;
  std::string parent(path);
  while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
  size_t cut = parent.rfind('/');
  if (cut == std::string::npos)
    parent = ".";
  else
    parent.resize(cut == 0 ? 1 : cut);
  struct stat st;
  if (stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return error_file_not_found;
  return error_path_not_found;
}

uint32_t windows_error_from_errno(int error, const char* path) {
  if (error == 0) return error_success;
  for (const WindowsError& entry : windows_errors)
    for (int listed : entry.errnos)
      if (listed == error) return error == ENOENT ? missing_path_code(path) : entry.code;
  return customer_code_bit | static_cast<uint32_t>(error);
}

void set_last_error_from_errno(const char* path) {
  int saved = errno;
  set_last_error(windows_error_from_errno(saved, path));
  errno = saved;
}

static void copy_ascii(const char* from, wchar* text, size_t capacity) {
  if (capacity == 0) return;
  size_t i = 0;
  for (; from[i] && i + 1 < capacity; ++i) text[i] = static_cast<unsigned char>(from[i]);
  text[i] = 0;
}

void platform_message_text(uint32_t code, wchar* text, size_t capacity) {
  for (const WindowsError& entry : windows_errors) {
    if (entry.code == code) {
      copy_ascii(entry.text, text, capacity);
      return;
    }
  }
  copy_ascii("", text, capacity);
}
