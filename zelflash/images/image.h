// A device image as zelflash holds it: its bytes, its device address and
// where it came from, the formats a file may be in, and what the device
// allows of an image (image_rules). Reading files is image_file.h's.
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
    // Largest HEX or S-record file read: the text is 2.5 to 18 times the size
    // of the data it carries, depending on the record length (a one-byte S3
    // record with CR LF is the longest), and blank lines add any amount.
    IMAGE_MAX_TEXT_SIZE = 1u << 30,
    // The device's flash: 2 MiB from address 0 (--flash-size for others).
    IMAGE_FLASH_SIZE = 0x200000,
    // One flash sector: the widest gap between records filled without being
    // asked to. A wider one erases sectors the file says nothing about.
    IMAGE_MAX_GAP = 4096,
};

// What the device allows of an image; the defaults are those of the zel device.
struct image_rules {
    bool fill_gaps = false;                 // gaps wider than IMAGE_MAX_GAP are written, not refused
    uint32_t flash_size = IMAGE_FLASH_SIZE; // bytes of flash, from address 0
};

// Where the HEX and S-record readers may put an image. IMAGE_IN_FLASH
// refuses one outside [0, flash_size) before it is built: the image is
// filled in memory from its lowest address to its highest, so two records
// far apart would have up to IMAGE_MAX_SPAN bytes filled only to be refused.
// IMAGE_ANYWHERE still refuses an image wider than the flash, wherever it
// lies, before it is built.
enum image_placement : int32_t { IMAGE_ANYWHERE = 0, IMAGE_IN_FLASH = 1 };

struct image {
    std::vector<uint8_t> bytes;  // the whole image, gaps filled with 0xFF
    uint32_t addr = 0;           // device address of bytes[0]
    std::string name;            // file name as given, or "embedded image"
    image_format format = IMAGE_BIN;
    // SHA-256 of the file as it was read, which for HEX and S-record text is
    // not that of the bytes placed; empty for the embedded image.
    std::string file_sha256;
};

// The format of a file name by its extension; IMAGE_BIN when none matches.
image_format image_format_of(std::string_view path);
// "bin", "ihex", "srec" -> format; nullopt otherwise (for --format parsing).
std::optional<image_format> image_format_named(std::string_view name);
// The reverse of image_format_named: "bin", "ihex", "srec"; "auto" for IMAGE_AUTO.
std::string_view image_format_name(image_format format);
// Parses "123" or "0x1F000" (also "0X"), 32-bit; nullopt when not a number or out of range.
std::optional<uint32_t> image_parse_address(std::string_view text);
