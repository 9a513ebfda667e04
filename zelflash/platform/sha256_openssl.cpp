#include <openssl/evp.h>

#include "platform/sha256.h"
#include "base/texts.h"
#include "zassert.h"

std::string sha256_hex(const std::vector<uint8_t>& bytes)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    int hashed = EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
    ZEL_ASSERT(hashed == 1);
    return hex_bytes(digest, length);
}
