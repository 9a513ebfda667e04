#include "images/image.h"

#include <array>
#include <charconv>
#include <system_error>

namespace {

struct extension {
    std::string_view text;  // lower case, without the dot
    image_format format;
};
constexpr std::array<extension, 8> extensions{{
    {"hex", IMAGE_IHEX}, {"ihex", IMAGE_IHEX}, {"ihx", IMAGE_IHEX}, {"srec", IMAGE_SREC},
    {"s19", IMAGE_SREC}, {"s28", IMAGE_SREC}, {"s37", IMAGE_SREC}, {"mot", IMAGE_SREC},
}};

}  // namespace

image_format image_format_of(std::string_view path)
{
    size_t slash = path.find_last_of("/\\");
    std::string_view file = slash == std::string_view::npos ? path : path.substr(slash + 1);
    size_t dot = file.rfind('.');
    // A name such as ".hex" is a hidden file without an extension.
    if (dot == std::string_view::npos || dot == 0)
        return IMAGE_BIN;
    std::string lower(file.substr(dot + 1));
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    for (const extension& e : extensions)
        if (e.text == lower)
            return e.format;
    return IMAGE_BIN;
}

std::optional<image_format> image_format_named(std::string_view name)
{
    for (image_format format : {IMAGE_BIN, IMAGE_IHEX, IMAGE_SREC})
        if (name == image_format_name(format))
            return format;
    return std::nullopt;
}

std::string_view image_format_name(image_format format)
{
    switch (format) {
    case IMAGE_BIN:
        return "bin";
    case IMAGE_IHEX:
        return "ihex";
    case IMAGE_SREC:
        return "srec";
    default:
        return "auto";
    }
}

std::optional<uint32_t> image_parse_address(std::string_view text)
{
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    // from_chars takes no sign, blank or prefix, and reports values past 32 bits.
    uint32_t value = 0;
    const char* end = text.data() + text.size();
    auto [stop, result] = std::from_chars(text.data(), end, value, base);
    if (text.empty() || result != std::errc() || stop != end)
        return std::nullopt;
    return value;
}
