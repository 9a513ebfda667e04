// Image files: the device image a user gives zelflash, read from a raw binary,
// an Intel HEX or a Motorola S-record file, or the image embedded in the
// program, and placed at its device address.
//
// A raw image is placed by the caller (--address) or by the dialog program's
// rule: 0, or ZEL_SMALL_IMAGE_ADDR for an image of at most ZEL_SMALL_IMAGE
// bytes. HEX and S-record files place their own data; their image is one
// block from the lowest address written to the highest:
//
//   | record | 0xFF gap | record | record | 0xFF gap | record |
//   ^ addr = lowest address written          highest end ^
//
// The gaps hold 0xFF, the value of erased flash, so writing them changes
// nothing on the device. No two records may write the same address, and no
// byte may lie past 0xFFFFFFFF.
//
// Error texts are one line and start with the name, then the line number
// when a line is at fault:
//   "image.hex line 7: checksum is 0x3A, the record says 0x3B"
//   "image.hex: no data records, so there is nothing to write"
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

enum image_format : int32_t { IMAGE_AUTO = 0, IMAGE_BIN = 1, IMAGE_IHEX = 2, IMAGE_SREC = 3 };

enum image_limits : uint32_t {
    // Most bytes from the lowest to the highest address of an image. The gaps
    // are filled in memory, so two records far apart would otherwise ask for
    // up to 4 GiB; real flash images are far smaller.
    IMAGE_MAX_SPAN = 256u << 20,
    // Largest HEX or S-record file read: the text is 2.5 to 13 times the size
    // of the data it carries, depending on the record length.
    IMAGE_MAX_TEXT_SIZE = 1u << 30,
};

struct image {
    std::vector<uint8_t> bytes;  // the whole image, gaps filled with 0xFF
    uint32_t addr = 0;           // device address of bytes[0]
    std::string name;            // file name as given, or "embedded image"
    image_format format = IMAGE_BIN;
};

// The format of a file name by its extension; IMAGE_BIN when none matches.
image_format image_format_of(std::string_view path);
// "bin", "ihex", "srec" -> format; nullopt otherwise (for --format parsing).
std::optional<image_format> image_format_named(std::string_view name);
// The reverse of image_format_named: "bin", "ihex", "srec"; "auto" for IMAGE_AUTO.
std::string_view image_format_name(image_format format);
// Parses "123" or "0x1F000" (also "0X"), 32-bit; nullopt when not a number or out of range.
std::optional<uint32_t> image_parse_address(std::string_view text);

// Parsers of file contents; `name` only labels the error texts. On failure
// they return false and put one line of text in *error; *out is then unchanged.
bool image_parse_ihex(std::string_view text, std::string_view name, image* out, std::string* error);
bool image_parse_srec(std::string_view text, std::string_view name, image* out, std::string* error);

// Loads the file at path (format IMAGE_AUTO: by extension), or the embedded
// image when path is empty, and places it: `address` is only allowed for raw
// images; a raw image without one goes to 0, or to 0x1FF000 when it holds at
// most 255 bytes. false with *error on any bad input; *out is then unchanged.
bool image_load(const std::string& path, image_format format, std::optional<uint32_t> address,
                const uint8_t* embedded, uint32_t embedded_size, image* out, std::string* error);
