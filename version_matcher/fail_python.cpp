// Failures reported as Python exceptions, each with the interpreter's lock
// held for the moment it takes.
#include "py_glue.h"  // first: Python.h sets feature macros for the system headers

#include "fail.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>

void fail_no_memory(Caller* caller) {
  LockHeld held(caller);
  PyErr_NoMemory();
}

void fail_value(Caller* caller, const char* message) {
  LockHeld held(caller);
  PyErr_SetString(PyExc_ValueError, message);
}

void fail_runtime(Caller* caller, const char* format, ...) {
  // The messages are one short line with a few numbers.
  char message[256];
  va_list args;
  va_start(args, format);
  vsnprintf(message, sizeof message, format, args);
  va_end(args);
  LockHeld held(caller);
  PyErr_SetString(PyExc_RuntimeError, message);
}

void fail_io_errno(Caller* caller) {
  const int error = errno;  // before anything else can change it
  LockHeld held(caller);
  errno = error;
  PyErr_SetFromErrno(PyExc_IOError);
}

int fail_check_signals(Caller* caller) {
  if (!caller->receives_signals) return 0;
  LockHeld held(caller);
  return PyErr_CheckSignals();
}
