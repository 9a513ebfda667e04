#include "base/texts.h"

#include <charconv>
#include <nlohmann/json.hpp>

// `v` in `base`, with zeros in front up to `digits`.
static std::string zero_padded(uint64_t v, int base, int digits)
{
    char text[24];  // 64 bits take at most 20 decimal or 16 hex digits
    char* end = std::to_chars(text, text + sizeof text, v, base).ptr;
    std::string s(text, end);
    if (s.size() < static_cast<size_t>(digits))
        s.insert(0, static_cast<size_t>(digits) - s.size(), '0');
    return s;
}

std::string hex32(uint32_t v)
{
    return "0x" + zero_padded(v, 16, 8);
}

std::string hex_digits(uint64_t v, int digits)
{
    return zero_padded(v, 16, digits);
}

std::string hex_bytes(const uint8_t* bytes, size_t size)
{
    std::string text;
    for (size_t i = 0; i < size; ++i)
        text += zero_padded(bytes[i], 16, 2);
    return text;
}

std::string decimal(uint64_t v, int digits)
{
    return zero_padded(v, 10, digits);
}

std::string fixed(double v, int decimals)
{
    char text[64];
    auto [end, result] = std::to_chars(text, text + sizeof text, v, std::chars_format::fixed, decimals);
    if (result != std::errc())
        return std::to_string(v);  // wider than any figure zelflash shows
    return std::string(text, end);
}

std::string align_right(std::string_view text, size_t width)
{
    std::string s(text);
    if (s.size() < width)
        s.insert(0, width - s.size(), ' ');
    return s;
}

std::string align_left(std::string_view text, size_t width)
{
    std::string s(text);
    if (s.size() < width)
        s.append(width - s.size(), ' ');
    return s;
}

std::string counted(uint64_t n, std::string_view one, std::string_view many)
{
    return std::to_string(n) + " " + std::string(n == 1 ? one : many);
}

std::string json_text(const nlohmann::json& value, int indent)
{
    return value.dump(indent, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string escaped(std::string_view text)
{
    std::string out;
    for (unsigned char c : text) {
        const char* digits = "0123456789ABCDEF";
        if (c >= 0x20 && c < 0x7F)
            out += static_cast<char>(c);
        else
            out += std::string("\\x") + digits[c >> 4] + digits[c & 15];
    }
    return out;
}
