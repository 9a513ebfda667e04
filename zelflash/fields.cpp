#include "fields.h"

#include <charconv>

namespace {

struct format_name {
    const char* prefix;
    field_encoding encoding;
    bool in_bits;  // the number counts bits (le32), not bytes or characters
};

constexpr format_name formats[] = {
    {"le", FIELD_LE, true},     {"be", FIELD_BE, true},       {"dec", FIELD_DEC, false},
    {"hex", FIELD_HEX, false},  {"bytes", FIELD_BYTES, false}, {"text", FIELD_TEXT, false},
};

constexpr uint32_t MAX_WIDTH = 64;  // bytes or characters of one field

}  // namespace

bool field_format_parse(std::string_view text, field_encoding* encoding, uint32_t* width, std::string* error)
{
    for (const format_name& f : formats) {
        std::string_view prefix = f.prefix;
        if (text.substr(0, prefix.size()) != prefix)
            continue;
        std::string_view digits = text.substr(prefix.size());
        uint32_t n = 0;
        auto [end, rc] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
        bool whole = !digits.empty() && rc == std::errc() && end == digits.data() + digits.size();
        bool fits = f.in_bits ? (n >= 8 && n <= 64 && n % 8 == 0) : (n >= 1 && n <= MAX_WIDTH);
        if (whole && fits) {
            *encoding = f.encoding;
            *width = f.in_bits ? n / 8 : n;
            return true;
        }
        break;
    }
    *error = "'" + std::string(text) +
             "' is not a field format; give le8..le64 or be8..be64 (bits, in steps of 8), or dec, hex, bytes "
             "or text with a width of 1 to 64 (dec10, bytes6)";
    return false;
}

std::string field_format_name(field_encoding encoding, uint32_t width)
{
    for (const format_name& f : formats)
        if (f.encoding == encoding)
            return f.prefix + std::to_string(f.in_bits ? width * 8 : width);
    return "";
}
