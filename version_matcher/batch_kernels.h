// The two loops a run of non-matching positions spends its time in: sums
// rolled over a batch of positions, and the index's bitmap probed with a batch
// of sums.  Where the CPU has AVX2 both take eight positions at a time
// (batch_kernels_avx2.cpp); elsewhere they are the portable loops of
// rolling_sum.h and lookup_index.h.  Either way the results are the same.
#ifndef CORVAMIRE_BATCH_KERNELS_H
#define CORVAMIRE_BATCH_KERNELS_H

#include "lookup_index.h"
#include "rolling_sum.h"

#include <cstdint>

struct BatchKernels {
  const char* name;
  // rolling_batch: the sums at the count (at most ROLLING_BATCH_MAX)
  // positions from p on, the window starting at p - 1 now.
  void (*roll)(const RollingSum* rs, const uint8_t* p, uint64_t count, uint32_t* sums);
  // Bit j set when filter_may_hold(index, sums[j]); count at most 64.
  uint64_t (*probe)(const LookupIndex* index, const uint32_t* sums, uint64_t count);
};

extern const BatchKernels portable_kernels;
// Null unless both the compiler and this CPU have AVX2.
const BatchKernels* avx2_kernels();
// The fastest of them on this CPU.
const BatchKernels* best_kernels();

#endif
