#include "py_glue.h"  // first: Python.h sets feature macros for the system headers

#include "scan.h"

#include "fail.h"
#include "module.h"
#include "read_window.h"

#include <openssl/md5.h>

// OpenSSL 3 deprecates the one-shot MD5 in favour of EVP, which costs far more
// per call on the short blocks digested here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
static void md5_digest(const uint8_t* data, uint64_t n, uint8_t digest[16]) {
  MD5(data, static_cast<size_t>(n), digest);
}
#pragma GCC diagnostic pop

static int record_match(PyObject* matches, uint64_t offset, PyObject* value) {
  PyObject* key = PyLong_FromUnsignedLongLong(offset);
  if (key == nullptr) return -1;
  const int rc = PyDict_SetItem(matches, key, value);
  Py_DECREF(key);
  return rc;
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
// tight loop of its own, then all of them are probed against the index's
// bitmap in one pass, so the probes' cache misses overlap instead of queueing
// behind the rolls.  A run stops before the first position where a sum is
// found in the index, where a size is due for its re-seed, or where the set of
// fitting sizes would change; that position is left to the exact step in
// scan_for_matches.  Sums and roll counts come out as one-position steps
// would leave them.

// Most sizes a run handles; longer lists take the exact step everywhere.
constexpr int RUN_MAX_SIZES = 8;

static uint64_t clean_run(MatchSizeEntry* const* fitting, int n, const uint8_t* w, uint8_t leaving_byte,
                          uint64_t most) {
  for (int i = 0; i < n; i++) {
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
    const uint8_t out = done == 0 ? leaving_byte : p[-1];
    for (int i = 0; i < n; i++) rolling_batch(fitting[i]->rolling, p, out, batch, sums[i]);
    uint64_t clean = 0;
    for (; clean < batch; clean++) {
      bool maybe = false;
      for (int i = 0; i < n; i++) maybe |= filter_may_hold(sums[i][clean]);
      if (!maybe) continue;
      bool found = false;
      for (int i = 0; i < n; i++) found |= find_weak_entry(sums[i][clean]) != nullptr;
      if (found) break;
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
// last size does not fit (a slide comes next) or the list is too long.
static uint64_t skip_clean_positions(MatchSizeEntry* list, const uint8_t* w, uint8_t leaving_byte) {
  const uint64_t available = window_available();
  MatchSizeEntry* fitting[RUN_MAX_SIZES];
  int n = 0;
  uint64_t largest = 0;
  bool last_fits = false;
  for (MatchSizeEntry* e = list; e != nullptr; e = e->next) {
    last_fits = e->size <= available;
    if (!last_fits) continue;
    if (n == RUN_MAX_SIZES) return 0;
    fitting[n++] = e;
    if (e->size > largest) largest = e->size;
  }
  if (!last_fits) return 0;
  // Every fitting size keeps fitting for this many positions.
  return clean_run(fitting, n, w, leaving_byte, available - largest + 1);
}

PyObject* scan_for_matches(MatchSizeEntry* list, int fd, uint64_t file_size, int buffer_size) {
  if (!scan_can_end(list, file_size, buffer_size)) {
    fail_value("Match size larger than buffer_size");
    return nullptr;
  }
  PyObject* result = nullptr;
  PyObject* matches = PyDict_New();
  if (matches != nullptr) {
    uint32_t weak_count = 0, strong_count = 0;
    uint64_t bytes_matched = 0;
    uint64_t match_offset = 0;
    bool roll_permitted = false;
    uint8_t leaving_byte = 0;
    bool failed = false;

    const bool opened = window_open(fd, file_size, buffer_size) == 0;
    const uint8_t* w = opened ? window_fill() : nullptr;
    while (w != nullptr) {
      if (roll_permitted) {
        const uint64_t skipped = skip_clean_positions(list, w, leaving_byte);
        if (skipped > 0) {
          leaving_byte = w[skipped - 1];
          w = window_advance(skipped);
          match_offset += skipped;
          if (w == nullptr) {
            failed = true;
            break;
          }
        }
      }
      const uint64_t available = window_available();
      bool fits = false;
      uint64_t matched_size = 0;
      for (MatchSizeEntry* e = list; e != nullptr; e = e->next) {
        const uint64_t size = e->size;
        fits = available >= size;
        if (!fits) continue;
        RollingSum* rs = e->rolling;
        if (roll_permitted && rolling_can_roll(rs)) {
          rolling_roll(rs, leaving_byte, w[size - 1]);
        } else {
          rolling_reset(rs, w, size);
        }
        const WeakEntry* weak = find_weak_entry(rolling_value(rs));
        if (weak == nullptr) continue;
        weak_count++;
        uint8_t digest[16];
        md5_digest(w, size, digest);
        PyObject* value = find_strong_value(digest, weak->strong);
        if (value == nullptr) continue;
        strong_count++;
        bytes_matched += size;
        if (record_match(matches, match_offset, value) < 0) failed = true;
        matched_size = size;
        break;
      }
      if (failed) break;
      if (!fits) {
        // The window keeps its file offset across the refill.
        w = window_slide();
        roll_permitted = false;
      } else if (matched_size == 0) {
        leaving_byte = w[0];
        roll_permitted = true;
        w = window_advance(1);
        match_offset += 1;
        failed = w == nullptr;
      } else {
        roll_permitted = false;
        w = window_advance(matched_size);
        match_offset += matched_size;
        failed = w == nullptr;
      }
    }
    // A slide finds nothing left to read only once the file is exhausted; any
    // other way out of the loop is a failure with its exception set.
    if (opened && !failed && window_exhausted()) {
      result = make_match_result(weak_count, strong_count, bytes_matched, matches);
    } else {
      PyDict_Clear(matches);
      Py_DECREF(matches);
    }
  }
  window_close();
  return result;
}
