// Failures reported as Python exceptions.
#include "py_glue.h"  // first: Python.h sets feature macros for the system headers

#include "fail.h"


#include <cstdarg>
#include <cstdio>

void fail_no_memory() { PyErr_NoMemory(); }

void fail_value(const char* message) { PyErr_SetString(PyExc_ValueError, message); }

void fail_runtime(const char* format, ...) {
  // The messages are one short line with a few numbers.
  char message[256];
  va_list args;
  va_start(args, format);
  vsnprintf(message, sizeof message, format, args);
  va_end(args);
  PyErr_SetString(PyExc_RuntimeError, message);
}

void fail_io_errno() { PyErr_SetFromErrno(PyExc_IOError); }
