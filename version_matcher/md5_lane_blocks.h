// What the lane kernels (md5_lanes_avx2.cpp, md5_lanes_avx512.cpp) share: the
// 64-byte chunks of one message as MD5 consumes them, and the constants of
// MD5's 64 steps (RFC 1321).  The chunks are the message's whole ones read in
// place, then one or two chunks of padding built here: the last bytes, 0x80,
// zeros, and the length in bits as a little-endian 64-bit number.
#ifndef CORVAMIRE_MD5_LANE_BLOCKS_H
#define CORVAMIRE_MD5_LANE_BLOCKS_H

#include <cstddef>
#include <cstdint>
#include <cstring>

constexpr size_t MD5_CHUNK = 64;

struct Md5LaneMessage {
  const uint8_t* data;
  uint64_t whole;   // chunks read in place
  uint64_t chunks;  // all of them, with the padding's
  uint8_t tail[2 * MD5_CHUNK];
};

inline void md5_lane_prepare(Md5LaneMessage* m, const uint8_t* data, size_t length) {
  m->data = data;
  m->whole = length / MD5_CHUNK;
  const size_t rest = length % MD5_CHUNK;
  // The 0x80 byte and the 8 length bytes fit after the rest only below 56.
  const size_t tail_length = rest < MD5_CHUNK - 8 ? MD5_CHUNK : 2 * MD5_CHUNK;
  m->chunks = m->whole + tail_length / MD5_CHUNK;
  std::memset(m->tail, 0, sizeof m->tail);
  if (rest != 0) std::memcpy(m->tail, data + m->whole * MD5_CHUNK, rest);
  m->tail[rest] = 0x80;
  const uint64_t bits = static_cast<uint64_t>(length) * 8;
  for (int i = 0; i < 8; i++) m->tail[tail_length - 8 + i] = static_cast<uint8_t>(bits >> (8 * i));
}

// Chunk c of the message, c < m->chunks.
inline const uint8_t* md5_lane_chunk(const Md5LaneMessage* m, uint64_t c) {
  return c < m->whole ? m->data + c * MD5_CHUNK : m->tail + (c - m->whole) * MD5_CHUNK;
}

// The state every digest starts from.
constexpr uint32_t MD5_INIT[4] = {0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u};

// The step constants: the integer part of 2^32 * |sin(i + 1)|.
constexpr uint32_t MD5_K[64] = {
    0xd76aa478u, 0xe8c7b756u, 0x242070dbu, 0xc1bdceeeu, 0xf57c0fafu, 0x4787c62au, 0xa8304613u, 0xfd469501u,
    0x698098d8u, 0x8b44f7afu, 0xffff5bb1u, 0x895cd7beu, 0x6b901122u, 0xfd987193u, 0xa679438eu, 0x49b40821u,
    0xf61e2562u, 0xc040b340u, 0x265e5a51u, 0xe9b6c7aau, 0xd62f105du, 0x02441453u, 0xd8a1e681u, 0xe7d3fbc8u,
    0x21e1cde6u, 0xc33707d6u, 0xf4d50d87u, 0x455a14edu, 0xa9e3e905u, 0xfcefa3f8u, 0x676f02d9u, 0x8d2a4c8au,
    0xfffa3942u, 0x8771f681u, 0x6d9d6122u, 0xfde5380cu, 0xa4beea44u, 0x4bdecfa9u, 0xf6bb4b60u, 0xbebfbc70u,
    0x289b7ec6u, 0xeaa127fau, 0xd4ef3085u, 0x04881d05u, 0xd9d4d039u, 0xe6db99e5u, 0x1fa27cf8u, 0xc4ac5665u,
    0xf4292244u, 0x432aff97u, 0xab9423a7u, 0xfc93a039u, 0x655b59c3u, 0x8f0ccc92u, 0xffeff47du, 0x85845dd1u,
    0x6fa87e4fu, 0xfe2ce6e0u, 0xa3014314u, 0x4e0811a1u, 0xf7537e82u, 0xbd3af235u, 0x2ad7d2bbu, 0xeb86d391u};

// The step constants, each repeated in every lane of a register: read as
// an operand of the addition, a constant costs a load, where building it in a
// register from its value would cost two instructions at every step.
template <int LANES>
struct Md5LaneConstants {
  alignas(64) uint32_t k[64][LANES];
};

template <int LANES>
constexpr Md5LaneConstants<LANES> md5_lane_constants() {
  Md5LaneConstants<LANES> c{};
  for (int i = 0; i < 64; i++) {
    for (int j = 0; j < LANES; j++) c.k[i][j] = MD5_K[i];
  }
  return c;
}

// Prepares messages[i] for data[i] and lengths[i], i < count; returns the
// most chunks any of them has, the chunks every lane steps through.
inline uint64_t md5_lanes_prepare(Md5LaneMessage* messages, const uint8_t* const* data, const size_t* lengths,
                                  int count) {
  uint64_t longest = 0;
  for (int i = 0; i < count; i++) {
    md5_lane_prepare(&messages[i], data[i], lengths[i]);
    if (messages[i].chunks > longest) longest = messages[i].chunks;
  }
  return longest;
}

// MD5's 64 steps over one chunk, on state[0..3] of every lane in place.
// Rn(a, b, c, d, g, k, s) is step k, of round n:
// a = b + ((a + fn(b, c, d) + K[k] + w[g]) <<< s); each kernel defines R1 to
// R4 over its own registers before this expands.
#define MD5_LANE_STEPS(state)                                            \
  do {                                                                   \
    auto a = (state)[0], b = (state)[1], c = (state)[2], d = (state)[3]; \
    R1(a, b, c, d, 0, 0, 7);                                             \
    R1(d, a, b, c, 1, 1, 12);                                            \
    R1(c, d, a, b, 2, 2, 17);                                            \
    R1(b, c, d, a, 3, 3, 22);                                            \
    R1(a, b, c, d, 4, 4, 7);                                             \
    R1(d, a, b, c, 5, 5, 12);                                            \
    R1(c, d, a, b, 6, 6, 17);                                            \
    R1(b, c, d, a, 7, 7, 22);                                            \
    R1(a, b, c, d, 8, 8, 7);                                             \
    R1(d, a, b, c, 9, 9, 12);                                            \
    R1(c, d, a, b, 10, 10, 17);                                          \
    R1(b, c, d, a, 11, 11, 22);                                          \
    R1(a, b, c, d, 12, 12, 7);                                           \
    R1(d, a, b, c, 13, 13, 12);                                          \
    R1(c, d, a, b, 14, 14, 17);                                          \
    R1(b, c, d, a, 15, 15, 22);                                          \
    R2(a, b, c, d, 1, 16, 5);                                            \
    R2(d, a, b, c, 6, 17, 9);                                            \
    R2(c, d, a, b, 11, 18, 14);                                          \
    R2(b, c, d, a, 0, 19, 20);                                           \
    R2(a, b, c, d, 5, 20, 5);                                            \
    R2(d, a, b, c, 10, 21, 9);                                           \
    R2(c, d, a, b, 15, 22, 14);                                          \
    R2(b, c, d, a, 4, 23, 20);                                           \
    R2(a, b, c, d, 9, 24, 5);                                            \
    R2(d, a, b, c, 14, 25, 9);                                           \
    R2(c, d, a, b, 3, 26, 14);                                           \
    R2(b, c, d, a, 8, 27, 20);                                           \
    R2(a, b, c, d, 13, 28, 5);                                           \
    R2(d, a, b, c, 2, 29, 9);                                            \
    R2(c, d, a, b, 7, 30, 14);                                           \
    R2(b, c, d, a, 12, 31, 20);                                          \
    R3(a, b, c, d, 5, 32, 4);                                            \
    R3(d, a, b, c, 8, 33, 11);                                           \
    R3(c, d, a, b, 11, 34, 16);                                          \
    R3(b, c, d, a, 14, 35, 23);                                          \
    R3(a, b, c, d, 1, 36, 4);                                            \
    R3(d, a, b, c, 4, 37, 11);                                           \
    R3(c, d, a, b, 7, 38, 16);                                           \
    R3(b, c, d, a, 10, 39, 23);                                          \
    R3(a, b, c, d, 13, 40, 4);                                           \
    R3(d, a, b, c, 0, 41, 11);                                           \
    R3(c, d, a, b, 3, 42, 16);                                           \
    R3(b, c, d, a, 6, 43, 23);                                           \
    R3(a, b, c, d, 9, 44, 4);                                            \
    R3(d, a, b, c, 12, 45, 11);                                          \
    R3(c, d, a, b, 15, 46, 16);                                          \
    R3(b, c, d, a, 2, 47, 23);                                           \
    R4(a, b, c, d, 0, 48, 6);                                            \
    R4(d, a, b, c, 7, 49, 10);                                           \
    R4(c, d, a, b, 14, 50, 15);                                          \
    R4(b, c, d, a, 5, 51, 21);                                           \
    R4(a, b, c, d, 12, 52, 6);                                           \
    R4(d, a, b, c, 3, 53, 10);                                           \
    R4(c, d, a, b, 10, 54, 15);                                          \
    R4(b, c, d, a, 1, 55, 21);                                           \
    R4(a, b, c, d, 8, 56, 6);                                            \
    R4(d, a, b, c, 15, 57, 10);                                          \
    R4(c, d, a, b, 6, 58, 15);                                           \
    R4(b, c, d, a, 13, 59, 21);                                          \
    R4(a, b, c, d, 4, 60, 6);                                            \
    R4(d, a, b, c, 11, 61, 10);                                          \
    R4(c, d, a, b, 2, 62, 15);                                           \
    R4(b, c, d, a, 9, 63, 21);                                           \
    (state)[0] = a;                                                      \
    (state)[1] = b;                                                      \
    (state)[2] = c;                                                      \
    (state)[3] = d;                                                      \
  } while (0)

// The digest of a lane from its final state: the four words, little-endian.
inline void md5_lane_output(uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint8_t digest[16]) {
  const uint32_t words[4] = {a, b, c, d};
  for (int w = 0; w < 4; w++) {
    for (int i = 0; i < 4; i++) digest[4 * w + i] = static_cast<uint8_t>(words[w] >> (8 * i));
  }
}

#endif
