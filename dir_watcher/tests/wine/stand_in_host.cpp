// Test helper run under Wine: a stand-in for the host application.  The
// watcher needs a Windows process id to watch, which only a process of the
// same Wine server has; this one prints its id, then lives until its
// standard input reaches the end (the test closes it to end the "host").
#include <windows.h>

#include <cstdio>

int wmain() {
  printf("%lu\n", static_cast<unsigned long>(GetCurrentProcessId()));
  fflush(stdout);
  while (getchar() != EOF) {
  }
  return 0;
}
