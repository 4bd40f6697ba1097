// How the matcher's native parts report a failure.
//
// Each routine sets the caller-visible error at the point of failure and then
// returns -1 or null; its callers pass the failure up unchanged.  The module
// implements these with Python exceptions (fail_python.cpp); the unit tests
// record them instead, so the parts below the glue run without an interpreter.
#ifndef CORVAMIRE_FAIL_H
#define CORVAMIRE_FAIL_H

// MemoryError.
void fail_no_memory();
// ValueError with a fixed message.
void fail_value(const char* message);
// RuntimeError with a printf-style message.
void fail_runtime(const char* format, ...) __attribute__((format(printf, 1, 2)));
// IOError from errno and its text.
void fail_io_errno();

#endif
