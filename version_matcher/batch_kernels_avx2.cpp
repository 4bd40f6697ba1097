// The batch kernels with AVX2, eight positions to a 256-bit register.  Only
// these functions carry the target attribute, and they run only once
// avx2_kernels() has seen the CPU report AVX2; the rest of the module stays
// plain x86-64.
#include "batch_kernels.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))

#include <immintrin.h>

#define AVX2 __attribute__((target("avx2")))

namespace {

// Running totals of the eight lanes: lane k gets x[0] + ... + x[k].
AVX2 inline __m256i prefix_sums(__m256i x) {
  x = _mm256_add_epi32(x, _mm256_slli_si256(x, 4));  // shifts stay within each 128-bit half
  x = _mm256_add_epi32(x, _mm256_slli_si256(x, 8));
  const __m256i low_total = _mm256_shuffle_epi32(x, 0xFF);  // lane 3 of each half, broadcast in it
  return _mm256_add_epi32(x, _mm256_permute2x128_si256(low_total, low_total, 0x08));  // upper half += lane 3
}

AVX2 inline __m256i last_lane(__m256i x) { return _mm256_permutevar8x32_epi32(x, _mm256_set1_epi32(7)); }

// x mod ADLER_MOD for x below 2 * ADLER_MOD: the smaller of x and x - ADLER_MOD
// as unsigned, since the latter wraps to a huge value when x is the residue.
AVX2 inline __m256i minus_mod_once(__m256i x) {
  return _mm256_min_epu32(x, _mm256_sub_epi32(x, _mm256_set1_epi32(ADLER_MOD)));
}

// 2^16 = 15 (mod 65521): hi * 2^16 + lo folds to hi * 15 + lo.
AVX2 inline __m256i fold(__m256i x) {
  const __m256i hi = _mm256_srli_epi32(x, 16);
  const __m256i lo = _mm256_and_si256(x, _mm256_set1_epi32(0xFFFF));
  return _mm256_add_epi32(_mm256_sub_epi32(_mm256_slli_epi32(hi, 4), hi), lo);
}

// Keeps b non-negative through a batch: a multiple of the modulus above the
// most a batch's terms take away, 64 * (65520 * 255 + 1) = 1,069,286,464.
constexpr uint32_t B_BIAS = ADLER_MOD * 16384u;  // 1,073,512,064

// rolling_batch, eight positions at a time.  For position j of the batch, with
// out = p[j - 1] leaving and in = p[j + n - 1] entering:
//   a_j = a_(j-1) + in - out,   b_j = b_(j-1) + a_j - n * out - 1   (mod 65521)
// so each is a running total over the batch: the in - out differences for a,
// and a_j - (n mod 65521) * out - 1 for b, added to the sums at the batch
// start.  The totals stay unreduced across the batch; each lane is reduced on
// its own.  Bounds, for at most 64 positions: a lies in (ADLER_MOD - 64 * 255,
// 2 * ADLER_MOD + 64 * 255), which two conditional subtractions bring to a
// residue; b, biased by B_BIAS, in [4,225,600, 1,077,770,800], below 2^31,
// which two folds bring below 65596 and one subtraction to a residue.
AVX2 void avx2_roll(const RollingSum* rs, const uint8_t* p, uint64_t count, uint32_t* sums) {
  const uint64_t vectors = count / 8;
  const __m256i n_mod = _mm256_set1_epi32(static_cast<int>(rs->length % ADLER_MOD));
  const __m256i one = _mm256_set1_epi32(1);
  __m256i a_carry = _mm256_set1_epi32(static_cast<int>((rs->sum & 0xFFFF) + ADLER_MOD));
  __m256i b_carry = _mm256_set1_epi32(static_cast<int>((rs->sum >> 16) + B_BIAS));
  const uint8_t* in = p + rs->length - 1;
  for (uint64_t v = 0; v < vectors; v++) {
    const uint64_t j = v * 8;
    const __m256i out8 = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + j - 1)));
    const __m256i in8 = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(in + j)));
    const __m256i a_steps = prefix_sums(_mm256_sub_epi32(in8, out8));
    const __m256i a = minus_mod_once(minus_mod_once(_mm256_add_epi32(a_carry, a_steps)));
    a_carry = _mm256_add_epi32(a_carry, last_lane(a_steps));
    const __m256i terms = _mm256_sub_epi32(a, _mm256_add_epi32(_mm256_mullo_epi32(out8, n_mod), one));
    const __m256i b_steps = prefix_sums(terms);
    const __m256i b = minus_mod_once(fold(fold(_mm256_add_epi32(b_carry, b_steps))));
    b_carry = _mm256_add_epi32(b_carry, last_lane(b_steps));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(sums + j), _mm256_or_si256(_mm256_slli_epi32(b, 16), a));
  }
  // The last few positions one at a time, from the last sum above.
  const uint64_t done = vectors * 8;
  if (done < count) rolling_batch_from(rs, done == 0 ? rs->sum : sums[done - 1], p + done, count - done, sums + done);
}

// filter_hash of eight sums.
AVX2 inline __m256i hash8(__m256i h) {
  h = _mm256_xor_si256(h, _mm256_srli_epi32(h, FILTER_FOLD[0]));
  h = _mm256_mullo_epi32(h, _mm256_set1_epi32(static_cast<int>(FILTER_MULTIPLY[0])));
  h = _mm256_xor_si256(h, _mm256_srli_epi32(h, FILTER_FOLD[1]));
  h = _mm256_mullo_epi32(h, _mm256_set1_epi32(static_cast<int>(FILTER_MULTIPLY[1])));
  return _mm256_xor_si256(h, _mm256_srli_epi32(h, FILTER_FOLD[2]));
}

AVX2 uint64_t avx2_probe(const LookupIndex* index, const uint32_t* sums, uint64_t count) {
  const uint64_t vectors = count / 8;
  const __m256i one = _mm256_set1_epi32(1);
  const __m256i low5 = _mm256_set1_epi32(31);
  const __m128i shift = _mm_cvtsi32_si128(static_cast<int>(index->filter_shift));
  const int* words = reinterpret_cast<const int*>(index->filter);
  uint64_t maybe = 0;
  for (uint64_t v = 0; v < vectors; v++) {
    const __m256i h = hash8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(sums + v * 8)));
    // filter_bits of the eight hashes.
    const __m256i picks = _mm256_mullo_epi32(h, _mm256_set1_epi32(static_cast<int>(FILTER_PICK)));
    const __m256i bits = _mm256_or_si256(
        _mm256_or_si256(_mm256_sllv_epi32(one, _mm256_and_si256(_mm256_srli_epi32(picks, FILTER_PICK_SHIFT[0]), low5)),
                        _mm256_sllv_epi32(one, _mm256_and_si256(_mm256_srli_epi32(picks, FILTER_PICK_SHIFT[1]), low5))),
        _mm256_sllv_epi32(one, _mm256_srli_epi32(picks, FILTER_PICK_SHIFT[2])));
    const __m256i word = _mm256_i32gather_epi32(words, _mm256_srl_epi32(h, shift), 4);
    const __m256i held = _mm256_cmpeq_epi32(_mm256_and_si256(word, bits), bits);
    maybe |= uint64_t{static_cast<uint32_t>(_mm256_movemask_ps(_mm256_castsi256_ps(held)))} << (v * 8);
  }
  for (uint64_t j = vectors * 8; j < count; j++) maybe |= uint64_t{filter_may_hold(index, sums[j])} << j;
  return maybe;
}

const BatchKernels kernels = {"avx2", avx2_roll, avx2_probe};

}  // namespace

const BatchKernels* avx2_kernels() { return __builtin_cpu_supports("avx2") ? &kernels : nullptr; }

#else

const BatchKernels* avx2_kernels() { return nullptr; }

#endif
