// A change record as a completed change read leaves it in the buffer, the
// records back to back:
//
//   NextEntryOffset  unsigned 32-bit  bytes from this record to the next; 0 on the last
//   Action           unsigned 32-bit  what happened (added, removed, ...); the logic ignores it
//   FileNameLength   unsigned 32-bit  bytes of the name
//   FileName         UTF-16, FileNameLength bytes, not terminated
//
// Read by the logic, written by the Linux backend (the Windows system writes
// its own), and built by the tests and the fuzz target, all through these
// helpers.  A record may start at any alignment, so the fields are copied
// byte-wise, never read through a cast pointer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

constexpr uint32_t record_header_bytes = 12;  // the three fields before the name
constexpr size_t next_entry_offset_at = 0;
constexpr size_t action_at = 4;
constexpr size_t file_name_length_at = 8;

inline uint32_t get_u32(const unsigned char* at) {
  uint32_t value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

inline void put_u32(unsigned char* at, uint32_t value) { std::memcpy(at, &value, sizeof value); }

inline uint32_t record_next_entry_offset(const unsigned char* record) { return get_u32(record + next_entry_offset_at); }
inline uint32_t record_file_name_length(const unsigned char* record) { return get_u32(record + file_name_length_at); }
inline const unsigned char* record_file_name(const unsigned char* record) { return record + record_header_bytes; }

inline void set_record_next_entry_offset(unsigned char* record, uint32_t offset) {
  put_u32(record + next_entry_offset_at, offset);
}

// Writes one record at `record`, which has room for record_header_bytes +
// name_bytes; `name` is the UTF-16 name (name_bytes bytes).
inline void write_record(unsigned char* record, uint32_t next_entry_offset, uint32_t action, const void* name,
                         uint32_t name_bytes) {
  put_u32(record + next_entry_offset_at, next_entry_offset);
  put_u32(record + action_at, action);
  put_u32(record + file_name_length_at, name_bytes);
  if (name_bytes) std::memcpy(record + record_header_bytes, name, name_bytes);
}

// The length the system gives a record it writes: each record starts on a
// 4-byte boundary, so the name is followed by up to three bytes of padding.
inline uint32_t padded_record_length(uint32_t name_bytes) { return (record_header_bytes + name_bytes + 3) & ~3u; }
