#include "images/image_file.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>

#include "images/image_ihex.h"
#include "images/image_records.h"
#include "images/image_srec.h"
#include "job.h"
#include "platform/sha256.h"
#include "base/texts.h"

namespace {

constexpr uint64_t ADDRESS_SPACE = uint64_t{1} << 32;   // one past the last 32-bit address
constexpr std::string_view EMBEDDED_NAME = "embedded image";
constexpr size_t READ_CHUNK = 64 * 1024;

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
        if (records_hex_value(c) < 0)
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
    if (text.starts_with(RECORDS_UTF8_BOM))
        text.remove_prefix(RECORDS_UTF8_BOM.size());
    image_format first = IMAGE_BIN;
    while (!text.empty()) {
        std::string_view line = records_take_line(&text);
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

// A raw file larger than the flash is refused from its size, before a byte
// of it is read. HEX and S-record text has no such bound (blank lines and
// header records place nothing, and a one-byte record takes up to 18 bytes
// of text): the records are refused instead once their data outgrows the
// flash. Pipes and devices have no size to go by; the read's own limit
// holds them.
bool check_file_size(const std::string& path, image_format format, uint32_t flash_size, std::string* error)
{
    std::error_code ec;
    if (format != IMAGE_BIN || !std::filesystem::is_regular_file(path, ec))
        return true;
    uint64_t size = std::filesystem::file_size(path, ec);
    if (ec || size <= flash_size)
        return true;
    *error = path + ": " + std::to_string(size) + " bytes, more than the device's flash holds (flash of " +
             counted(flash_size, "byte", "bytes") + "); give --flash-size if the device has more flash";
    return false;
}

// Nothing outside the flash is sent: the device would refuse the erase, and
// the run would fail on every port with a reason that does not say why.
bool check_fits(const image& img, uint32_t flash_size, std::string* error)
{
    uint64_t end = img.addr + uint64_t{img.bytes.size()};
    if (end <= flash_size)
        return true;
    bool movable = img.format == IMAGE_BIN && img.bytes.size() <= flash_size;
    *error = records_outside_flash_text(img.name, img.addr, end, flash_size, movable);
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
                 records_address_text(addr) + " run past the 32-bit address space (the last would be at " +
                 records_address_text(addr + uint64_t{bytes.size()} - 1) + "); give a lower --address";
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
        placed = image_parse_ihex(text, path, rules, out, error, IMAGE_IN_FLASH);
    else
        placed = image_parse_srec(text, path, rules, out, error, IMAGE_IN_FLASH);
    if (placed)
        out->file_sha256 = digest;
    return placed;
}

}  // namespace

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
