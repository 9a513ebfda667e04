#include <windows.h>

#include <bcrypt.h>

#include "platform/sha256.h"
#include "base/texts.h"
#include "zassert.h"

enum { SHA256_BYTES = 32 };

// CNG's algorithm provider and hash object, opened and closed per call.
std::string sha256_hex(const std::vector<uint8_t>& bytes)
{
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    UCHAR digest[SHA256_BYTES];
    NTSTATUS opened = BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    ZEL_ASSERT(opened == 0);
    NTSTATUS created = BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0);
    ZEL_ASSERT(created == 0);
    NTSTATUS hashed = BCryptHashData(hash, const_cast<PUCHAR>(bytes.data()), static_cast<ULONG>(bytes.size()), 0);
    NTSTATUS finished = BCryptFinishHash(hash, digest, sizeof digest, 0);
    ZEL_ASSERT(hashed == 0 && finished == 0);
    BCryptDestroyHash(hash);
    BCryptCloseAlgorithmProvider(algorithm, 0);
    return hex_bytes(digest, sizeof digest);
}
