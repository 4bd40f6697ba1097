#include "batch_kernels.h"

static void portable_roll(const RollingSum* rs, const uint8_t* p, uint64_t count, uint32_t* sums) {
  rolling_batch(rs, p, count, sums);
}

static uint64_t portable_probe(const LookupIndex* index, const uint32_t* sums, uint64_t count) {
  uint64_t maybe = 0;
  for (uint64_t j = 0; j < count; j++) maybe |= uint64_t{filter_may_hold(index, sums[j])} << j;
  return maybe;
}

const BatchKernels portable_kernels = {"portable", portable_roll, portable_probe};

const BatchKernels* best_kernels() {
  static const BatchKernels* const best = avx2_kernels() != nullptr ? avx2_kernels() : &portable_kernels;
  return best;
}
