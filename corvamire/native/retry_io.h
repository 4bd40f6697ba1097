// One read, pread or write of the native module's, as the package's callers
// expect it to meet a signal: an interrupted call is retried once the
// signal handlers have run (and none raised), as the interpreter's own I/O
// does; any other failure is an IOError.
#ifndef CORVAMIRE_NATIVE_RETRY_IO_H
#define CORVAMIRE_NATIVE_RETRY_IO_H

#include "fail.h"

#include <cerrno>
#include <cstdint>

// The bytes call() moved (0 at the end of a file), or -1 with the failure
// reported to caller.
template <typename Call>
int64_t retry_io(Caller* caller, Call call) {
  for (;;) {
    const auto r = call();
    if (r >= 0) return static_cast<int64_t>(r);
    if (errno != EINTR) {
      fail_io_errno(caller);
      return -1;
    }
    if (fail_check_signals(caller) < 0) return -1;
  }
}

#endif
