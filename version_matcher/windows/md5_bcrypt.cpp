// MD5 on Windows: the system's own, through CNG (bcrypt.dll),
// which every Windows since Vista has.  OpenSSL is not at hand for a mingw
// build, and the system's digest needs nothing shipped beside the module.
#include "md5_digest.h"

#include <windows.h>

#include <bcrypt.h>

#include <cstdlib>
#include <new>

namespace {

// CNG's MD5 object is a few hundred bytes; room to spare, checked once.
constexpr ULONG HASH_OBJECT_ROOM = 1024;

struct Md5Provider {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  ULONG object_length = 0;
};

// Opened once per process and kept: opening a provider costs far more than
// a digest.  The provider may be shared by threads; each digest has its own
// hash object.
const Md5Provider& provider() {
  static const Md5Provider opened = [] {
    Md5Provider p;
    ULONG got = 0;
    if (BCryptOpenAlgorithmProvider(&p.algorithm, BCRYPT_MD5_ALGORITHM, nullptr, 0) < 0 ||
        BCryptGetProperty(p.algorithm, BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&p.object_length),
                          sizeof p.object_length, &got, 0) < 0 ||
        p.object_length > HASH_OBJECT_ROOM) {
      // A digest cannot fail; a system without MD5 in CNG cannot run
      // the scan at all.
      std::abort();
    }
    return p;
  }();
  return opened;
}

// A digest in progress: the hash object lives in the context's room, beside
// the handle that names it.
struct CngDigest {
  BCRYPT_HASH_HANDLE hash = nullptr;
  alignas(16) UCHAR object[HASH_OBJECT_ROOM];
};
static_assert(sizeof(CngDigest) <= MD5_CONTEXT_ROOM && alignof(CngDigest) <= alignof(Md5Context),
              "a CngDigest fits an Md5Context");

CngDigest* state_of(Md5Context* context) { return std::launder(reinterpret_cast<CngDigest*>(context->room)); }

}  // namespace

// Only invalid arguments make the calls below fail, and the ones given are
// valid.
void md5_begin(Md5Context* context) {
  const Md5Provider& p = provider();
  CngDigest* d = new (context->room) CngDigest;
  if (BCryptCreateHash(p.algorithm, &d->hash, d->object, p.object_length, nullptr, 0, 0) < 0) std::abort();
}

void md5_update(Md5Context* context, const uint8_t* data, size_t n) {
  CngDigest* d = state_of(context);
  // BCryptHashData takes a ULONG count: 4 GiB or more (size_t on Win64)
  // goes in pieces.
  constexpr size_t MOST_PER_CALL = 0x80000000u;
  while (n > 0) {
    const size_t piece = n < MOST_PER_CALL ? n : MOST_PER_CALL;
    if (BCryptHashData(d->hash, const_cast<PUCHAR>(data), static_cast<ULONG>(piece), 0) < 0) std::abort();
    data += piece;
    n -= piece;
  }
}

void md5_end(Md5Context* context, uint8_t digest[16]) {
  CngDigest* d = state_of(context);
  const bool ok = BCryptFinishHash(d->hash, digest, 16, 0) >= 0;
  BCryptDestroyHash(d->hash);
  d->~CngDigest();
  if (!ok) std::abort();
}

void md5_digest(const uint8_t* data, size_t n, uint8_t digest[16]) {
  Md5Context context;
  md5_begin(&context);
  md5_update(&context, data, n);
  md5_end(&context, digest);
}
