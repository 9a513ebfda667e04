// Fuzz target for the image readers: the bytes of an image file through
// image_load, as zelflash reads a file from disk, by the raw reader (with
// its test for HEX or S-record text under another name), the Intel HEX
// reader or the S-record reader, under rules drawn from the input. What
// they give must hold, beyond not crashing:
// - an error is one line that starts with the file's name; one about a line
//   names it ("NAME line 7: "), and every line it names holds a record; one
//   about the whole file is one of those whole_file_errors lists for the
//   reader;
// - an image is not empty and lies in [0, flash size);
// - a raw image is the file's bytes, at the address given or by the size
//   rule; text the HEX or the S-record reader takes is never a raw image;
// - a HEX or S-record image holds every data record's bytes at the
//   record's address and 0xFF everywhere else, from the lowest address
//   written to the highest end; written out again (record_writer.h) and
//   read again, it is the same image at the same address.
//
// Input: byte 0 chooses the setup, then come the reader's own setup bytes,
// then the file.
//   bits 0-1: the reader (reader below)
//   bit 2:    the rules' fill_gaps
//   bits 3-5: the flash size, from flash_sizes
//   bits 6-7: the record length of the text written back, from record_lengths
// READ_IHEX and READ_SREC: byte 1, bit 0: seal, i.e. make every record's
// checksum right before the file is read (bits 1-7 unused).
// READ_RAW_AT: bytes 1-4, the address (little-endian).
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "images/image_file.h"
#include "images/image_ihex.h"
#include "images/image_srec.h"
#include "job.h"
#include "record_writer.h"

namespace {

enum reader : int32_t {
    READ_RAW = 0,     // fw.bin, format by name: raw, unless the bytes are record text
    READ_IHEX = 1,    // fw.hex, format by name
    READ_SREC = 2,    // fw.s37, format by name
    READ_RAW_AT = 3,  // --format bin --address A: raw whatever the bytes
};

// Images are built in memory with their gaps filled, so the flash, which
// bounds an image, is kept to 16 MiB: more is work the input did not ask for.
constexpr std::array<uint32_t, 8> flash_sizes{IMAGE_FLASH_SIZE, 0x40,    0x100,    0x1000,
                                              0x10000,          0x1FF0FF, 0x100000, 0x1000000};
constexpr std::array<size_t, 4> record_lengths{1, 16, 32, 255};

struct setup {
    reader how;
    image_rules rules;
    record_writing writing;
    std::optional<uint32_t> address;
    std::string content;  // the file
    std::string path;
};

std::filesystem::path folder;  // this process's scratch folder

void remove_folder()
{
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
}

// abort() skips the atexit handlers: the scratch folder goes first.
[[noreturn]] void fail(const std::string& what, const std::string& detail)
{
    std::fprintf(stderr, "image_fuzz: %s: %s\n", what.c_str(), detail.c_str());
    remove_folder();
    std::abort();
}

void write_file(const std::string& path, std::string_view content)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!file.flush())
        fail("cannot write", path);
}

// The hex pairs of a record, as bytes; the digits are known to be hex.
std::vector<uint8_t> pairs_of(std::string_view digits)
{
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < digits.size(); i += 2) {
        uint8_t b = 0;
        std::from_chars(digits.data() + i, digits.data() + i + 2, b, 16);
        bytes.push_back(b);
    }
    return bytes;
}

// Makes the checksum of the record in (*text)[first, end) right, when the
// line is a mark and whole hex pairs, at least two of them.
void seal_line(std::string* text, size_t first, size_t end, reader how)
{
    while (end > first && ((*text)[end - 1] == '\r' || (*text)[end - 1] == ' ' || (*text)[end - 1] == '\t'))
        --end;
    size_t head = how == READ_IHEX ? 1 : 2;
    std::string_view line = std::string_view(*text).substr(first, end - first);
    if (line.size() < head + 4 || line[0] != (how == READ_IHEX ? ':' : 'S'))
        return;
    std::string_view digits = line.substr(head);
    if (digits.size() % 2 != 0 || digits.find_first_not_of("0123456789ABCDEFabcdef") != std::string_view::npos)
        return;
    std::vector<uint8_t> r = pairs_of(digits);
    std::span<const uint8_t> body = std::span(r).first(r.size() - 1);
    uint8_t check = how == READ_IHEX ? record_writer_detail::ihex_check(body) : record_writer_detail::srec_check(body);
    text->replace(end - 2, 2, record_writer_detail::hex_pairs({&check, 1}));
}

// Every record's checksum made right, so that what a mutation changes
// reaches the checks behind the checksum.
void seal(std::string* text, reader how)
{
    size_t first = text->starts_with("\xEF\xBB\xBF") ? 3 : 0;
    while (first < text->size()) {
        size_t end = std::min(text->find('\n', first), text->size());
        seal_line(text, first, end, how);
        first = end + 1;
    }
}

bool take_setup(const uint8_t* data, size_t size, setup* s)
{
    if (size < 1)
        return false;
    s->how = static_cast<reader>(data[0] & 3);
    s->rules.fill_gaps = (data[0] & 4) != 0;
    s->rules.flash_size = flash_sizes[(data[0] >> 3) & 7];
    s->writing.record_length = record_lengths[data[0] >> 6];
    s->writing.leave_gaps = true;  // the text stays in proportion to the data
    size_t head = s->how == READ_RAW_AT ? 5 : s->how == READ_RAW ? 1 : 2;
    if (size < head)
        return false;
    if (s->how == READ_RAW_AT)
        s->address = uint32_t{data[1]} | uint32_t{data[2]} << 8 | uint32_t{data[3]} << 16 | uint32_t{data[4]} << 24;
    s->content.assign(reinterpret_cast<const char*>(data + head), size - head);
    if (head == 2 && (data[1] & 1) != 0)
        seal(&s->content, s->how);
    static const char* const names[] = {"fw.bin", "fw.hex", "fw.s37", "fw.img"};
    s->path = (folder / names[s->how]).string();
    return true;
}

// ---- Errors ----

// The file's lines as the readers number them: after a UTF-8 byte-order
// mark, split at LF, without trailing CR and blanks.
std::vector<std::string_view> lines_of(std::string_view text)
{
    if (text.starts_with("\xEF\xBB\xBF"))
        text.remove_prefix(3);
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
            line.remove_suffix(1);
        lines.push_back(line);
    }
    return lines;
}

// The text with each run of decimal digits as one '#'.
std::string digits_as_hash(std::string_view text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i)
        if (text[i] < '0' || text[i] > '9')
            out += text[i];
        else if (out.empty() || out.back() != '#')
            out += '#';
    return out;
}

enum reader_set : unsigned {
    RAW = 1u << READ_RAW,
    RAW_AT = 1u << READ_RAW_AT,
    TEXT = 1u << READ_IHEX | 1u << READ_SREC,
};

struct whole_file_error {
    std::string_view start;  // as digits_as_hash gives it
    unsigned readers;        // reader_set
};
constexpr whole_file_error whole_file_errors[] = {
    {"no data records, so there is nothing to write", TEXT},
    {"no end record; the file may be cut short", TEXT},
    {"the data spans #x", TEXT},
    {"# bytes between line # and line # (#x", TEXT},
    {"the image lies at #x", TEXT | RAW | RAW_AT},
    {"# bytes, more than the device's flash holds", RAW | RAW_AT},
    {"the image is empty (# bytes)", RAW | RAW_AT},
    {"this is an Intel HEX file, not raw bytes", RAW},
    {"this is an S-record file, not raw bytes", RAW},
    {"# bytes at #x", RAW_AT},
};

// Every "line N" the error names is a line of the file that holds a record.
void check_lines_named(std::string_view error, const std::vector<std::string_view>& lines)
{
    for (size_t at = error.find("line "); at != std::string_view::npos; at = error.find("line ", at + 1)) {
        const char* first = error.data() + at + 5;
        uint64_t n = 0;
        auto [stop, result] = std::from_chars(first, error.data() + error.size(), n);
        if (result != std::errc())
            continue;  // "line" as a word of the text
        if (n == 0 || n > lines.size() || lines[n - 1].empty())
            fail("the error names a line that holds no record", std::string(error));
    }
}

void check_error(const setup& s, const std::string& error)
{
    if (error.find_first_of("\r\n") != std::string::npos || !error.starts_with(s.path))
        fail("the error is not one line that starts with the file's name", error);
    std::string_view rest = std::string_view(error).substr(s.path.size());
    check_lines_named(rest, lines_of(s.content));
    if (rest.starts_with(" line "))
        return;
    if (!rest.starts_with(": "))
        fail("the error neither names a line nor follows the name with ': '", error);
    std::string reason = digits_as_hash(rest.substr(2));
    for (const whole_file_error& e : whole_file_errors)
        if ((e.readers & (1u << s.how)) != 0 && reason.starts_with(e.start))
            return;
    fail("an error about the whole file that is not one of its kind for this reader", error);
}

// ---- Images ----

// Text that either record reader takes, under the strictest rules.
bool reads_as_records(std::string_view text)
{
    image ignored;
    std::string error;
    image_rules rules;
    return image_parse_ihex(text, "t", rules, &ignored, &error) || image_parse_srec(text, "t", rules, &ignored, &error);
}

void check_raw(const setup& s, const image& img)
{
    std::string_view bytes(reinterpret_cast<const char*>(img.bytes.data()), img.bytes.size());
    if (img.format != IMAGE_BIN || bytes != s.content)
        fail("a raw image that is not the file's bytes", s.path);
    uint32_t rule = s.content.size() <= ZEL_SMALL_IMAGE ? ZEL_SMALL_IMAGE_ADDR : 0;
    if (img.addr != s.address.value_or(rule))
        fail("a raw image placed at " + std::to_string(img.addr), s.path);
    if (s.how == READ_RAW && reads_as_records(s.content))
        fail("record text taken as a raw image", s.path);
}

// Text the raw reader refused as records starts with a record's mark.
void check_refused_text(const setup& s, const std::string& error)
{
    bool hex = error.find("this is an Intel HEX file") != std::string::npos;
    bool srec = error.find("this is an S-record file") != std::string::npos;
    if (!hex && !srec)
        return;
    for (std::string_view line : lines_of(s.content)) {
        if (line.empty())
            continue;
        if (!line.starts_with(hex ? ":" : "S"))
            fail("text refused for a format its first record does not have", error);
        return;
    }
    fail("a file without records refused as record text", error);
}

// One data record of a file the reader took: its address and bytes.
struct record_data {
    uint64_t addr;
    std::vector<uint8_t> bytes;
};

uint64_t be_of(const uint8_t* p, size_t size)
{
    uint64_t value = 0;
    for (size_t i = 0; i < size; ++i)
        value = value << 8 | p[i];
    return value;
}

// The data records of HEX text the reader took, up to its end-of-file record.
std::vector<record_data> ihex_records(std::string_view text)
{
    std::vector<record_data> records;
    uint64_t base = 0;
    for (std::string_view line : lines_of(text)) {
        if (line.empty())
            continue;
        std::vector<uint8_t> r = pairs_of(line.substr(1));
        const uint8_t* data = r.data() + 4;
        if (r[3] == 0x00)
            records.push_back({base + be_of(&r[1], 2), std::vector<uint8_t>(data, data + r[0])});
        else if (r[3] == 0x02)
            base = be_of(data, 2) * 16;
        else if (r[3] == 0x04)
            base = be_of(data, 2) << 16;
        else if (r[3] == 0x01)
            break;
    }
    return records;
}

// The data records of S-record text the reader took, up to its end record.
std::vector<record_data> srec_records(std::string_view text)
{
    std::vector<record_data> records;
    for (std::string_view line : lines_of(text)) {
        if (line.empty())
            continue;
        int type = line[1] - '0';
        if (type >= 7)
            break;
        if (type < 1 || type > 3)
            continue;
        std::vector<uint8_t> r = pairs_of(line.substr(2));
        size_t address_size = static_cast<size_t>(type) + 1;
        std::vector<uint8_t> data(r.begin() + 1 + address_size, r.end() - 1);
        records.push_back({be_of(&r[1], address_size), std::move(data)});
    }
    return records;
}

// Each record's bytes at its place, 0xFF where none wrote, nothing beyond
// the lowest address and the highest end written.
void check_from_records(const setup& s, const image& img)
{
    std::vector<record_data> records = s.how == READ_IHEX ? ihex_records(s.content) : srec_records(s.content);
    uint64_t first = UINT64_MAX;
    uint64_t end = 0;
    for (const record_data& r : records) {
        if (r.bytes.empty())
            continue;
        first = std::min(first, r.addr);
        end = std::max(end, r.addr + r.bytes.size());
    }
    if (img.addr != first || img.addr + uint64_t{img.bytes.size()} != end)
        fail("the image does not run from the lowest address written to the highest end", s.path);
    std::vector<bool> written(img.bytes.size());
    for (const record_data& r : records) {
        for (size_t i = 0; i < r.bytes.size(); ++i) {
            size_t at = static_cast<size_t>(r.addr - first) + i;
            if (img.bytes[at] != r.bytes[i])
                fail("a byte that is not its record's at " + std::to_string(r.addr + i), s.path);
            written[at] = true;
        }
    }
    for (size_t i = 0; i < img.bytes.size(); ++i)
        if (!written[i] && img.bytes[i] != 0xFF)
            fail("a byte no record wrote that is not 0xFF at " + std::to_string(img.addr + i), s.path);
}

// The image as text of its own format, read back: the same image.
void check_round_trip(const setup& s, const image& img)
{
    bool hex = s.how == READ_IHEX;
    std::string text =
        hex ? ihex_text_of(img.bytes, img.addr, s.writing) : srec_text_of(img.bytes, img.addr, s.writing);
    std::string path = (folder / (hex ? "again.hex" : "again.srec")).string();
    write_file(path, text);
    image_rules rules = s.rules;
    rules.fill_gaps = true;  // the writer left the 0xFF runs out
    image again;
    std::string error;
    if (!image_load(path, IMAGE_AUTO, std::nullopt, nullptr, 0, rules, &again, &error))
        fail("the image written out is not read back", error);
    if (again.bytes != img.bytes || again.addr != img.addr)
        fail("the image written out reads back as another", path);
}

void check_image(const setup& s, const image& img)
{
    if (img.bytes.empty() || img.addr + uint64_t{img.bytes.size()} > s.rules.flash_size)
        fail("an image that is empty or not within the flash", s.path);
    if (s.how == READ_RAW || s.how == READ_RAW_AT) {
        check_raw(s, img);
        return;
    }
    check_from_records(s, img);
    check_round_trip(s, img);
}

// Each input is written to a file and read back: in memory (tmpfs) where
// there is one, since truncating a file on a disk costs milliseconds.
std::filesystem::path scratch_root()
{
    std::error_code ec;
    if (std::filesystem::is_directory("/dev/shm", ec))
        return "/dev/shm";
    return std::filesystem::temp_directory_path();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    std::string pattern = (scratch_root() / "zel-image-fuzz-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        fail("cannot make a scratch folder", pattern);
    folder = pattern;
    std::atexit(remove_folder);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    setup s;
    if (!take_setup(data, size, &s))
        return 0;
    write_file(s.path, s.content);
    image_format format = s.how == READ_RAW_AT ? IMAGE_BIN : IMAGE_AUTO;
    image img;
    std::string error;
    if (image_load(s.path, format, s.address, nullptr, 0, s.rules, &img, &error)) {
        check_image(s, img);
    } else {
        check_error(s, error);
        check_refused_text(s, error);
    }
    return 0;
}
