// MD5 in 8 lanes of AVX2 registers: one message to a 32-bit lane.  Only these
// functions carry the target attribute, and they run only once
// md5_avx2_kernel() has seen the CPU report AVX2; the rest of the module stays
// plain x86-64.
#include "md5_lanes.h"

#include "md5_lane_blocks.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))

#include <immintrin.h>

#define AVX2 __attribute__((target("avx2")))

namespace {

// Loops over registers unrolled, so that the rows stay in registers.
#define UNROLLED _Pragma("GCC unroll 16")

constexpr int LANES = 8;

// MD5's four functions of (b, c, d), in the forms with fewest operations.
AVX2 inline __m256i f_fn(__m256i b, __m256i c, __m256i d) {  // b ? c : d
  return _mm256_xor_si256(d, _mm256_and_si256(b, _mm256_xor_si256(c, d)));
}
AVX2 inline __m256i g_fn(__m256i b, __m256i c, __m256i d) {  // d ? b : c
  return _mm256_xor_si256(c, _mm256_and_si256(d, _mm256_xor_si256(b, c)));
}
AVX2 inline __m256i h_fn(__m256i b, __m256i c, __m256i d) { return _mm256_xor_si256(_mm256_xor_si256(b, c), d); }
AVX2 inline __m256i i_fn(__m256i b, __m256i c, __m256i d) {  // c ^ (b | ~d)
  return _mm256_xor_si256(c, _mm256_or_si256(b, _mm256_xor_si256(d, _mm256_set1_epi32(-1))));
}

constexpr Md5LaneConstants<LANES> K_LANES = md5_lane_constants<LANES>();

// One step: a = b + ((a + fn(b, c, d) + K[k] + w[g]) <<< s).
template <__m256i (*FN)(__m256i, __m256i, __m256i), int S>
AVX2 inline __m256i step(__m256i a, __m256i b, __m256i c, __m256i d, __m256i w, const uint32_t* k) {
  // a + K[k] + w[g] does not wait for b, c and d: only the function and
  // what follows it lie on the chain from one step to the next.
  const __m256i constant = _mm256_load_si256(reinterpret_cast<const __m256i*>(k));
  const __m256i early = _mm256_add_epi32(a, _mm256_add_epi32(w, constant));
  const __m256i sum = _mm256_add_epi32(early, FN(b, c, d));
  return _mm256_add_epi32(b, _mm256_or_si256(_mm256_slli_epi32(sum, S), _mm256_srli_epi32(sum, 32 - S)));
}

// Rows: 8 words of each lane.  Afterwards row j holds word j of every lane.
// Pairs of rows interleave by words, then pairs of those by 64-bit halves,
// leaving 4x4 blocks in each 128-bit half; the halves are then swapped into
// place.
AVX2 inline void transpose(__m256i r[LANES]) {
  __m256i t[LANES], u[LANES];
  UNROLLED
  for (int i = 0; i < LANES; i += 2) {
    t[i] = _mm256_unpacklo_epi32(r[i], r[i + 1]);
    t[i + 1] = _mm256_unpackhi_epi32(r[i], r[i + 1]);
  }
  UNROLLED
  for (int i = 0; i < LANES; i += 4) {
    u[i] = _mm256_unpacklo_epi64(t[i], t[i + 2]);
    u[i + 1] = _mm256_unpackhi_epi64(t[i], t[i + 2]);
    u[i + 2] = _mm256_unpacklo_epi64(t[i + 1], t[i + 3]);
    u[i + 3] = _mm256_unpackhi_epi64(t[i + 1], t[i + 3]);
  }
  // u[4q + m], half h: word 4h + m of lanes 4q to 4q + 3.
  UNROLLED
  for (int m = 0; m < 4; m++) {
    r[m] = _mm256_permute2x128_si256(u[m], u[4 + m], 0x20);
    r[4 + m] = _mm256_permute2x128_si256(u[m], u[4 + m], 0x31);
  }
}

#define R1(a, b, c, d, g, k, s) a = step<f_fn, s>(a, b, c, d, w[g], constants + LANES * (k))
#define R2(a, b, c, d, g, k, s) a = step<g_fn, s>(a, b, c, d, w[g], constants + LANES * (k))
#define R3(a, b, c, d, g, k, s) a = step<h_fn, s>(a, b, c, d, w[g], constants + LANES * (k))
#define R4(a, b, c, d, g, k, s) a = step<i_fn, s>(a, b, c, d, w[g], constants + LANES * (k))

// MD5's 64 steps over one chunk of every lane.
AVX2 inline void compress(__m256i s[4], const __m256i w[16], const uint32_t* constants) { MD5_LANE_STEPS(s); }

#undef R1
#undef R2
#undef R3
#undef R4

AVX2 void avx2_digest(const uint8_t* const* data, const size_t* lengths, int count, uint8_t (*digests)[16]) {
  // What a lane past its message's end reads; its state is left as it is.
  static const uint8_t idle[MD5_CHUNK] = {};
  Md5LaneMessage messages[LANES];
  const uint64_t longest = md5_lanes_prepare(messages, data, lengths, count);
  // Hidden from the optimiser, which would otherwise build each constant
  // in a register from its known value.
  const uint32_t* constants = K_LANES.k[0];
  __asm__("" : "+r"(constants));
  __m256i state[4];
  for (int j = 0; j < 4; j++) state[j] = _mm256_set1_epi32(static_cast<int>(MD5_INIT[j]));
  for (uint64_t chunk = 0; chunk < longest; chunk++) {
    __m256i w[16];
    int live[LANES];
    for (int i = 0; i < LANES; i++) {
      const uint8_t* p = idle;
      live[i] = 0;
      if (i < count && chunk < messages[i].chunks) {
        p = md5_lane_chunk(&messages[i], chunk);
        live[i] = -1;
      }
      w[i] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
      w[8 + i] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
    }
    transpose(w);
    transpose(w + 8);
    __m256i next[4] = {state[0], state[1], state[2], state[3]};
    compress(next, w, constants);
    const __m256i mask = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(live));
    for (int j = 0; j < 4; j++) {
      state[j] = _mm256_add_epi32(state[j], _mm256_and_si256(next[j], mask));
    }
  }
  uint32_t words[4][LANES];
  for (int j = 0; j < 4; j++) _mm256_storeu_si256(reinterpret_cast<__m256i*>(words[j]), state[j]);
  for (int i = 0; i < count; i++) md5_lane_output(words[0][i], words[1][i], words[2][i], words[3][i], digests[i]);
}

const Md5LaneKernel kernel = {"avx2", LANES, avx2_digest};

}  // namespace

const Md5LaneKernel* md5_avx2_kernel() { return __builtin_cpu_supports("avx2") ? &kernel : nullptr; }

#else

const Md5LaneKernel* md5_avx2_kernel() { return nullptr; }

#endif
