// Rolling adler32 over a window of fixed length.
//
// A reset computes the sum afresh with zlib; a roll moves the window one byte
// on in a few integer steps, exactly, so the scan rolls a sum on for as long
// as the window moves a byte at a time.  rolling_can_roll keeps the classic
// rule of a fresh sum after length/2 rolls, for the tests that show rolling
// on changes nothing.
#ifndef CORVAMIRE_ROLLING_SUM_H
#define CORVAMIRE_ROLLING_SUM_H

#include <cstddef>
#include <cstdint>

#include <zlib.h>

// adler32's modulus: the largest prime below 2^16.
constexpr uint32_t ADLER_MOD = 65521;

struct RollingSum {
  uint32_t sum;     // low 16 bits the byte sum (a), high 16 bits the sum of sums (b)
  uint64_t length;  // bytes the sum covers
  uint64_t rolls;   // rolls since the last reset
  // out_terms[out] = (length * out + 1) mod ADLER_MOD: what a leaving byte takes
  // from b, looked up so that a roll needs no division.  Valid for terms_length.
  uint64_t terms_length = UINT64_MAX;
  uint32_t out_terms[256];
};

// Brings out_terms in line with length; called whenever length changes.
inline void rolling_prepare_terms(RollingSum* rs) {
  if (rs->terms_length == rs->length) return;
  const uint32_t step = static_cast<uint32_t>(rs->length % ADLER_MOD);
  uint32_t term = 1;
  for (auto& t : rs->out_terms) {
    t = term;
    term += step;
    if (term >= ADLER_MOD) term -= ADLER_MOD;
  }
  rs->terms_length = rs->length;
}

inline void rolling_reset(RollingSum* rs, const uint8_t* data, uint64_t n) {
  rs->sum = static_cast<uint32_t>(adler32(0, nullptr, 0));
  rs->length = 0;
  rs->rolls = 0;
  if (data != nullptr && n > 0) {
    // adler32_z takes a size_t, so windows of 4 GiB and more are summed whole.
    rs->sum = static_cast<uint32_t>(adler32_z(rs->sum, data, static_cast<size_t>(n)));
    rs->length = n;
  }
  rolling_prepare_terms(rs);
}

inline uint32_t rolling_append(RollingSum* rs, const uint8_t* data, uint64_t n) {
  rs->sum = static_cast<uint32_t>(adler32_z(rs->sum, data, static_cast<size_t>(n)));
  rs->length += n;
  rolling_prepare_terms(rs);
  return rs->sum;
}

// Moves the window n bytes on (n less than its length): skipped_sum is the
// sum of the n bytes that leave it, entering the n bytes that enter at its
// end.  Costs a sum over n bytes instead of the whole window.  With X the
// bytes that leave and Y those that stay, a(XY) = a(X) + a(Y) - 1 and
// b(XY) = b(X) + b(Y) + |Y| (a(X) - 1), both modulo ADLER_MOD, as zlib's
// adler32_combine has it; solved here for a(Y) and b(Y).
inline void rolling_skip(RollingSum* rs, uint32_t skipped_sum, uint64_t n, const uint8_t* entering) {
  const uint64_t a_xy = rs->sum & 0xFFFF, b_xy = rs->sum >> 16;
  const uint64_t a_x = skipped_sum & 0xFFFF, b_x = skipped_sum >> 16;
  const uint64_t stays = (rs->length - n) % ADLER_MOD;
  const uint64_t a_y = (a_xy + ADLER_MOD + 1 - a_x) % ADLER_MOD;
  // a_x - 1 taken modulo ADLER_MOD too, so that every term stays positive.
  const uint64_t taken = b_x + stays * ((a_x + ADLER_MOD - 1) % ADLER_MOD);
  const uint64_t b_y = (b_xy + uint64_t{2} * ADLER_MOD * ADLER_MOD - taken) % ADLER_MOD;
  rs->sum = static_cast<uint32_t>(adler32_z((b_y << 16) | a_y, entering, static_cast<size_t>(n)));
  rs->rolls = 0;
}

// Reduces t, known to lie in (-ADLER_MOD, 2 * ADLER_MOD), to its residue.
inline uint32_t adler_reduce(int64_t t) {
  if (t < 0) t += ADLER_MOD;
  if (t >= ADLER_MOD) t -= ADLER_MOD;
  return static_cast<uint32_t>(t);
}

// The sum of the window moved one byte on: out leaves it, in enters it.
inline uint32_t adler_roll(uint32_t sum, const uint32_t* out_terms, uint8_t out, uint8_t in) {
  const int64_t a = sum & 0xFFFF;
  const int64_t b = sum >> 16;
  const uint32_t a2 = adler_reduce(a - out + in);
  const uint32_t b2 = adler_reduce(b + a2 - out_terms[out]);
  return (b2 << 16) | a2;
}

// out: first byte of the old window; in: last byte of the new one.
inline void rolling_roll(RollingSum* rs, uint8_t out, uint8_t in) {
  rs->sum = adler_roll(rs->sum, rs->out_terms, out, in);
  rs->rolls += 1;
}

// Positions rolling_batch covers at most: its sums stay in L1, and its
// unreduced sums stay far below 2^32 (see there).
constexpr uint64_t ROLLING_BATCH_MAX = 64;
// Added to a while rolling a batch, so that it cannot go negative: a multiple
// of the modulus above the most a batch's leaving bytes take away (64 * 255).
constexpr uint32_t BATCH_A_OFFSET = ADLER_MOD;

// The sums of the window at the count (at most ROLLING_BATCH_MAX) positions
// from p on, given sum, the sum of the window at p - 1 (so p[-1] leaves
// first); rs gives the length and is left as it was.  Within the batch a and
// b are kept unreduced (a + BATCH_A_OFFSET + 64 * 255 and b + 64 * 2 *
// ADLER_MOD stay below 2^24), so a step only adds to them and the reductions
// stay off the dependency chain.
inline void rolling_batch_from(const RollingSum* rs, uint32_t sum, const uint8_t* p, uint64_t count, uint32_t* sums) {
  uint32_t a_acc = (sum & 0xFFFF) + BATCH_A_OFFSET;
  uint32_t b_acc = sum >> 16;
  const uint32_t* out_terms = rs->out_terms;
  const uint8_t* in = p + rs->length - 1;
  for (uint64_t j = 0; j < count; j++) {
    const uint8_t out = (p - 1)[j];  // p[j - 1] would wrap the unsigned index at j = 0
    a_acc = a_acc + in[j] - out;
    const uint32_t a = a_acc % ADLER_MOD;
    b_acc += a + ADLER_MOD - out_terms[out];
    sums[j] = (b_acc % ADLER_MOD) << 16 | a;
  }
}

// The same from the window rs is at now, which starts at p - 1.
inline void rolling_batch(const RollingSum* rs, const uint8_t* p, uint64_t count, uint32_t* sums) {
  rolling_batch_from(rs, rs->sum, p, count, sums);
}

inline bool rolling_can_roll(const RollingSum* rs) { return rs->rolls < rs->length / 2; }

inline uint32_t rolling_value(const RollingSum* rs) { return rs->sum; }

#endif
