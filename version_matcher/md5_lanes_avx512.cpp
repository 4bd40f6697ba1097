// MD5 in 16 lanes of AVX-512 registers: one message to a 32-bit lane, each
// of MD5's boolean functions one ternary-logic instruction and each rotation
// one vprold.  Only these functions carry the target attribute, and they run
// only once md5_avx512_kernel() has seen the CPU report AVX-512 F, BW and VL;
// the rest of the module stays plain x86-64.
#include "md5_lanes.h"

#include "md5_lane_blocks.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))

// GCC 12's AVX-512 headers pass an undefined vector as the merge source of
// unmasked instructions (shuffles, rotations), and its uninitialised-use
// check then warns inside the headers at every call; nothing here reads an
// undefined value.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

#define AVX512 __attribute__((target("avx512f,avx512bw,avx512vl")))

namespace {

// Loops over registers unrolled, so that the rows stay in registers.
#define UNROLLED _Pragma("GCC unroll 16")

constexpr int LANES = 16;

// Truth tables of the ternary-logic instruction for MD5's four functions of
// (b, c, d): bit 4b + 2c + d of the table is the function's value there.
constexpr int F_TABLE = 0xCA;  // b ? c : d
constexpr int G_TABLE = 0xE4;  // d ? b : c
constexpr int H_TABLE = 0x96;  // b ^ c ^ d
constexpr int I_TABLE = 0x39;  // c ^ (b | ~d)

constexpr Md5LaneConstants<LANES> K_LANES = md5_lane_constants<LANES>();

// One step: a = b + ((a + f(b, c, d) + K[k] + w[g]) <<< s).
template <int TABLE, int S>
AVX512 inline __m512i step(__m512i a, __m512i b, __m512i c, __m512i d, __m512i w, const uint32_t* k) {
  const __m512i f = _mm512_ternarylogic_epi32(b, c, d, TABLE);
  // a + K[k] + w[g] does not wait for b, c and d: only the function and
  // what follows it lie on the chain from one step to the next.
  const __m512i early = _mm512_add_epi32(a, _mm512_add_epi32(w, _mm512_load_si512(k)));
  const __m512i sum = _mm512_add_epi32(early, f);
  return _mm512_add_epi32(b, _mm512_rol_epi32(sum, S));
}

// Rows: lane i's chunk as 16 words.  Afterwards row j holds word j of every
// lane.  Pairs of rows interleave by words, then pairs of those by 64-bit
// halves, leaving 4x4 blocks in each 128-bit quarter; two shuffles of whole
// quarters put the blocks in place.
AVX512 inline void transpose(__m512i r[LANES]) {
  __m512i t[LANES], u[LANES];
  UNROLLED
  for (int i = 0; i < LANES; i += 2) {
    t[i] = _mm512_unpacklo_epi32(r[i], r[i + 1]);
    t[i + 1] = _mm512_unpackhi_epi32(r[i], r[i + 1]);
  }
  UNROLLED
  for (int i = 0; i < LANES; i += 4) {
    u[i] = _mm512_unpacklo_epi64(t[i], t[i + 2]);
    u[i + 1] = _mm512_unpackhi_epi64(t[i], t[i + 2]);
    u[i + 2] = _mm512_unpacklo_epi64(t[i + 1], t[i + 3]);
    u[i + 3] = _mm512_unpackhi_epi64(t[i + 1], t[i + 3]);
  }
  // u[4q + m], quarter j: word 4j + m of lanes 4q to 4q + 3.
  UNROLLED
  for (int m = 0; m < 4; m++) {
    const __m512i x0 = _mm512_shuffle_i32x4(u[m], u[4 + m], 0x44);
    const __m512i x1 = _mm512_shuffle_i32x4(u[m], u[4 + m], 0xEE);
    const __m512i x2 = _mm512_shuffle_i32x4(u[8 + m], u[12 + m], 0x44);
    const __m512i x3 = _mm512_shuffle_i32x4(u[8 + m], u[12 + m], 0xEE);
    r[m] = _mm512_shuffle_i32x4(x0, x2, 0x88);
    r[4 + m] = _mm512_shuffle_i32x4(x0, x2, 0xDD);
    r[8 + m] = _mm512_shuffle_i32x4(x1, x3, 0x88);
    r[12 + m] = _mm512_shuffle_i32x4(x1, x3, 0xDD);
  }
}

#define R1(a, b, c, d, g, k, s) a = step<F_TABLE, s>(a, b, c, d, w[g], constants + LANES * (k))
#define R2(a, b, c, d, g, k, s) a = step<G_TABLE, s>(a, b, c, d, w[g], constants + LANES * (k))
#define R3(a, b, c, d, g, k, s) a = step<H_TABLE, s>(a, b, c, d, w[g], constants + LANES * (k))
#define R4(a, b, c, d, g, k, s) a = step<I_TABLE, s>(a, b, c, d, w[g], constants + LANES * (k))

// MD5's 64 steps over one chunk of every lane.
AVX512 inline void compress(__m512i s[4], const __m512i w[LANES], const uint32_t* constants) { MD5_LANE_STEPS(s); }

#undef R1
#undef R2
#undef R3
#undef R4

AVX512 void avx512_digest(const uint8_t* const* data, const size_t* lengths, int count, uint8_t (*digests)[16]) {
  // What a lane past its message's end reads; its state is left as it is.
  static const uint8_t idle[MD5_CHUNK] = {};
  Md5LaneMessage messages[LANES];
  const uint64_t longest = md5_lanes_prepare(messages, data, lengths, count);
  // Hidden from the optimiser, which would otherwise build each constant
  // in a register from its known value.
  const uint32_t* constants = K_LANES.k[0];
  __asm__("" : "+r"(constants));
  __m512i state[4];
  for (int j = 0; j < 4; j++) state[j] = _mm512_set1_epi32(static_cast<int>(MD5_INIT[j]));
  for (uint64_t chunk = 0; chunk < longest; chunk++) {
    __m512i w[LANES];
    __mmask16 live = 0;
    for (int i = 0; i < LANES; i++) {
      const uint8_t* p = idle;
      if (i < count && chunk < messages[i].chunks) {
        p = md5_lane_chunk(&messages[i], chunk);
        live = static_cast<__mmask16>(live | (1u << i));
      }
      w[i] = _mm512_loadu_si512(p);
    }
    transpose(w);
    __m512i next[4] = {state[0], state[1], state[2], state[3]};
    compress(next, w, constants);
    for (int j = 0; j < 4; j++) state[j] = _mm512_mask_add_epi32(state[j], live, state[j], next[j]);
  }
  uint32_t words[4][LANES];
  for (int j = 0; j < 4; j++) _mm512_storeu_si512(words[j], state[j]);
  for (int i = 0; i < count; i++) md5_lane_output(words[0][i], words[1][i], words[2][i], words[3][i], digests[i]);
}

const Md5LaneKernel kernel = {"avx512", LANES, avx512_digest};

}  // namespace

const Md5LaneKernel* md5_avx512_kernel() {
  static const bool present =
      __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl");
  return present ? &kernel : nullptr;
}

#else

const Md5LaneKernel* md5_avx512_kernel() { return nullptr; }

#endif
