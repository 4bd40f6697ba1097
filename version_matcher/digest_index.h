// The digests of one size's known blocks, looked up by digest.
//
// In a stretch of the file that matches block after block, the scan checks a
// window of the first size by its MD5 first (scan.cpp).  If the digest is one
// the index lists for a block of that size, the window holds that block: two
// different blocks with one MD5 would be a collision, the same reasoning by
// which a window never matches another size's digests.  The window's adler32
// is then the sum the block is listed under, as in every table made from the
// blocks themselves, and the exact step would find just what the lookup here
// finds: the entry for that sum, and the first value of that digest in its
// list.  So the window's adler32 need not be computed.  (A table that lists a
// digest under some other sum than its block's describes no block; for it the
// two could differ.)
//
// Only digests for which that holds without looking at the window count: the
// entry must be the one the index finds for its sum (the first converted),
// and no other such entry of the size may list the digest with another value.
// A table of 32 bytes a digest.
#ifndef CORVAMIRE_DIGEST_INDEX_H
#define CORVAMIRE_DIGEST_INDEX_H

#include "lookup_index.h"

#include <cstdint>

struct DigestSlot {
  uint64_t digest[2];
  PyObject* value;  // null: a free slot; AMBIGUOUS_DIGEST: the exact step decides
};

struct DigestIndex {
  DigestSlot* slots = nullptr;
  uint64_t count = 0;  // slots
};

// Fills digests from the entries of index (sealed) whose blocks are size
// bytes long: 0 (out of memory, digests is left empty), or -1 when a signal
// handler raised meanwhile, reported to caller.
int digest_index_build(DigestIndex* digests, const LookupIndex* index, uint32_t size, Caller* caller);
void digest_index_free(DigestIndex* digests);

// The value that the exact step would confirm a size-byte window with this
// MD5 by, or null when the exact step has to decide.
PyObject* digest_index_find(const DigestIndex* digests, const uint8_t digest[16]);

// Starts loading the slot digest_index_find will read for this MD5.
void digest_index_prefetch(const DigestIndex* digests, const uint8_t digest[16]);

#endif
