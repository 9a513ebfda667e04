#include "values/fields.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

#include "images/image.h"
#include "base/texts.h"

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
    *error = "'" + escaped(text) +
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

namespace {

bool is_numeric(field_encoding encoding)
{
    return encoding == FIELD_LE || encoding == FIELD_BE || encoding == FIELD_DEC || encoding == FIELD_HEX;
}

std::string quoted_field(const field_spec& def)
{
    return "field '" + def.name + "'";
}

std::string hex32(uint64_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08llX", static_cast<unsigned long long>(value));
    return text;
}

// "0x0001F000..0x0001F003": the bytes a field takes, both ends included.
std::string span_text(uint64_t first, uint64_t size)
{
    return hex32(first) + ".." + hex32(first + size - 1);
}

std::string number_text(uint64_t value, int base)
{
    char text[24];
    auto [end, rc] = std::to_chars(text, text + sizeof text, value, base);
    std::string digits(text, end);
    std::transform(digits.begin(), digits.end(), digits.begin(), [](char c) { return c >= 'a' ? c - 'a' + 'A' : c; });
    return digits;
}

// The largest number `digits` characters of the base hold, capped at 64 bits.
uint64_t digits_limit(uint32_t digits, uint64_t base)
{
    uint64_t limit = 1;
    for (uint32_t i = 0; i < digits; i++) {
        if (limit > UINT64_MAX / base)
            return UINT64_MAX;
        limit *= base;
    }
    return limit - 1;
}

// The largest number the encoding holds in its width.
uint64_t encoding_limit(field_encoding encoding, uint32_t width)
{
    switch (encoding) {
    case FIELD_LE:
    case FIELD_BE: return width >= 8 ? UINT64_MAX : (uint64_t{1} << (8 * width)) - 1;
    case FIELD_DEC: return digits_limit(width, 10);
    case FIELD_HEX: return digits_limit(width, 16);
    default: return 0;
    }
}

bool encode_number(const field_spec& def, std::string_view text, std::vector<uint8_t>* out, std::string* error)
{
    std::optional<uint64_t> value = field_parse_number(text);
    if (!value) {
        *error = quoted_field(def) + ": '" + escaped(text) + "' is not a number; give it in decimal or as 0x hex";
        return false;
    }
    uint64_t limit = encoding_limit(def.encoding, def.width);
    if (*value > limit) {
        *error = quoted_field(def) + ": " + std::to_string(*value) + " does not fit in " +
                 field_format_name(def.encoding, def.width) + " (at most " + std::to_string(limit) + ")";
        return false;
    }
    std::vector<uint8_t> bytes(def.width, def.encoding == FIELD_DEC || def.encoding == FIELD_HEX ? '0' : 0);
    if (def.encoding == FIELD_DEC || def.encoding == FIELD_HEX) {
        std::string digits = number_text(*value, def.encoding == FIELD_DEC ? 10 : 16);
        std::copy(digits.begin(), digits.end(), bytes.end() - static_cast<std::ptrdiff_t>(digits.size()));
    } else {
        for (uint32_t i = 0; i < def.width; i++) {
            uint8_t byte = static_cast<uint8_t>(*value >> (8 * i));
            bytes[def.encoding == FIELD_LE ? i : def.width - 1 - i] = byte;
        }
    }
    *out = std::move(bytes);
    return true;
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Hex pairs, one separator (':' '-' ' ') allowed between two bytes.
bool parse_byte_list(std::string_view text, std::vector<uint8_t>* bytes)
{
    size_t i = 0;
    while (i < text.size()) {
        if (!bytes->empty() && (text[i] == ':' || text[i] == '-' || text[i] == ' ') && i + 1 < text.size())
            i++;
        if (i + 1 >= text.size() || hex_digit(text[i]) < 0 || hex_digit(text[i + 1]) < 0)
            return false;
        bytes->push_back(static_cast<uint8_t>(hex_digit(text[i]) << 4 | hex_digit(text[i + 1])));
        i += 2;
    }
    return !bytes->empty();
}

bool encode_bytes(const field_spec& def, std::string_view text, std::vector<uint8_t>* out, std::string* error)
{
    std::vector<uint8_t> bytes;
    if (!parse_byte_list(text, &bytes)) {
        *error = quoted_field(def) + ": '" + escaped(text) +
                 "' is not a list of bytes; give hex pairs, optionally separated by ':', '-' or ' ' (00:1A:2B)";
        return false;
    }
    if (bytes.size() != def.width) {
        *error = quoted_field(def) + ": '" + escaped(text) + "' is " + std::to_string(bytes.size()) +
                 " bytes; " + field_format_name(def.encoding, def.width) + " takes exactly " +
                 std::to_string(def.width);
        return false;
    }
    *out = std::move(bytes);
    return true;
}

bool encode_text(const field_spec& def, std::string_view text, std::vector<uint8_t>* out, std::string* error)
{
    for (char c : text) {
        if (c < 0x20 || c > 0x7E) {
            *error = quoted_field(def) + ": the text holds a character that is not printable ASCII (code " +
                     std::to_string(static_cast<uint8_t>(c)) + ")";
            return false;
        }
    }
    if (text.size() > def.width) {
        *error = quoted_field(def) + ": '" + escaped(text) + "' is " + std::to_string(text.size()) +
                 " characters; " + field_format_name(def.encoding, def.width) + " holds at most " +
                 std::to_string(def.width);
        return false;
    }
    std::vector<uint8_t> bytes(def.width, 0);
    std::copy(text.begin(), text.end(), bytes.begin());
    *out = std::move(bytes);
    return true;
}

bool valid_name(std::string_view name)
{
    auto head = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; };
    auto tail = [&](char c) { return head(c) || (c >= '0' && c <= '9'); };
    return !name.empty() && head(name[0]) && std::all_of(name.begin() + 1, name.end(), tail);
}

bool valid_width(const field_spec& def)
{
    bool integer = def.encoding == FIELD_LE || def.encoding == FIELD_BE;
    return def.encoding >= FIELD_LE && def.encoding <= FIELD_TEXT && def.width >= 1 &&
           def.width <= (integer ? 8 : MAX_WIDTH);
}

std::string check_counter(const field_spec& def)
{
    std::string format = field_format_name(def.encoding, def.width);
    if (!is_numeric(def.encoding))
        return quoted_field(def) + " counts, so its format must be le, be, dec or hex, not " + format;
    if (def.step < 1)
        return quoted_field(def) + ": its step is 0; a counter steps by 1 or more";
    if (def.last && *def.last < def.start)
        return quoted_field(def) + ": its last value " + std::to_string(*def.last) + " is below its start " +
               std::to_string(def.start);
    uint64_t limit = encoding_limit(def.encoding, def.width);
    uint64_t highest = def.last.value_or(def.start);
    if (highest > limit)
        return quoted_field(def) + ": " + std::to_string(highest) + " does not fit in " + format + " (at most " +
               std::to_string(limit) + ")";
    return "";
}

}  // namespace

std::optional<uint64_t> field_parse_number(std::string_view text)
{
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    uint64_t value = 0;
    auto [end, rc] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || rc != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

uint64_t field_counter_limit(const field_spec& def)
{
    uint64_t limit = encoding_limit(def.encoding, def.width);
    return def.last ? std::min(*def.last, limit) : limit;
}

bool field_encode(const field_spec& def, std::string_view value_text, std::vector<uint8_t>* out,
                  std::string* error)
{
    if (!valid_width(def)) {
        *error = quoted_field(def) + ": its width of " + std::to_string(def.width) + " does not suit its encoding";
        return false;
    }
    if (is_numeric(def.encoding))
        return encode_number(def, value_text, out, error);
    if (def.encoding == FIELD_BYTES)
        return encode_bytes(def, value_text, out, error);
    return encode_text(def, value_text, out, error);
}

std::string field_check(const field_spec& def)
{
    if (!valid_name(def.name))
        return "'" + def.name + "' is not a field name; use letters, digits and '_', not starting with a digit";
    if (!valid_width(def))
        return quoted_field(def) + ": its width of " + std::to_string(def.width) + " does not suit its encoding";
    switch (def.kind) {
    case FIELD_COUNTER: return check_counter(def);
    case FIELD_LIST:
        return def.list.empty() ? quoted_field(def) + " takes its values from a list, but names no list file" : "";
    case FIELD_VALUE: {
        if (def.value.empty())
            return quoted_field(def) + " has no value; give one with --set " + def.name + "=VALUE";
        std::vector<uint8_t> bytes;
        std::string error;
        return field_encode(def, def.value, &bytes, &error) ? "" : error;
    }
    }
    return quoted_field(def) + ": unknown kind " + std::to_string(def.kind);
}

namespace {

std::string check_inside(const field_spec& def, uint32_t image_addr, uint32_t image_size)
{
    uint64_t end = uint64_t{image_addr} + image_size;
    if (def.address >= image_addr && uint64_t{def.address} + def.width <= end)
        return "";
    std::string image_span = image_size ? span_text(image_addr, image_size) : "(empty)";
    return quoted_field(def) + " at " + span_text(def.address, def.width) + " lies outside the image " + image_span;
}

std::string check_apart(std::vector<const field_spec*> by_address)
{
    std::sort(by_address.begin(), by_address.end(),
              [](const field_spec* a, const field_spec* b) { return a->address < b->address; });
    for (size_t i = 1; i < by_address.size(); i++) {
        const field_spec& a = *by_address[i - 1];
        const field_spec& b = *by_address[i];
        if (uint64_t{a.address} + a.width > b.address)
            return quoted_field(b) + " at " + span_text(b.address, b.width) + " overlaps " + quoted_field(a) + " at " +
                   span_text(a.address, a.width) + "; give each field bytes of its own";
    }
    return "";
}

}  // namespace

std::string fields_check(const std::vector<field_spec>& fields, uint32_t image_addr, uint32_t image_size)
{
    std::vector<const field_spec*> by_address;
    for (size_t i = 0; i < fields.size(); i++) {
        const field_spec& def = fields[i];
        std::string fault = field_check(def);
        if (fault.empty())
            fault = check_inside(def, image_addr, image_size);
        for (size_t j = 0; j < i && fault.empty(); j++)
            if (fields[j].name == def.name)
                fault = "two fields are named '" + def.name + "'; give each its own name";
        if (!fault.empty())
            return fault;
        by_address.push_back(&def);
    }
    return check_apart(std::move(by_address));
}

bool fields_patch(const image& img, const std::vector<field_spec>& fields, const std::vector<field_value>& values,
                  image* out, std::string* error)
{
    for (const field_value& v : values) {
        if (std::none_of(fields.begin(), fields.end(), [&](const field_spec& f) { return f.name == v.name; })) {
            *error = "a value is given for '" + v.name + "', but the job has no field of that name";
            return false;
        }
    }
    image copy = img;
    for (const field_spec& def : fields) {
        auto v = std::find_if(values.begin(), values.end(), [&](const field_value& x) { return x.name == def.name; });
        std::vector<uint8_t> bytes;
        if (v == values.end()) {
            *error = quoted_field(def) + " has no value for this board";
            return false;
        }
        if (!field_encode(def, v->text, &bytes, error))
            return false;
        std::string fault = check_inside(def, img.addr, static_cast<uint32_t>(img.bytes.size()));
        if (!fault.empty()) {
            *error = fault;
            return false;
        }
        std::copy(bytes.begin(), bytes.end(), copy.bytes.begin() + (def.address - img.addr));
    }
    *out = std::move(copy);
    return true;
}

namespace {

std::vector<std::string_view> split(std::string_view text, char separator)
{
    std::vector<std::string_view> parts;
    size_t from = 0;
    for (size_t at = text.find(separator); at != std::string_view::npos; at = text.find(separator, from)) {
        parts.push_back(text.substr(from, at - from));
        from = at + 1;
    }
    parts.push_back(text.substr(from));
    return parts;
}

bool parse_serial_parts(const std::vector<std::string_view>& parts, field_spec* def, std::string* why)
{
    std::optional<uint64_t> address = field_parse_number(parts[0]);
    if (!address || *address > UINT32_MAX) {
        *why = "the address '" + std::string(parts[0]) + "' is not a 32-bit number";
        return false;
    }
    def->address = static_cast<uint32_t>(*address);
    if (!field_format_parse(parts[1], &def->encoding, &def->width, why))
        return false;
    const char* names[] = {"start", "step", "last"};
    for (size_t i = 2; i < parts.size(); i++) {
        std::optional<uint64_t> n = field_parse_number(parts[i]);
        if (!n) {
            *why = std::string("the ") + names[i - 2] + " '" + std::string(parts[i]) + "' is not a number";
            return false;
        }
        if (i == 2)
            def->start = *n;
        else if (i == 3)
            def->step = *n;
        else
            def->last = *n;
    }
    return true;
}

}  // namespace

bool field_parse_serial(std::string_view text, field_spec* out, std::string* error)
{
    std::vector<std::string_view> parts = split(text, ':');
    field_spec def;
    def.name = "serial";
    def.kind = FIELD_COUNTER;
    std::string why = "it has " + std::to_string(parts.size()) +
                      " parts, not 3 to 5; give ADDR:FORMAT:START[:STEP[:LAST]], e.g. 0x1F000:le32:1000";
    if (parts.size() < 3 || parts.size() > 5 || !parse_serial_parts(parts, &def, &why)) {
        *error = "--serial " + std::string(text) + ": " + why;
        return false;
    }
    std::string fault = field_check(def);
    if (!fault.empty()) {
        *error = "--serial " + std::string(text) + ": " + fault;
        return false;
    }
    *out = std::move(def);
    return true;
}

bool field_parse_set(std::string_view text, std::string* name, std::string* value, std::string* error)
{
    size_t equals = text.find('=');
    if (equals == std::string_view::npos || !valid_name(text.substr(0, equals))) {
        *error = "--set " + std::string(text) +
                 ": give NAME=VALUE, the name of a field (letters, digits and '_', not starting with a digit)";
        return false;
    }
    *name = std::string(text.substr(0, equals));
    *value = std::string(text.substr(equals + 1));
    return true;
}
