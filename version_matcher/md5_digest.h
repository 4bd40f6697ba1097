// The one-shot MD5 of one message: the strong check of a window and of a
// block.  Each platform's build links one definition (md5_openssl.cpp here).
#ifndef CORVAMIRE_MD5_DIGEST_H
#define CORVAMIRE_MD5_DIGEST_H

#include <cstddef>
#include <cstdint>

void md5_digest(const uint8_t* data, size_t n, uint8_t digest[16]);

#endif
