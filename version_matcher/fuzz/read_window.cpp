// Fuzz target: the read window over a descriptor whose every read the input
// scripts (short reads, EINTR, errors, an early end), driven by advances and
// slides in the order the input chooses, then read to the end.
//
// After every step the window must hold the file's own bytes from the window
// start's file offset on, never more than it allocated, and never have read
// past file_size; a slide that succeeds leaves the buffer full or the whole
// file read; a failed step reports exactly what the descriptor did.
//
// Input, front to back: file_size mode (1 byte) and value (2), buffer_size
// mode (1) and value (2), the signal check whose handler raises (1; 0 for
// none), the content's length (2), the content; then a stream from which
// the steps (1 byte, an advance taking 2 more) and the reads' outcomes (1
// byte each, see fake_descriptor.cpp) are taken as they happen.
#include "read_window.h"

#include "fail_record.h"
#include "fake_descriptor.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

std::string eof_message(uint64_t got, uint64_t asked) {
  char text[128];
  std::snprintf(text, sizeof text, "Unexpected EOF: 0x32768; %d of %d", static_cast<int>(got), static_cast<int>(asked));
  return text;
}

struct Run {
  ReadWindow rw;
  Caller caller;
  uint64_t capacity = 0;  // bytes the buffer holds
  uint64_t start = 0;     // file offset of the window start
};

// The window's state agrees with the file and the reads made.
void check_window(const Run& run) {
  const ReadWindow& rw = run.rw;
  fuzz_check(rw.pos <= rw.length && rw.length <= run.capacity, "the window lies outside its buffer");
  fuzz_check(rw.bytes_read <= rw.file_size, "more than file_size was read");
  fuzz_check(rw.bytes_read == fake_file.offset, "bytes_read differs from what the reads delivered");
  fuzz_check(rw.bytes_read - run.start == window_available(&rw),
             "the valid bytes do not run from the window start to the last byte read");
  fuzz_check(window_available(&rw) == 0 ||
                 std::memcmp(rw.buffer + rw.pos, fake_file.content.data() + run.start, window_available(&rw)) == 0,
             "the window holds other bytes than the file's at its offset");
  fuzz_check(window_exhausted(&rw) == (rw.bytes_read >= rw.file_size), "window_exhausted is wrong");
}

// After a fill or slide returned null with a failure: the failure is what
// the last read did.  got is what the failed read_exact had received.
void check_read_failure(const Run& run, uint64_t got) {
  const RecordedFailure& failure = run.caller.failure;
  if (fake_file.last_result == 0) {
    fuzz_check(failure.kind == FailKind::runtime && failure.message == eof_message(got, got + fake_file.last_ask),
               "an early end is not reported as one");
  } else if (fake_file.last_result < 0 && fake_file.last_errno == EINTR) {
    fuzz_check(failure.kind == FailKind::signal && run.caller.signal_checks == run.caller.raise_at_check,
               "an interrupted read failed without its handler raising");
  } else {
    fuzz_check(
        fake_file.last_result < 0 && failure.kind == FailKind::io && failure.error_number == fake_file.last_errno,
        "a read error is not reported with its errno");
  }
}

// One fill or slide; false when the window is done (exhausted or failed).
bool read_step(Run& run, bool fill) {
  const uint64_t bytes_before = run.rw.bytes_read;
  const bool exhausted_before = window_exhausted(&run.rw);
  const uint64_t calls_before = fake_file.calls;
  const uint8_t* w = fill ? window_fill(&run.rw) : window_slide(&run.rw);
  fuzz_check(run.caller.signal_checks == static_cast<int>(fake_file.interrupts),
             "an interrupted read did not ask the signal handlers exactly once");
  if (w == nullptr) {
    if (!fill && exhausted_before && run.caller.failure.kind == FailKind::none) {
      fuzz_check(fake_file.calls == calls_before, "a slide read after the whole file");
      return false;
    }
    fuzz_check(run.caller.failure.kind != FailKind::none, "a read step failed without a failure");
    fuzz_check(run.rw.bytes_read == bytes_before, "a failed read counted bytes");
    check_read_failure(run, fake_file.offset - bytes_before);
    return false;
  }
  fuzz_check(run.caller.failure.kind == FailKind::none, "a read step succeeded with a failure");
  fuzz_check(!exhausted_before || fill, "a slide after the whole file was read went on");
  fuzz_check(w == run.rw.buffer && run.rw.pos == 0, "a read step left the window elsewhere than the buffer start");
  fuzz_check(run.rw.length == run.capacity || run.rw.bytes_read == run.rw.file_size,
             "a read step left room in the buffer with more of the file to read");
  check_window(run);
  return true;
}

void advance_step(Run& run, uint64_t n) {
  const uint64_t pos = run.rw.pos, length = run.rw.length;
  const uint8_t* w = window_advance(&run.rw, n);
  if (n <= length - pos) {
    fuzz_check(w == run.rw.buffer + pos + n && run.caller.failure.kind == FailKind::none,
               "an advance within the valid bytes failed");
    run.start += n;
  } else {
    char message[128];
    std::snprintf(message, sizeof message, "Increment goes off the end of the buffer: %d+%d > %d",
                  static_cast<int>(pos), static_cast<int>(n), static_cast<int>(length));
    fuzz_check(w == nullptr && run.caller.failure.kind == FailKind::runtime && run.caller.failure.message == message,
               "an advance past the valid bytes was not refused");
    fuzz_check(run.rw.pos == pos, "a refused advance moved the window");
    run.caller.failure = RecordedFailure{};  // the window stays usable
  }
  check_window(run);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  InputBytes in{data, size};
  const CallSizes sizes = read_call_sizes(in);
  const uint8_t raise_at_check = in.u8();
  const uint16_t content_length = in.u16();

  fake_file = FakeFile{};
  fake_file.content = in.bytes(content_length);
  uint64_t file_size;
  int buffer_size;
  if (!choose_call_sizes(sizes, fake_file.content.size(), &file_size, &buffer_size)) return 0;
  fake_file.file_size = file_size;
  fake_file.script = &in;

  Run run;
  run.caller.raise_at_check = raise_at_check;
  if (window_open(&run.rw, &run.caller, FAKE_FD, file_size, buffer_size) < 0) {
    fuzz_check(
        file_size == 0 && run.caller.failure.kind == FailKind::value && run.caller.failure.message == "Zero size file",
        "window_open failed other than on a zero size file");
    fuzz_check(run.rw.buffer == nullptr, "a failed window_open left a buffer");
    return 0;
  }
  fuzz_check(file_size > 0, "a zero size file was opened");
  run.capacity = std::min<uint64_t>(file_size, static_cast<uint32_t>(buffer_size));
  fuzz_check(run.rw.length == run.capacity, "the buffer is not the smaller of file_size and buffer_size");
  fake_file.bounds_begin = run.rw.buffer;
  fake_file.bounds_end = run.rw.buffer + run.capacity;

  bool going = read_step(run, true);
  // The steps the input chooses.
  while (going && !in.empty()) {
    const uint8_t step = in.u8();
    if (step % 2 == 0) {
      going = read_step(run, false);
    } else {
      // Within the valid bytes or one past them, or any distance.
      const uint64_t n = in.u16();
      advance_step(run, step % 4 == 1 ? n % (window_available(&run.rw) + 2) : n);
    }
  }
  // Then to the end of the file, as a scan that matches nothing there does.
  fake_file.script = nullptr;
  while (going) {
    const uint64_t read_before = run.rw.bytes_read;
    advance_step(run, window_available(&run.rw));
    going = read_step(run, false) && run.rw.bytes_read > read_before;
  }
  window_close(&run.rw);
  fuzz_check(run.rw.buffer == nullptr, "window_close left the buffer");
  return 0;
}
