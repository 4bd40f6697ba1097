// The index of known blocks: match sizes, and the adler32 sums of the blocks,
// each with the MD5 digests of the blocks that have that sum.
//
// Entries come from the index's arenas in conversion order (sizes in list
// order, sums in each size dict's order).  The scan probes the index at every
// file position and nearly always misses; index_seal() builds from the entries
// a bitmap over all 32 bits of the sum (a miss costs one test of a cached
// word) and an open-addressed table of the distinct sums, hashed on all 32
// bits, for the few probes that pass the bitmap.  Only the first entry of a
// sum is ever found, so the table holds just that one.
#ifndef CORVAMIRE_LOOKUP_INDEX_H
#define CORVAMIRE_LOOKUP_INDEX_H

#include "record_arena.h"
#include "rolling_sum.h"

#include <cstdint>
#include <cstring>

struct _object;
using PyObject = _object;
struct Caller;

struct MatchSizeEntry {
  uint64_t size;
  RollingSum* rolling;
  MatchSizeEntry* next;
};

struct StrongEntry {
  uint8_t digest[16];
  PyObject* value;  // the glue holds a reference to it until the call returns
  StrongEntry* next;
};

struct WeakEntry {
  uint32_t sum;
  // The length of the blocks this sum and its digests describe.  One index
  // serves every size, so a window may find an entry of another length; its
  // MD5 could then equal one of the entry's digests only by a collision.
  uint32_t size;
  StrongEntry* strong;  // null: no digests, nothing to find under this sum
};

// Never a sum in the index: the conversion refuses it.
constexpr uint32_t EMPTY_SLOT = 0xFFFFFFFF;

// One call's index.
struct LookupIndex {
  // Every WeakEntry and StrongEntry of the call, in allocation order.
  RecordArena<WeakEntry> weak_arena;
  RecordArena<StrongEntry> strong_arena;
  // The sealed form that lookups use.
  uint32_t* filter = nullptr;     // three bits per sum, in one word; a clear one means no entry
  unsigned filter_shift = 0;      // 32 - log2(filter words)
  uint32_t* sums = nullptr;       // slots of the table; EMPTY_SLOT when free
  WeakEntry** entries = nullptr;  // the first entry of the sum in the same slot
  unsigned table_shift = 0;       // 64 - log2(slots)
  uint64_t table_mask = 0;        // slots - 1
};

// Zero-filled records from the index's arenas, or null when out of memory.
// They stay allocated until index_free.  A WeakEntry comes with the length of
// the blocks of lookup_table[size] it is converted from.
WeakEntry* new_weak_entry(LookupIndex* index, uint32_t size);
StrongEntry* new_strong_entry(LookupIndex* index);
// Builds the sealed form from the entries that have digests, in conversion
// order: 0, or -1 when out of memory or a signal handler raised.
int index_seal(LookupIndex* index, Caller* caller);
// Frees every record and the sealed form; the index is empty again.  The
// values the entries name are the glue's to release, before this.
void index_free(LookupIndex* index);
void free_match_sizes(MatchSizeEntry* list);

// The bitmap's hash: murmur3's finaliser, so every bit of the sum reaches
// every bit of the hash.  Its top bits choose the word (at most 19 of them);
// the top 15 bits of its product with another odd constant choose the three
// bits in it.  It uses 32-bit steps only, so that eight sums are hashed at
// once where the CPU has AVX2: batch_kernels_avx2.cpp takes the same steps
// with the FILTER_ constants below:
//   hash: h ^= h >> FOLD[0]; h *= MULTIPLY[0]; h ^= h >> FOLD[1];
//         h *= MULTIPLY[1]; h ^= h >> FOLD[2]  (murmur3's own constants)
//   bits: picks = hash * PICK; bit (picks >> PICK_SHIFT[i]) & 31, i < 3
constexpr int FILTER_FOLD[3] = {16, 13, 16};
constexpr uint32_t FILTER_MULTIPLY[2] = {0x85EBCA6Bu, 0xC2B2AE35u};
constexpr uint32_t FILTER_PICK = 0x9E3779B1u;
constexpr int FILTER_PICK_SHIFT[3] = {17, 22, 27};

inline uint32_t filter_hash(uint32_t sum) {
  uint32_t h = sum;
  h ^= h >> FILTER_FOLD[0];
  h *= FILTER_MULTIPLY[0];
  h ^= h >> FILTER_FOLD[1];
  h *= FILTER_MULTIPLY[1];
  h ^= h >> FILTER_FOLD[2];
  return h;
}

inline uint32_t filter_bits(uint32_t hash) {
  const uint32_t picks = hash * FILTER_PICK;
  return (uint32_t{1} << ((picks >> FILTER_PICK_SHIFT[0]) & 31)) |
         (uint32_t{1} << ((picks >> FILTER_PICK_SHIFT[1]) & 31)) | (uint32_t{1} << (picks >> FILTER_PICK_SHIFT[2]));
}

inline bool filter_may_hold(const LookupIndex* index, uint32_t sum) {
  const uint32_t hash = filter_hash(sum);
  const uint32_t bits = filter_bits(hash);
  return (index->filter[hash >> index->filter_shift] & bits) == bits;
}

// The table's slot: Fibonacci hashing, whose top bits depend on every bit of
// the sum, for a table of any size.
inline uint64_t table_slot(const LookupIndex* index, uint32_t sum) {
  return (sum * 0x9E3779B97F4A7C15ull) >> index->table_shift;
}

// The table alone, without the bitmap in front.
inline const WeakEntry* table_entry(const LookupIndex* index, uint32_t sum) {
  for (uint64_t i = table_slot(index, sum);; i = (i + 1) & index->table_mask) {
    if (index->sums[i] == sum) return index->entries[i];
    if (index->sums[i] == EMPTY_SLOT) return nullptr;
  }
}

inline const WeakEntry* find_weak_entry(const LookupIndex* index, uint32_t sum) {
  return filter_may_hold(index, sum) ? table_entry(index, sum) : nullptr;
}

inline PyObject* find_strong_value(const uint8_t digest[16], const StrongEntry* list) {
  uint64_t want[2];
  std::memcpy(want, digest, 16);
  for (; list != nullptr; list = list->next) {
    uint64_t have[2];
    std::memcpy(have, list->digest, 16);
    if (have[0] == want[0] && have[1] == want[1]) return list->value;
  }
  return nullptr;
}

#endif
