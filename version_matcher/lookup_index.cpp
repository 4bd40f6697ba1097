#include "lookup_index.h"

#include "fail.h"

#include <cstdlib>
#include <cstring>

WeakEntry* weak_buckets[WEAK_BUCKET_COUNT];
WeakLookup weak_lookup;

// Tails of the chains while they are built, so appending does not walk them.
static WeakEntry* weak_tails[WEAK_BUCKET_COUNT];
static size_t weak_entry_count;

// Bitmap bits per indexed sum.  With two bits set per sum, a sum that is not
// indexed passes the bitmap about 1 time in 200.
constexpr uint64_t FILTER_BITS_PER_SUM = 32;
// Bounds of the bitmap in bits: 8 KiB at least, 2 MiB at most (it must stay
// in cache).  The word index takes at most the top 18 bits of the hash, clear
// of the 12 bits below that pick the bits in the word.
constexpr unsigned FILTER_MIN_LOG2 = 16;
constexpr unsigned FILTER_MAX_LOG2 = 24;
// Table slots per indexed sum (at least): probes past the bitmap then look at
// one or two slots on average.
constexpr uint64_t TABLE_SLOTS_PER_SUM = 2;

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
  std::free(weak_lookup.sums);
  std::free(weak_lookup.entries);
  weak_lookup = WeakLookup{};
}

static void filter_add(uint32_t sum) {
  const uint64_t hash = filter_hash(sum);
  weak_lookup.filter[hash >> weak_lookup.filter_shift] |= filter_bits(hash);
}

static unsigned log2_at_least(uint64_t n, unsigned lowest, unsigned highest) {
  unsigned log2 = lowest;
  while (log2 < highest && (uint64_t{1} << log2) < n) log2++;
  return log2;
}

int index_seal() {
  free_weak_lookup();
  WeakLookup& wl = weak_lookup;
  const unsigned filter_log2 =
      log2_at_least(weak_entry_count * FILTER_BITS_PER_SUM, FILTER_MIN_LOG2, FILTER_MAX_LOG2);
  wl.filter_shift = 64 - (filter_log2 - 6);
  wl.filter = static_cast<uint64_t*>(std::calloc((uint64_t{1} << filter_log2) / 64, sizeof(uint64_t)));
  const unsigned table_log2 = log2_at_least(weak_entry_count * TABLE_SLOTS_PER_SUM, 4, 40);
  const uint64_t slots = uint64_t{1} << table_log2;
  wl.table_shift = 64 - table_log2;
  wl.table_mask = slots - 1;
  wl.sums = static_cast<uint32_t*>(std::malloc(slots * sizeof(uint32_t)));
  wl.entries = static_cast<WeakEntry**>(std::malloc(slots * sizeof(WeakEntry*)));
  if (!wl.filter || !wl.sums || !wl.entries) {
    free_weak_lookup();
    fail_no_memory();
    return -1;
  }
  std::memset(wl.sums, 0xFF, slots * sizeof(uint32_t));  // all EMPTY_SLOT
  // Entries of one sum share a chain, in conversion order: walking each chain
  // from its head meets the first-converted entry of every sum first.
  for (size_t b = 0; b < WEAK_BUCKET_COUNT; b++) {
    for (WeakEntry* e = weak_buckets[b]; e != nullptr; e = e->next) {
      filter_add(e->sum);
      uint64_t i = filter_hash(e->sum) >> wl.table_shift;
      while (wl.sums[i] != EMPTY_SLOT && wl.sums[i] != e->sum) i = (i + 1) & wl.table_mask;
      if (wl.sums[i] == e->sum) continue;  // shadowed by an earlier entry
      wl.sums[i] = e->sum;
      wl.entries[i] = e;
    }
  }
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
