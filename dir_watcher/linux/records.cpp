// Linux backend, change records: a name in bytes becomes one Windows change
// record (NextEntryOffset, Action, FileNameLength, the name in UTF-16),
// queued per root until a read takes as many whole records as its buffer
// holds.

#include "watch.h"

#include <algorithm>
#include <cstring>

void put_change_record(RecordQueue& queue, std::string_view name, uint32_t action, std::u16string& wide) {
  wide.clear();
  utf8_to_wide(name.data(), name.size(), wide, false);
  uint32_t name_bytes = static_cast<uint32_t>(wide.size() * sizeof(char16_t));
  uint32_t length = padded_record_length(name_bytes);
  size_t at = queue.bytes.size();
  queue.bytes.resize(at + length);
  unsigned char* record = queue.bytes.data() + at;
  write_record(record, length, action, wide.data(), name_bytes);
  std::memset(record + record_header_bytes + name_bytes, 0, length - record_header_bytes - name_bytes);
}

uint32_t take_change_records(RecordQueue& queue, unsigned char* buffer, uint32_t size) {
  size_t pos = queue.head;
  uint32_t offset = 0, last = 0, end = 0;
  bool any = false;
  while (pos < queue.bytes.size()) {
    const unsigned char* record = queue.bytes.data() + pos;
    uint32_t length = record_next_entry_offset(record);
    uint32_t name_bytes = record_file_name_length(record);
    if (static_cast<uint64_t>(offset) + record_header_bytes + name_bytes > size) break;
    uint32_t copy = static_cast<uint32_t>(std::min<uint64_t>(length, size - offset));
    std::memcpy(buffer + offset, record, copy);
    any = true;
    last = offset;
    end = offset + record_header_bytes + name_bytes;
    offset += length;
    pos += length;
  }
  if (!any) {
    clear_records(queue);
    return 0;
  }
  set_record_next_entry_offset(buffer + last, 0);
  queue.head = pos;
  if (queue.head == queue.bytes.size()) {
    clear_records(queue);
  } else if (queue.head > queue.bytes.size() / 2) {
    queue.bytes.erase(queue.bytes.begin(), queue.bytes.begin() + static_cast<ptrdiff_t>(queue.head));
    queue.head = 0;
  }
  return end;
}

size_t queued_bytes(const RecordQueue& queue) { return queue.bytes.size() - queue.head; }

void clear_records(RecordQueue& queue) {
  queue.bytes.clear();
  queue.head = 0;
}
