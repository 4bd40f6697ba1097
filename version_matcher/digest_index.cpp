#include "digest_index.h"

#include "fail.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

// A digest that two sums of the size list with different values: only the
// window's adler32 could tell which of them the exact step would find.
static PyObject* const AMBIGUOUS_DIGEST = reinterpret_cast<PyObject*>(uintptr_t{1});

// Slots per digest: at most three of four slots are taken.
constexpr uint64_t DIGEST_SLOTS_PER_4_DIGESTS = 5;

// Tables longer than this are not made: a slot number is scaled from 32 bits.
constexpr uint64_t DIGEST_SLOTS_MOST = uint64_t{1} << 32;

static uint64_t digest_slot(const DigestIndex* digests, const uint64_t d[2]) {
  // The digest's bits are spread by the multiplication; its top 32 bits scale
  // to the table's length.
  const uint64_t h = (d[0] ^ d[1]) * 0x9E3779B97F4A7C15ull;
  return ((h >> 32) * digests->count) >> 32;
}

// The slot holding d, or the free slot where it would go.
static DigestSlot* slot_of(const DigestIndex* digests, const uint64_t d[2]) {
  for (uint64_t i = digest_slot(digests, d);; i = i + 1 == digests->count ? 0 : i + 1) {
    DigestSlot* slot = &digests->slots[i];
    if (slot->value == nullptr || (slot->digest[0] == d[0] && slot->digest[1] == d[1])) return slot;
  }
}

// How far ahead of the insertion the table slot of an entry's sum, and the
// slot of its first digest, are asked for: both are cache misses.
constexpr size_t FETCH_SUM_AHEAD = 16;
constexpr size_t FETCH_SLOT_AHEAD = 8;

// Entries put in the table between two looks for a signal: a few
// milliseconds' worth, so that a table of millions of digests is built with
// Ctrl-C heard.
constexpr size_t BUILD_CHECK_ENTRIES = 65536;

int digest_index_build(DigestIndex* digests, const LookupIndex* index, uint32_t size, Caller* caller) {
  digest_index_free(digests);
  // The entries of the size in conversion order, the order the arenas hand
  // them out in; their strong entries were made in the same order, so both
  // are read straight through.
  std::vector<const WeakEntry*> entries;
  uint64_t count = 0;
  try {
    for (ArenaBlock* block = index->weak_arena.first; block != nullptr; block = block->next) {
      const WeakEntry* records = arena_records<WeakEntry>(block);
      for (size_t r = 0; r < block->used; r++) {
        if (records[r].size != size || records[r].strong == nullptr) continue;
        entries.push_back(&records[r]);
        for (const StrongEntry* s = records[r].strong; s != nullptr; s = s->next) count++;
      }
    }
  } catch (const std::bad_alloc&) {
    return 0;
  }
  digests->count = count * DIGEST_SLOTS_PER_4_DIGESTS / 4 + 1;
  if (digests->count > DIGEST_SLOTS_MOST) {
    digests->count = 0;
    return 0;
  }
  digests->slots = static_cast<DigestSlot*>(std::calloc(digests->count, sizeof(DigestSlot)));
  if (digests->slots == nullptr) {
    digests->count = 0;
    return 0;
  }
  const size_t n = entries.size();
  for (size_t k = 0; k < n; k++) {
    if (k + FETCH_SUM_AHEAD < n) {
      const uint64_t i = table_slot(index, entries[k + FETCH_SUM_AHEAD]->sum);
      __builtin_prefetch(&index->sums[i]);
      __builtin_prefetch(&index->entries[i]);
    }
    if (k + FETCH_SLOT_AHEAD < n) {
      uint64_t d[2];
      std::memcpy(d, entries[k + FETCH_SLOT_AHEAD]->strong->digest, 16);
      const char* slot = reinterpret_cast<const char*>(&digests->slots[digest_slot(digests, d)]);
      __builtin_prefetch(slot, 1);
      __builtin_prefetch(slot + sizeof(DigestSlot) - 1, 1);
    }
    if ((k + 1) % BUILD_CHECK_ENTRIES == 0 && fail_check_signals(caller) < 0) {
      digest_index_free(digests);
      return -1;
    }
    const WeakEntry* e = entries[k];
    // Shadowed by an entry converted before it: never found under its sum.
    if (table_entry(index, e->sum) != e) continue;
    for (const StrongEntry* s = e->strong; s != nullptr; s = s->next) {
      uint64_t d[2];
      std::memcpy(d, s->digest, 16);
      DigestSlot* slot = slot_of(digests, d);
      if (slot->value == nullptr) {
        slot->digest[0] = d[0];
        slot->digest[1] = d[1];
        slot->value = s->value;
      } else if (slot->value != s->value) {
        slot->value = AMBIGUOUS_DIGEST;
      }
    }
  }
  return 0;
}

void digest_index_free(DigestIndex* digests) {
  std::free(digests->slots);
  *digests = DigestIndex{};
}

PyObject* digest_index_find(const DigestIndex* digests, const uint8_t digest[16]) {
  uint64_t d[2];
  std::memcpy(d, digest, 16);
  PyObject* value = slot_of(digests, d)->value;
  return value != AMBIGUOUS_DIGEST ? value : nullptr;
}

void digest_index_prefetch(const DigestIndex* digests, const uint8_t digest[16]) {
  uint64_t d[2];
  std::memcpy(d, digest, 16);
  // A slot of 24 bytes may straddle two cache lines.
  const char* slot = reinterpret_cast<const char*>(&digests->slots[digest_slot(digests, d)]);
  __builtin_prefetch(slot);
  __builtin_prefetch(slot + sizeof(DigestSlot) - 1);
}
