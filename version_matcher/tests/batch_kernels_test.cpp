#include "batch_kernels.h"

#include "fail_record.h"
#include "test_bytes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

namespace {

// Every kernel set this machine runs; the portable one always.
std::vector<const BatchKernels*> kernel_sets() {
  std::vector<const BatchKernels*> sets = {&portable_kernels};
  if (avx2_kernels() != nullptr) sets.push_back(avx2_kernels());
  return sets;
}

TEST(BatchKernels, BestIsOneOfThem) {
  const auto sets = kernel_sets();
  EXPECT_NE(std::find(sets.begin(), sets.end(), best_kernels()), sets.end());
}

// A batch gives the sums of the next positions without moving the window, for
// every count up to the most, from many starting sums.  Runs of 0xFF leaving
// while 0x00 enters (and the reverse) take a and b as far down and up as a
// batch can; lengths that are a multiple of the modulus, or one more, make the
// leaving byte's term vanish or equal the byte.
TEST(BatchKernels, RollGivesTheNextSumsAndLeavesTheWindow) {
  std::mt19937 rng(5);
  std::vector<uint8_t> data = random_bytes(rng, 150000);
  std::fill(data.begin(), data.begin() + 70000, 0xFF);
  std::fill(data.begin() + 70000, data.begin() + 140000, 0x00);
  std::vector<size_t> starts = {0, 3, 69000, 69990, 75000};
  for (int i = 0; i < 15; i++) starts.push_back(rng() % 150000);
  for (const BatchKernels* k : kernel_sets()) {
    for (uint64_t n : {1u, 2u, 7u, 8u, 9u, 64u, 1000u, 65521u, 65522u, 70000u}) {
      size_t mismatches = 0, compared = 0;
      for (size_t start : starts) {
        if (start + ROLLING_BATCH_MAX + n > data.size()) continue;
        RollingSum rs{};
        rolling_reset(&rs, data.data() + start, n);
        const uint32_t before = rolling_value(&rs);
        uint32_t expected[ROLLING_BATCH_MAX];
        for (uint64_t j = 0; j < ROLLING_BATCH_MAX; j++) expected[j] = zlib_sum(data.data() + start + 1 + j, n);
        for (uint64_t count : {uint64_t{1}, uint64_t{7}, uint64_t{8}, uint64_t{13}, uint64_t{63}, ROLLING_BATCH_MAX}) {
          uint32_t sums[ROLLING_BATCH_MAX];
          k->roll(&rs, data.data() + start + 1, count, sums);
          EXPECT_EQ(rolling_value(&rs), before);
          EXPECT_EQ(rs.rolls, 0u);
          for (uint64_t j = 0; j < count; j++) {
            compared++;
            if (sums[j] != expected[j]) mismatches++;
          }
        }
      }
      EXPECT_GT(compared, 1000u);
      EXPECT_EQ(mismatches, 0u) << k->name << ", window " << n;
    }
  }
}

TEST(BatchKernels, RollFromAByteSumNearZero) {
  // Window: 64 bytes 0xFF, then 192 more 0xFF and one 241, summing to 65521,
  // so a = 1; then 0x00 bytes enter while the 0xFF bytes leave.
  std::vector<uint8_t> data(257 + ROLLING_BATCH_MAX, 0x00);
  for (size_t i = 0; i < 256; i++) data[i] = 0xFF;
  data[256] = 241;
  for (const BatchKernels* k : kernel_sets()) {
    RollingSum rs{};
    rolling_reset(&rs, data.data(), 257);
    ASSERT_EQ(rolling_value(&rs) & 0xFFFF, 1u);
    uint32_t sums[ROLLING_BATCH_MAX];
    k->roll(&rs, data.data() + 1, ROLLING_BATCH_MAX, sums);
    for (uint64_t j = 0; j < ROLLING_BATCH_MAX; j++) {
      EXPECT_EQ(sums[j], zlib_sum(data.data() + 1 + j, 257)) << k->name << ", position " << j + 1;
    }
  }
}

// The probe's bits are filter_may_hold's, for sums that are indexed, sums
// next to them, and sums at random, at every count.
TEST(BatchKernels, ProbeMarksWhatTheBitmapMayHold) {
  std::mt19937 rng(77);
  LookupIndex index;
  StrongEntry* strong = new_strong_entry(&index);
  std::vector<uint32_t> indexed;
  for (int i = 0; i < 20000; i++) {
    WeakEntry* e = new_weak_entry(&index, 8);
    e->sum = static_cast<uint32_t>(rng()) & 0xFFF0FFFF;
    e->strong = strong;
    indexed.push_back(e->sum);
  }
  Caller caller;
  ASSERT_EQ(index_seal(&index, &caller), 0);
  for (const BatchKernels* k : kernel_sets()) {
    size_t wrong = 0, held = 0;
    for (int round = 0; round < 2000; round++) {
      uint32_t sums[64];
      for (uint32_t& sum : sums) {
        const uint32_t near = indexed[rng() % indexed.size()];
        const int pick = static_cast<int>(rng() % 3);
        sum = pick == 0 ? near : pick == 1 ? near + 1 : static_cast<uint32_t>(rng());
      }
      const uint64_t count = 1 + rng() % 64;
      const uint64_t bits = k->probe(&index, sums, count);
      for (uint64_t j = 0; j < 64; j++) {
        const bool expected = j < count && filter_may_hold(&index, sums[j]);
        held += expected;
        wrong += ((bits >> j) & 1) != expected;
      }
    }
    EXPECT_GT(held, 10000u);
    EXPECT_EQ(wrong, 0u) << k->name;
  }
  index_free(&index);
}

}  // namespace
