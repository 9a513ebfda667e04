// SHA-256 of an image, for the board log: the platform's own implementation
// (OpenSSL's libcrypto on Linux and macOS, CNG on Windows), one file each.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// 64 lower-case hex digits.
std::string sha256_hex(const std::vector<uint8_t>& bytes);

// Lower-case hex digits of a digest, two per byte; for the implementations.
inline std::string sha256_digits(const uint8_t* digest, size_t size)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < size; ++i) {
        text += digits[digest[i] >> 4];
        text += digits[digest[i] & 15];
    }
    return text;
}
