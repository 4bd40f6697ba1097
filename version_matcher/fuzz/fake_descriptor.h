// A descriptor whose reads a fuzz target scripts: the window reads through
// the system's read(), which the targets link wrapped (-Wl,--wrap=read), so
// that reads of FAKE_FD come here and every other read goes on as before.
//
// The fake holds a file's content and, read by read, delivers what it is
// told to: as much as asked, a short read, EINTR, an error, or the end of
// the file where the content still goes on.  It also checks the reader's
// side of the contract: every read asks for at least one byte, never for a
// byte past file_size, and writes only inside the bounds it was given.
#ifndef CORVAMIRE_FUZZ_FAKE_DESCRIPTOR_H
#define CORVAMIRE_FUZZ_FAKE_DESCRIPTOR_H

#include "input_bytes.h"

#include <cstdint>
#include <vector>

// No file of the fuzzer's process has this number.
constexpr int FAKE_FD = 1 << 24;

struct FakeFile {
  std::vector<uint8_t> content;    // a read at its end returns 0
  uint64_t file_size = 0;          // a read asking for bytes past it is a fault
  uint64_t error_at = UINT64_MAX;  // no read crosses this offset; one starting there fails with EIO
  uint64_t chunk = 0;              // most bytes a read returns; 0: no limit
  // When set, each read takes one byte of it, which says what the read does
  // (see fake_descriptor.cpp); once it is empty reads return what they can.
  InputBytes* script = nullptr;
  const uint8_t* bounds_begin = nullptr;  // when set, reads write only in [begin, end)
  const uint8_t* bounds_end = nullptr;

  // What the reads did.
  uint64_t offset = 0;      // bytes delivered in all
  uint64_t calls = 0;       // reads of FAKE_FD
  uint64_t last_ask = 0;    // the count the latest read asked for
  long last_result = 0;     // what it returned
  int last_errno = 0;       // its errno when it returned -1
  uint64_t interrupts = 0;  // reads that failed with EINTR
};

// The fake behind FAKE_FD; a target sets it up before each run.
extern FakeFile fake_file;

// Aborts with the target's name and what went wrong unless condition holds.
void fuzz_check(bool condition, const char* what);

#endif
