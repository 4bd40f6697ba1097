#include "fail.h"
#include "fail_record.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>

void fail_no_memory(Caller* caller) { caller->failure = {FailKind::no_memory, "", 0}; }

void fail_value(Caller* caller, const char* message) { caller->failure = {FailKind::value, message, 0}; }

void fail_runtime(Caller* caller, const char* format, ...) {
  char message[256];
  va_list args;
  va_start(args, format);
  vsnprintf(message, sizeof message, format, args);
  va_end(args);
  caller->failure = {FailKind::runtime, message, 0};
}

void fail_io_errno(Caller* caller) { caller->failure = {FailKind::io, "", errno}; }

int fail_check_signals(Caller* caller) {
  if (++caller->signal_checks != caller->raise_at_check) return 0;
  caller->failure = {FailKind::signal, "", 0};
  return -1;
}
