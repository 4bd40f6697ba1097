#include "md5_digest.h"

#include <openssl/md5.h>

#include <new>

static_assert(sizeof(MD5_CTX) <= MD5_CONTEXT_ROOM && alignof(MD5_CTX) <= alignof(Md5Context),
              "an MD5_CTX fits an Md5Context");

// OpenSSL 3 deprecates the low-level MD5 in favour of EVP, which costs far
// more per call on the short blocks digested here, and would allocate a
// context for each digest in pieces.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
void md5_digest(const uint8_t* data, size_t n, uint8_t digest[16]) { MD5(data, n, digest); }

static MD5_CTX* state_of(Md5Context* context) { return std::launder(reinterpret_cast<MD5_CTX*>(context->room)); }

void md5_begin(Md5Context* context) { MD5_Init(new (context->room) MD5_CTX); }

void md5_update(Md5Context* context, const uint8_t* data, size_t n) { MD5_Update(state_of(context), data, n); }

// MD5_CTX holds nothing to release.
void md5_end(Md5Context* context, uint8_t digest[16]) { MD5_Final(digest, state_of(context)); }
#pragma GCC diagnostic pop
