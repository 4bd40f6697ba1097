#include "lookup_index.h"

#include "fail.h"

#include <cstdlib>
#include <cstring>

// Bitmap bits per indexed sum.  With three bits set per sum in one 32-bit
// word, a sum that is not indexed passes the bitmap about 1 time in 1000.
constexpr uint64_t FILTER_BITS_PER_SUM = 64;
// Bounds of the bitmap in bits: 8 KiB at least, 2 MiB at most.  Every size
// probes it at every position; a miss that gets past it costs a table probe,
// a cache miss of its own.  A smaller bitmap lets more misses through, whose
// table probes cost more than the bitmap's own extra cache misses (the
// figures are in bench/README.md).
constexpr unsigned FILTER_MIN_LOG2 = 16;
constexpr unsigned FILTER_MAX_LOG2 = 24;
static_assert(FILTER_MAX_LOG2 - 5 <= 32, "the word index comes from one 32-bit hash");
// Table slots per indexed sum (at least): probes past the bitmap then look at
// one or two slots on average.
constexpr uint64_t TABLE_SLOTS_PER_SUM = 2;

WeakEntry* new_weak_entry(LookupIndex* index, uint32_t size) {
  WeakEntry* e = arena_new(&index->weak_arena);
  if (e != nullptr) e->size = size;
  return e;
}

StrongEntry* new_strong_entry(LookupIndex* index) { return arena_new(&index->strong_arena); }

static void free_sealed(LookupIndex* index) {
  std::free(index->filter);
  std::free(index->sums);
  std::free(index->entries);
  index->filter = nullptr;
  index->sums = nullptr;
  index->entries = nullptr;
}

static void filter_add(LookupIndex* index, uint32_t sum) {
  const uint32_t hash = filter_hash(sum);
  index->filter[hash >> index->filter_shift] |= filter_bits(hash);
}

static unsigned log2_at_least(uint64_t n, unsigned lowest, unsigned highest) {
  unsigned log2 = lowest;
  while (log2 < highest && (uint64_t{1} << log2) < n) log2++;
  return log2;
}

// Puts e in the table unless an earlier entry holds its sum.
static void seal_entry(LookupIndex* index, WeakEntry* e) {
  filter_add(index, e->sum);
  uint64_t i = table_slot(index, e->sum);
  while (index->sums[i] != EMPTY_SLOT && index->sums[i] != e->sum) i = (i + 1) & index->table_mask;
  if (index->sums[i] == e->sum) return;  // shadowed by an earlier entry
  index->sums[i] = e->sum;
  index->entries[i] = e;
}

// Calls f on every entry that has digests, in conversion order, while it
// returns true; false when f stopped it.  The arena hands out entries in that
// order, so the first entry met for a sum is its first-converted one; reading
// them so also walks memory straight through.
template <typename F>
static bool for_each_weak_entry(LookupIndex* index, F f) {
  for (ArenaBlock* block = index->weak_arena.first; block != nullptr; block = block->next) {
    WeakEntry* records = arena_records<WeakEntry>(block);
    for (size_t r = 0; r < block->used; r++) {
      if (records[r].strong != nullptr && !f(&records[r])) return false;
    }
  }
  return true;
}

// Entries put in the table between two looks for a signal: each is a cache
// miss or two, so a few milliseconds' worth, and a table of millions of sums
// is sealed with Ctrl-C heard.
constexpr uint64_t SEAL_CHECK_ENTRIES = 65536;

int index_seal(LookupIndex* index, Caller* caller) {
  free_sealed(index);
  uint64_t count = 0;
  for_each_weak_entry(index, [&](WeakEntry*) { return ++count != 0; });
  const unsigned filter_log2 = log2_at_least(count * FILTER_BITS_PER_SUM, FILTER_MIN_LOG2, FILTER_MAX_LOG2);
  index->filter_shift = 32 - (filter_log2 - 5);
  index->filter = static_cast<uint32_t*>(std::calloc((uint64_t{1} << filter_log2) / 32, sizeof(uint32_t)));
  const unsigned table_log2 = log2_at_least(count * TABLE_SLOTS_PER_SUM, 4, 40);
  const uint64_t slots = uint64_t{1} << table_log2;
  index->table_shift = 64 - table_log2;
  index->table_mask = slots - 1;
  index->sums = static_cast<uint32_t*>(std::malloc(slots * sizeof(uint32_t)));
  index->entries = static_cast<WeakEntry**>(std::malloc(slots * sizeof(WeakEntry*)));
  if (!index->filter || !index->sums || !index->entries) {
    free_sealed(index);
    fail_no_memory(caller);
    return -1;
  }
  std::memset(index->sums, 0xFF, slots * sizeof(uint32_t));  // all EMPTY_SLOT
  uint64_t sealed = 0;
  const bool done = for_each_weak_entry(index, [&](WeakEntry* e) {
    seal_entry(index, e);
    return ++sealed % SEAL_CHECK_ENTRIES != 0 || fail_check_signals(caller) == 0;
  });
  if (!done) {
    free_sealed(index);
    return -1;
  }
  return 0;
}

void index_free(LookupIndex* index) {
  arena_free(&index->weak_arena);
  arena_free(&index->strong_arena);
  free_sealed(index);
}

void free_match_sizes(MatchSizeEntry* list) {
  while (list != nullptr) {
    MatchSizeEntry* next = list->next;
    delete list->rolling;
    delete list;
    list = next;
  }
}
