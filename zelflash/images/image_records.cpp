#include "images/image_records.h"

#include <algorithm>

#include "base/texts.h"

namespace {

constexpr uint8_t ERASED = 0xFF;                        // erased flash; fills the gaps
constexpr uint64_t ADDRESS_SPACE = uint64_t{1} << 32;   // one past the last 32-bit address

// Sorts the chunks by address and finds the first that writes an address an
// earlier one wrote. Returns the end of the highest chunk.
bool check_overlaps(records_block* t, std::string_view name, uint64_t* end, std::string* error)
{
    // Stable, so chunks at one address stay in file order.
    std::stable_sort(t->chunks.begin(), t->chunks.end(),
                     [](const records_chunk& a, const records_chunk& b) { return a.addr < b.addr; });
    const records_chunk* furthest = &t->chunks.front();
    for (const records_chunk& c : t->chunks) {
        if (&c != furthest && c.addr < furthest->end()) {
            *error = records_at_line(name, std::max(c.line, furthest->line)) + "overlaps line " +
                     std::to_string(std::min(c.line, furthest->line)) + ": both write " +
                     records_address_text(c.addr);
            return false;
        }
        if (c.end() > furthest->end())
            furthest = &c;
    }
    *end = furthest->end();
    return true;
}

// The image is built in memory with its gaps filled, so its span is what it
// costs to load.
bool check_span(uint64_t first, uint64_t end, std::string_view name, std::string* error)
{
    if (end - first <= IMAGE_MAX_SPAN)
        return true;
    *error = std::string(name) + ": the data spans " + records_address_text(first) + " to " +
             records_address_text(end - 1) + " (" + std::to_string(end - first) + " bytes); at most " +
             std::to_string(IMAGE_MAX_SPAN >> 20) +
             " MiB is loaded, since the gaps between records are filled with 0xFF in memory";
    return false;
}

// The device erases every sector from the lowest to the highest address of
// the image before writing it, so a gap between records loses what the
// device held there. A gap of up to a sector (sections a linker aligned
// apart) holds at most one whole sector the file says nothing about; a wider
// one is flash only the caller may give up. The chunks are sorted.
bool check_gaps(const records_block& t, std::string_view name, const image_rules& rules, std::string* error)
{
    if (rules.fill_gaps)
        return true;
    const records_chunk* furthest = &t.chunks.front();
    for (const records_chunk& c : t.chunks) {
        if (c.addr > furthest->end() && c.addr - furthest->end() > IMAGE_MAX_GAP) {
            *error = std::string(name) + ": " + std::to_string(c.addr - furthest->end()) +
                     " bytes between line " + std::to_string(furthest->line) + " and line " +
                     std::to_string(c.line) + " (" + records_range_text(furthest->end(), c.addr) +
                     ") hold no record, and writing the image would erase them and fill them with 0xFF; "
                     "give --fill-gaps if that is meant";
            return false;
        }
        if (c.end() > furthest->end())
            furthest = &c;
    }
    return true;
}

}  // namespace

std::string records_hex_text(uint64_t value, size_t digits)
{
    static constexpr char digit[] = "0123456789ABCDEF";
    std::string text;
    do {
        text.insert(text.begin(), digit[value & 0xFu]);
        value >>= 4;
    } while (value != 0 || text.size() < digits);
    return "0x" + text;
}

std::string records_address_text(uint64_t address)
{
    return records_hex_text(address, 8);
}

std::string records_byte_text(uint8_t value)
{
    return records_hex_text(value, 2);
}

std::string records_range_text(uint64_t first, uint64_t end)
{
    return records_address_text(first) + " to " + records_address_text(end - 1);
}

std::string records_char_text(char c)
{
    auto value = static_cast<unsigned char>(c);
    if (value >= 0x20 && value < 0x7F)
        return std::string("'") + c + "'";
    return "byte " + records_byte_text(value);
}

std::string records_at_line(std::string_view name, uint32_t line)
{
    return std::string(name) + " line " + std::to_string(line) + ": ";
}

std::string_view records_take_line(std::string_view* text)
{
    size_t end = text->find('\n');
    std::string_view line = text->substr(0, end);
    text->remove_prefix(end == std::string_view::npos ? text->size() : end + 1);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
        line.remove_suffix(1);
    return line;
}

int records_hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool records_decode_hex(std::string_view digits, size_t column, std::vector<uint8_t>* bytes, std::string* what)
{
    for (size_t i = 0; i < digits.size(); ++i) {
        if (records_hex_value(digits[i]) < 0) {
            *what = records_char_text(digits[i]) + " at column " + std::to_string(column + i) +
                    " is not a hex digit";
            return false;
        }
    }
    if (digits.size() % 2 != 0) {
        *what = "odd number of hex digits (" + std::to_string(digits.size()) + ")";
        return false;
    }
    bytes->resize(digits.size() / 2);
    for (size_t i = 0; i < bytes->size(); ++i)
        (*bytes)[i] =
            static_cast<uint8_t>(records_hex_value(digits[2 * i]) << 4 | records_hex_value(digits[2 * i + 1]));
    return true;
}

uint64_t records_get_be(const uint8_t* p, size_t size)
{
    uint64_t value = 0;
    for (size_t i = 0; i < size; ++i)
        value = value << 8 | p[i];
    return value;
}

uint8_t records_sum(std::span<const uint8_t> bytes)
{
    uint32_t sum = 0;
    for (uint8_t b : bytes)
        sum += b;
    return static_cast<uint8_t>(sum);
}

bool records_check_sum(uint8_t computed, uint8_t recorded, std::string* what)
{
    if (computed == recorded)
        return true;
    *what = "checksum is " + records_byte_text(computed) + ", the record says " + records_byte_text(recorded);
    return false;
}

bool records_check_mark(std::string_view line, char mark, bool first, std::string* what)
{
    if (line.front() == mark)
        return true;
    *what = std::string("a record starts with '") + mark + "', this line starts with " +
            records_char_text(line.front());
    if (first)
        *what += " (for a raw binary file give --format bin)";
    return false;
}

std::string records_after_end_text(uint32_t end_line)
{
    return "a record after the end of the file (line " + std::to_string(end_line) +
           "); only blank lines may follow it";
}

// A file cut short (a copy or a download that stopped) still reads record
// by record; only its end record says the file is whole. A file without any
// record is left to say that there is nothing to write.
bool records_check_end(uint32_t end_line, uint32_t records, std::string_view name, std::string_view end_record,
                       std::string* error)
{
    if (end_line != 0 || records == 0)
        return true;
    *error = std::string(name) + ": no end record; the file may be cut short (it should end with " +
             std::string(end_record) + "); get the whole file again";
    return false;
}

records_block records_block_for(const image_rules& rules)
{
    records_block block;
    block.most = std::min<uint64_t>(rules.flash_size, IMAGE_MAX_SPAN);
    return block;
}

bool records_collect(records_block* t, uint64_t addr, std::span<const uint8_t> data, uint32_t line,
                     std::string* what)
{
    if (data.empty())
        return true;
    if (addr + data.size() > ADDRESS_SPACE) {
        *what = std::to_string(data.size()) + " bytes at " + records_address_text(addr) +
                " run past the 32-bit address space, which ends at 0xFFFFFFFF";
        return false;
    }
    uint64_t carried = t->pool.size() + data.size();
    if (carried > t->most) {
        *what = "the data records up to here carry " + std::to_string(carried) + " bytes, more than an image " +
                "may hold (" + counted(t->most, "byte", "bytes") +
                "), so some overlap or lie outside the flash; give --flash-size if the device has more flash";
        return false;
    }
    t->chunks.push_back({addr, t->pool.size(), data.size(), line});
    t->pool.insert(t->pool.end(), data.begin(), data.end());
    return true;
}

std::string records_outside_flash_text(std::string_view name, uint64_t first, uint64_t end, uint32_t flash_size,
                                       bool movable)
{
    return std::string(name) + ": the image lies at " + records_range_text(first, end) +
           ", beyond the device's flash (" + records_range_text(0, flash_size) + ", " +
           counted(flash_size, "byte", "bytes") + "); " +
           (movable ? "give a lower --address, or --flash-size if the device has more flash"
                    : "give --flash-size if the device has more flash");
}

bool records_assemble(records_block* t, std::string_view name, image_format format, const image_rules& rules,
                      image_placement placement, image* out, std::string* error)
{
    if (t->chunks.empty()) {
        *error = std::string(name) + ": no data records, so there is nothing to write";
        return false;
    }
    uint64_t end = 0;
    if (!check_overlaps(t, name, &end, error))
        return false;
    uint64_t first = t->chunks.front().addr;
    if (!check_span(first, end, name, error) || !check_gaps(*t, name, rules, error))
        return false;
    if (placement == IMAGE_IN_FLASH && end > rules.flash_size) {
        *error = records_outside_flash_text(name, first, end, rules.flash_size, false);
        return false;
    }
    // Wherever it lies, an image wider than the flash could never be
    // written: it is not built (with fill_gaps, up to IMAGE_MAX_SPAN bytes).
    if (end - first > rules.flash_size) {
        *error = std::string(name) + ": the data spans " + records_range_text(first, end) + " (" +
                 std::to_string(end - first) + " bytes), wider than the device's flash (" +
                 counted(rules.flash_size, "byte", "bytes") + "); give --flash-size if the device has more flash";
        return false;
    }
    image result;
    result.bytes.assign(end - first, ERASED);
    for (const records_chunk& c : t->chunks)
        std::copy_n(t->pool.data() + c.offset, c.length, result.bytes.data() + (c.addr - first));
    result.addr = static_cast<uint32_t>(first);
    result.name = name;
    result.format = format;
    *out = std::move(result);
    return true;
}
