#include "rolling_sum.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

uint32_t zlib_sum(const uint8_t* data, size_t n) {
  return static_cast<uint32_t>(adler32(adler32(0, nullptr, 0), data, static_cast<uInt>(n)));
}

const uint8_t* bytes(const char* s) { return reinterpret_cast<const uint8_t*>(s); }

TEST(RollingSum, WorkedExampleRollsAbcdToBcde) {
  RollingSum rs{};
  rolling_reset(&rs, bytes("abcd"), 4);
  EXPECT_EQ(rolling_value(&rs), 0x03D8018Bu);
  rolling_roll(&rs, 'a', 'e');
  EXPECT_EQ(rolling_value(&rs), 0x03E2018Fu);
  EXPECT_EQ(rolling_value(&rs), zlib_sum(bytes("bcde"), 4));
  EXPECT_EQ(rs.rolls, 1u);
  EXPECT_EQ(rs.length, 4u);
}

TEST(RollingSum, LeavingByteAboveByteSumWrapsToResidue) {
  // a = 0 and b = 0 cannot come from a real window; set them to reach the edge.
  RollingSum rs{};
  rolling_reset(&rs, bytes("abcd"), 4);
  rs.sum = 0;
  rolling_roll(&rs, 255, 0);
  EXPECT_EQ(rolling_value(&rs) & 0xFFFF, 65266u);
  // b' = 0 + 65266 - (4 * 255 + 1) = 64245, already a residue.
  EXPECT_EQ(rolling_value(&rs) >> 16, 64245u);
}

TEST(RollingSum, EmptyResetGivesOne) {
  RollingSum rs{};
  rolling_reset(&rs, nullptr, 10);
  EXPECT_EQ(rolling_value(&rs), 1u);
  EXPECT_EQ(rs.length, 0u);
  rolling_reset(&rs, bytes("x"), 0);
  EXPECT_EQ(rolling_value(&rs), 1u);
  EXPECT_EQ(rs.length, 0u);
  EXPECT_FALSE(rolling_can_roll(&rs));
}

TEST(RollingSum, CanRollAtMostHalfTheLength) {
  const uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  RollingSum rs{};
  rolling_reset(&rs, data, 1);
  EXPECT_FALSE(rolling_can_roll(&rs));
  rolling_reset(&rs, data, 2);
  EXPECT_TRUE(rolling_can_roll(&rs));
  rolling_roll(&rs, data[0], data[2]);
  EXPECT_FALSE(rolling_can_roll(&rs));
  rolling_reset(&rs, data, 7);
  for (int i = 0; i < 3; i++) {
    ASSERT_TRUE(rolling_can_roll(&rs)) << i;
    rolling_roll(&rs, data[0], data[1]);
  }
  EXPECT_FALSE(rolling_can_roll(&rs));
  rolling_reset(&rs, data, 7);
  EXPECT_TRUE(rolling_can_roll(&rs));
}

// Rolling must agree with zlib at every position, for short and long windows,
// for extreme bytes (0x00 and 0xFF runs push a and b to both edges) and after
// the window length changes between resets.  Long windows are compared at
// sampled positions and at the end of every roll chain, where any error made
// along the chain would still show.
TEST(RollingSum, RollsMatchFreshSumsEverywhere) {
  std::mt19937 rng(12345);
  std::vector<uint8_t> data(200000);
  for (auto& byte : data) byte = static_cast<uint8_t>(rng());
  for (size_t i = 1000; i < 5000; i++) data[i] = 0xFF;
  for (size_t i = 6000; i < 9000; i++) data[i] = 0x00;

  RollingSum rs{};
  for (uint64_t n : {2u, 3u, 16u, 1000u, 5553u, 65521u, 65522u, 140000u}) {
    rolling_reset(&rs, data.data(), n);
    size_t mismatches = 0, compared = 0;
    for (size_t pos = 1; pos + n <= data.size(); pos++) {
      if (rolling_can_roll(&rs)) {
        rolling_roll(&rs, data[pos - 1], data[pos + n - 1]);
      } else {
        rolling_reset(&rs, data.data() + pos, n);
      }
      const bool chain_end = !rolling_can_roll(&rs) || pos + n == data.size();
      if (n <= 1000 || chain_end || pos % 61 == 0) {
        compared++;
        if (rolling_value(&rs) != zlib_sum(data.data() + pos, n)) mismatches++;
      }
    }
    EXPECT_GT(compared, 0u);
    EXPECT_EQ(mismatches, 0u) << "window " << n;
  }
}

TEST(RollingSum, LongRollChainStaysExact) {
  // One reset then every allowed roll, over a window larger than the modulus
  // times the largest byte would allow without reduction.
  std::mt19937 rng(7);
  const size_t n = 200000;
  std::vector<uint8_t> data(n + n / 2 + 1);
  for (auto& byte : data) byte = static_cast<uint8_t>(rng() | 0xF0);
  RollingSum rs{};
  rolling_reset(&rs, data.data(), n);
  size_t pos = 0;
  while (rolling_can_roll(&rs)) {
    rolling_roll(&rs, data[pos], data[pos + n]);
    pos++;
  }
  EXPECT_EQ(pos, n / 2);
  EXPECT_EQ(rolling_value(&rs), zlib_sum(data.data() + pos, n));
}

// The scan rolls on past length/2 rolls: one reset, then rolls to the end of
// the data, give zlib's sum at every position checked, for every length
// class, across runs of 0x00 and 0xFF.
TEST(RollingSum, RollingOnPastHalfTheLengthStaysExact) {
  std::mt19937 rng(31);
  std::vector<uint8_t> data(400000);
  for (auto& byte : data) byte = static_cast<uint8_t>(rng());
  for (size_t i = 50000; i < 120000; i++) data[i] = 0xFF;
  for (size_t i = 120000; i < 190000; i++) data[i] = 0x00;
  for (uint64_t n : {1u, 2u, 3u, 16u, 2048u, 5553u, 65521u, 65522u, 140000u}) {
    RollingSum rs{};
    rolling_reset(&rs, data.data(), n);
    size_t mismatches = 0, compared = 0;
    for (size_t pos = 1; pos + n <= data.size(); pos++) {
      rolling_roll(&rs, data[pos - 1], data[pos + n - 1]);
      if (n <= 16 || pos % 997 == 0 || pos + n == data.size()) {
        compared++;
        if (rolling_value(&rs) != zlib_sum(data.data() + pos, n)) mismatches++;
      }
    }
    EXPECT_GT(rs.rolls, n / 2);
    EXPECT_GT(compared, 100u);
    EXPECT_EQ(mismatches, 0u) << "window " << n;
  }
}

TEST(RollingSum, AppendExtendsTheWindowAndItsRoll) {
  const char* text = "the quick brown fox";
  RollingSum rs{};
  rolling_reset(&rs, bytes(text), 5);
  EXPECT_EQ(rolling_append(&rs, bytes(text) + 5, 5), zlib_sum(bytes(text), 10));
  EXPECT_EQ(rs.length, 10u);
  rolling_roll(&rs, text[0], text[10]);
  EXPECT_EQ(rolling_value(&rs), zlib_sum(bytes(text) + 1, 10));
}

// Moving a window past a block it begins with: over bytes of all 0xFF (the
// largest terms) and random ones, windows short and past the modulus, blocks
// of one byte up to one short of the window.
TEST(RollingSum, SkipPastABlockGivesTheMovedWindowsSum) {
  std::mt19937 rng(77);
  std::vector<uint8_t> data(300000);
  for (size_t i = 0; i < data.size(); i++) data[i] = i < 150000 ? 0xFF : static_cast<uint8_t>(rng());
  const struct {
    uint64_t length, skipped;
  } cases[] = {{2, 1}, {8, 3}, {8192, 2048}, {8192, 8191}, {65521, 4096}, {70000, 65522}, {140000, 1}};
  for (const auto& c : cases) {
    for (size_t at : {size_t{0}, size_t{100000}, size_t{140000}, size_t{150001}}) {
      SCOPED_TRACE(::testing::Message() << c.length << " past " << c.skipped << " at " << at);
      RollingSum rs{};
      rolling_reset(&rs, data.data() + at, c.length);
      const uint32_t skipped_sum = zlib_sum(data.data() + at, c.skipped);
      rolling_skip(&rs, skipped_sum, c.skipped, data.data() + at + c.length);
      EXPECT_EQ(rolling_value(&rs), zlib_sum(data.data() + at + c.skipped, c.length));
      EXPECT_EQ(rs.length, c.length);
    }
  }
}

}  // namespace
