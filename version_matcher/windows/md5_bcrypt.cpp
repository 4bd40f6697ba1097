// The one-shot MD5 on Windows: the system's own, through CNG (bcrypt.dll),
// which every Windows since Vista has.  OpenSSL is not at hand for a mingw
// build, and the system's digest needs nothing shipped beside the module.
#include "md5_digest.h"

#include <windows.h>

#include <bcrypt.h>

#include <cstdlib>

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
      // md5_digest cannot fail; a system without MD5 in CNG cannot run
      // the scan at all.
      std::abort();
    }
    return p;
  }();
  return opened;
}

}  // namespace

void md5_digest(const uint8_t* data, size_t n, uint8_t digest[16]) {
  const Md5Provider& p = provider();
  alignas(16) UCHAR object[HASH_OBJECT_ROOM];
  BCRYPT_HASH_HANDLE hash = nullptr;
  if (BCryptCreateHash(p.algorithm, &hash, object, p.object_length, nullptr, 0, 0) < 0) std::abort();
  // BCryptHashData takes a ULONG count: a window of 4 GiB or more (size_t
  // on Win64) goes in pieces.
  constexpr size_t MOST_PER_CALL = 0x80000000u;
  bool ok = true;
  while (ok && n > 0) {
    const size_t piece = n < MOST_PER_CALL ? n : MOST_PER_CALL;
    ok = BCryptHashData(hash, const_cast<PUCHAR>(data), static_cast<ULONG>(piece), 0) >= 0;
    data += piece;
    n -= piece;
  }
  ok = ok && BCryptFinishHash(hash, digest, 16, 0) >= 0;
  BCryptDestroyHash(hash);
  // Only invalid arguments make these fail, and the ones above are valid.
  if (!ok) std::abort();
}
