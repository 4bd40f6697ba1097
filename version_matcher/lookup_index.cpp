#include "lookup_index.h"

#include "fail.h"
#include "record_arena.h"

#include <cstdlib>
#include <cstring>

WeakEntry* weak_buckets[WEAK_BUCKET_COUNT];
WeakLookup weak_lookup;

// Every WeakEntry and StrongEntry of the call, in allocation order.
static RecordArena<WeakEntry> weak_arena;
static RecordArena<StrongEntry> strong_arena;

// Tails of the chains while they are built, so appending does not walk them.
static WeakEntry* weak_tails[WEAK_BUCKET_COUNT];
static size_t weak_entry_count;

// Bitmap bits per indexed sum.  With two bits set per sum, a sum that is not
// indexed passes the bitmap about 1 time in 200.
constexpr uint64_t FILTER_BITS_PER_SUM = 32;
// Bounds of the bitmap in bits: 8 KiB at least, 1 MiB at most.  Three sizes
// probe it at random three times a byte; at 2 MiB it shared a core's L2 with
// the read buffer and the probes waited on L3, which cost more than the
// extra misses a smaller bitmap lets through to the table.  The word index
// takes at most the top 17 bits of the hash, clear of the 12 bits below that
// pick the bits in the word.
constexpr unsigned FILTER_MIN_LOG2 = 16;
constexpr unsigned FILTER_MAX_LOG2 = 23;
// Table slots per indexed sum (at least): probes past the bitmap then look at
// one or two slots on average.
constexpr uint64_t TABLE_SLOTS_PER_SUM = 2;

void clear_weak_buckets() {
  for (size_t b = 0; b < WEAK_BUCKET_COUNT; b++) weak_buckets[b] = weak_tails[b] = nullptr;
  weak_entry_count = 0;
}

WeakEntry* new_weak_entry() { return arena_new(&weak_arena); }

StrongEntry* new_strong_entry() { return arena_new(&strong_arena); }

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

// Puts e in the table unless an earlier entry holds its sum.
static void seal_entry(WeakEntry* e) {
  WeakLookup& wl = weak_lookup;
  filter_add(e->sum);
  uint64_t i = filter_hash(e->sum) >> wl.table_shift;
  while (wl.sums[i] != EMPTY_SLOT && wl.sums[i] != e->sum) i = (i + 1) & wl.table_mask;
  if (wl.sums[i] == e->sum) return;  // shadowed by an earlier entry
  wl.sums[i] = e->sum;
  wl.entries[i] = e;
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
  // The arena hands out entries in conversion order, so the first entry met
  // for a sum is its first-converted one; reading it in that order also
  // walks memory straight through instead of chasing chain links.  Entries
  // left unlinked (no digests) have no strong list.
  for (ArenaBlock* block = weak_arena.first; block != nullptr; block = block->next) {
    WeakEntry* records = arena_records<WeakEntry>(block);
    for (size_t r = 0; r < block->used; r++) {
      if (records[r].strong != nullptr) seal_entry(&records[r]);
    }
  }
  return 0;
}

void free_strong_entries(StrongEntry* list) {
  for (; list != nullptr; list = list->next) list->value = nullptr;
}

void free_weak_buckets() {
  arena_free(&weak_arena);
  arena_free(&strong_arena);
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
