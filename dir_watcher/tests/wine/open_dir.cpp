// Test helper run under Wine: opens each directory named on its command line
// and closes it again.  Wine's subtree watch covers a subdirectory that
// existed before the watch only once some Wine process has opened it; the
// tests run this after the watcher is up, so the watcher itself never has to.
// Exit code: 0, or 1 when a directory could not be opened.
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
  int status = argc > 1 ? 0 : 1;
  for (int i = 1; i < argc; ++i) {
    HANDLE dir = CreateFileW(argv[i], FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (dir == INVALID_HANDLE_VALUE) {
      status = 1;
      continue;
    }
    CloseHandle(dir);
  }
  return status;
}
