#include "md5_digest.h"

#include <openssl/md5.h>

// OpenSSL 3 deprecates the one-shot MD5 in favour of EVP, which costs far more
// per call on the short blocks digested here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
void md5_digest(const uint8_t* data, size_t n, uint8_t digest[16]) { MD5(data, n, digest); }
#pragma GCC diagnostic pop
