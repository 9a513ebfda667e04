// SHA-256 of an image, for the board log: the platform's own implementation
// (OpenSSL's libcrypto on Linux and macOS, CNG on Windows), one file each.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// 64 lower-case hex digits.
std::string sha256_hex(const std::vector<uint8_t>& bytes);
