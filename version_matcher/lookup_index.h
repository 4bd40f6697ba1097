// The index of known blocks: match sizes, and one table of adler32 sums, each
// with the MD5 digests of the blocks that have that sum.
//
// weak_buckets holds the entries in conversion order, chained by the low 16 bits
// of the sum.  The scan probes the index at every file position and nearly
// always misses, so after conversion index_seal() adds, in front of the chains,
// a bitmap over all 32 bits of the sum (a miss costs one cached bit test) and
// a contiguous copy of each chain's sums (a probe past the bitmap scans a short
// array instead of a list).  Only the first entry of a sum is ever found; the
// copy keeps just that one.
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
  uint64_t* filter;      // one bit per hashed sum; a clear bit means no entry
  unsigned filter_shift; // 64 - log2(filter bits)
  uint32_t* first;       // first[b] .. first[b + 1]: bucket b's slice of sums
  uint32_t* sums;        // distinct sums, bucket by bucket, in chain order
  WeakEntry** entries;   // the first entry of each of those sums
};
extern WeakLookup weak_lookup;

// Clears every chain head (the state a conversion starts from).
void clear_weak_buckets();
// Appends e at the tail of its chain.
void link_weak_entry(WeakEntry* e);
// Builds weak_lookup from the chains: 0, or -1 when out of memory.
int index_seal();
// Frees every chain with its digests, the sealed form, and clears the heads.
void free_weak_buckets();
void free_strong_entries(StrongEntry* list);
void free_match_sizes(MatchSizeEntry* list);

inline uint64_t filter_slot(uint32_t sum, unsigned shift) {
  // Fibonacci hashing: the top bits of the product depend on every bit of sum.
  return (sum * 0x9E3779B97F4A7C15ull) >> shift;
}

inline bool filter_may_hold(uint32_t sum) {
  const uint64_t slot = filter_slot(sum, weak_lookup.filter_shift);
  return (weak_lookup.filter[slot >> 6] >> (slot & 63)) & 1;
}

inline const WeakEntry* find_weak_entry(uint32_t sum) {
  if (!filter_may_hold(sum)) return nullptr;
  const uint32_t bucket = sum & 0xFFFF;
  const uint32_t end = weak_lookup.first[bucket + 1];
  for (uint32_t i = weak_lookup.first[bucket]; i < end; i++) {
    if (weak_lookup.sums[i] == sum) return weak_lookup.entries[i];
  }
  return nullptr;
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
