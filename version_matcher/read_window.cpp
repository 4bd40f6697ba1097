#include "read_window.h"

#include "fail.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

// The first number of the early-EOF message; kept for callers that parse it.
constexpr int EOF_MESSAGE_TAG = 0x8000;

#ifdef _WIN32
// The descriptor belongs to the C runtime the host's interpreter links (the
// module links the same one), so it is read with that runtime's _read.  Its
// count is an unsigned int but it refuses one above INT_MAX, and a negative
// buffer_size asks for up to 4 GiB - 1: such a read goes in pieces, which the
// loop below takes as short reads.
static int64_t read_some(int fd, uint8_t* dst, uint32_t n) {
  constexpr uint32_t MOST_PER_READ = 0x40000000;  // 1 GiB, below INT_MAX
  return _read(fd, dst, n < MOST_PER_READ ? n : MOST_PER_READ);
}
#else
static int64_t read_some(int fd, uint8_t* dst, uint32_t n) { return read(fd, dst, n); }
#endif

int window_open(ReadWindow* rw, Caller* caller, int fd, uint64_t file_size, int buffer_size) {
  rw->caller = caller;
  rw->bytes_read = 0;
  rw->fd = fd;
  rw->file_size = file_size;
  if (file_size == 0) {
    fail_value(caller, "Zero size file");
    return -1;
  }
  // A negative buffer_size reads as the unsigned count it wraps to.
  const uint64_t most = static_cast<uint32_t>(buffer_size);
  rw->length = file_size < most ? file_size : most;
  // malloc(0) may give null; a buffer of 0 bytes still needs a valid pointer.
  rw->buffer = static_cast<uint8_t*>(std::malloc(rw->length > 0 ? rw->length : 1));
  if (rw->buffer == nullptr) {
    fail_no_memory(caller);
    return -1;
  }
  return 0;
}

// A fill of many MiB (a buffer of hundreds of MiB) is read in pieces of this
// size, with a look for a signal between them: one read of the whole would
// keep Ctrl-C waiting for as long as the system takes to copy it.  A few MiB
// cost one system call each, nothing beside the copy.
constexpr uint64_t READ_PIECE = uint64_t{4} << 20;

static int window_read_exact(ReadWindow* rw, uint8_t* dst, uint64_t n) {
  uint64_t got = 0;
  uint64_t since_look = 0;  // bytes read since the last look for a signal
  while (got < n) {
    if (since_look >= READ_PIECE) {
      since_look = 0;
      if (fail_check_signals(rw->caller) < 0) return -1;
    }
    const uint64_t left = n - got;
    const uint32_t ask = static_cast<uint32_t>(left < READ_PIECE ? left : READ_PIECE);
    const int64_t r = read_some(rw->fd, dst + got, ask);
    if (r == 0) {
      fail_runtime(rw->caller, "Unexpected EOF: 0x%d; %d of %d", EOF_MESSAGE_TAG, static_cast<int>(got),
                   static_cast<int>(n));
      return -1;
    }
    if (r < 0) {
      // A signal interrupted the read: its handler decides, as for the
      // interpreter's own reads, whether the call ends or the read goes on.
      if (errno == EINTR) {
        if (fail_check_signals(rw->caller) < 0) return -1;
        continue;
      }
      fail_io_errno(rw->caller);
      return -1;
    }
    got += static_cast<uint64_t>(r);
    since_look += static_cast<uint64_t>(r);
  }
  rw->bytes_read += n;
  return 0;
}

const uint8_t* window_fill(ReadWindow* rw) {
  if (window_read_exact(rw, rw->buffer, rw->length) < 0) return nullptr;
  rw->pos = 0;
  return rw->buffer;
}

const uint8_t* window_slide(ReadWindow* rw) {
  if (rw->bytes_read >= rw->file_size) return nullptr;
  const uint64_t tail = rw->length - rw->pos;
  if (tail > 0 && rw->pos > 0) std::memmove(rw->buffer, rw->buffer + rw->pos, tail);
  uint64_t want = rw->length - tail;
  if (rw->bytes_read + want >= rw->file_size) {
    // This refill reaches the end of the file; the buffer never fills again.
    want = rw->file_size - rw->bytes_read;
    rw->length = tail + want;
  }
  if (window_read_exact(rw, rw->buffer + tail, want) < 0) return nullptr;
  rw->pos = 0;
  return rw->buffer;
}

const uint8_t* window_advance_failed(ReadWindow* rw, uint64_t n) {
  fail_runtime(rw->caller, "Increment goes off the end of the buffer: %d+%d > %d", static_cast<int>(rw->pos),
               static_cast<int>(n), static_cast<int>(rw->length));
  return nullptr;
}

void window_close(ReadWindow* rw) {
  std::free(rw->buffer);
  rw->buffer = nullptr;
}
