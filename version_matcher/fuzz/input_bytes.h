// The fuzzer's input read front to back in little-endian fields; past its
// end every field reads as 0.  Fields come first and a target's free-form
// bytes (a file's content) last, so an input can be written by hand.
#ifndef CORVAMIRE_FUZZ_INPUT_BYTES_H
#define CORVAMIRE_FUZZ_INPUT_BYTES_H

#include <cstddef>
#include <cstdint>
#include <vector>

struct InputBytes {
  const uint8_t* data;
  size_t size;

  bool empty() const { return size == 0; }

  uint64_t field(int bytes) {
    uint64_t value = 0;
    for (int i = 0; i < bytes && size > 0; i++, data++, size--) value |= uint64_t{*data} << (8 * i);
    return value;
  }
  uint8_t u8() { return static_cast<uint8_t>(field(1)); }
  uint16_t u16() { return static_cast<uint16_t>(field(2)); }
  uint32_t u32() { return static_cast<uint32_t>(field(4)); }

  std::vector<uint8_t> bytes(size_t n) {
    if (n > size) n = size;
    std::vector<uint8_t> out(data, data + n);
    data += n;
    size -= n;
    return out;
  }
  std::vector<uint8_t> rest() { return bytes(size); }
};

// The call's file_size as a mode byte and a value choose it, for a file of
// n bytes: all of it, less of it (0 included), more than there is, or
// nearly 2^64.
inline uint64_t choose_file_size(uint8_t mode, uint16_t value, uint64_t n) {
  switch (mode % 4) {
    case 0:
      return n;
    case 1:
      return n > value ? n - value : 0;
    case 2:
      return n + value;
    default:
      return UINT64_MAX - value;
  }
}

// The call's buffer_size likewise: up to 65535, up to a little more than the
// file, negative (read as nearly 2^32), or near the largest int.
inline int choose_buffer_size(uint8_t mode, uint16_t value, uint64_t n) {
  switch (mode % 4) {
    case 0:
      return value;
    case 1:
      return static_cast<int>(value % (n + 2));
    case 2:
      return -1 - value;
    default:
      return INT32_MAX - value;
  }
}

// The window allocates the smaller of file_size and buffer_size; runs that
// would have it allocate more than this are skipped.
constexpr uint64_t MOST_BUFFER_BYTES = uint64_t{1} << 20;

inline bool buffer_too_large(uint64_t file_size, int buffer_size) {
  const uint64_t buffer = static_cast<uint32_t>(buffer_size);
  return (file_size < buffer ? file_size : buffer) > MOST_BUFFER_BYTES;
}

// The call's two sizes as the input's first six bytes choose them, read
// before anything else so that every target's corpus starts alike.
struct CallSizes {
  uint8_t file_mode;
  uint16_t file_value;
  uint8_t buffer_mode;
  uint16_t buffer_value;
};

inline CallSizes read_call_sizes(InputBytes& in) {
  CallSizes c;
  c.file_mode = in.u8();
  c.file_value = in.u16();
  c.buffer_mode = in.u8();
  c.buffer_value = in.u16();
  return c;
}

// file_size and buffer_size for a file of n bytes; false for a run the
// targets skip (its buffer would be too large).
inline bool choose_call_sizes(const CallSizes& c, uint64_t n, uint64_t* file_size, int* buffer_size) {
  *file_size = choose_file_size(c.file_mode, c.file_value, n);
  *buffer_size = choose_buffer_size(c.buffer_mode, c.buffer_value, n);
  return !buffer_too_large(*file_size, *buffer_size);
}

#endif
