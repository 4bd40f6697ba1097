// The one-shot MD5 over CNG against RFC 1321's test suite.
#include "md5_digest.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

std::string hex(const uint8_t digest[16]) {
  char text[33];
  for (int i = 0; i < 16; i++) std::snprintf(text + 2 * i, 3, "%02x", digest[i]);
  return text;
}

std::string md5_hex(const uint8_t* data, size_t n) {
  uint8_t digest[16];
  md5_digest(data, n, digest);
  return hex(digest);
}

TEST(Md5Digest, Rfc1321TestSuite) {
  const struct {
    const char* message;
    const char* digest;
  } cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(md5_hex(reinterpret_cast<const uint8_t*>(c.message), std::strlen(c.message)), c.digest)
        << '"' << c.message << '"';
  }
}

}  // namespace
