// What the unit tests of the rolled sums share: test data, and zlib's own
// sum of a window as the value every rolled sum must agree with.
#ifndef CORVAMIRE_TESTS_TEST_BYTES_H
#define CORVAMIRE_TESTS_TEST_BYTES_H

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

inline uint32_t zlib_sum(const uint8_t* data, size_t n) {
  return static_cast<uint32_t>(adler32(adler32(0, nullptr, 0), data, static_cast<uInt>(n)));
}

// `n` bytes drawn from `rng`, one a draw.
inline std::vector<uint8_t> random_bytes(std::mt19937& rng, size_t n) {
  std::vector<uint8_t> data(n);
  for (auto& byte : data) byte = static_cast<uint8_t>(rng());
  return data;
}

#endif
