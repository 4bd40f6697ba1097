#include "scan.h"

#include "fail.h"
#include "md5_digest.h"

#include <algorithm>
#include <cstring>
#include <new>

// Work between two looks for a signal such as Ctrl-C, in units of about
// the cost of one size's sum rolled on and probed at one position of a run
// (a few tenths of a nanosecond): a few milliseconds of the scan, whatever
// it spends them on.
constexpr uint64_t SIGNAL_CHECK_WORK = uint64_t{16} << 20;
// The cost of the other work in those units: a position taken by the exact
// step, and a size tried there; a byte summed afresh, moved or read by a
// slide; an MD5, and a byte digested by it (a short block's MD5 costs a
// few hundred nanoseconds whatever its length).
constexpr uint64_t WORK_PER_STEP = 64;
constexpr uint64_t WORK_PER_TRY = 8;
constexpr uint64_t WORK_PER_SUMMED_BYTE = 1;
constexpr uint64_t WORK_PER_SLID_BYTE = 1;
constexpr uint64_t WORK_PER_DIGEST = 512;
constexpr uint64_t WORK_PER_DIGESTED_BYTE = 4;
// A window longer than this is summed afresh in pieces of it, with a look for
// a signal between two: a sum over hundreds of MiB takes a tenth of a second.
constexpr uint64_t SUM_PIECE = uint64_t{8} << 20;

// Counts work done and looks for a signal once enough has been done since
// the last look: 0, or -1 when a handler raised.
static int count_work(Caller* caller, uint64_t* work, uint64_t done) {
  *work += done;
  if (*work < SIGNAL_CHECK_WORK) return 0;
  *work = 0;
  return fail_check_signals(caller);
}

// Sums the window of rs afresh, in pieces when it is long: 0, or -1 when a
// signal handler raised on the way.
static int sum_afresh(Caller* caller, RollingSum* rs, const uint8_t* w, uint64_t size, uint64_t* work) {
  uint64_t done = size < SUM_PIECE ? size : SUM_PIECE;
  rolling_reset(rs, w, done);
  while (true) {
    if (count_work(caller, work, done * WORK_PER_SUMMED_BYTE) < 0) return -1;
    if (rs->length == size) return 0;
    done = size - rs->length < SUM_PIECE ? size - rs->length : SUM_PIECE;
    rolling_append(rs, w + rs->length, done);
  }
}

static int record_match(MatchState* state, uint64_t offset, PyObject* value) {
  try {
    state->matches.push_back(Match{offset, value});
  } catch (const std::bad_alloc&) {
    fail_no_memory(state->caller);
    return -1;
  }
  return 0;
}

// The scan only moves on by a slide when the last size does not fit; if that
// size can never fit in the buffer while the file is longer than the buffer,
// no slide makes room and the scan would stall.
static bool scan_can_end(const MatchSizeEntry* list, uint64_t file_size, int buffer_size) {
  const uint64_t most = static_cast<uint32_t>(buffer_size);
  while (list->next != nullptr) list = list->next;
  return file_size <= most || list->size <= most;
}

// Most positions match nothing: every size that fits is rolled, nothing is
// found in the index, the window moves one byte on.  Runs of such positions
// are done here in batches: each size's sums over the batch are rolled in a
// loop of their own, then probed against the index's bitmap in one pass, so
// the probes' cache misses overlap instead of queueing behind the rolls (the
// kernels doing both are chosen for the CPU, batch_kernels.h).  A sum that
// finds another size's entry is only a weak match to count: no MD5, no match.
// A run stops before the first position where a sum finds an entry of its own
// size, where the set of fitting sizes would change, or (when the scan
// re-seeds) where a size is due for its re-seed; that position is left to the
// exact step in scan_for_matches.  Sums, roll counts and the weak count come
// out as one-position steps would leave them.

// Most sizes a run handles; longer lists take the exact step everywhere.
constexpr int RUN_MAX_SIZES = 8;

// The window starts one byte before w, after a one-byte advance.
static uint64_t clean_run(const LookupIndex* index, const BatchKernels* kernels, MatchSizeEntry* const* fitting,
                          int n, const uint8_t* w, uint64_t most, bool reseed, uint32_t* weak_count) {
  for (int i = 0; reseed && i < n; i++) {
    // Positions left before this size must be recomputed from its window.
    const RollingSum* rs = fitting[i]->rolling;
    const uint64_t rolls_left = rs->length / 2 - rs->rolls;
    if (rolls_left < most) most = rolls_left;
  }
  uint32_t sums[RUN_MAX_SIZES][ROLLING_BATCH_MAX];
  uint64_t done = 0;
  while (done < most) {
    const uint64_t batch = most - done < ROLLING_BATCH_MAX ? most - done : ROLLING_BATCH_MAX;
    const uint8_t* p = w + done;
    uint64_t maybe = 0;  // bit j: some size's sum at position j passed the bitmap
    for (int i = 0; i < n; i++) {
      kernels->roll(fitting[i]->rolling, p, batch, sums[i]);
      maybe |= kernels->probe(index, sums[i], batch);
    }
    uint64_t clean = batch;
    for (; maybe != 0; maybe &= maybe - 1) {
      const uint64_t j = static_cast<uint64_t>(__builtin_ctzll(maybe));
      bool own = false;
      uint32_t others = 0;
      for (int i = 0; i < n; i++) {
        const WeakEntry* weak = find_weak_entry(index, sums[i][j]);
        if (weak == nullptr) continue;
        if (weak->size == fitting[i]->size) {
          own = true;
        } else {
          others++;
        }
      }
      if (own) {
        clean = j;
        break;
      }
      // No size can match here, so every size is tried and each weak match counts.
      *weak_count += others;
    }
    if (clean > 0) {
      for (int i = 0; i < n; i++) {
        fitting[i]->rolling->sum = sums[i][clean - 1];
        fitting[i]->rolling->rolls += clean;
      }
    }
    done += clean;
    if (clean < batch) break;
  }
  return done;
}

// Positions from the window start that clean_run has moved past; 0 when the
// last size does not fit (a slide comes next) or the list is too long.  Adds
// the sums it rolled to *work.
static uint64_t skip_clean_positions(const MatchState* state, const uint8_t* w, uint32_t* weak_count,
                                     uint64_t* work) {
  const uint64_t available = window_available(&state->window);
  MatchSizeEntry* fitting[RUN_MAX_SIZES];
  int n = 0;
  uint64_t largest = 0;
  bool last_fits = false;
  for (MatchSizeEntry* e = state->sizes; e != nullptr; e = e->next) {
    last_fits = e->size <= available;
    if (!last_fits) continue;
    if (n == RUN_MAX_SIZES) return 0;
    fitting[n++] = e;
    if (e->size > largest) largest = e->size;
  }
  if (!last_fits) return 0;
  // Every fitting size keeps fitting for this many positions; a run stops
  // after a look's worth of work, so that a huge buffer gets its looks too.
  const uint64_t most = std::min(available - largest + 1, SIGNAL_CHECK_WORK / static_cast<uint64_t>(n));
  const uint64_t skipped =
      clean_run(&state->index, state->kernels, fitting, n, w, most, state->reseed_rolled_sums, weak_count);
  *work += skipped * static_cast<uint64_t>(n);
  return skipped;
}

// Matches of the first size in a row after which a window of that size is
// confirmed by its MD5 first.  Where the stretch ends, that MD5 is wasted unless the window
// finds an entry of its size anyway; in a stretch that matches block after
// block it saves the window's adler32 and the lookups behind it.  Measured on
// 128 MiB: an edited copy (stretches of hundreds of blocks) 2.29 -> 1.91 ns/B,
// two releases of an npm package 2.02 -> 1.91; generated text, whose
// stretches are 1 to 8 blocks long, stays as it was (after 2 matches it lost
// 10%).
constexpr int DIGEST_FIRST_AFTER = 8;
// Matches in a row after which the next window's MD5 is computed while the
// slot of this one's is fetched: the slot is a cache miss, and the next
// window is where the scan goes on if this one matches.  Wasted once at the
// end of each stretch, so only in long ones.
constexpr int DIGEST_AHEAD_AFTER = 16;

// MD5s of the first size's windows made ahead of the exact step.
struct FirstSizeDigests {
  uint8_t here[16];  // of the window at this position
  bool have_here = false;
  uint8_t next[16];  // of the window one block on
  bool have_next = false;
};

// In a stretch of matches: digests the first size's window (or takes its
// digest made one block back) and looks it up.  The value the exact step
// would match the window with, or null when the exact step has to decide.
static PyObject* match_by_digest(const DigestIndex* digests, const uint8_t* w, uint64_t size, uint64_t available,
                                 bool ahead, FirstSizeDigests* d, uint64_t* work) {
  if (d->have_next) {
    std::memcpy(d->here, d->next, 16);
  } else {
    md5_digest(w, size, d->here);
    *work += size * WORK_PER_DIGESTED_BYTE + WORK_PER_DIGEST;
  }
  d->have_here = true;
  // The slot's cache miss is served while the next window is digested; if
  // this one matches, that is where the scan goes on.
  digest_index_prefetch(digests, d->here);
  d->have_next = ahead && available >= 2 * size;
  if (d->have_next) {
    md5_digest(w + size, size, d->next);
    *work += size * WORK_PER_DIGESTED_BYTE + WORK_PER_DIGEST;
  }
  return digest_index_find(digests, d->here);
}

// The first size's digests, built at the first match: a file that matches
// nothing never needs them.  Null when turned off or out of memory (the exact
// step then does without).
static const DigestIndex* first_size_digests(MatchState* state) {
  if (!state->digest_first) return nullptr;
  if (!state->first_size_digests_built) {
    state->first_size_digests_built = true;
    if (digest_index_build(&state->first_size_digests, &state->index, static_cast<uint32_t>(state->sizes->size)) < 0) {
      return nullptr;
    }
  }
  return state->first_size_digests.slots != nullptr ? &state->first_size_digests : nullptr;
}

int scan_for_matches(MatchState* state, int fd, uint64_t file_size, int buffer_size) {
  MatchSizeEntry* const list = state->sizes;
  const LookupIndex* const index = &state->index;
  ReadWindow* const rw = &state->window;
  if (!scan_can_end(list, file_size, buffer_size)) {
    fail_value(state->caller, "Match size larger than buffer_size");
    return -1;
  }
  const bool reseed = state->reseed_rolled_sums;
  uint32_t weak_count = 0, strong_count = 0;
  uint64_t bytes_matched = 0;
  uint64_t match_offset = 0;
  bool roll_permitted = false;
  uint8_t leaving_byte = 0;
  int matches_in_a_row = 0;
  FirstSizeDigests first;
  bool failed = false;
  uint64_t work = 0;  // since the last look for a signal

  const bool opened = window_open(rw, state->caller, fd, file_size, buffer_size) == 0;
  const uint8_t* w = opened ? window_fill(rw) : nullptr;
  while (w != nullptr) {
    if (roll_permitted) {
      const uint64_t skipped = skip_clean_positions(state, w, &weak_count, &work);
      if (skipped > 0) {
        leaving_byte = w[skipped - 1];
        w = window_advance(rw, skipped);
        match_offset += skipped;
        if (w == nullptr) {
          failed = true;
          break;
        }
      }
    }
    const uint64_t available = window_available(rw);
    bool fits = false;
    uint64_t matched_size = 0;
    work += WORK_PER_STEP;
    first.have_here = false;
    const DigestIndex* digests =
        matches_in_a_row >= DIGEST_FIRST_AFTER && available >= list->size ? first_size_digests(state) : nullptr;
    if (digests != nullptr) {
      PyObject* known = match_by_digest(digests, w, list->size, available, matches_in_a_row >= DIGEST_AHEAD_AFTER,
                                        &first, &work);
      if (known != nullptr) {
        // As the exact step would find it: a weak match, then a strong one.
        fits = true;
        weak_count++;
        strong_count++;
        bytes_matched += list->size;
        if (record_match(state, match_offset, known) < 0) failed = true;
        matched_size = list->size;
      }
    }
    for (MatchSizeEntry* e = matched_size == 0 ? list : nullptr; e != nullptr; e = e->next) {
      const uint64_t size = e->size;
      fits = available >= size;
      if (!fits) continue;
      work += WORK_PER_TRY;
      RollingSum* rs = e->rolling;
      // A sum is computed afresh where the window is new to it: at its first
      // use, after a slide and after a match.  Otherwise it was brought to the
      // window one byte back, and the roll gives this window's sum exactly.
      if (roll_permitted && (!reseed || rolling_can_roll(rs))) {
        rolling_roll(rs, leaving_byte, w[size - 1]);
      } else if (sum_afresh(state->caller, rs, w, size, &work) < 0) {
        failed = true;
        break;
      }
      const WeakEntry* weak = find_weak_entry(index, rolling_value(rs));
      if (weak == nullptr) continue;
      weak_count++;
      // Another length's digests: no MD5 of this window can equal them.
      if (weak->size != size) continue;
      uint8_t digest[16];
      if (e == list && first.have_here) {
        std::memcpy(digest, first.here, 16);
      } else {
        md5_digest(w, size, digest);
        work += size * WORK_PER_DIGESTED_BYTE + WORK_PER_DIGEST;
      }
      PyObject* value = find_strong_value(digest, weak->strong);
      if (value == nullptr) continue;
      strong_count++;
      bytes_matched += size;
      if (record_match(state, match_offset, value) < 0) failed = true;
      matched_size = size;
      break;
    }
    if (failed || count_work(state->caller, &work, 0) < 0) {
      failed = true;
      break;
    }
    // Only a stretch of the first size's blocks turns the digests on: in one
    // of another size's blocks, a window of the first size would be
    // digested at every block and never found.
    const bool first_size_matched = matched_size == list->size;
    matches_in_a_row = first_size_matched ? std::min(matches_in_a_row + 1, DIGEST_AHEAD_AFTER) : 0;
    if (first_size_matched) {
      first_size_digests(state);
    } else {
      first.have_next = false;
    }
    if (!fits) {
      // The window keeps its file offset across the refill.
      w = window_slide(rw);
      roll_permitted = false;
      work += rw->length * WORK_PER_SLID_BYTE;
    } else if (matched_size == 0) {
      leaving_byte = w[0];
      roll_permitted = true;
      w = window_advance(rw, 1);
      match_offset += 1;
      failed = w == nullptr;
    } else {
      roll_permitted = false;
      w = window_advance(rw, matched_size);
      match_offset += matched_size;
      failed = w == nullptr;
    }
  }
  state->weak_count = weak_count;
  state->strong_count = strong_count;
  state->bytes_matched = bytes_matched;
  // A slide finds nothing left to read only once the file is exhausted; any
  // other way out of the loop is a failure, already reported.
  const bool done = opened && !failed && window_exhausted(rw);
  window_close(rw);
  return done ? 0 : -1;
}
