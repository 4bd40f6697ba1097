// How the matcher's native parts report a failure, and how they let the
// caller stop a long call.
//
// Each routine sets the caller-visible error at the point of failure and then
// returns -1 or null; its callers pass the failure up unchanged.  The module
// implements these with Python exceptions (fail_python.cpp); the unit tests
// record them instead, so the parts below the glue run without an interpreter.
//
// Every report goes to the Caller of one match call: the interpreter side of
// that call.  The native parts may run without the interpreter's lock (on
// Python 3), so they never touch the interpreter themselves; the seam takes
// the lock back for as long as a report needs it.
#ifndef CORVAMIRE_FAIL_H
#define CORVAMIRE_FAIL_H

// Defined by the seam's implementation.
struct Caller;

// MemoryError.
void fail_no_memory(Caller* caller);
// ValueError with a fixed message.
void fail_value(Caller* caller, const char* message);
// RuntimeError with a printf-style message.
void fail_runtime(Caller* caller, const char* format, ...) __attribute__((format(printf, 2, 3)));
// IOError from errno and its text.
void fail_io_errno(Caller* caller);

// Runs the handlers of signals that arrived meanwhile (Ctrl-C among them):
// 0 to go on, or -1 when one of them raised, which is then the call's failure.
// Long work asks every few milliseconds of it, and a read interrupted by a
// signal asks before it is retried.  On a thread that runs no handlers it
// returns 0 at once.
int fail_check_signals(Caller* caller);

#endif
