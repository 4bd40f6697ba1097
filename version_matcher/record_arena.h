// Zero-filled records of one plain type, carved out of large blocks and
// released all at once.
//
// The index holds one WeakEntry per sum and one StrongEntry per digest, often
// hundreds of thousands of each for one call; a heap allocation and a free per
// record cost more than the rest of the conversion.  The records also come out
// in allocation order, block after block, which is conversion order.
#ifndef CORVAMIRE_RECORD_ARENA_H
#define CORVAMIRE_RECORD_ARENA_H

#include <cstddef>
#include <cstdlib>
#include <type_traits>

// Records in the first block: small tables take little memory.
constexpr size_t ARENA_FIRST_RECORDS = 64;
// Each block doubles the last, up to this many records: past it a block's
// allocation costs next to nothing per record.
constexpr size_t ARENA_MOST_RECORDS = size_t{1} << 16;

struct ArenaBlock {
  ArenaBlock* next;  // the block allocated after this one, or null
  size_t used;       // records handed out
  size_t capacity;   // records the block holds; they follow the header
};

template <typename T>
struct RecordArena {
  static_assert(std::is_trivial_v<T>, "records are zero-filled, never constructed");
  static_assert(sizeof(ArenaBlock) % alignof(T) == 0, "records follow the header aligned");
  ArenaBlock* first = nullptr;
  ArenaBlock* last = nullptr;
};

template <typename T>
T* arena_records(ArenaBlock* block) {
  return reinterpret_cast<T*>(block + 1);
}

// A zero-filled record, or null when out of memory.
template <typename T>
T* arena_new(RecordArena<T>* arena) {
  ArenaBlock* block = arena->last;
  if (block == nullptr || block->used == block->capacity) {
    size_t capacity = block == nullptr ? ARENA_FIRST_RECORDS : block->capacity * 2;
    if (capacity > ARENA_MOST_RECORDS) capacity = ARENA_MOST_RECORDS;
    auto* fresh = static_cast<ArenaBlock*>(std::calloc(1, sizeof(ArenaBlock) + capacity * sizeof(T)));
    if (fresh == nullptr) return nullptr;
    fresh->capacity = capacity;
    if (block == nullptr) {
      arena->first = fresh;
    } else {
      block->next = fresh;
    }
    arena->last = block = fresh;
  }
  return &arena_records<T>(block)[block->used++];
}

// Frees every block; the arena is empty again.
template <typename T>
void arena_free(RecordArena<T>* arena) {
  for (ArenaBlock* block = arena->first; block != nullptr;) {
    ArenaBlock* next = block->next;
    std::free(block);
    block = next;
  }
  *arena = RecordArena<T>{};
}

#endif
