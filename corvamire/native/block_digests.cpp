#include "block_digests.h"

#include "fail.h"
#include "md5_lanes.h"
#include "retry_io.h"

#include <libdeflate.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

namespace {

// A buffer load: large enough that a read's cost per byte is the copy's,
// small enough to stay in L2 while every size digests it.
constexpr uint64_t READ_BYTES = uint64_t{1} << 20;
// The most one read asks for: what every platform's read takes at once.
constexpr uint64_t MOST_PER_READ = uint64_t{1} << 30;
// Signal handlers run after about this much work (a few ms), so that Ctrl-C
// stops a big file within a fraction of a second.
constexpr uint64_t SIGNAL_CHECK_WORK = uint64_t{4} << 20;

void put_le32(uint8_t* out, uint32_t v) {
  for (int i = 0; i < 4; i++) out[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Blocks first to first + n - 1 of one size, all in the buffer, whose byte 0
// is at file offset start.
void digest_blocks(const BlockSizeOutput* out, uint64_t first, int n, const uint8_t* buffer, uint64_t start) {
  const uint8_t* data[MD5_LANES_MAX];
  size_t lengths[MD5_LANES_MAX];
  for (int i = 0; i < n; i++) {
    const uint64_t block = first + static_cast<uint64_t>(i);
    data[i] = buffer + (block * out->size - start);
    lengths[i] = static_cast<size_t>(out->size);
    // libdeflate's adler32 is zlib's sum, several times faster.
    put_le32(out->sums + 4 * block, libdeflate_adler32(1, data[i], lengths[i]));
  }
  md5_lanes(data, lengths, n, reinterpret_cast<uint8_t(*)[16]>(out->digests + 16 * first));
}

}  // namespace

int block_digests(Caller* caller, int fd, uint64_t file_size, BlockSizeOutput* outputs, size_t n_outputs) {
  // Only sizes with a block to digest need to fit in the buffer.
  uint64_t largest = 0;
  for (size_t s = 0; s < n_outputs; s++) {
    if (outputs[s].count > 0) largest = std::max(largest, outputs[s].size);
  }
  if (largest == 0) return 0;
  // Room for a whole block of the largest size after whatever part of one
  // is kept from the load before.
  const uint64_t capacity = std::max(READ_BYTES, 2 * largest);
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[capacity]);
  if (!buffer) {
    fail_no_memory(caller);
    return -1;
  }
  std::unique_ptr<uint64_t[]> next(new (std::nothrow) uint64_t[n_outputs]());  // next block of each size
  if (!next) {
    fail_no_memory(caller);
    return -1;
  }
  uint64_t start = 0;   // file offset of buffer[0]
  uint64_t filled = 0;  // bytes in the buffer
  uint64_t work = 0;    // bytes digested since handlers last ran
  for (;;) {
    while (filled < capacity && start + filled < file_size) {
      const uint64_t want = std::min({capacity - filled, file_size - start - filled, MOST_PER_READ});
      const int64_t got = retry_io(caller, [&] { return read(fd, buffer.get() + filled, static_cast<size_t>(want)); });
      if (got < 0) return -1;
      if (got == 0) {
        fail_value(caller, "file_size: the file ends before file_size bytes");
        return -1;
      }
      filled += static_cast<uint64_t>(got);
    }
    // Every block of every size that lies wholly in the buffer.
    bool all_done = true;
    uint64_t keep_from = start + filled;
    for (size_t s = 0; s < n_outputs; s++) {
      const BlockSizeOutput* out = &outputs[s];
      const uint64_t in_buffer = std::min(out->count, (start + filled) / out->size);
      while (next[s] < in_buffer) {
        const int n = static_cast<int>(std::min<uint64_t>(MD5_LANES_MAX, in_buffer - next[s]));
        digest_blocks(out, next[s], n, buffer.get(), start);
        next[s] += static_cast<uint64_t>(n);
        work += out->size * static_cast<uint64_t>(n);
        if (work >= SIGNAL_CHECK_WORK) {
          work = 0;
          if (fail_check_signals(caller) < 0) return -1;
        }
      }
      if (next[s] < out->count) {
        all_done = false;
        keep_from = std::min(keep_from, next[s] * out->size);
      }
    }
    // The bytes after the last full block of every size are not needed.
    if (all_done) return 0;
    const uint64_t drop = keep_from - start;
    std::memmove(buffer.get(), buffer.get() + drop, static_cast<size_t>(filled - drop));
    start = keep_from;
    filled -= drop;
  }
}
