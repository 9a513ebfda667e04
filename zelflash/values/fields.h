// Per-board data: fields patched into each board's copy of the image before
// it is sent (a serial number, a MAC address block, a calibration key). The
// image file itself never changes.
//
// A field lies at a device address inside the image's span and takes
// `width` bytes there:
//   FIELD_LE, FIELD_BE  an unsigned integer of 1 to 8 bytes
//   FIELD_DEC, FIELD_HEX  ASCII digits (hex in upper case), zero-padded to
//                       `width` characters; a value wider than that is refused
//   FIELD_BYTES         `width` bytes written as hex in the value ("0011AABB",
//                       separators ':' '-' ' ' allowed between bytes)
//   FIELD_TEXT          ASCII text of at most `width` characters, NUL-padded
//
// Where the values come from (`kind`):
//   FIELD_COUNTER  start, start + step, ... up to `last` when given; never
//                  wraps: a counter past its last value (or past what its
//                  width holds) has run out
//   FIELD_LIST     the next unused line of the file `list` (blank lines and
//                  lines starting with '#' skipped)
//   FIELD_VALUE    one value given for the run (--set NAME=VALUE)
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

enum field_kind : int32_t { FIELD_COUNTER = 0, FIELD_LIST = 1, FIELD_VALUE = 2 };

enum field_encoding : int32_t {
    FIELD_LE = 0,
    FIELD_BE = 1,
    FIELD_DEC = 2,
    FIELD_HEX = 3,
    FIELD_BYTES = 4,
    FIELD_TEXT = 5,
};

struct field_spec {
    std::string name;  // [A-Za-z_][A-Za-z0-9_]*, unique in a job
    uint32_t address = 0;
    field_kind kind = FIELD_COUNTER;
    field_encoding encoding = FIELD_LE;
    uint32_t width = 4;  // bytes in the image
    // FIELD_COUNTER
    uint64_t start = 0;
    uint64_t step = 1;
    std::optional<uint64_t> last;
    // FIELD_LIST: the file of values, one a line
    std::string list;
    // FIELD_VALUE: the value as given
    std::string value;
};

// A value handed to one board, in the text form the state file, the board
// log and the JSON events carry: a counter's number in decimal, a list's
// line as it stands, a given value as given.
struct field_value {
    std::string name;
    std::string text;
    bool operator==(const field_value&) const = default;
};

// The spelling of an encoding and its width, shared by the command line and
// the job file: "le32", "be16" (bits, 8 to 64 in steps of 8), "dec10",
// "hex8", "bytes6", "text16" (characters or bytes, 1 to 64). false with a
// one-line error saying what is allowed.
bool field_format_parse(std::string_view text, field_encoding* encoding, uint32_t* width, std::string* error);
// The reverse: "le32" for FIELD_LE of 4 bytes.
std::string field_format_name(field_encoding encoding, uint32_t width);

// A number as the command line, the job file and a field's value give it:
// decimal ("1000") or hex with 0x ("0x3E8"), 64-bit; nothing else around it.
std::optional<uint64_t> field_parse_number(std::string_view text);

// The highest value a counter may take: its `last` when given, else the
// largest number its encoding holds in `width` (le16: 65535, dec4: 9999).
uint64_t field_counter_limit(const field_spec& def);

// The bytes of `value_text` in the field's encoding, exactly `width` of
// them. Numeric encodings (le, be, dec, hex) take a number (decimal, or hex
// with 0x) and refuse one their width does not hold; nothing is cut off.
// false with a one-line error naming the field; *out is then unchanged.
bool field_encode(const field_spec& def, std::string_view value_text, std::vector<uint8_t>* out,
                  std::string* error);

// The one field alone: its name, encoding and width, and what its kind
// needs (a counter: step >= 1, last >= start, both held by its width; a
// list: its file; a value: one its encoding takes). Empty when fine, else a
// one-line error naming the field.
std::string field_check(const field_spec& def);

// All fields of a job against the image at [image_addr, image_addr +
// image_size): each field as field_check has it, wholly inside the image,
// no two with one name, no two sharing a byte. Empty when fine, else the
// first fault in one line.
std::string fields_check(const std::vector<field_spec>& fields, uint32_t image_addr, uint32_t image_size);

struct image;
// The board's copy of `img` with each field's value written in: every field
// needs its value (by name), and every value its field. false with a
// one-line error; *out is then unchanged.
bool fields_patch(const image& img, const std::vector<field_spec>& fields, const std::vector<field_value>& values,
                  image* out, std::string* error);

// --serial ADDR:FORMAT:START[:STEP[:LAST]] ("0x1F000:le32:1000",
// "0x1F000:dec8:1:1:99999999"): the counter named "serial". ADDR and the
// numbers are decimal or 0x hex; the format is numeric. false with a
// one-line error saying what is allowed.
bool field_parse_serial(std::string_view text, field_spec* out, std::string* error);

// --set NAME=VALUE: the value of a field of kind FIELD_VALUE for this run.
// The name must be a valid field name; the value is everything after the
// first '='. false with a one-line error.
bool field_parse_set(std::string_view text, std::string* name, std::string* value, std::string* error);
