// A bounded, forward-only view of the file behind a descriptor.
//
// One heap buffer of at most buffer_size bytes is filled by exact reads; when
// the scan needs more than the buffer holds, the unread tail moves to the front
// and the rest is topped up, so the window start keeps its file offset.
#ifndef CORVAMIRE_READ_WINDOW_H
#define CORVAMIRE_READ_WINDOW_H

#include <cstdint>

struct Caller;

// One per match call.
struct ReadWindow {
  Caller* caller = nullptr;  // told of failures and asked on interrupted reads
  int fd = -1;
  uint64_t file_size = 0;  // bytes to read in all
  uint8_t* buffer = nullptr;
  uint64_t length = 0;      // valid bytes in buffer
  uint64_t pos = 0;         // window start within buffer
  uint64_t bytes_read = 0;  // bytes read from fd in this call
};

int window_open(ReadWindow* rw, Caller* caller, int fd, uint64_t file_size, int buffer_size);
const uint8_t* window_fill(ReadWindow* rw);
const uint8_t* window_slide(ReadWindow* rw);
const uint8_t* window_advance_failed(ReadWindow* rw, uint64_t n);
void window_close(ReadWindow* rw);

// The scan calls these at every position, so they stay inline.
inline const uint8_t* window_advance(ReadWindow* rw, uint64_t n) {
  if (rw->pos + n > rw->length) return window_advance_failed(rw, n);
  rw->pos += n;
  return rw->buffer + rw->pos;
}

inline uint64_t window_available(const ReadWindow* rw) { return rw->length - rw->pos; }

inline bool window_exhausted(const ReadWindow* rw) { return rw->bytes_read >= rw->file_size; }

#endif
