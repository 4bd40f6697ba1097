#include "md5_digest.h"
#include "md5_lanes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

// The ways of digesting many messages this machine has: each lane kernel it
// runs, and md5_lanes itself (its one-message shortcut and its split of a
// call into groups of the best kernel's width).
struct Way {
  std::string name;
  int width;
  void (*digest_with)(const Md5LaneKernel* kernel, const uint8_t* const* data, const size_t* lengths, int count,
                      uint8_t (*digests)[16]);
  const Md5LaneKernel* kernel;
};

void through_md5_lanes(const Md5LaneKernel*, const uint8_t* const* data, const size_t* lengths, int count,
                       uint8_t (*digests)[16]) {
  md5_lanes(data, lengths, count, digests);
}

std::vector<Way> ways() {
  std::vector<Way> all = {{"md5_lanes", MD5_LANES_MAX, through_md5_lanes, nullptr}};
  for (const Md5LaneKernel* k : {md5_avx2_kernel(), md5_avx512_kernel()}) {
    // A kernel called directly takes at most its width; through
    // md5_lanes_with, as many as md5_lanes does.
    if (k != nullptr) all.push_back({k->name, MD5_LANES_MAX, md5_lanes_with, k});
  }
  return all;
}

std::string hex(const uint8_t digest[16]) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (int i = 0; i < 16; i++) {
    text += digits[digest[i] >> 4];
    text += digits[digest[i] & 15];
  }
  return text;
}

// Digests `count` messages of the given lengths, at the given offsets of
// `bytes`, one way, and counts those that differ from md5_digest's.
int mismatches(const Way& way, const std::vector<uint8_t>& bytes, const std::vector<size_t>& offsets,
               const std::vector<size_t>& lengths, std::string* first) {
  const int count = static_cast<int>(lengths.size());
  const uint8_t* data[MD5_LANES_MAX] = {};
  uint8_t digests[MD5_LANES_MAX][16];
  for (int i = 0; i < count; i++) data[i] = bytes.data() + offsets[i];
  way.digest_with(way.kernel, data, lengths.data(), count, digests);
  int wrong = 0;
  for (int i = 0; i < count; i++) {
    uint8_t expected[16];
    md5_digest(data[i], lengths[i], expected);
    if (std::memcmp(expected, digests[i], 16) == 0) continue;
    if (wrong++ == 0) {
      *first = way.name + ": lane " + std::to_string(i) + " of " + std::to_string(count) + ", length " +
               std::to_string(lengths[i]) + ": " + hex(digests[i]) + ", expected " + hex(expected);
    }
  }
  return wrong;
}

TEST(Md5Lanes, WidthIsTheBestKernels) {
  EXPECT_EQ(md5_lanes_width(), md5_best_kernel()->width);
  EXPECT_TRUE(md5_lanes_width() == 1 || md5_lanes_width() == 8 || md5_lanes_width() == 16);
}

// The test suite of RFC 1321, all of it in one call, so that the oracle of
// the tests below, md5_digest (OpenSSL's here, CNG's in the Windows build),
// is itself held to known digests.
TEST(Md5Lanes, KnownDigests) {
  const std::vector<std::pair<std::string, std::string>> suite = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"}};
  const uint8_t* data[MD5_LANES_MAX] = {};
  size_t lengths[MD5_LANES_MAX] = {};
  for (size_t i = 0; i < suite.size(); i++) {
    data[i] = reinterpret_cast<const uint8_t*>(suite[i].first.data());
    lengths[i] = suite[i].first.size();
    uint8_t one[16];
    md5_digest(data[i], lengths[i], one);
    EXPECT_EQ(hex(one), suite[i].second) << "md5_digest of \"" << suite[i].first << "\"";
  }
  for (const Way& way : ways()) {
    uint8_t digests[MD5_LANES_MAX][16];
    way.digest_with(way.kernel, data, lengths, static_cast<int>(suite.size()), digests);
    for (size_t i = 0; i < suite.size(); i++) EXPECT_EQ(hex(digests[i]), suite[i].second) << way.name;
  }
}

// Every length 0-300 (the padding's one and two final chunks, and every
// length around a chunk boundary) in every lane and every lane count, the
// lanes of one call at different lengths and byte alignments.
TEST(Md5Lanes, EveryShortLengthInEveryLaneCount) {
  std::mt19937 rng(18);
  std::vector<uint8_t> bytes(4096);
  for (auto& byte : bytes) byte = static_cast<uint8_t>(rng());
  for (const Way& way : ways()) {
    int wrong = 0;
    std::string first;
    for (int count = 1; count <= way.width; count++) {
      for (size_t length = 0; length <= 300; length++) {
        std::vector<size_t> offsets, lengths;
        for (int i = 0; i < count; i++) {
          // Lane i: a length 61 * i further on, wrapping within 0-300.
          lengths.push_back((length + 61 * static_cast<size_t>(i)) % 301);
          offsets.push_back(static_cast<size_t>(i) * 211 + length % 7);
        }
        wrong += mismatches(way, bytes, offsets, lengths, &first);
      }
    }
    EXPECT_EQ(wrong, 0) << first;
  }
}

// Long messages: lanes of random lengths up to 64 KiB, some of them the
// same length, some empty, so that lanes finish at different chunks.
TEST(Md5Lanes, RandomLongLengthsInEveryLaneCount) {
  constexpr size_t LONGEST = 65536;
  std::mt19937 rng(19);
  std::vector<uint8_t> bytes(LONGEST + 4096);
  for (auto& byte : bytes) byte = static_cast<uint8_t>(rng());
  for (const Way& way : ways()) {
    int wrong = 0;
    std::string first;
    for (int count = 1; count <= way.width; count++) {
      for (int round = 0; round < 3; round++) {
        std::vector<size_t> offsets, lengths;
        for (int i = 0; i < count; i++) {
          const size_t pick = rng() % 8;
          lengths.push_back(pick == 0 ? 0 : pick == 1 && i > 0 ? lengths[0] : rng() % (LONGEST + 1));
          offsets.push_back(rng() % 4096);
        }
        wrong += mismatches(way, bytes, offsets, lengths, &first);
      }
    }
    EXPECT_EQ(wrong, 0) << first;
  }
}

// A message given in pieces digests as it does at once: every length around
// the padding's boundaries and some long ones, cut in pieces shorter than a
// chunk, of a chunk and a byte over, and far longer; the last piece is what
// is left.  A million "a"s in pieces of 999 against their known digest hold
// the pieces to an oracle of their own, as md5_digest may be made of them.
TEST(Md5Digest, InPiecesAsAtOnce) {
  std::mt19937 rng(20);
  std::vector<uint8_t> bytes((size_t{1} << 20) + 13);
  for (auto& byte : bytes) byte = static_cast<uint8_t>(rng());
  const size_t lengths[] = {0, 1, 55, 56, 63, 64, 65, 119, 120, 128, 1000, 70001, bytes.size()};
  const size_t pieces[] = {1, 7, 64, 65, 4096, 1 << 20};
  std::string wrong;
  for (size_t length : lengths) {
    for (size_t piece : pieces) {
      if (length / piece > 100000) continue;  // a million one-byte calls say nothing more
      Md5Context context;
      md5_begin(&context);
      for (size_t done = 0; done < length; done += std::min(piece, length - done)) {
        md5_update(&context, bytes.data() + done, std::min(piece, length - done));
      }
      uint8_t pieced[16], at_once[16];
      md5_end(&context, pieced);
      md5_digest(bytes.data(), length, at_once);
      if (std::memcmp(pieced, at_once, 16) != 0) {
        wrong += " length " + std::to_string(length) + " in pieces of " + std::to_string(piece) + ";";
      }
    }
  }
  EXPECT_EQ(wrong, "");
  const std::vector<uint8_t> a(1000000, 'a');
  Md5Context context;
  md5_begin(&context);
  for (size_t done = 0; done < a.size(); done += 999) {
    md5_update(&context, a.data() + done, std::min<size_t>(999, a.size() - done));
  }
  uint8_t digest[16];
  md5_end(&context, digest);
  EXPECT_EQ(hex(digest), "7707d6ae4e027c70eea2a935c2296f21");
}

}  // namespace
