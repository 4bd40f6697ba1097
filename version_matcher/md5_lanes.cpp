#include "md5_lanes.h"

#include "md5_digest.h"

static void one_at_a_time(const uint8_t* const* data, const size_t* lengths, int count, uint8_t (*digests)[16]) {
  for (int i = 0; i < count; i++) md5_digest(data[i], lengths[i], digests[i]);
}

const Md5LaneKernel md5_one_at_a_time_kernel = {"one at a time", 1, one_at_a_time};

const Md5LaneKernel* md5_best_kernel() {
  static const Md5LaneKernel* const best = md5_avx512_kernel() != nullptr ? md5_avx512_kernel()
                                           : md5_avx2_kernel() != nullptr ? md5_avx2_kernel()
                                                                          : &md5_one_at_a_time_kernel;
  return best;
}

int md5_lanes_width() { return md5_best_kernel()->width; }

void md5_lanes_with(const Md5LaneKernel* kernel, const uint8_t* const* data, const size_t* lengths, int count,
                    uint8_t (*digests)[16]) {
  for (int first = 0; first < count; first += kernel->width) {
    const int group = count - first < kernel->width ? count - first : kernel->width;
    kernel->digest(data + first, lengths + first, group, digests + first);
  }
}

void md5_lanes(const uint8_t* const* data, const size_t* lengths, int count, uint8_t (*digests)[16]) {
  // A lone message would leave every other lane idle at the cost of a full
  // vector step: the one-shot digest is at least as fast.
  if (count == 1) {
    md5_digest(data[0], lengths[0], digests[0]);
    return;
  }
  md5_lanes_with(md5_best_kernel(), data, lengths, count, digests);
}
