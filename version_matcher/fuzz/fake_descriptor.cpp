#include "fake_descriptor.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/types.h>

FakeFile fake_file;

void fuzz_check(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

// The errors a script may choose for a read that fails.
static const int READ_ERRORS[] = {EIO, EBADF, EISDIR, EINVAL, EAGAIN, EOVERFLOW};

// What a script byte b makes a read do: b % 8 picks the outcome, b / 8 its
// argument.  Outcomes 0 to 3 are short reads of b / 8 + 1 bytes at most.
constexpr int WHOLE_READ = 4;   // as many bytes as asked and there are
constexpr int INTERRUPTED = 5;  // -1 with EINTR, before any byte
constexpr int FAILED = 6;       // -1 with READ_ERRORS[b / 8 % 6]
constexpr int ENDS = 7;         // the file ends here: this and every later read returns 0

static long fail_read(FakeFile* f, int error) {
  f->last_result = -1;
  f->last_errno = error;
  errno = error;
  return -1;
}

static long fake_read(FakeFile* f, void* dst, uint64_t count) {
  f->calls++;
  f->last_ask = count;
  fuzz_check(count > 0, "a read asked for no bytes");
  fuzz_check(f->offset <= f->file_size && count <= f->file_size - f->offset, "a read asked for bytes past file_size");
  const auto* out = static_cast<const uint8_t*>(dst);
  if (f->bounds_begin != nullptr) {
    fuzz_check(out >= f->bounds_begin && count <= static_cast<uint64_t>(f->bounds_end - out),
               "a read writes outside the window's buffer");
  }
  uint64_t most = count;
  if (f->script != nullptr && !f->script->empty()) {
    const uint8_t b = f->script->u8();
    switch (b % 8) {
      case WHOLE_READ:
        break;
      case INTERRUPTED:
        f->interrupts++;
        return fail_read(f, EINTR);
      case FAILED:
        return fail_read(f, READ_ERRORS[(b / 8) % (sizeof READ_ERRORS / sizeof READ_ERRORS[0])]);
      case ENDS:
        f->content.resize(std::min<uint64_t>(f->content.size(), f->offset));
        break;
      default:
        most = std::min<uint64_t>(count, b / 8 + 1);
        break;
    }
  }
  if (f->offset == f->error_at) return fail_read(f, EIO);
  most = std::min(most, f->content.size() - std::min<uint64_t>(f->offset, f->content.size()));
  if (f->error_at > f->offset) most = std::min(most, f->error_at - f->offset);
  if (f->chunk > 0) most = std::min(most, f->chunk);
  if (most > 0) std::memcpy(dst, f->content.data() + f->offset, most);
  f->offset += most;
  f->last_result = static_cast<long>(most);
  return f->last_result;
}

extern "C" ssize_t __real_read(int fd, void* dst, size_t count);

extern "C" ssize_t __wrap_read(int fd, void* dst, size_t count) {
  if (fd != FAKE_FD) return __real_read(fd, dst, count);
  return fake_read(&fake_file, dst, count);
}
