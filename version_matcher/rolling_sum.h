// Rolling adler32 over a window of fixed length.
//
// A reset computes the sum afresh with zlib; a roll moves the window one byte
// on in a few integer steps.  Rolls may follow a reset at most length/2 times
// in a row, so the scan recomputes every sum at regular intervals.
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

// Reduces t, known to lie in (-ADLER_MOD, 2 * ADLER_MOD), to its residue.
inline uint32_t adler_reduce(int64_t t) {
  if (t < 0) t += ADLER_MOD;
  if (t >= ADLER_MOD) t -= ADLER_MOD;
  return static_cast<uint32_t>(t);
}

// out: first byte of the old window; in: last byte of the new one.
inline void rolling_roll(RollingSum* rs, uint8_t out, uint8_t in) {
  const int64_t a = rs->sum & 0xFFFF;
  const int64_t b = rs->sum >> 16;
  const uint32_t a2 = adler_reduce(a - out + in);
  const uint32_t b2 = adler_reduce(b + a2 - rs->out_terms[out]);
  rs->sum = (b2 << 16) | a2;
  rs->rolls += 1;
}

inline bool rolling_can_roll(const RollingSum* rs) { return rs->rolls < rs->length / 2; }

inline uint32_t rolling_value(const RollingSum* rs) { return rs->sum; }

#endif
