// Failures recorded for inspection instead of raised as Python exceptions.
#ifndef CORVAMIRE_TESTS_FAIL_RECORD_H
#define CORVAMIRE_TESTS_FAIL_RECORD_H

#include <string>

enum class FailKind { none, no_memory, value, runtime, io };

struct RecordedFailure {
  FailKind kind = FailKind::none;
  std::string message;
  int error_number = 0;
};

extern RecordedFailure last_failure;

#endif
