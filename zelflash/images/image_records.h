// What Intel HEX and S-record files have in common: text read line by line,
// records written as hex pairs with a checksum, error texts that name the
// line at fault, and the one block of bytes their data records make.
//
// The data records of a file make one block from the lowest address written
// to the highest:
//
//   | record | 0xFF gap | record | record | 0xFF gap | record |
//   ^ addr = lowest address written          highest end ^
//
// The gaps hold 0xFF, the value of erased flash; the device erases the whole
// block first, so whatever it held in a gap is lost. A gap wider than one
// flash sector is therefore refused unless the caller allows it (fill_gaps).
// No two records may write the same address, no byte may lie past
// 0xFFFFFFFF, and the block spans at most IMAGE_MAX_SPAN bytes.
//
// Error texts are one line and start with the file's name, then the line
// number when a line is at fault:
//   "image.hex line 7: checksum is 0x3A, the record says 0x3B"
//   "image.hex: no data records, so there is nothing to write"
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "images/image.h"

// Some editors put it first in a text file; the readers skip it.
constexpr std::string_view RECORDS_UTF8_BOM = "\xEF\xBB\xBF";

// ---- Texts for the error messages ----

// "0x" and upper-case hex digits, at least `digits` of them.
std::string records_hex_text(uint64_t value, size_t digits);
// "0x0001F000": an address, 8 digits at least.
std::string records_address_text(uint64_t address);
// "0x3A": a byte, 2 digits.
std::string records_byte_text(uint8_t value);
// "0x0001F000 to 0x0001FFFF" for the bytes [first, end).
std::string records_range_text(uint64_t first, uint64_t end);
// 'G', or byte 0x07 when the character is not printable.
std::string records_char_text(char c);
// "image.hex line 7: ", the start of the text of a line at fault.
std::string records_at_line(std::string_view name, uint32_t line);

// ---- Lines and hex pairs ----

// Takes the next line off *text: without its LF, CR or trailing blanks.
std::string_view records_take_line(std::string_view* text);
// The value of one hex digit of either case; -1 for any other character.
int records_hex_value(char c);
// The bytes of a record's hex pairs, which start at `column` (1-based) of
// the line; false with the reason in *what on a character that is not a hex
// digit or an odd number of digits.
bool records_decode_hex(std::string_view digits, size_t column, std::vector<uint8_t>* bytes, std::string* what);
// The big-endian number in the `size` bytes at p (size at most 8).
uint64_t records_get_be(const uint8_t* p, size_t size);
// The low byte of the sum of the bytes.
uint8_t records_sum(std::span<const uint8_t> bytes);
bool records_check_sum(uint8_t computed, uint8_t recorded, std::string* what);
// The record mark (':', 'S') that starts each line of a non-empty line.
// `first`: the file's first record, where a missing mark most likely means
// the file is not text at all, and the reason says so.
bool records_check_mark(std::string_view line, char mark, bool first, std::string* what);
// The reason for a record that follows the end record on end_line.
std::string records_after_end_text(uint32_t end_line);
// A file with records but no end record (end_line 0) may have been cut
// short; `end_record` names the record it should end with.
bool records_check_end(uint32_t end_line, uint32_t records, std::string_view name, std::string_view end_record,
                       std::string* error);

// Feeds each line of text, numbered from 1, to line_of(state, line, number,
// what); the first line it refuses ends the reading with the line's number
// and the reason in *error. A UTF-8 byte-order mark before the first line is
// skipped.
template <class State>
bool records_read_lines(std::string_view text, std::string_view name, State* state,
                        bool (*line_of)(State*, std::string_view, uint32_t, std::string*), std::string* error)
{
    if (text.starts_with(RECORDS_UTF8_BOM))
        text.remove_prefix(RECORDS_UTF8_BOM.size());
    std::string what;
    for (uint32_t number = 1; !text.empty(); ++number) {
        if (!line_of(state, records_take_line(&text), number, &what)) {
            *error = records_at_line(name, number) + what;
            return false;
        }
    }
    return true;
}

// ---- The data of a file, record by record, and the block it makes ----

// One record's data, kept until the whole file is read.
struct records_chunk {
    uint64_t addr;
    size_t offset;  // of its bytes in the pool
    size_t length;  // at least 1
    uint32_t line;

    uint64_t end() const { return addr + length; }
};

// Every chunk lies in the 32-bit address space (end() <= 2^32); their
// bytes lie end to end in `pool`, in file order, and number at most `most`:
// an image holds each address once and no more than the flash, so records
// that carry more overlap or lie outside it. That bounds the memory and the
// work of the block by what the records can place, however long the text.
struct records_block {
    std::vector<records_chunk> chunks;
    std::vector<uint8_t> pool;
    uint64_t most = 0;
};

// An empty block for an image under these rules: `most` is the flash size,
// or IMAGE_MAX_SPAN if that is less.
records_block records_block_for(const image_rules& rules);
// Adds a data record's bytes at addr (nothing for an empty record); false
// when they run past 0xFFFFFFFF or take the block past t->most bytes.
bool records_collect(records_block* t, uint64_t addr, std::span<const uint8_t> data, uint32_t line,
                     std::string* what);

// The image of the block, after the checks for no data, overlaps, the span,
// the gaps (unless rules.fill_gaps), with IMAGE_IN_FLASH the flash
// (rules.flash_size), and with either placement a span no wider than the
// flash, all before the image is built. Sorts t's chunks by
// address. false with *error when a check fails; *out is then unchanged.
bool records_assemble(records_block* t, std::string_view name, image_format format, const image_rules& rules,
                      image_placement placement, image* out, std::string* error);

// The error for an image at [first, end) beyond a flash of flash_size
// bytes from address 0: both ranges, and what to give instead. `movable`:
// a raw image the flash could hold, which a lower --address would fit.
std::string records_outside_flash_text(std::string_view name, uint64_t first, uint64_t end, uint32_t flash_size,
                                       bool movable);
