// Fuzz target: the multi-lane MD5 against OpenSSL's one-shot MD5, message by
// message, through md5_lanes or one lane kernel directly.  Each message is
// copied to an allocation of its own exact length, so that a kernel reading
// past a message's end is caught by the address sanitizer.
//
// Input, front to back: the way (1 byte: md5_lanes, or the AVX2 or AVX-512
// kernel where the CPU has it, else md5_lanes), the message count (1 byte,
// taken modulo MD5_LANES_MAX + 1), each message's offset and length in the
// content (2 bytes each, taken modulo what is there), the content.
#include "md5_lanes.h"

#include "input_bytes.h"

#include <openssl/md5.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
  InputBytes in{input, size};
  const uint8_t way = in.u8();
  const int count = in.u8() % (MD5_LANES_MAX + 1);
  uint16_t offsets[MD5_LANES_MAX], lengths16[MD5_LANES_MAX];
  for (int i = 0; i < count; i++) {
    offsets[i] = in.u16();
    lengths16[i] = in.u16();
  }
  const std::vector<uint8_t> content = in.rest();

  std::vector<std::unique_ptr<uint8_t[]>> copies;
  const uint8_t* data[MD5_LANES_MAX];
  size_t lengths[MD5_LANES_MAX];
  for (int i = 0; i < count; i++) {
    const size_t offset = offsets[i] % (content.size() + 1);
    lengths[i] = lengths16[i] % (content.size() - offset + 1);
    copies.emplace_back(new uint8_t[lengths[i] == 0 ? 1 : lengths[i]]);
    if (lengths[i] != 0) std::memcpy(copies.back().get(), content.data() + offset, lengths[i]);
    data[i] = copies.back().get();
  }

  const Md5LaneKernel* kernel = way % 3 == 1 ? md5_avx2_kernel() : way % 3 == 2 ? md5_avx512_kernel() : nullptr;
  uint8_t digests[MD5_LANES_MAX][16];
  if (kernel != nullptr) {
    if (count > kernel->width) return 0;
    kernel->digest(data, lengths, count, digests);
  } else {
    md5_lanes(data, lengths, count, digests);
  }
  for (int i = 0; i < count; i++) {
    uint8_t expected[16];
    MD5(data[i], lengths[i], expected);
    if (std::memcmp(expected, digests[i], 16) != 0) {
      std::fprintf(stderr, "lane %d of %d, length %zu: digest differs from OpenSSL's\n", i, count, lengths[i]);
      std::abort();
    }
  }
  return 0;
}
