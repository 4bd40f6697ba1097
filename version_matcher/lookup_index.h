// The index of known blocks: match sizes, and one table of adler32 sums, each
// with the MD5 digests of the blocks that have that sum.
//
// weak_buckets holds the entries in conversion order, chained by the low 16 bits
// of the sum.  Those bits are adler32's plain byte sum, which bunches up (a few
// thousand buckets hold every block of one size), so the chains are no place
// to look things up.  The scan probes the index at every file position and
// nearly always misses; after conversion index_seal() puts in front of the
// chains a bitmap over all 32 bits of the sum (a miss costs one test of a
// cached word) and an open-addressed table of the distinct sums, hashed on all
// 32 bits, for the few probes that pass the bitmap.  Only the first entry of a
// sum is ever found, so the table holds just that one.
#ifndef CORVAMIRE_LOOKUP_INDEX_H
#define CORVAMIRE_LOOKUP_INDEX_H

#include "rolling_sum.h"

#include <cstdint>
#include <cstring>

struct _object;
using PyObject = _object;

struct MatchSizeEntry {
  uint64_t size;
  RollingSum* rolling;
  MatchSizeEntry* next;
};

struct StrongEntry {
  uint8_t digest[16];
  PyObject* value;  // borrowed from lookup_table for the call
  StrongEntry* next;
};

struct WeakEntry {
  uint32_t sum;
  StrongEntry* strong;
  WeakEntry* next;
};

// Chain heads by the low 16 bits of the sum.
constexpr size_t WEAK_BUCKET_COUNT = 65536;
extern WeakEntry* weak_buckets[WEAK_BUCKET_COUNT];

// The sealed form of weak_buckets that lookups use.
struct WeakLookup {
  uint64_t* filter;      // two bits per sum, in one word; a clear one means no entry
  unsigned filter_shift; // 64 - log2(filter words)
  uint32_t* sums;        // slots of the table; EMPTY_SLOT when free
  WeakEntry** entries;   // the first entry of the sum in the same slot
  unsigned table_shift;  // 64 - log2(slots)
  uint64_t table_mask;   // slots - 1
};

// Never a sum in the index: the conversion refuses it.
constexpr uint32_t EMPTY_SLOT = 0xFFFFFFFF;
extern WeakLookup weak_lookup;

// Clears every chain head (the state a conversion starts from).
void clear_weak_buckets();
// Zero-filled records from the index's arenas, or null when out of memory.
// They stay allocated until free_weak_buckets, linked or not.
WeakEntry* new_weak_entry();
StrongEntry* new_strong_entry();
// Appends e at the tail of its chain.
void link_weak_entry(WeakEntry* e);
// Builds weak_lookup from the linked entries, in conversion order: 0, or -1
// when out of memory.
int index_seal();
// Frees every chain with its digests, the sealed form, and clears the heads.
void free_weak_buckets();
// Gives up a list that will not be linked: its records go back with the
// arenas at free_weak_buckets; here they only lose their borrowed values.
void free_strong_entries(StrongEntry* list);
void free_match_sizes(MatchSizeEntry* list);

// Fibonacci hashing: the top bits of the product depend on every bit of sum.
// They choose the word; two bits lower down choose the two bits in it.
inline uint64_t filter_hash(uint32_t sum) { return sum * 0x9E3779B97F4A7C15ull; }

inline uint64_t filter_bits(uint64_t hash) {
  return (uint64_t{1} << ((hash >> 20) & 63)) | (uint64_t{1} << ((hash >> 26) & 63));
}

inline bool filter_may_hold(uint32_t sum) {
  const uint64_t hash = filter_hash(sum);
  const uint64_t bits = filter_bits(hash);
  return (weak_lookup.filter[hash >> weak_lookup.filter_shift] & bits) == bits;
}

inline const WeakEntry* find_weak_entry(uint32_t sum) {
  if (!filter_may_hold(sum)) return nullptr;
  const WeakLookup& wl = weak_lookup;
  for (uint64_t i = filter_hash(sum) >> wl.table_shift;; i = (i + 1) & wl.table_mask) {
    if (wl.sums[i] == sum) return wl.entries[i];
    if (wl.sums[i] == EMPTY_SLOT) return nullptr;
  }
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
