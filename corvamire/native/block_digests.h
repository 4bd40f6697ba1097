// The blocks of a file as a block table needs them: for each block size, the
// adler32 sum and the MD5 digest of every full block from offset 0, in
// offset order (a short last block is left out).  One pass over the file
// serves every size: each buffer load is digested for all of them while it
// is in the cache, the MD5s many blocks at a time (md5_lanes.h).
#ifndef CORVAMIRE_BLOCK_DIGESTS_H
#define CORVAMIRE_BLOCK_DIGESTS_H

#include <cstddef>
#include <cstdint>

struct Caller;

// Where one size's results go, arrays the caller owns: count blocks, sums
// 4 * count bytes (each a little-endian uint32), digests 16 * count bytes.
struct BlockSizeOutput {
  uint64_t size;
  uint64_t count;
  uint8_t* sums;
  uint8_t* digests;
};

// Reads file_size bytes from fd's current position and fills every output,
// whose count must be file_size / size.  0, or -1 with the failure reported
// to caller (fail.h): no memory, a read error, the file ending early, or an
// interrupt from a signal handler.
int block_digests(Caller* caller, int fd, uint64_t file_size, BlockSizeOutput* outputs, size_t n_outputs);

#endif
