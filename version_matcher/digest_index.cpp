#include "digest_index.h"

#include <cstdlib>
#include <cstring>

// Slots per digest (at least).
constexpr uint64_t DIGEST_SLOTS_PER_DIGEST = 2;

static uint64_t digest_slot(const DigestIndex* digests, const uint64_t d[2]) {
  return ((d[0] ^ d[1]) * 0x9E3779B97F4A7C15ull) >> digests->shift;
}

// The slot holding d, or the free slot where it would go.  A free slot has
// neither a value nor an entry; a value is never null.
static DigestSlot* slot_of(const DigestIndex* digests, const uint64_t d[2]) {
  for (uint64_t i = digest_slot(digests, d);; i = (i + 1) & digests->mask) {
    DigestSlot* slot = &digests->slots[i];
    if (slot->value == nullptr || (slot->digest[0] == d[0] && slot->digest[1] == d[1])) return slot;
  }
}

int digest_index_build(DigestIndex* digests, const LookupIndex* index, uint32_t size) {
  digest_index_free(digests);
  uint64_t count = 0;
  for (uint64_t i = 0; i <= index->table_mask; i++) {
    if (index->sums[i] == EMPTY_SLOT || index->entries[i]->size != size) continue;
    for (const StrongEntry* s = index->entries[i]->strong; s != nullptr; s = s->next) count++;
  }
  unsigned log2 = 4;
  while ((uint64_t{1} << log2) < count * DIGEST_SLOTS_PER_DIGEST) log2++;
  digests->shift = 64 - log2;
  digests->mask = (uint64_t{1} << log2) - 1;
  digests->slots = static_cast<DigestSlot*>(std::calloc(uint64_t{1} << log2, sizeof(DigestSlot)));
  if (digests->slots == nullptr) return -1;
  // The table holds, for each sum, the entry the index finds for it.
  for (uint64_t i = 0; i <= index->table_mask; i++) {
    if (index->sums[i] == EMPTY_SLOT) continue;
    const WeakEntry* e = index->entries[i];
    if (e->size != size) continue;
    for (const StrongEntry* s = e->strong; s != nullptr; s = s->next) {
      uint64_t d[2];
      std::memcpy(d, s->digest, 16);
      DigestSlot* slot = slot_of(digests, d);
      if (slot->value == nullptr) {
        slot->digest[0] = d[0];
        slot->digest[1] = d[1];
        slot->value = s->value;
        slot->entry = e;
      } else if (slot->entry != e) {
        // Two sums list it: only the window's adler32 can tell which one the
        // exact step would find.
        slot->entry = nullptr;
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
  const DigestSlot* slot = slot_of(digests, d);
  return slot->entry != nullptr ? slot->value : nullptr;
}

void digest_index_prefetch(const DigestIndex* digests, const uint8_t digest[16]) {
  uint64_t d[2];
  std::memcpy(d, digest, 16);
  __builtin_prefetch(&digests->slots[digest_slot(digests, d)]);
}
