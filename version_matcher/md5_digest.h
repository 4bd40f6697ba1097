// The MD5 of one message: the strong check of a window and of a block.  Each
// platform's build links one definition of these (md5_openssl.cpp here).
//
// md5_digest takes the message at once.  md5_begin / md5_update / md5_end
// take it in pieces, for a window so long that its one MD5 would keep the
// caller from looking for a signal for most of a second; the digest is bit
// for bit md5_digest's of the pieces put together.
#ifndef CORVAMIRE_MD5_DIGEST_H
#define CORVAMIRE_MD5_DIGEST_H

#include <cstddef>
#include <cstdint>

void md5_digest(const uint8_t* data, size_t n, uint8_t digest[16]);

// Room for the platform's own state of a digest in progress: OpenSSL's
// MD5_CTX is under 100 bytes; CNG's is a handle and its hash object, which
// the provider says is a few hundred bytes.
#ifdef _WIN32
constexpr size_t MD5_CONTEXT_ROOM = 16 + 1024;
#else
constexpr size_t MD5_CONTEXT_ROOM = 128;
#endif

// A digest in progress, from md5_begin to md5_end.  It must stay where it is
// meanwhile (CNG keeps its address), and every md5_begin needs its md5_end,
// which releases what the platform took.
struct Md5Context {
  alignas(16) unsigned char room[MD5_CONTEXT_ROOM];
};

void md5_begin(Md5Context* context);
void md5_update(Md5Context* context, const uint8_t* data, size_t n);
void md5_end(Md5Context* context, uint8_t digest[16]);

#endif
