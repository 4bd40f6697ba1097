// Failures recorded for inspection instead of raised as Python exceptions.
#ifndef CORVAMIRE_TESTS_FAIL_RECORD_H
#define CORVAMIRE_TESTS_FAIL_RECORD_H

#include <string>

enum class FailKind { none, no_memory, value, runtime, io, signal };

struct RecordedFailure {
  FailKind kind = FailKind::none;
  std::string message;
  int error_number = 0;
};

// One call's caller, as a test plays it: the failure it was told of, and a
// signal handler that raises at a chosen check.
struct Caller {
  RecordedFailure failure;
  int signal_checks = 0;   // fail_check_signals calls so far
  int raise_at_check = 0;  // the check (1, 2, ...) whose handler raises; 0: none
};

#endif
