#include "lookup_index.h"

#include "fail.h"

#include <cstdlib>

WeakEntry* weak_buckets[WEAK_BUCKET_COUNT];
WeakLookup weak_lookup;

// Tails of the chains while they are built, so appending does not walk them.
static WeakEntry* weak_tails[WEAK_BUCKET_COUNT];
static size_t weak_entry_count;

// Bitmap bits per indexed sum: a miss then passes the bitmap about 1 time in 32.
constexpr uint64_t FILTER_BITS_PER_SUM = 32;
// Bounds of the bitmap: 8 KiB at least, 2 MiB at most (it must stay in cache).
constexpr unsigned FILTER_MIN_LOG2 = 16;
constexpr unsigned FILTER_MAX_LOG2 = 24;

void clear_weak_buckets() {
  for (size_t b = 0; b < WEAK_BUCKET_COUNT; b++) weak_buckets[b] = weak_tails[b] = nullptr;
  weak_entry_count = 0;
}

void link_weak_entry(WeakEntry* e) {
  const uint32_t bucket = e->sum & 0xFFFF;
  e->next = nullptr;
  if (weak_tails[bucket] == nullptr) {
    weak_buckets[bucket] = e;
  } else {
    weak_tails[bucket]->next = e;
  }
  weak_tails[bucket] = e;
  weak_entry_count++;
}

static void free_weak_lookup() {
  std::free(weak_lookup.filter);
  std::free(weak_lookup.first);
  std::free(weak_lookup.sums);
  std::free(weak_lookup.entries);
  weak_lookup = WeakLookup{};
}

static bool filter_test_and_set(uint32_t sum) {
  const uint64_t slot = filter_slot(sum, weak_lookup.filter_shift);
  uint64_t& word = weak_lookup.filter[slot >> 6];
  const uint64_t bit = uint64_t{1} << (slot & 63);
  const bool was_set = word & bit;
  word |= bit;
  return was_set;
}

int index_seal() {
  free_weak_lookup();
  unsigned log2_bits = FILTER_MIN_LOG2;
  while (log2_bits < FILTER_MAX_LOG2 && (uint64_t{1} << log2_bits) < weak_entry_count * FILTER_BITS_PER_SUM) {
    log2_bits++;
  }
  WeakLookup& wl = weak_lookup;
  wl.filter_shift = 64 - log2_bits;
  wl.filter = static_cast<uint64_t*>(std::calloc((uint64_t{1} << log2_bits) / 64, sizeof(uint64_t)));
  wl.first = static_cast<uint32_t*>(std::malloc((WEAK_BUCKET_COUNT + 1) * sizeof(uint32_t)));
  // One spare slot keeps the sizes non-zero for an index with no sums.
  wl.sums = static_cast<uint32_t*>(std::malloc((weak_entry_count + 1) * sizeof(uint32_t)));
  wl.entries = static_cast<WeakEntry**>(std::malloc((weak_entry_count + 1) * sizeof(WeakEntry*)));
  if (!wl.filter || !wl.first || !wl.sums || !wl.entries) {
    free_weak_lookup();
    fail_no_memory();
    return -1;
  }
  uint32_t count = 0;
  for (size_t b = 0; b < WEAK_BUCKET_COUNT; b++) {
    wl.first[b] = count;
    for (WeakEntry* e = weak_buckets[b]; e != nullptr; e = e->next) {
      bool seen = false;
      if (filter_test_and_set(e->sum)) {
        // Rare: a repeated sum, or another sum that shares its bit.
        for (uint32_t i = wl.first[b]; i < count && !seen; i++) seen = wl.sums[i] == e->sum;
      }
      if (seen) continue;  // an earlier entry of this sum shadows this one
      wl.sums[count] = e->sum;
      wl.entries[count] = e;
      count++;
    }
  }
  wl.first[WEAK_BUCKET_COUNT] = count;
  return 0;
}

void free_strong_entries(StrongEntry* list) {
  while (list != nullptr) {
    StrongEntry* next = list->next;
    delete list;
    list = next;
  }
}

void free_weak_buckets() {
  for (size_t b = 0; b < WEAK_BUCKET_COUNT; b++) {
    WeakEntry* e = weak_buckets[b];
    while (e != nullptr) {
      WeakEntry* next = e->next;
      free_strong_entries(e->strong);
      delete e;
      e = next;
    }
  }
  clear_weak_buckets();
  free_weak_lookup();
}

void free_match_sizes(MatchSizeEntry* list) {
  while (list != nullptr) {
    MatchSizeEntry* next = list->next;
    delete list->rolling;
    delete list;
    list = next;
  }
}
