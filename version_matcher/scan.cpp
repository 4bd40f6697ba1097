#include "scan.h"

#include "fail.h"
#include "md5_digest.h"
#include "md5_lanes.h"

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
// Likewise a window longer than this is digested in pieces of it: its MD5
// takes about a second per GiB.  A piece is a look's worth of digesting.
constexpr uint64_t DIGEST_PIECE = SIGNAL_CHECK_WORK / WORK_PER_DIGESTED_BYTE;

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

// The MD5 of size bytes at w into digest, in pieces when they are many: 0,
// or -1 when a signal handler raised on the way.
static int digest_window(Caller* caller, const uint8_t* w, uint64_t size, uint64_t* work, uint8_t digest[16]) {
  *work += WORK_PER_DIGEST;
  if (size <= DIGEST_PIECE) {
    md5_digest(w, size, digest);
    *work += size * WORK_PER_DIGESTED_BYTE;
    return 0;
  }
  Md5Context context;
  md5_begin(&context);
  int rc = 0;
  for (uint64_t done = 0; done < size && rc == 0;) {
    const uint64_t piece = size - done < DIGEST_PIECE ? size - done : DIGEST_PIECE;
    md5_update(&context, w + done, piece);
    done += piece;
    rc = count_work(caller, work, piece * WORK_PER_DIGESTED_BYTE);
  }
  md5_end(&context, digest);  // also when a handler raised: it releases the context
  return rc;
}

// A block of size bytes at offset has matched value: 0, or -1 when out of
// memory.
static int record_match(MatchState* state, uint64_t offset, uint64_t size, PyObject* value) {
  state->strong_count++;
  state->bytes_matched += size;
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
// exact step (try_sizes).  Sums, roll counts and the weak count come
// out as one-position steps would leave them.

// Most sizes a run handles; longer lists take the exact step everywhere.
constexpr int RUN_MAX_SIZES = 8;

// The window starts one byte before w, after a one-byte advance.
static uint64_t clean_run(const LookupIndex* index, const BatchKernels* kernels, MatchSizeEntry* const* fitting, int n,
                          const uint8_t* w, uint64_t most, bool reseed, uint32_t* weak_count) {
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
static uint64_t clean_positions(MatchState* state, const uint8_t* w, uint64_t* work) {
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
  const uint64_t skipped = clean_run(&state->index, state->options.kernels, fitting, n, w, most,
                                     state->options.reseed_rolled_sums, &state->weak_count);
  *work += skipped * static_cast<uint64_t>(n);
  return skipped;
}

// Matches of one size in a row after which the scan is in a stretch of that
// size's blocks: its windows are digested several at a time, and the first
// size's are confirmed by their MD5 before any sum.  Where the stretch ends,
// those digests are wasted; in a stretch that matches block after block they
// save most of the MD5's cost, and for the first size the window's adler32
// and the lookups behind it.  Stretches of a few blocks (generated text has 1
// to 8) lose by it; the figures that chose 8 are in bench/README.md.
constexpr int STRETCH_AFTER = 8;

// MD5s made ahead in a stretch: of the windows of size bytes at file offsets
// offset, offset + size, ... (count of them, from used on not yet taken).
struct DigestsAhead {
  uint8_t digests[MD5_LANES_MAX][16];
  uint64_t size = 0;
  int count = 0;
  int used = 0;
  uint64_t offset = 0;  // of digests[used]
};

// One scan: where the window is, how the sums of the sizes got there, and
// the stretch of matches it is in.  What it finds goes to state.
struct Scan {
  MatchState* state = nullptr;
  ReadWindow* window = nullptr;
  const uint8_t* w = nullptr;  // the window start; null once the window is done
  uint64_t offset = 0;         // file offset of w, from the descriptor's position
  // The last move was one byte on from a position where nothing matched:
  // every size that fits was brought to the window one byte back, whose
  // first byte was leaving_byte.
  bool roll_permitted = false;
  uint8_t leaving_byte = 0;
  // The last move was past a block that matched, of passed_size bytes and
  // sum passed_sum, found by the size at place passed_before of the list:
  // the sizes listed before it were summed at the block's start.
  int passed_before = 0;
  uint64_t passed_size = 0;
  uint32_t passed_sum = 0;
  // The size of the blocks matched at the last positions, and how many in a
  // row (up to STRETCH_AFTER); 0 after a position where none matched.
  uint64_t stretch_size = 0;
  int in_a_row = 0;
  DigestsAhead ahead;
  const uint8_t* first_here = nullptr;  // the first size's digest here, when made

  uint64_t work = 0;  // since the last look for a signal
};

// What one position gave.
struct Step {
  bool fits = false;         // the last size examined fits the window
  uint64_t matched = 0;      // size of the block that matched here; 0 for none
  int matched_place = 0;     // of its size in the list
  uint32_t matched_sum = 0;  // the block's sum, when the exact step found it
};

// Runs of positions where nothing matches, done in batches (clean_run).
static int skip_clean_positions(Scan* scan) {
  if (!scan->roll_permitted) return 0;
  const uint64_t skipped = clean_positions(scan->state, scan->w, &scan->work);
  if (skipped == 0) return 0;
  scan->leaving_byte = scan->w[skipped - 1];
  scan->offset += skipped;
  scan->w = window_advance(scan->window, skipped);
  return scan->w != nullptr ? 0 : -1;
}

// The first size's digests in *digests, built at the first match of that
// size: a file that matches none never needs them.  Null when turned off or
// out of memory (the exact step then does without).  0, or -1 when a signal
// handler raised while they were built.
static int first_size_digests(MatchState* state, const DigestIndex** digests) {
  *digests = nullptr;
  if (!state->options.digest_first) return 0;
  if (!state->first_size_digests_built) {
    state->first_size_digests_built = true;
    if (digest_index_build(&state->first_size_digests, &state->index, static_cast<uint32_t>(state->sizes->size),
                           state->caller) < 0) {
      return -1;
    }
  }
  if (state->first_size_digests.slots != nullptr) *digests = &state->first_size_digests;
  return 0;
}

static bool in_stretch(const Scan* scan, uint64_t size) {
  return scan->state->options.digest_first && scan->stretch_size == size && scan->in_a_row >= STRETCH_AFTER;
}

// In a stretch of size's blocks, the MD5 of the window here into *digest.
// It is made with those of the windows a block, two blocks, ... on, as many
// as the multi-lane MD5 digests at the cost of one: where the scan goes on
// while the windows match.  A window longer than a digest piece is digested
// alone, in pieces.  When digests is given, the slots it will be asked for
// are fetched at once, so that their cache misses overlap.  0, or -1 when a
// signal handler raised.
static int digest_ahead(Scan* scan, uint64_t size, uint64_t available, const DigestIndex* digests,
                        const uint8_t** digest) {
  DigestsAhead* d = &scan->ahead;
  if (d->used == d->count || d->size != size || d->offset != scan->offset) {
    d->count = 0;
    d->used = 0;
    int n = 1;
    if (size > DIGEST_PIECE) {
      if (digest_window(scan->state->caller, scan->w, size, &scan->work, d->digests[0]) < 0) return -1;
    } else {
      const uint64_t fit = available / size;
      n = md5_lanes_width();
      if (static_cast<uint64_t>(n) > fit) n = static_cast<int>(fit);
      const uint8_t* data[MD5_LANES_MAX];
      size_t lengths[MD5_LANES_MAX];
      for (int k = 0; k < n; k++) {
        data[k] = scan->w + k * size;
        lengths[k] = size;
      }
      md5_lanes(data, lengths, n, d->digests);
      scan->work += n * (size * WORK_PER_DIGESTED_BYTE + WORK_PER_DIGEST);
    }
    for (int k = 0; digests != nullptr && k < n; k++) digest_index_prefetch(digests, d->digests[k]);
    d->size = size;
    d->count = n;
    d->offset = scan->offset;
  }
  d->offset += size;
  *digest = d->digests[d->used++];
  return 0;
}

// In a stretch of the first size's matches: confirms the window by its MD5
// before any sum is computed (digest_index.h says why the outcome is the
// exact step's).  0, or -1 when out of memory or a signal handler raised.
static int confirm_by_digest(Scan* scan, Step* step) {
  MatchState* state = scan->state;
  const uint64_t size = state->sizes->size;
  const uint64_t available = window_available(scan->window);
  scan->first_here = nullptr;
  if (!in_stretch(scan, size) || available < size) return 0;
  const DigestIndex* digests;
  if (first_size_digests(state, &digests) < 0) return -1;
  if (digests == nullptr) return 0;
  if (digest_ahead(scan, size, available, digests, &scan->first_here) < 0) return -1;
  PyObject* known = digest_index_find(digests, scan->first_here);
  if (known == nullptr) return 0;
  // As the exact step would find it: a weak match, then a strong one.
  state->weak_count++;
  step->fits = true;
  step->matched = size;
  return record_match(state, scan->offset, size, known);
}

// Brings the sum of the size at place in the list, which fits, to this
// window: rolled on from one byte back, moved on past the block just
// matched, or computed afresh (at its first use, after a slide, and where the
// reseed option says).  0, or -1 when a signal handler raised.
static int bring_sum_here(Scan* scan, RollingSum* rs, int place, uint64_t size) {
  if (scan->roll_permitted) {
    if (!scan->state->options.reseed_rolled_sums || rolling_can_roll(rs)) {
      rolling_roll(rs, scan->leaving_byte, scan->w[size - 1]);
      return 0;
    }
  } else if (place < scan->passed_before && scan->passed_size < size) {
    // A size tried before the block's matched, where the block began: the
    // block leaves its window and as many bytes enter at its end.
    rolling_skip(rs, scan->passed_sum, scan->passed_size, scan->w + size - scan->passed_size);
    scan->work += scan->passed_size * WORK_PER_SUMMED_BYTE;
    return 0;
  }
  return sum_afresh(scan->state->caller, rs, scan->w, size, &scan->work);
}

// Tries the sizes in list order until one's block matches.  0, or -1 when
// out of memory or a signal handler raised.
static int try_sizes(Scan* scan, Step* step) {
  MatchState* state = scan->state;
  const uint64_t available = window_available(scan->window);
  int place = 0;
  for (MatchSizeEntry* e = state->sizes; e != nullptr; e = e->next, place++) {
    const uint64_t size = e->size;
    step->fits = available >= size;
    if (!step->fits) continue;
    scan->work += WORK_PER_TRY;
    RollingSum* rs = e->rolling;
    if (bring_sum_here(scan, rs, place, size) < 0) return -1;
    const WeakEntry* weak = find_weak_entry(&state->index, rolling_value(rs));
    if (weak == nullptr) continue;
    state->weak_count++;
    // Another length's digests: no MD5 of this window can equal them.
    if (weak->size != size) continue;
    uint8_t own[16];
    const uint8_t* digest = own;
    if (place == 0 && scan->first_here != nullptr) {
      digest = scan->first_here;
    } else if (in_stretch(scan, size)) {
      if (digest_ahead(scan, size, available, nullptr, &digest) < 0) return -1;
    } else if (digest_window(state->caller, scan->w, size, &scan->work, own) < 0) {
      return -1;
    }
    PyObject* value = find_strong_value(digest, weak->strong);
    if (value == nullptr) continue;
    step->matched = size;
    step->matched_place = place;
    step->matched_sum = rolling_value(rs);
    return record_match(state, scan->offset, size, value);
  }
  return 0;
}

// Keeps count of the stretch of matches the scan is in.  Only a stretch of
// the first size's blocks turns the digest-first step on: in one of another
// size's blocks, a window of the first size would be digested at every block
// and never found.  0, or -1 when a signal handler raised.
static int follow_stretch(Scan* scan, const Step& step) {
  if (step.matched != scan->stretch_size) {
    scan->stretch_size = step.matched;
    scan->in_a_row = 0;
  }
  if (step.matched == 0) return 0;
  scan->in_a_row = std::min(scan->in_a_row + 1, STRETCH_AFTER);
  if (step.matched != scan->state->sizes->size) return 0;
  const DigestIndex* digests;
  return first_size_digests(scan->state, &digests);
}

// Moves to the next position: a slide when the last size examined did not
// fit, one byte on when nothing matched, past the block when one did.  0, or
// -1 when the window could not move.
static int move_on(Scan* scan, const Step& step) {
  scan->passed_before = 0;
  if (!step.fits) {
    // The window keeps its file offset across the refill.
    scan->w = window_slide(scan->window);
    scan->roll_permitted = false;
    scan->work += scan->window->length * WORK_PER_SLID_BYTE;
    return 0;  // a slide that finds nothing left to read ends the scan
  }
  uint64_t by = step.matched;
  if (by == 0) {
    scan->leaving_byte = scan->w[0];
    by = 1;
  } else {
    scan->passed_before = step.matched_place;
    scan->passed_size = step.matched;
    scan->passed_sum = step.matched_sum;
  }
  scan->roll_permitted = step.matched == 0;
  scan->offset += by;
  scan->w = window_advance(scan->window, by);
  return scan->w != nullptr ? 0 : -1;
}

int scan_for_matches(MatchState* state, int fd, uint64_t file_size, int buffer_size) {
  if (!scan_can_end(state->sizes, file_size, buffer_size)) {
    fail_value(state->caller, "Match size larger than buffer_size");
    return -1;
  }
  Scan scan;
  scan.state = state;
  scan.window = &state->window;
  const bool opened = window_open(scan.window, state->caller, fd, file_size, buffer_size) == 0;
  scan.w = opened ? window_fill(scan.window) : nullptr;
  bool failed = false;
  while (scan.w != nullptr && !failed) {
    Step step;
    failed = skip_clean_positions(&scan) < 0 || confirm_by_digest(&scan, &step) < 0 ||
             (step.matched == 0 && try_sizes(&scan, &step) < 0) ||
             count_work(state->caller, &scan.work, WORK_PER_STEP) < 0 || follow_stretch(&scan, step) < 0 ||
             move_on(&scan, step) < 0;
  }
  // A slide finds nothing left to read only once the file is exhausted; any
  // other way out of the loop is a failure, already reported.
  const bool done = opened && !failed && window_exhausted(scan.window);
  window_close(scan.window);
  return done ? 0 : -1;
}
