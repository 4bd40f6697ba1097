// Everything one match call uses.
//
// The record lives on py_match's stack and is passed down by pointer, so calls
// on other threads, and calls made by Python code that runs inside a call (a
// key's conversion, a finalizer, a signal handler), each have their own.  Its
// native memory is freed when it goes out of scope, on every path; the Python
// references it names are the glue's to release.
#ifndef CORVAMIRE_MATCH_STATE_H
#define CORVAMIRE_MATCH_STATE_H

#include "batch_kernels.h"
#include "digest_index.h"
#include "lookup_index.h"
#include "read_window.h"

#include <cstdint>
#include <vector>

// A matched block: its file offset and the value lookup_table stores for it.
struct Match {
  uint64_t offset;
  PyObject* value;
};

// Switches that the tests turn, to show that the scan's shortcuts change
// nothing; a call keeps the defaults.
struct ScanOptions {
  // Recompute a rolled sum after length/2 rolls, as RollingSum's own rule
  // says.  The roll is exact, so that only derives the same sum again at two
  // bytes of adler32 per position; the scan rolls on instead.
  bool reseed_rolled_sums = false;
  // The loops that runs of non-matching positions take.
  const BatchKernels* kernels = best_kernels();
  // In a stretch of matching blocks, digest the windows of its size several
  // at a time, and confirm a window of the first size by its MD5 before
  // computing its adler32 (digest_index.h).
  bool digest_first = true;
};

struct MatchState {
  Caller* caller;  // told of failures, asked to run signal handlers
  ScanOptions options;
  DigestIndex first_size_digests;  // built by the scan when first needed
  bool first_size_digests_built = false;
  MatchSizeEntry* sizes = nullptr;  // in lookup_table's order
  LookupIndex index;
  ReadWindow window;
  // What the scan found.
  uint32_t weak_count = 0;
  uint32_t strong_count = 0;
  uint64_t bytes_matched = 0;
  std::vector<Match> matches;  // in offset order

  explicit MatchState(Caller* c) : caller(c) {}
  ~MatchState() {
    window_close(&window);
    digest_index_free(&first_size_digests);
    index_free(&index);
    free_match_sizes(sizes);
  }
  MatchState(const MatchState&) = delete;
  MatchState& operator=(const MatchState&) = delete;
};

#endif
