// The report written when the simulator ends: a JSON object with the line
// figures, frame and fault counts, every command in the order received (one
// per line, so that scripts can also read it with line tools), the clock
// settings and resets, and optionally whether the flash holds an image.
#pragma once

#include <cstdint>
#include <span>
#include <string>

struct simloop;

struct image_check {
    bool present;           // --image given and read
    uint32_t addr;
    std::span<const uint8_t> bytes;
};

std::string report_json(const simloop* t, const image_check& image);

// Quotes and escapes text for JSON.
std::string report_quote(const std::string& text);
