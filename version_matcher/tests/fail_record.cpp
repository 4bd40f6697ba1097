#include "fail.h"
#include "fail_record.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>

RecordedFailure last_failure;

void fail_no_memory() { last_failure = {FailKind::no_memory, "", 0}; }

void fail_value(const char* message) { last_failure = {FailKind::value, message, 0}; }

void fail_runtime(const char* format, ...) {
  char message[256];
  va_list args;
  va_start(args, format);
  vsnprintf(message, sizeof message, format, args);
  va_end(args);
  last_failure = {FailKind::runtime, message, 0};
}

void fail_io_errno() { last_failure = {FailKind::io, "", errno}; }
