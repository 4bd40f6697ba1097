// One scan's outcome as text, built alike for Linux and for Windows, so that
// a test can give both builds the same table and file and compare.
//
//   match_report TABLE FILE FILE_SIZE BUFFER_SIZE
//
// TABLE has one known block a line, in lookup_table's order:
// "size sum md5-hex value" (decimal, except the digest).  Prints the three
// counters, then "offset value" for each match in offset order; exit status 0,
// or 1 with the failure on stderr.
#include "scan.h"

#include "fail_record.h"

#include <fcntl.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#define O_BINARY 0
#endif

namespace {

PyObject* value_object(uint64_t value) { return reinterpret_cast<PyObject*>(static_cast<uintptr_t>(value)); }

// The sizes in first-seen order and every entry into the index.
bool load_table(const char* path, MatchState* state) {
  FILE* table = std::fopen(path, "r");
  if (table == nullptr) return false;
  MatchSizeEntry** tail = &state->sizes;
  uint64_t size, value;
  uint32_t sum;
  char hex[33];
  bool ok = true;
  while (ok && std::fscanf(table, "%" SCNu64 " %" SCNu32 " %32s %" SCNu64, &size, &sum, hex, &value) == 4) {
    bool known = false;
    for (MatchSizeEntry* e = state->sizes; e != nullptr; e = e->next) known = known || e->size == size;
    if (!known) {
      *tail = new MatchSizeEntry{size, new RollingSum(), nullptr};
      tail = &(*tail)->next;
    }
    StrongEntry* s = new_strong_entry(&state->index);
    WeakEntry* w = new_weak_entry(&state->index, static_cast<uint32_t>(size));
    ok = s != nullptr && w != nullptr && std::strlen(hex) == 32;
    for (int i = 0; ok && i < 16; i++) {
      const char pair[3] = {hex[2 * i], hex[2 * i + 1], '\0'};
      char* end;
      s->digest[i] = static_cast<uint8_t>(std::strtoul(pair, &end, 16));
      ok = end == pair + 2;
    }
    if (!ok) break;
    // Values are kept even: a value object is never null.
    s->value = value_object(2 * value + 2);
    w->sum = sum;
    w->strong = s;
  }
  ok = ok && std::feof(table);
  std::fclose(table);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: match_report TABLE FILE FILE_SIZE BUFFER_SIZE\n");
    return 2;
  }
  Caller caller;
  MatchState state(&caller);
  if (!load_table(argv[1], &state) || state.sizes == nullptr || index_seal(&state.index, &caller) < 0) {
    std::fprintf(stderr, "bad table: %s\n", argv[1]);
    return 1;
  }
  const int fd = open(argv[2], O_RDONLY | O_BINARY);
  if (fd < 0) {
    std::perror(argv[2]);
    return 1;
  }
  const int rc = scan_for_matches(&state, fd, std::strtoull(argv[3], nullptr, 10), std::atoi(argv[4]));
  close(fd);
  if (rc < 0) {
    std::fprintf(stderr, "scan failed: %s\n", caller.failure.message.c_str());
    return 1;
  }
  std::printf("weak_matches %" PRIu32 "\nstrong_matches %" PRIu32 "\nbytes_matched %" PRIu64 "\n", state.weak_count,
              state.strong_count, state.bytes_matched);
  for (const Match& m : state.matches) {
    std::printf("%" PRIu64 " %" PRIu64 "\n", m.offset,
                static_cast<uint64_t>((reinterpret_cast<uintptr_t>(m.value) - 2) / 2));
  }
  return 0;
}
