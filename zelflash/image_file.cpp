#include "image_file.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <span>
#include <system_error>

#include "job.h"
#include "sha256.h"
#include "texts.h"

namespace {

constexpr uint8_t ERASED = 0xFF;                        // erased flash; fills the gaps
constexpr uint64_t ADDRESS_SPACE = uint64_t{1} << 32;   // one past the last 32-bit address
constexpr std::string_view EMBEDDED_NAME = "embedded image";
constexpr std::string_view UTF8_BOM = "\xEF\xBB\xBF";  // some editors put it first in a text file
constexpr size_t READ_CHUNK = 64 * 1024;

// Intel HEX: ':' then hex pairs | count | offset BE (2) | type | data (count) | checksum |
// The checksum makes the sum of all the bytes of the record 0 (mod 256).
enum ihex_type : int32_t {
    IHEX_DATA = 0x00,
    IHEX_EOF = 0x01,
    IHEX_SEGMENT_BASE = 0x02,   // base of the offsets = value * 16
    IHEX_SEGMENT_START = 0x03,  // CS:IP to start at; nothing a programmer uses
    IHEX_LINEAR_BASE = 0x04,    // base of the offsets = value << 16
    IHEX_LINEAR_START = 0x05,   // EIP to start at; nothing a programmer uses
};
constexpr size_t IHEX_OVERHEAD = 5;     // count, offset (2), type, checksum
constexpr size_t IHEX_DATA_FIRST = 4;   // index of the first data byte
constexpr int32_t ANY_LENGTH = -1;

struct ihex_kind {
    std::string_view name;
    int32_t data_length;  // the only length allowed, or ANY_LENGTH
};
// Indexed by record type.
constexpr std::array<ihex_kind, 6> ihex_kinds{{
    {"data", ANY_LENGTH},
    {"end-of-file", 0},
    {"extended segment address", 2},
    {"start segment address", 4},
    {"extended linear address", 2},
    {"start linear address", 4},
}};

// S-record: 'S', a type digit, then hex pairs | count | address BE | data | checksum |
// The count covers address, data and checksum; the checksum is the ones'
// complement of the low byte of the sum of count, address and data.
enum srec_role : int32_t {
    SREC_HEADER = 0,    // S0: free text, ignored
    SREC_DATA = 1,      // S1, S2, S3
    SREC_COUNT = 2,     // S5, S6: how many data records came before
    SREC_END = 3,       // S7, S8, S9: start address, ignored; ends the file
    SREC_RESERVED = 4,  // S4
};
struct srec_kind {
    int32_t role;
    size_t address_size;  // bytes
};
// Indexed by the type digit.
constexpr std::array<srec_kind, 10> srec_kinds{{
    {SREC_HEADER, 2}, {SREC_DATA, 2}, {SREC_DATA, 3}, {SREC_DATA, 4}, {SREC_RESERVED, 0},
    {SREC_COUNT, 2}, {SREC_COUNT, 3}, {SREC_END, 4}, {SREC_END, 3}, {SREC_END, 2},
}};

struct extension {
    std::string_view text;  // lower case, without the dot
    image_format format;
};
constexpr std::array<extension, 8> extensions{{
    {"hex", IMAGE_IHEX}, {"ihex", IMAGE_IHEX}, {"ihx", IMAGE_IHEX}, {"srec", IMAGE_SREC},
    {"s19", IMAGE_SREC}, {"s28", IMAGE_SREC}, {"s37", IMAGE_SREC}, {"mot", IMAGE_SREC},
}};

// ---- Texts for the error messages ----

// "0x" and upper-case hex digits, at least `digits` of them.
std::string hex_text(uint64_t value, size_t digits)
{
    static constexpr char digit[] = "0123456789ABCDEF";
    std::string text;
    do {
        text.insert(text.begin(), digit[value & 0xFu]);
        value >>= 4;
    } while (value != 0 || text.size() < digits);
    return "0x" + text;
}

std::string address_text(uint64_t address)
{
    return hex_text(address, 8);
}

std::string byte_text(uint8_t value)
{
    return hex_text(value, 2);
}

// A character as a person can read it: 'G', or byte 0x07 when not printable.
std::string char_text(char c)
{
    auto value = static_cast<unsigned char>(c);
    if (value >= 0x20 && value < 0x7F)
        return std::string("'") + c + "'";
    return "byte " + byte_text(value);
}

std::string at_line(std::string_view name, uint32_t line)
{
    return std::string(name) + " line " + std::to_string(line) + ": ";
}

std::string range_text(uint64_t first, uint64_t end)
{
    return address_text(first) + " to " + address_text(end - 1);
}

std::string format_title(image_format format)
{
    switch (format) {
    case IMAGE_IHEX:
        return "an Intel HEX file";
    case IMAGE_SREC:
        return "an S-record file";
    default:
        return "a raw binary file";
    }
}

// ---- Lines and hex digits ----

// Takes the next line off *text: without its LF, CR or trailing blanks.
std::string_view take_line(std::string_view* text)
{
    size_t end = text->find('\n');
    std::string_view line = text->substr(0, end);
    text->remove_prefix(end == std::string_view::npos ? text->size() : end + 1);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
        line.remove_suffix(1);
    return line;
}

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// The bytes of a record's hex pairs, which start at `column` (1-based) of the line.
bool decode_hex(std::string_view digits, size_t column, std::vector<uint8_t>* bytes, std::string* what)
{
    for (size_t i = 0; i < digits.size(); ++i) {
        if (hex_value(digits[i]) < 0) {
            *what = char_text(digits[i]) + " at column " + std::to_string(column + i) +
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
        (*bytes)[i] = static_cast<uint8_t>(hex_value(digits[2 * i]) << 4 | hex_value(digits[2 * i + 1]));
    return true;
}

uint64_t get_be(const uint8_t* p, size_t size)
{
    uint64_t value = 0;
    for (size_t i = 0; i < size; ++i)
        value = value << 8 | p[i];
    return value;
}

uint8_t sum_of(std::span<const uint8_t> bytes)
{
    uint32_t sum = 0;
    for (uint8_t b : bytes)
        sum += b;
    return static_cast<uint8_t>(sum);
}

bool check_sum(uint8_t computed, uint8_t recorded, std::string* what)
{
    if (computed == recorded)
        return true;
    *what = "checksum is " + byte_text(computed) + ", the record says " + byte_text(recorded);
    return false;
}

// ---- The data of a file, record by record, and the image it makes ----

// One record's data, kept until the whole file is read.
struct chunk {
    uint64_t addr;
    size_t offset;  // of its bytes in the pool
    size_t length;
    uint32_t line;

    uint64_t end() const { return addr + length; }
};

struct collector {
    std::vector<chunk> chunks;
    std::vector<uint8_t> pool;
};

bool collect(collector* t, uint64_t addr, std::span<const uint8_t> data, uint32_t line, std::string* what)
{
    if (data.empty())
        return true;
    if (addr + data.size() > ADDRESS_SPACE) {
        *what = std::to_string(data.size()) + " bytes at " + address_text(addr) +
                " run past the 32-bit address space, which ends at 0xFFFFFFFF";
        return false;
    }
    t->chunks.push_back({addr, t->pool.size(), data.size(), line});
    t->pool.insert(t->pool.end(), data.begin(), data.end());
    return true;
}

// Sorts the chunks by address and finds the first that writes an address an
// earlier one wrote. Returns the end of the highest chunk.
bool check_overlaps(collector* t, std::string_view name, uint64_t* end, std::string* error)
{
    // Stable, so chunks at one address stay in file order.
    std::stable_sort(t->chunks.begin(), t->chunks.end(),
                     [](const chunk& a, const chunk& b) { return a.addr < b.addr; });
    const chunk* furthest = &t->chunks.front();
    for (const chunk& c : t->chunks) {
        if (&c != furthest && c.addr < furthest->end()) {
            *error = at_line(name, std::max(c.line, furthest->line)) + "overlaps line " +
                     std::to_string(std::min(c.line, furthest->line)) + ": both write " +
                     address_text(c.addr);
            return false;
        }
        if (c.end() > furthest->end())
            furthest = &c;
    }
    *end = furthest->end();
    return true;
}

// The device erases every sector from the lowest to the highest address of
// the image before writing it, so a gap between records loses what the
// device held there. A gap of up to a sector (sections a linker aligned
// apart) holds at most one whole sector the file says nothing about; a wider
// one is flash only the caller may give up.
bool check_gaps(const collector& t, std::string_view name, const image_rules& rules, std::string* error)
{
    if (rules.fill_gaps)
        return true;
    const chunk* furthest = &t.chunks.front();
    for (const chunk& c : t.chunks) {
        if (c.addr > furthest->end() && c.addr - furthest->end() > IMAGE_MAX_GAP) {
            *error = std::string(name) + ": " + std::to_string(c.addr - furthest->end()) +
                     " bytes between line " + std::to_string(furthest->line) + " and line " +
                     std::to_string(c.line) + " (" + range_text(furthest->end(), c.addr) +
                     ") hold no record, and writing the image would erase them and fill them with 0xFF; "
                     "give --fill-gaps if that is meant";
            return false;
        }
        if (c.end() > furthest->end())
            furthest = &c;
    }
    return true;
}

bool assemble(collector* t, std::string_view name, image_format format, const image_rules& rules, image* out,
              std::string* error)
{
    if (t->chunks.empty()) {
        *error = std::string(name) + ": no data records, so there is nothing to write";
        return false;
    }
    uint64_t end = 0;
    if (!check_overlaps(t, name, &end, error))
        return false;
    uint64_t first = t->chunks.front().addr;
    if (end - first > IMAGE_MAX_SPAN) {
        *error = std::string(name) + ": the data spans " + address_text(first) + " to " +
                 address_text(end - 1) + " (" + std::to_string(end - first) + " bytes); at most " +
                 std::to_string(IMAGE_MAX_SPAN >> 20) +
                 " MiB is loaded, since the gaps between records are filled with 0xFF in memory";
        return false;
    }
    if (!check_gaps(*t, name, rules, error))
        return false;
    image result;
    result.bytes.assign(end - first, ERASED);
    for (const chunk& c : t->chunks)
        std::copy_n(t->pool.data() + c.offset, c.length, result.bytes.data() + (c.addr - first));
    result.addr = static_cast<uint32_t>(first);
    result.name = name;
    result.format = format;
    *out = std::move(result);
    return true;
}

// Feeds each line of text, numbered from 1, to line_of(state, line, number, what).
template <class State>
bool read_lines(std::string_view text, std::string_view name, State* state,
                bool (*line_of)(State*, std::string_view, uint32_t, std::string*), std::string* error)
{
    if (text.starts_with(UTF8_BOM))
        text.remove_prefix(UTF8_BOM.size());
    std::string what;
    for (uint32_t number = 1; !text.empty(); ++number) {
        if (!line_of(state, take_line(&text), number, &what)) {
            *error = at_line(name, number) + what;
            return false;
        }
    }
    return true;
}

// The record mark that starts each line. When the very first line lacks it,
// the file is most likely not text at all.
bool check_mark(std::string_view line, char mark, bool first, std::string* what)
{
    if (line.front() == mark)
        return true;
    *what = std::string("a record starts with '") + mark + "', this line starts with " +
            char_text(line.front());
    if (first)
        *what += " (for a raw binary file give --format bin)";
    return false;
}

// A file cut short (a copy or a download that stopped) still reads record
// by record; only its end record says the file is whole. A file without any
// record is left to say that there is nothing to write.
bool check_end(uint32_t end_line, uint32_t records, std::string_view name, std::string_view end_record,
               std::string* error)
{
    if (end_line != 0 || records == 0)
        return true;
    *error = std::string(name) + ": no end record; the file may be cut short (it should end with " +
             std::string(end_record) + "); get the whole file again";
    return false;
}

std::string after_end_text(uint32_t end_line)
{
    return "a record after the end of the file (line " + std::to_string(end_line) +
           "); only blank lines may follow it";
}

// ---- Intel HEX ----

struct ihex_state {
    collector data;
    uint64_t base = 0;       // from the last 02 or 04 record
    uint32_t eof_line = 0;   // line of the end-of-file record; 0 before it
    uint32_t records = 0;    // lines that were not blank
    std::vector<uint8_t> record;
};

bool ihex_check_length(uint8_t type, size_t length, std::string* what)
{
    int32_t wanted = ihex_kinds[type].data_length;
    if (wanted == ANY_LENGTH || static_cast<size_t>(wanted) == length)
        return true;
    *what = "an " + std::string(ihex_kinds[type].name) + " record (" + byte_text(type) + ") holds " +
            std::to_string(wanted) + " data bytes, this one " + std::to_string(length);
    return false;
}

bool ihex_apply(ihex_state* t, uint32_t number, std::string* what)
{
    const std::vector<uint8_t>& r = t->record;
    uint8_t type = r[3];
    if (type >= ihex_kinds.size()) {
        *what = "unknown record type " + byte_text(type);
        return false;
    }
    std::span<const uint8_t> data(r.data() + IHEX_DATA_FIRST, r[0]);
    if (!ihex_check_length(type, data.size(), what))
        return false;
    switch (type) {
    case IHEX_DATA:
        return collect(&t->data, t->base + get_be(&r[1], 2), data, number, what);
    case IHEX_EOF:
        t->eof_line = number;
        return true;
    case IHEX_SEGMENT_BASE:
        t->base = get_be(data.data(), 2) * 16;
        return true;
    case IHEX_LINEAR_BASE:
        t->base = get_be(data.data(), 2) << 16;
        return true;
    default:  // start addresses
        return true;
    }
}

bool ihex_line(ihex_state* t, std::string_view line, uint32_t number, std::string* what)
{
    if (line.empty())
        return true;
    if (t->eof_line != 0) {
        *what = after_end_text(t->eof_line);
        return false;
    }
    if (!check_mark(line, ':', t->records++ == 0, what) || !decode_hex(line.substr(1), 2, &t->record, what))
        return false;
    const std::vector<uint8_t>& r = t->record;
    if (r.size() < IHEX_OVERHEAD) {
        *what = "a record holds at least 5 bytes (count, address, type, checksum), this one " +
                std::to_string(r.size());
        return false;
    }
    if (r.size() != r[0] + IHEX_OVERHEAD) {
        *what = "the byte count says " + counted(r[0], "data byte", "data bytes") + ", the line holds " +
                std::to_string(r.size() - IHEX_OVERHEAD);
        return false;
    }
    uint8_t computed = static_cast<uint8_t>(-sum_of(std::span(r).first(r.size() - 1)));
    return check_sum(computed, r.back(), what) && ihex_apply(t, number, what);
}

// ---- S-record ----

struct srec_state {
    collector data;
    uint64_t data_records = 0;
    uint32_t end_line = 0;   // line of the termination record; 0 before it
    uint32_t records = 0;    // lines that were not blank
    std::vector<uint8_t> record;
};

bool srec_apply(srec_state* t, const srec_kind& kind, uint32_t number, std::string* what)
{
    const std::vector<uint8_t>& r = t->record;
    uint64_t address = get_be(&r[1], kind.address_size);
    std::span<const uint8_t> data(r.data() + 1 + kind.address_size, r[0] - kind.address_size - 1);
    switch (kind.role) {
    case SREC_DATA:
        ++t->data_records;
        return collect(&t->data, address, data, number, what);
    case SREC_COUNT: {
        // A count field too narrow for the number of records holds its low bits.
        uint64_t expected = t->data_records & ((uint64_t{1} << (8 * kind.address_size)) - 1);
        if (address == expected)
            return true;
        *what = "the count record says " + std::to_string(address) + " data records, the file has " +
                std::to_string(t->data_records) + " before it";
        return false;
    }
    case SREC_END:
        t->end_line = number;
        return true;
    default:  // the header
        return true;
    }
}

// The kind of record the digit after 'S' names.
bool srec_type(std::string_view line, const srec_kind** kind, std::string* what)
{
    if (line.size() < 2) {
        *what = "the record type is missing after 'S'";
        return false;
    }
    char digit = line[1];
    if (digit >= '0' && digit <= '9') {
        *kind = &srec_kinds[static_cast<size_t>(digit - '0')];
        if ((*kind)->role != SREC_RESERVED)
            return true;
    }
    *what = "unknown record type S" + std::string(1, digit);
    return false;
}

bool srec_line(srec_state* t, std::string_view line, uint32_t number, std::string* what)
{
    if (line.empty())
        return true;
    if (t->end_line != 0) {
        *what = after_end_text(t->end_line);
        return false;
    }
    const srec_kind* kind = nullptr;
    if (!check_mark(line, 'S', t->records++ == 0, what) || !srec_type(line, &kind, what) ||
        !decode_hex(line.substr(2), 3, &t->record, what))
        return false;
    const std::vector<uint8_t>& r = t->record;
    if (r.empty() || r.size() != r[0] + size_t{1}) {
        *what = "the byte count says " +
                (r.empty() ? std::string("nothing follows") : counted(r[0], "byte follows", "bytes follow")) +
                " it, the line holds " + std::to_string(r.empty() ? 0 : r.size() - 1);
        return false;
    }
    if (r[0] < kind->address_size + 1) {
        *what = "an S" + std::string(1, line[1]) + " record holds at least " +
                std::to_string(kind->address_size + 1) + " bytes (address, checksum), this one " +
                std::to_string(r[0]);
        return false;
    }
    uint8_t computed = static_cast<uint8_t>(~sum_of(std::span(r).first(r.size() - 1)));
    return check_sum(computed, r.back(), what) && srec_apply(t, *kind, number, what);
}

// ---- Files ----

std::string system_text(int code)
{
    return std::generic_category().message(code);
}

// The whole file at path, or the system's reason why not.
bool read_file(const std::string& path, uint64_t limit, std::vector<uint8_t>* bytes, std::string* error)
{
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), std::fclose);
    if (!file) {
        *error = path + ": cannot open: " + system_text(errno);
        return false;
    }
    bytes->clear();
    size_t got = 0;
    do {
        size_t have = bytes->size();
        bytes->resize(have + READ_CHUNK);
        got = std::fread(bytes->data() + have, 1, READ_CHUNK, file.get());
        bytes->resize(have + got);
        if (bytes->size() > limit) {
            *error = path + ": larger than " + std::to_string(limit >> 20) +
                     " MiB, the most zelflash loads from a file of this format";
            return false;
        }
    } while (got == READ_CHUNK);
    if (std::ferror(file.get())) {
        *error = path + ": cannot read: " + system_text(errno);
        return false;
    }
    return true;
}

// The format whose record a line looks like, IMAGE_BIN for none: the mark
// (':'; 'S' and the type digit), then only hex digits, at least as many as
// the shortest record holds (HEX: count, offset, type, checksum, 10 digits;
// S-record: count, a 2-byte address, checksum, 8 digits).
image_format record_look(std::string_view line)
{
    bool ihex = line.starts_with(':');
    bool srec = line.size() >= 2 && line[0] == 'S' && line[1] >= '0' && line[1] <= '9';
    size_t head = ihex ? 1 : 2;
    size_t least = ihex ? 10 : 8;
    if ((!ihex && !srec) || line.size() < head + least)
        return IMAGE_BIN;
    for (char c : line.substr(head))
        if (hex_value(c) < 0)
            return IMAGE_BIN;
    return ihex ? IMAGE_IHEX : IMAGE_SREC;
}

// The format of a raw image that is in fact HEX or S-record text, under a
// name zelflash does not know; IMAGE_BIN when it is not. It is text when
// every line that is not blank looks like a record, and one at least does;
// its first record names the format. Firmware passes this only by wild
// chance: one byte that is not a hex digit, a line end or a blank is enough
// to fail it, and so is one short line.
image_format text_format_of(std::string_view text)
{
    if (text.starts_with(UTF8_BOM))
        text.remove_prefix(UTF8_BOM.size());
    image_format first = IMAGE_BIN;
    while (!text.empty()) {
        std::string_view line = take_line(&text);
        if (line.empty())
            continue;
        image_format look = record_look(line);
        if (look == IMAGE_BIN)
            return IMAGE_BIN;
        if (first == IMAGE_BIN)
            first = look;
    }
    return first;
}

bool check_not_text(std::string_view name, const std::vector<uint8_t>& bytes, std::string* error)
{
    std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    image_format format = text_format_of(text);
    if (format == IMAGE_BIN)
        return true;
    *error = std::string(name) + ": this is " + format_title(format) + ", not raw bytes; give --format " +
             std::string(image_format_name(format)) +
             " to write the data of its records, or --format bin to write the text itself";
    return false;
}

// A file larger than any image of the flash can need is refused from its
// size, before a byte of it is read: a raw image is at most the flash, and
// HEX or S-record text IMAGE_TEXT_PER_FLASH_BYTE times that. Pipes and
// devices have no size to go by; the read's own limit holds them.
bool check_file_size(const std::string& path, image_format format, uint32_t flash_size, std::string* error)
{
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec))
        return true;
    uint64_t size = std::filesystem::file_size(path, ec);
    uint64_t limit = format == IMAGE_BIN ? flash_size : uint64_t{IMAGE_TEXT_PER_FLASH_BYTE} * flash_size;
    if (ec || size <= limit)
        return true;
    std::string what = format == IMAGE_BIN ? "more than the device's flash holds"
                                           : "more text than any image of the device's flash needs";
    *error = path + ": " + std::to_string(size) + " bytes, " + what + " (flash of " + counted(flash_size, "byte", "bytes") +
             "); give --flash-size if the device has more flash";
    return false;
}

// Nothing outside the flash is sent: the device would refuse the erase, and
// the run would fail on every port with a reason that does not say why.
bool check_fits(const image& img, uint32_t flash_size, std::string* error)
{
    uint64_t end = img.addr + uint64_t{img.bytes.size()};
    if (end <= flash_size)
        return true;
    *error = img.name + ": the image lies at " + range_text(img.addr, end) + ", beyond the device's flash (" +
             range_text(0, flash_size) + ", " + counted(flash_size, "byte", "bytes") + "); ";
    if (img.format == IMAGE_BIN && img.bytes.size() <= flash_size)
        *error += "give a lower --address, or --flash-size if the device has more flash";
    else
        *error += "give --flash-size if the device has more flash";
    return false;
}

bool place_raw(std::string_view name, std::vector<uint8_t> bytes, std::optional<uint32_t> address,
               image* out, std::string* error)
{
    if (bytes.empty()) {
        *error = std::string(name) + ": the image is empty (0 bytes), so there is nothing to write";
        return false;
    }
    if (bytes.size() > IMAGE_MAX_SPAN) {
        *error = std::string(name) + ": " + std::to_string(bytes.size()) + " bytes, more than the " +
                 std::to_string(IMAGE_MAX_SPAN >> 20) + " MiB zelflash loads";
        return false;
    }
    // The dialog program's placement: small images have their own place in flash.
    uint32_t addr = address.value_or(bytes.size() <= ZEL_SMALL_IMAGE ? ZEL_SMALL_IMAGE_ADDR : 0);
    if (addr + uint64_t{bytes.size()} > ADDRESS_SPACE) {
        *error = std::string(name) + ": " + std::to_string(bytes.size()) + " bytes at " +
                 address_text(addr) + " run past the 32-bit address space (the last would be at " +
                 address_text(addr + uint64_t{bytes.size()} - 1) + "); give a lower --address";
        return false;
    }
    out->bytes = std::move(bytes);
    out->addr = addr;
    out->name = name;
    out->format = IMAGE_BIN;
    return true;
}

bool load_embedded(image_format format, std::optional<uint32_t> address, const uint8_t* embedded,
                   uint32_t embedded_size, image* out, std::string* error)
{
    if (format == IMAGE_IHEX || format == IMAGE_SREC) {
        *error = "--format " + std::string(image_format_name(format)) +
                 " needs an IMAGE file; the embedded image is raw binary";
        return false;
    }
    std::vector<uint8_t> bytes;
    if (embedded_size != 0)
        bytes.assign(embedded, embedded + embedded_size);
    return place_raw(EMBEDDED_NAME, std::move(bytes), address, out, error);
}

bool load_file(const std::string& path, image_format format, std::optional<uint32_t> address,
               const image_rules& rules, image* out, std::string* error)
{
    // Only a format someone chose by name may make text a raw image.
    bool named = format != IMAGE_AUTO;
    if (format == IMAGE_AUTO)
        format = image_format_of(path);
    if (format != IMAGE_BIN && address) {
        *error = path + " is " + format_title(format) +
                 ", which places its own data; --address is only for raw binary images";
        return false;
    }
    if (!check_file_size(path, format, rules.flash_size, error))
        return false;
    std::vector<uint8_t> bytes;
    uint64_t limit = format == IMAGE_BIN ? IMAGE_MAX_SPAN : IMAGE_MAX_TEXT_SIZE;
    if (!read_file(path, limit, &bytes, error))
        return false;
    std::string digest = sha256_hex(bytes);
    bool placed = false;
    std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (format == IMAGE_BIN)
        placed = (named || check_not_text(path, bytes, error)) && place_raw(path, std::move(bytes), address, out, error);
    else if (format == IMAGE_IHEX)
        placed = image_parse_ihex(text, path, rules, out, error);
    else
        placed = image_parse_srec(text, path, rules, out, error);
    if (placed)
        out->file_sha256 = digest;
    return placed;
}

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

bool image_parse_ihex(std::string_view text, std::string_view name, const image_rules& rules, image* out,
                      std::string* error)
{
    ihex_state state;
    return read_lines(text, name, &state, ihex_line, error) &&
           check_end(state.eof_line, state.records, name, ":00000001FF", error) &&
           assemble(&state.data, name, IMAGE_IHEX, rules, out, error);
}

bool image_parse_srec(std::string_view text, std::string_view name, const image_rules& rules, image* out,
                      std::string* error)
{
    srec_state state;
    return read_lines(text, name, &state, srec_line, error) &&
           check_end(state.end_line, state.records, name, "an S7, S8 or S9 record", error) &&
           assemble(&state.data, name, IMAGE_SREC, rules, out, error);
}

bool image_load(const std::string& path, image_format format, std::optional<uint32_t> address,
                const uint8_t* embedded, uint32_t embedded_size, const image_rules& rules, image* out,
                std::string* error)
{
    image result;
    bool loaded = path.empty() ? load_embedded(format, address, embedded, embedded_size, &result, error)
                               : load_file(path, format, address, rules, &result, error);
    if (!loaded || !check_fits(result, rules.flash_size, error))
        return false;
    *out = std::move(result);
    return true;
}
