// MD5 of several independent messages at once.  One digest is a chain of 64
// dependent steps per 64-byte chunk and cannot go faster, but separate
// messages (the blocks of a stretch of matches, every block of a file whose
// table is built) can share the SIMD registers, one message to a 32-bit lane:
// 8 lanes with AVX2 (md5_lanes_avx2.cpp), 16 with AVX-512
// (md5_lanes_avx512.cpp).  The kernel is chosen at run time from what the CPU
// has; without either, and for a single message, md5_digest does the work.
// The digests are bit for bit those of md5_digest.  Every lane steps through
// as many 64-byte chunks as the call's longest message needs, so messages of
// like lengths (blocks of one size) make the best use of a call.
#ifndef CORVAMIRE_MD5_LANES_H
#define CORVAMIRE_MD5_LANES_H

#include <cstddef>
#include <cstdint>

// The most messages one call takes: the lanes of the widest kernel.
constexpr int MD5_LANES_MAX = 16;

// digests[i] = MD5 of lengths[i] bytes at data[i], for i < count
// (0 <= count <= MD5_LANES_MAX).
void md5_lanes(const uint8_t* const* data, const size_t* lengths, int count, uint8_t (*digests)[16]);

// Messages the best kernel on this CPU digests at once (1 without AVX2).
int md5_lanes_width();

// One way of digesting up to `width` messages at once.
struct Md5LaneKernel {
  const char* name;
  int width;
  // As md5_lanes, for count <= width.
  void (*digest)(const uint8_t* const* data, const size_t* lengths, int count, uint8_t (*digests)[16]);
};

// md5_digest once per message; every CPU.
extern const Md5LaneKernel md5_one_at_a_time_kernel;
// Null unless both the compiler and this CPU have the instructions.
const Md5LaneKernel* md5_avx2_kernel();
const Md5LaneKernel* md5_avx512_kernel();
// The widest of them on this CPU.
const Md5LaneKernel* md5_best_kernel();

// md5_lanes through the given kernel, count split into groups of its width:
// what the tests use to hold every kernel to the same digests.
void md5_lanes_with(const Md5LaneKernel* kernel, const uint8_t* const* data, const size_t* lengths, int count,
                    uint8_t (*digests)[16]);

#endif
