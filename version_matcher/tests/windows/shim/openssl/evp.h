// The one EVP digest the Linux unit tests use as their reference MD5,
// standing in for OpenSSL's where the Windows build has none: the same call
// shape over the system's MD5 (CNG), so those tests' sources build unchanged.
#ifndef CORVAMIRE_TESTS_WINDOWS_EVP_SHIM_H
#define CORVAMIRE_TESTS_WINDOWS_EVP_SHIM_H

#include <windows.h>

#include <bcrypt.h>

#include <cstddef>

struct EVP_MD;
using ENGINE = void;

inline const EVP_MD* EVP_md5() { return nullptr; }

// 1 on success, as OpenSSL's; only MD5 is offered.
inline int EVP_Digest(const void* data, size_t count, unsigned char* md, unsigned int* size, const EVP_MD*, ENGINE*) {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_MD5_ALGORITHM, nullptr, 0) < 0) return 0;
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool ok = BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) >= 0;
  ok = ok && BCryptHashData(hash, static_cast<PUCHAR>(const_cast<void*>(data)), static_cast<ULONG>(count), 0) >= 0;
  ok = ok && BCryptFinishHash(hash, md, 16, 0) >= 0;
  if (hash != nullptr) BCryptDestroyHash(hash);
  BCryptCloseAlgorithmProvider(algorithm, 0);
  if (size != nullptr) *size = 16;
  return ok ? 1 : 0;
}

#endif
