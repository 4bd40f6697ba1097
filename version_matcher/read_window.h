// A bounded, forward-only view of the file behind a descriptor.
//
// One heap buffer of at most buffer_size bytes is filled by exact reads; when
// the scan needs more than the buffer holds, the unread tail moves to the front
// and the rest is topped up, so the window start keeps its file offset.
#ifndef CORVAMIRE_READ_WINDOW_H
#define CORVAMIRE_READ_WINDOW_H

#include <cstdint>

struct ReadWindow {
  int fd = -1;
  uint64_t file_size = 0;   // bytes to read in all
  uint8_t* buffer = nullptr;
  uint64_t length = 0;      // valid bytes in buffer
  uint64_t pos = 0;         // window start within buffer
  uint64_t bytes_read = 0;  // bytes read from fd in this call
};

// Module-wide: one match call at a time.
extern ReadWindow read_window;

int window_open(int fd, uint64_t file_size, int buffer_size);
const uint8_t* window_fill();
int window_read_exact(uint8_t* dst, uint64_t n);
const uint8_t* window_slide();
const uint8_t* window_advance_failed(uint64_t n);
void window_close();

// The scan calls these at every position, so they stay inline.
inline const uint8_t* window_advance(uint64_t n) {
  if (read_window.pos + n > read_window.length) return window_advance_failed(n);
  read_window.pos += n;
  return read_window.buffer + read_window.pos;
}

inline uint64_t window_available() { return read_window.length - read_window.pos; }

inline bool window_exhausted() { return read_window.bytes_read >= read_window.file_size; }

#endif
