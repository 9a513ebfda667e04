#include <openssl/evp.h>

#include "sha256.h"
#include "zassert.h"

std::string sha256_hex(const std::vector<uint8_t>& bytes)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    int hashed = EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
    ZEL_ASSERT(hashed == 1);
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text += digits[digest[i] >> 4];
        text += digits[digest[i] & 15];
    }
    return text;
}
